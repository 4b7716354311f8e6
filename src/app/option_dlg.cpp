#include "app/option_dlg.h"

#include <algorithm>

#include <QAbstractItemView>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QFile>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>

#include "app/folder_dialog.h"
#include "controls/dialog_units.h"
#include "engine/loudness.h"
#include "settings/settings_store.h"

namespace velmora {

std::string SanitizeFileName(std::string name) {
    for (char& c : name) {
        switch (c) {
        case '/': case '"': case '<': case '>': case '|': case '*': case '?': case ':':
            c = '_';
            break;
        default:
            break;
        }
    }
    return name;
}

namespace {

constexpr int kWidthDlu = 316;
// The chapter list's items in order, and the stored mode each stands for.
constexpr int32_t kChapterModeOfItem[] = {1, 2, 0};
int ChapterItemOf(int32_t mode) { return mode == 2 ? 1 : mode == 0 ? 2 : 0; }
constexpr int kHeightDlu = 405;  // with the "Output file" and "File list" groups below the encoder's

template <typename Table>
void FillList(QComboBox* list, const Table& table) {
    for (const auto& entry : table) list->addItem(QString::fromUtf8(entry.text));
}

// The constant rates, the VBR qualities and "Same as the inputs".
void FillBitrateList(QComboBox* list) {
    for (int i = 0; i < kBitrateChoiceCount; ++i) list->addItem(QString::fromStdString(BitrateChoiceText(i)));
}

// A stored index outside its table leaves the list without a selection.
void SelectIndex(QComboBox* list, int index) {
    list->setCurrentIndex(index >= 0 && index < list->count() ? index : -1);
}

}  // namespace

COption::COption(AppSettings& settings, QWidget* parent, std::string settingsFile)
    : QDialog(parent), settings_(settings), settingsFile_(std::move(settingsFile)) {
    if (settingsFile_.empty()) settingsFile_ = SettingsFilePath();
    setWindowTitle(QStringLiteral("Options"));
    setObjectName(QStringLiteral("optionsDialog"));
    BuildTemplate();
    OnInitDialog();
}

COption::~COption() = default;

QWidget* COption::Control(int id) const {
    return controls_.Find(id);
}

void COption::BuildTemplate() {
    const DialogUnits du(font());
    auto place = [&](QWidget* w, int id, int x, int y, int width, int height) {
        controls_.Place(w, id, QRect(x, y, width, height), du);
    };
    // Combo boxes and edit boxes need more height than their template rows give them on this
    // desktop; they keep their top and grow to their own hint.
    auto placeField = [&](QWidget* w, int id, int x, int y, int width, int height) {
        place(w, id, x, y, width, height);
        QRect r = w->geometry();
        r.setHeight(std::max(r.height(), w->sizeHint().height()));
        w->setGeometry(r);
    };

    auto* outputGroup = new QGroupBox(QStringLiteral("Output Folder"), this);
    place(outputGroup, 0, 7, 4, 302, 95);
    askRadio_ = new QRadioButton(QStringLiteral("Always Ask Me Where to Save File"), this);
    place(askRadio_, IDC_ASK_PATH, 19, 19, 182, 11);
    saveToRadio_ = new QRadioButton(QStringLiteral("Save File to"), this);
    place(saveToRadio_, IDC_SAVE_TO, 19, 34, 182, 11);
    radios_ = new QButtonGroup(this);
    radios_->addButton(askRadio_, IDC_ASK_PATH);
    radios_->addButton(saveToRadio_, IDC_SAVE_TO);

    folderEdit_ = new QLineEdit(this);
    folderEdit_->setEnabled(false);  // changed only through "..."
    placeField(folderEdit_, IDC_FOLDER, 19, 51, 262, 13);
    browseButton_ = new QPushButton(QStringLiteral("..."), this);
    browseButton_->setAutoDefault(false);
    place(browseButton_, IDC_BROWSE, 283, 51, 21, 13);
    browseButton_->setGeometry(browseButton_->x(), folderEdit_->y(), browseButton_->width(), folderEdit_->height());
    place(new QLabel(QStringLiteral("Default File Name:"), this), IDC_NAME_LABEL, 19, 77, 59, 12);
    nameEdit_ = new QLineEdit(this);
    placeField(nameEdit_, IDC_NAME, 81, 77, 221, 12);
    // With a wider desktop font the label would be clipped: it takes the width it needs and
    // the name box gives up as much on its left.
    if (QWidget* nameLabel = controls_.Find(IDC_NAME_LABEL); nameLabel->sizeHint().width() > nameLabel->width()) {
        nameLabel->resize(nameLabel->sizeHint().width(), nameLabel->height());
        QRect r = nameEdit_->geometry();
        r.setLeft(std::max(r.left(), nameLabel->geometry().right() + 1 + du.ToPixelsX(2)));
        nameEdit_->setGeometry(r);
    }

    auto* encoderGroup = new QGroupBox(QStringLiteral("Encoder Settings"), this);
    place(encoderGroup, 0, 7, 101, 302, 111);
    frequencyLabel_ = new QLabel(QStringLiteral("Sampling Frequency:"), this);
    place(frequencyLabel_, IDC_FREQ_LABEL, 21, 117, 75, 12);
    frequencyList_ = new QComboBox(this);
    placeField(frequencyList_, IDC_FREQ, 109, 117, 190, 12);
    place(new QLabel(QStringLiteral("Channel Mode:"), this), IDC_CHANNEL_LABEL, 21, 140, 75, 12);
    channelList_ = new QComboBox(this);
    placeField(channelList_, IDC_CHANNEL, 109, 140, 190, 12);
    bitrateLabel_ = new QLabel(QStringLiteral("Bits per Second:"), this);
    place(bitrateLabel_, IDC_BITRATE_LABEL, 21, 163, 75, 12);
    bitrateList_ = new QComboBox(this);
    placeField(bitrateList_, IDC_BITRATE, 109, 163, 190, 12);
    place(new QLabel(QStringLiteral("NOTE: The Bitrate is Estimated  for Stereo 44100 Hz."), this), IDC_NOTE, 21,
          188, 257, 12);

    auto* fileGroup = new QGroupBox(QStringLiteral("Output file"), this);
    place(fileGroup, 0, 7, 214, 302, 117);
    tagsCheck_ = new QCheckBox(QStringLiteral("Copy tags and cover from the first files"), this);
    place(tagsCheck_, IDC_TAGS, 19, 229, 270, 11);
    place(new QLabel(QStringLiteral("Chapters:"), this), IDC_CHAPTERS_LABEL, 21, 246, 75, 12);
    chapterList_ = new QComboBox(this);
    placeField(chapterList_, IDC_CHAPTERS, 109, 246, 190, 12);
    copyCheck_ = new QCheckBox(QStringLiteral("Copy the audio without re-encoding when the files allow it"), this);
    place(copyCheck_, IDC_COPY, 19, 265, 280, 11);
    loudnessCheck_ = new QCheckBox(QStringLiteral("Even out the loudness of the files"), this);
    place(loudnessCheck_, IDC_LOUDNESS, 19, 281, 180, 11);
    // What evening out aims at, under the check box; the LUFS box is Custom's own.
    loudnessPresetList_ = new QComboBox(this);
    for (const LoudnessPresetEntry& e : LoudnessPresetTable) loudnessPresetList_->addItem(QString::fromUtf8(e.text));
    placeField(loudnessPresetList_, IDC_LOUDNESS_PRESET, 31, 295, 174, 12);
    loudnessTarget_ = new QSpinBox(this);
    loudnessTarget_->setRange(kLoudnessTargetMin, kLoudnessTargetMax);
    loudnessTarget_->setSuffix(QStringLiteral(" LUFS"));
    placeField(loudnessTarget_, IDC_LOUDNESS_TARGET, 209, 295, 90, 12);

    partsLabel_ = new QLabel(QStringLiteral("Split into parts of at &most"), this);
    place(partsLabel_, IDC_PARTS_LABEL, 21, 314, 86, 12);
    partHours_ = new QSpinBox(this);
    partHours_->setRange(0, kMaxPartMinutesLimit / 60);
    partHours_->setSuffix(QStringLiteral(" h"));
    placeField(partHours_, IDC_PART_HOURS, 109, 312, 50, 12);
    partsLabel_->setBuddy(partHours_);
    partMinutes_ = new QSpinBox(this);
    partMinutes_->setRange(0, 59);
    partMinutes_->setSuffix(QStringLiteral(" min"));
    placeField(partMinutes_, IDC_PART_MINUTES, 163, 312, 55, 12);
    auto* partsNote = new QLabel(QStringLiteral("(0 = one file)"), this);
    place(partsNote, IDC_PARTS_NOTE, 224, 314, 75, 12);
    // The label takes the width the desktop's font needs; the boxes after it move along.
    if (const int missing = partsLabel_->sizeHint().width() - partsLabel_->width(); missing > 0) {
        partsLabel_->resize(partsLabel_->sizeHint().width(), partsLabel_->height());
        for (QWidget* w : {static_cast<QWidget*>(partHours_), static_cast<QWidget*>(partMinutes_),
                           static_cast<QWidget*>(partsNote)})
            w->move(w->x() + missing + du.ToPixelsX(2), w->y());
    }

    auto* listGroup = new QGroupBox(QStringLiteral("File list"), this);
    place(listGroup, 0, 7, 333, 302, 46);
    naturalSortCheck_ = new QCheckBox(QStringLiteral("Sort numbers in names by their value"), this);
    place(naturalSortCheck_, IDC_NATURAL_SORT, 19, 348, 270, 11);
    otherAudioCheck_ = new QCheckBox(QStringLiteral("Add other audio files (WAV, FLAC, M4A, ...)"), this);
    place(otherAudioCheck_, IDC_OTHER_AUDIO, 19, 364, 270, 11);

    resetButton_ = new QPushButton(QStringLiteral("Reset"), this);
    resetButton_->setAutoDefault(false);
    place(resetButton_, IDC_RESET, 61, 385, 50, 14);
    okButton_ = new QPushButton(QStringLiteral("OK"), this);
    okButton_->setDefault(true);
    place(okButton_, IDC_OK, 138, 385, 50, 14);
    cancelButton_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancelButton_->setAutoDefault(false);
    place(cancelButton_, IDC_CANCEL, 220, 385, 50, 14);

    // The output's format, a row of its own at the foot of "Output file": what lies below moves
    // down by the row. An M4B takes its own bit rates (AAC's), beside the format.
    constexpr int kFormatRowDlu = 18;
    place(new QLabel(QStringLiteral("Format:"), this), IDC_FORMAT_LABEL, 21, 333, 75, 12);
    formatList_ = new QComboBox(this);
    formatList_->addItems({QStringLiteral("MP3"), QStringLiteral("M4B audiobook (AAC)")});
    placeField(formatList_, IDC_FORMAT, 109, 331, 110, 12);
    aacBitrateList_ = new QComboBox(this);
    for (uint16_t kbps : AacBitrateTable) aacBitrateList_->addItem(QStringLiteral("%1 kbit/s").arg(kbps), kbps);
    placeField(aacBitrateList_, IDC_AAC_BITRATE, 224, 331, 75, 12);
    fileGroup->resize(fileGroup->width(), fileGroup->height() + du.ToPixelsY(kFormatRowDlu));
    for (QWidget* w : std::initializer_list<QWidget*>{listGroup, naturalSortCheck_, otherAudioCheck_, resetButton_,
                                                      okButton_, cancelButton_})
        w->move(w->x(), w->y() + du.ToPixelsY(kFormatRowDlu));
    // Tab reaches the row where it stands: after the parts, before the file list.
    setTabOrder(partMinutes_, formatList_);
    setTabOrder(formatList_, aacBitrateList_);
    setTabOrder(aacBitrateList_, naturalSortCheck_);

    // The closed lists show their longest item whole in the desktop's font: where the template's
    // width is too narrow for it, the lists, the fields and the dialog grow by what is missing.
    int extra = 0;
    for (QComboBox* list : {frequencyList_, channelList_, bitrateList_}) {
        list->setSizeAdjustPolicy(QComboBox::AdjustToContents);
        if (list == frequencyList_) FillList(list, FrequencyTable);
        if (list == channelList_) FillList(list, ChannelModeTable);
        if (list == bitrateList_) FillBitrateList(list);
        extra = std::max(extra, list->sizeHint().width() - list->width());
        list->clear();
    }
    // The preset list likewise; the LUFS box beside it moves over by what it grows.
    loudnessPresetList_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    const int presetExtra = std::max(0, loudnessPresetList_->sizeHint().width() - loudnessPresetList_->width());
    loudnessPresetList_->resize(loudnessPresetList_->width() + presetExtra, loudnessPresetList_->height());
    loudnessTarget_->move(loudnessTarget_->x() + presetExtra, loudnessTarget_->y());
    extra = std::max(extra, presetExtra);
    QSize size = du.ToPixels(QSize(kWidthDlu, kHeightDlu + kFormatRowDlu));
    if (extra > 0) {
        for (QWidget* w : std::initializer_list<QWidget*>{frequencyList_, channelList_, bitrateList_, outputGroup,
                                                          encoderGroup, fileGroup, listGroup, chapterList_, folderEdit_, nameEdit_})
            w->resize(w->width() + extra, w->height());
        browseButton_->move(browseButton_->x() + extra, browseButton_->y());
        for (QWidget* w : {static_cast<QWidget*>(resetButton_), static_cast<QWidget*>(okButton_),
                           static_cast<QWidget*>(cancelButton_)})
            w->move(w->x() + extra / 2, w->y());
        size.setWidth(size.width() + extra);
    }
    setFixedSize(size);

    connect(loudnessCheck_, &QCheckBox::toggled, this, &COption::OnLoudnessChoice);
    connect(formatList_, &QComboBox::currentIndexChanged, this, &COption::OnFormatChoice);
    connect(loudnessPresetList_, &QComboBox::currentIndexChanged, this, &COption::OnLoudnessChoice);
    connect(askRadio_, &QRadioButton::clicked, this, [this] { OnRadio(true); });
    connect(saveToRadio_, &QRadioButton::clicked, this, [this] { OnRadio(false); });
    connect(browseButton_, &QPushButton::clicked, this, &COption::OnBrowse);
    connect(resetButton_, &QPushButton::clicked, this, &COption::OnReset);
    connect(okButton_, &QPushButton::clicked, this, &COption::OnOK);
    // Cancel and the close box end the dialog without reading the controls.
    connect(cancelButton_, &QPushButton::clicked, this, &COption::reject);
}

void COption::OnInitDialog() {
    // 1-2.
    const bool ask = settings_.askOutputPath == 1;
    askRadio_->setChecked(ask);
    saveToRadio_->setChecked(settings_.askOutputPath == 0);
    if (settings_.askOutputPath != 0 && settings_.askOutputPath != 1) {
        // A hand-edited value that is neither: no radio is checked, as the platform would show it.
        radios_->setExclusive(false);
        askRadio_->setChecked(false);
        saveToRadio_->setChecked(false);
        radios_->setExclusive(true);
    }
    browseButton_->setEnabled(settings_.askOutputPath == 0);
    nameEdit_->setEnabled(settings_.askOutputPath == 0);
    // 3.
    folderEdit_->setText(QString::fromStdString(settings_.outputFolder));
    folderEdit_->setCursorPosition(0);
    nameEdit_->setText(QString::fromStdString(settings_.defaultFileName));
    // 4.
    frequencyList_->clear();
    channelList_->clear();
    bitrateList_->clear();
    frequencyList_->view()->setMinimumWidth(kFrequencyDropDownWidth);
    frequencyLabel_->setText(QStringLiteral("Sampling Frequency:"));
    bitrateLabel_->setText(QStringLiteral("Bits per Second:"));
    // 5.
    FillList(frequencyList_, FrequencyTable);
    FillList(channelList_, ChannelModeTable);
    FillBitrateList(bitrateList_);
    // 6.
    SelectIndex(frequencyList_, settings_.frequencyIndex);
    SelectIndex(channelList_, settings_.channelModeIndex);
    SelectIndex(bitrateList_, BitrateChoiceOf(settings_));
    tagsCheck_->setChecked(settings_.outputTags != 0);
    copyCheck_->setChecked(settings_.copyFrames != 0);
    loudnessCheck_->setChecked(settings_.loudness != 0);
    const LoudnessPresetEntry& preset = LoudnessPresetOf(settings_.loudnessPreset);
    loudnessPresetList_->setCurrentIndex(static_cast<int>(&preset - LoudnessPresetTable.data()));
    loudnessTarget_->setValue(settings_.loudnessTarget);
    OnLoudnessChoice();
    naturalSortCheck_->setChecked(settings_.naturalSort != 0);
    otherAudioCheck_->setChecked(settings_.otherAudioFiles != 0);
    partHours_->setValue(settings_.maxPartMinutes / 60);
    partMinutes_->setValue(settings_.maxPartMinutes % 60);
    chapterList_->clear();
    for (const char* text : {"One chapter per file", "One chapter per title", "No chapters"})
        chapterList_->addItem(QString::fromLatin1(text));
    chapterList_->setCurrentIndex(ChapterItemOf(settings_.chapterMode));
    formatList_->setCurrentIndex(settings_.outputFormat == kFormatM4b ? 1 : 0);
    aacBitrateList_->setCurrentIndex(aacBitrateList_->findData(ValidAacBitrate(settings_.aacBitrateKbps)));
    OnFormatChoice();
}

// The MP3 encoder's bit rates and the copy join do not apply to an M4B; AAC's rates only to it.
void COption::OnFormatChoice() {
    const bool m4b = formatList_->currentIndex() == 1;
    bitrateList_->setEnabled(!m4b);
    copyCheck_->setEnabled(!m4b);
    aacBitrateList_->setEnabled(m4b);
}

void COption::OnRadio(bool ask) {
    browseButton_->setEnabled(!ask);
    nameEdit_->setEnabled(!ask);
}

void COption::OnLoudnessChoice() {
    const bool on = loudnessCheck_->isChecked();
    const int item = loudnessPresetList_->currentIndex();
    const bool custom = item >= 0 && LoudnessPresetTable[static_cast<size_t>(item)].preset == kLoudnessCustom;
    loudnessPresetList_->setEnabled(on);
    loudnessTarget_->setVisible(custom);
    loudnessTarget_->setEnabled(on);
}

void COption::OnBrowse() {
    // The stored folder, not the text now in the box: a second pick starts where the first did.
    CFolderDialog picker(QStringLiteral("Specify the Output Folder"), QString::fromStdString(settings_.outputFolder),
                         this, CFolderDialog::kDefaultFlags);
    if (picker.DoModal() == CFolderDialog::kChosen) {
        folderEdit_->setText(picker.FolderPath());
        folderEdit_->setCursorPosition(0);
    }
}

void COption::OnOK() {
    // 1-3 change the record before the check, so an error leaves them changed.
    settings_.defaultFileName = SanitizeFileName(nameEdit_->text().toStdString());
    settings_.askOutputPath = askRadio_->isChecked() ? 1 : 0;
    settings_.outputFolder = folderEdit_->text().toStdString();
    // 4.
    if (settings_.outputFolder.empty() && settings_.askOutputPath == 0) {
        QMessageBox box(QMessageBox::Critical, QString::fromLatin1(kProductName),
                        QStringLiteral("Invalidate Output Folder!"), QMessageBox::Ok, this);
        box.exec();
        return;
    }
    // 5.
    if (!settings_.outputFolder.empty() && settings_.askOutputPath == 0 && settings_.outputFolder.back() != '/')
        settings_.outputFolder += '/';
    // 6. A list left without a selection (its stored index was outside the table) keeps the
    //    stored value rather than storing "nothing selected" as -1.
    if (frequencyList_->currentIndex() >= 0) settings_.frequencyIndex = int16_t(frequencyList_->currentIndex());
    if (channelList_->currentIndex() >= 0) settings_.channelModeIndex = int16_t(channelList_->currentIndex());
    SetBitrateChoice(settings_, bitrateList_->currentIndex());
    settings_.outputTags = tagsCheck_->isChecked() ? 1 : 0;
    settings_.copyFrames = copyCheck_->isChecked() ? 1 : 0;
    settings_.loudness = loudnessCheck_->isChecked() ? 1 : 0;
    const int preset = loudnessPresetList_->currentIndex();
    if (preset >= 0) settings_.loudnessPreset = LoudnessPresetTable[static_cast<size_t>(preset)].preset;
    // Custom's target is kept while a preset is chosen, for the next time Custom is.
    settings_.loudnessTarget = loudnessTarget_->value();
    settings_.naturalSort = naturalSortCheck_->isChecked() ? 1 : 0;
    settings_.otherAudioFiles = otherAudioCheck_->isChecked() ? 1 : 0;
    settings_.maxPartMinutes = partHours_->value() * 60 + partMinutes_->value();
    settings_.chapterMode = kChapterModeOfItem[std::clamp(chapterList_->currentIndex(), 0, 2)];
    settings_.outputFormat = formatList_->currentIndex() == 1 ? kFormatM4b : kFormatMp3;
    settings_.aacBitrateKbps = ValidAacBitrate(aacBitrateList_->currentData().toInt());
    // 7.
    accept();
}

void COption::OnReset() {
    QMessageBox ask(QMessageBox::Warning, QString::fromLatin1(kProductName),
                    QStringLiteral("Reset ALL Options, Are You Sure?"), QMessageBox::Yes | QMessageBox::No, this);
    if (ask.exec() != QMessageBox::Yes) return;
    // A file that cannot be deleted is read again as it is; no message.
    QFile::remove(QString::fromStdString(settingsFile_));
    std::string error;
    if (!LoadSettings(settings_, settingsFile_, &error)) {
        QMessageBox box(QMessageBox::Critical, QString::fromLatin1(kProductName),
                        QString::fromLatin1(kLoadSettingsFailedText), QMessageBox::Ok, this);
        box.exec();
    }
    OnInitDialog();
    if (onReset_) onReset_();
}

}  // namespace velmora
