// COption: the modal "Options" dialog. Edits the output and encoder choices of the settings
// record in memory, and can reset every setting to its default (deleting "Config.ini").
#pragma once

#include <QDialog>

#include <functional>
#include <map>
#include <string>

#include "controls/dialog_units.h"
#include "settings/app_settings.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;

namespace velmora {

// Replaces every character that cannot stand in a file name on the desktops the output may be
// copied to ("/", quotation mark, "<", ">", "|", "*", "?", ":") by "_". A backslash stays: it
// is an ordinary character in a Linux file name.
std::string SanitizeFileName(std::string name);

class COption : public QDialog {
    Q_OBJECT
public:
    // Control ids of the template.
    enum : int {
        IDC_ASK_PATH = 1080,
        IDC_SAVE_TO = 1081,
        IDC_FOLDER = 1012,
        IDC_BROWSE = 1047,
        IDC_NAME_LABEL = 1087,
        IDC_NAME = 1104,
        IDC_FREQ_LABEL = 1084,
        IDC_FREQ = 1088,
        IDC_CHANNEL_LABEL = 1085,
        IDC_CHANNEL = 1089,
        IDC_BITRATE_LABEL = 1086,
        IDC_BITRATE = 1090,
        IDC_NOTE = 1091,
        IDC_TAGS = 1092,
        IDC_CHAPTERS_LABEL = 1093,
        IDC_CHAPTERS = 1094,
        IDC_COPY = 1095,
        IDC_LOUDNESS = 1096,
        IDC_LOUDNESS_TARGET = 1097,
        IDC_NATURAL_SORT = 1098,
        IDC_OTHER_AUDIO = 1099,
        IDC_LOUDNESS_PRESET = 1100,
        IDC_PARTS_LABEL = 1101,
        IDC_PART_HOURS = 1102,
        IDC_PART_MINUTES = 1103,
        IDC_PARTS_NOTE = 1104,
        IDC_FORMAT_LABEL = 1105,
        IDC_FORMAT = 1106,
        IDC_AAC_BITRATE = 1107,
        IDC_RESET = 3,
        IDC_OK = 1,
        IDC_CANCEL = 2,
    };
    static constexpr int kFrequencyDropDownWidth = 256;

    // `settings` is the record the dialog edits (the main window's). `settingsFile` is the
    // file Reset deletes and reads again (empty: the user's "Config.ini").
    COption(AppSettings& settings, QWidget* parent = nullptr, std::string settingsFile = {});
    ~COption() override;

    // Called after a Reset, so the owner can refresh what shows the settings.
    void SetResetCallback(std::function<void()> callback) { onReset_ = std::move(callback); }

    // Fills the controls from the record (the dialog's initialisation, run again by Reset).
    void OnInitDialog();

    QWidget* Control(int id) const;
    QRadioButton* askRadio() const { return askRadio_; }
    QRadioButton* saveToRadio() const { return saveToRadio_; }
    QLineEdit* folderEdit() const { return folderEdit_; }
    QLineEdit* nameEdit() const { return nameEdit_; }
    QPushButton* browseButton() const { return browseButton_; }
    QComboBox* frequencyList() const { return frequencyList_; }
    QComboBox* channelList() const { return channelList_; }
    QComboBox* bitrateList() const { return bitrateList_; }
    QCheckBox* tagsCheck() const { return tagsCheck_; }
    QComboBox* chapterList() const { return chapterList_; }
    QCheckBox* copyCheck() const { return copyCheck_; }
    QCheckBox* loudnessCheck() const { return loudnessCheck_; }
    QComboBox* loudnessPresetList() const { return loudnessPresetList_; }
    QSpinBox* loudnessTarget() const { return loudnessTarget_; }
    QCheckBox* naturalSortCheck() const { return naturalSortCheck_; }
    QCheckBox* otherAudioCheck() const { return otherAudioCheck_; }
    QSpinBox* partHours() const { return partHours_; }
    QSpinBox* partMinutes() const { return partMinutes_; }
    QComboBox* formatList() const { return formatList_; }
    QComboBox* aacBitrateList() const { return aacBitrateList_; }
    QPushButton* okButton() const { return okButton_; }
    QPushButton* cancelButton() const { return cancelButton_; }
    QPushButton* resetButton() const { return resetButton_; }

private:
    void BuildTemplate();
    void OnRadio(bool ask);
    void OnLoudnessChoice();
    void OnFormatChoice();
    void OnBrowse();
    void OnOK();
    void OnReset();

    AppSettings& settings_;
    std::string settingsFile_;
    std::function<void()> onReset_;
    ControlTable controls_;
    QRadioButton* askRadio_ = nullptr;
    QRadioButton* saveToRadio_ = nullptr;
    QButtonGroup* radios_ = nullptr;
    QLineEdit* folderEdit_ = nullptr;
    QPushButton* browseButton_ = nullptr;
    QLineEdit* nameEdit_ = nullptr;
    QLabel* frequencyLabel_ = nullptr;
    QLabel* bitrateLabel_ = nullptr;
    QComboBox* frequencyList_ = nullptr;
    QComboBox* channelList_ = nullptr;
    QComboBox* bitrateList_ = nullptr;
    QCheckBox* tagsCheck_ = nullptr;
    QComboBox* chapterList_ = nullptr;
    QCheckBox* copyCheck_ = nullptr;
    QCheckBox* loudnessCheck_ = nullptr;
    QComboBox* loudnessPresetList_ = nullptr;
    QSpinBox* loudnessTarget_ = nullptr;
    QCheckBox* naturalSortCheck_ = nullptr;
    QCheckBox* otherAudioCheck_ = nullptr;
    QLabel* partsLabel_ = nullptr;
    QSpinBox* partHours_ = nullptr;
    QSpinBox* partMinutes_ = nullptr;
    QComboBox* formatList_ = nullptr;
    QComboBox* aacBitrateList_ = nullptr;
    QPushButton* okButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QPushButton* resetButton_ = nullptr;
};

}  // namespace velmora
