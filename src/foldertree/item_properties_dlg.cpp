#include "foldertree/item_properties_dlg.h"

#include "engine/audio_source.h"
#include "engine/stream_info.h"
#include "filelist/file_scan.h"

#include <QDateTime>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QLocale>
#include <QMimeDatabase>
#include <QVBoxLayout>

#include <fcntl.h>
#include <sys/stat.h>

namespace velmora {

namespace {

QString TimeText(const struct statx_timestamp& t) {
    if (t.tv_sec == 0 && t.tv_nsec == 0) return QObject::tr("(unknown)");
    return QLocale().toString(QDateTime::fromSecsSinceEpoch(qint64(t.tv_sec)), QLocale::LongFormat);
}

QString SizeText(quint64 bytes) {
    return QStringLiteral("%1 MiB (%2 bytes)")
        .arg(double(bytes) / 1048576.0, 0, 'f', 2)
        .arg(QLocale().toString(qulonglong(bytes)));
}

QString DurationText(double seconds) {
    const long s = seconds > 0 ? long(seconds) : 0;
    return QString::asprintf("%02ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
}

}  // namespace

CItemPropertiesDlg::CItemPropertiesDlg(const QString& path, QWidget* parent) : QDialog(parent), path_(path) {
    setObjectName(QStringLiteral("itemPropertiesDialog"));
    const QFileInfo fi(path);
    setWindowTitle(tr("%1 Properties").arg(fi.fileName().isEmpty() ? path : fi.fileName()));
    auto* outer = new QVBoxLayout(this);
    form_ = new QFormLayout;
    outer->addLayout(form_);

    AddRow(tr("Name:"), fi.fileName().isEmpty() ? path : fi.fileName());
    AddRow(tr("Location:"), QDir::toNativeSeparators(fi.absolutePath()));

    // statx, not stat: the birth time where the file system keeps one.
    struct statx stx {};
    const QByteArray enc = QFile::encodeName(path);
    const bool ok = statx(AT_FDCWD, enc.constData(), AT_SYMLINK_NOFOLLOW,
                          STATX_BASIC_STATS | STATX_BTIME, &stx) == 0;
    if (!ok) {
        AddRow(tr("Type:"), tr("(not found)"));
    } else {
        const bool isLink = S_ISLNK(stx.stx_mode);
        const bool isDir = fi.isDir();
        QString type;
        if (isDir) {
            type = tr("Folder");
        } else {
            const QMimeType mime = QMimeDatabase().mimeTypeForFile(fi, QMimeDatabase::MatchExtension);
            type = mime.comment().isEmpty() ? mime.name() : mime.comment();
        }
        if (isLink) type = tr("Link to %1 (%2)").arg(type, fi.symLinkTarget());
        AddRow(tr("Type:"), type);
        if (isDir) {
            // A folder's size would take a walk of everything below it; what it holds
            // directly is told instead, which is cheap even for large trees.
            const QDir d(path);
            const int folders = int(d.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System).size());
            const int files = int(d.entryList(QDir::Files | QDir::Hidden | QDir::System).size());
            AddRow(tr("Contains:"), tr("%1 folder(s), %2 file(s)").arg(folders).arg(files));
        } else {
            AddRow(tr("Size:"), SizeText(fi.size()));
        }
        if (stx.stx_mask & STATX_BTIME) AddRow(tr("Created:"), TimeText(stx.stx_btime));
        AddRow(tr("Modified:"), TimeText(stx.stx_mtime));
        AddRow(tr("Accessed:"), TimeText(stx.stx_atime));
        AddRow(tr("Permissions:"),
               QStringLiteral("%1 (%2:%3)").arg(PermissionText(stx.stx_mode & 07777),
                                                 fi.owner().isEmpty() ? QString::number(stx.stx_uid) : fi.owner(),
                                                 fi.group().isEmpty() ? QString::number(stx.stx_gid) : fi.group()));
        // Every kind of audio file the list takes, by the same extensions.
        if (!isDir && HasExtensionIn(fi.fileName(), scanExtensions())) AddAudioRows();
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    outer->addWidget(buttons);
}

void CItemPropertiesDlg::AddAudioRows() {
    // MPEG audio goes to libmpg123, everything else to FFmpeg's probe, as the list reads them.
    const std::string path = QFile::encodeName(path_).toStdString();
    QString format;
    QString bitrate;
    uint32_t rate = 0;
    uint32_t channels = 0;
    double duration = 0;
    if (IsMpegAudioFile(path)) {
        const StreamInfo info = ReadStreamInfo(path);
        if (!info.readable) {
            AddRow(tr("Audio:"), QString::fromStdString(info.message));
            return;
        }
        format = info.layer == 1 ? QStringLiteral("MP1") : info.layer == 2 ? QStringLiteral("MP2") : QStringLiteral("MP3");
        // Without decoding, a VBR stream has no one figure worth showing.
        bitrate = info.constantKbps > 0 ? tr("%1 kbps").arg(info.constantKbps) : tr("variable");
        rate = info.sampleRate;
        channels = info.channels;
        duration = info.duration;
    } else {
        const AudioFileInfo info = ProbeAudioFile(path);
        if (!info.readable) {
            AddRow(tr("Audio:"), QString::fromStdString(info.message));
            return;
        }
        format = QString::fromStdString(info.typeName);
        if (info.bitrateKbps > 0) bitrate = tr("%1 kbps").arg(info.bitrateKbps);
        rate = info.sampleRate;
        channels = info.channels;
        duration = info.duration;
    }
    AddRow(tr("Format:"), format);
    AddRow(tr("Sampling rate:"), tr("%1 Hz").arg(rate));
    AddRow(tr("Channels:"), channels == 1 ? tr("1 (mono)") : tr("%1 (stereo)").arg(channels));
    if (!bitrate.isEmpty()) AddRow(tr("Bit rate:"), bitrate);
    AddRow(tr("Duration:"), DurationText(duration));
}

void CItemPropertiesDlg::AddRow(const QString& caption, const QString& value) {
    auto* v = new QLabel(value, this);
    v->setTextInteractionFlags(Qt::TextSelectableByMouse);
    v->setObjectName(caption);
    form_->addRow(caption, v);
}

QString CItemPropertiesDlg::Value(const QString& caption) const {
    for (int r = 0; r < form_->rowCount(); ++r) {
        auto* label = qobject_cast<QLabel*>(form_->itemAt(r, QFormLayout::LabelRole)
                                                ? form_->itemAt(r, QFormLayout::LabelRole)->widget()
                                                : nullptr);
        auto* field = form_->itemAt(r, QFormLayout::FieldRole)
                          ? qobject_cast<QLabel*>(form_->itemAt(r, QFormLayout::FieldRole)->widget())
                          : nullptr;
        if (label && field && label->text() == caption) return field->text();
    }
    return {};
}

QString CItemPropertiesDlg::PermissionText(unsigned mode) {
    static const char kChars[] = "rwxrwxrwx";
    QString out(9, QLatin1Char('-'));
    for (int i = 0; i < 9; ++i)
        if (mode & (0400u >> i)) out[i] = QLatin1Char(kChars[i]);
    if (mode & S_ISUID) out[2] = (mode & S_IXUSR) ? QLatin1Char('s') : QLatin1Char('S');
    if (mode & S_ISGID) out[5] = (mode & S_IXGRP) ? QLatin1Char('s') : QLatin1Char('S');
    if (mode & S_ISVTX) out[8] = (mode & S_IXOTH) ? QLatin1Char('t') : QLatin1Char('T');
    return out;
}

}  // namespace velmora
