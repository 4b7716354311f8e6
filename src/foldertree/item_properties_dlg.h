// CItemPropertiesDlg: the properties of one file or folder, shown when no file manager
// answers the desktop's request to show them: path, type, size, times and permissions, and
// for the audio files the list takes (MP3, MP2, WAV, FLAC, Ogg, Opus, M4A/M4B, AAC, WMA) the
// stream's format, sampling rate, channels, bit rate and length.
#pragma once

#include <QDialog>
#include <QString>

class QFormLayout;

namespace velmora {

class CItemPropertiesDlg : public QDialog {
    Q_OBJECT
public:
    explicit CItemPropertiesDlg(const QString& path, QWidget* parent = nullptr);

    const QString& path() const { return path_; }
    // The value shown in the row with the given caption ("Type:", "Size:" ...); empty when
    // there is no such row.
    QString Value(const QString& caption) const;

    // "rwxr-xr-x" style text of the permission bits of `mode`.
    static QString PermissionText(unsigned mode);

private:
    void AddRow(const QString& caption, const QString& value);
    void AddAudioRows();

    QString path_;
    QFormLayout* form_ = nullptr;
};

}  // namespace velmora
