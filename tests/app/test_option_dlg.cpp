#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QCheckBox>
#include <QComboBox>
#include <QStyleOptionComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <deque>
#include <filesystem>
#include <functional>

#include "app/command_ids.h"
#include "app/option_dlg.h"
#include "app/status_bar.h"
#include "app/zeph_dlg.h"
#include "app_env.h"
#include "window_helpers.h"
#include "settings/settings_store.h"
#include "support/mp3_fixtures.h"

using namespace velmora;
using velmora::testing::AppEnv;
using velmora::testing::TempDir;

namespace {

// Acts on modal widgets as they come up: each step waits until a modal widget of the wanted
// kind other than the ones already handled is active, then runs. Steps left when the object
// goes away are dropped, so nothing outlives its test.
class ModalDriver {
public:
    ModalDriver() {
        timer_.setInterval(15);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
        timer_.start();
    }
    template <typename T>
    void Then(std::function<void(T*)> step) {
        steps_.push_back({[](QWidget* w) { return qobject_cast<T*>(w) != nullptr; },
                          [step](QWidget* w) { step(qobject_cast<T*>(w)); }});
    }
    bool done() const { return steps_.empty() && !pending_; }

private:
    struct Step {
        std::function<bool(QWidget*)> matches;
        std::function<void(QWidget*)> run;
    };
    // A step may open a further modal widget (a message box over the dialog); the polls of
    // that nested loop then run the next steps, so each step leaves the queue before it runs.
    // A timer does not fire again while its own handler runs, so the step runs from a
    // queued call of its own and the poll timer stays free for the nested loops.
    void Poll() {
        if (steps_.empty() || pending_) return;
        QWidget* w = QApplication::activeModalWidget();
        if (!w || !w->isVisible() || !steps_.front().matches(w)) return;
        Step step = steps_.front();
        steps_.pop_front();
        pending_ = true;
        QPointer<QWidget> guard(w);
        QTimer::singleShot(0, &timer_, [this, step, guard] {
            pending_ = false;
            if (guard) step.run(guard);
        });
    }
    QTimer timer_;
    std::deque<Step> steps_;
    bool pending_ = false;
};

void ClickBoxButton(QMessageBox* box, QMessageBox::StandardButton which) {
    QAbstractButton* b = box->button(which);
    ASSERT_NE(b, nullptr);
    QTest::mouseClick(b, Qt::LeftButton);
}

// Types `path` into the folder browser's name box and presses its accept button.
void PickInBrowser(QFileDialog* browser, const QString& path) {
    auto* edit = browser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(edit, nullptr);
    edit->selectAll();
    // Pasted in one go: typed key by key, the browser's completion selects names on the way.
    QApplication::clipboard()->setText(path);
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    // The browser moves to the folder above and keeps the last name in its box.
    EXPECT_FALSE(edit->text().isEmpty());
    EXPECT_TRUE(path.endsWith(edit->text())) << edit->text().toStdString();
    auto* buttons = browser->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    ASSERT_NE(buttons, nullptr);
    QPushButton* accept = buttons->button(QDialogButtonBox::Open);
    ASSERT_NE(accept, nullptr);
    QTest::mouseClick(accept, Qt::LeftButton);
}

void SetText(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
}

class OptionsTest : public ::testing::Test {
protected:
    std::unique_ptr<COption> Open() {
        auto dlg = std::make_unique<COption>(settings_, nullptr, settingsFile_);
        dlg->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
        return dlg;
    }
    // Waits (event loop running) until `pred` holds or a second has passed.
    static bool WaitFor(const std::function<bool()>& pred) {
        for (int i = 0; i < 200 && !pred(); ++i) QTest::qWait(5);
        return pred();
    }

    TempDir dir_;
    std::string settingsFile_ = (dir_ / "Config.ini").string();
    AppSettings settings_;
};

}  // namespace

TEST(SanitizeFileName, ReplacesCharactersThatCannotBeInAFileName) {
    EXPECT_EQ(SanitizeFileName("a:b?c"), "a_b_c");
    EXPECT_EQ(SanitizeFileName("x\\y"), "x\\y");
    EXPECT_EQ(SanitizeFileName("1/2\"3<4>5|6*7"), "1_2_3_4_5_6_7");
    EXPECT_EQ(SanitizeFileName(""), "");
    EXPECT_EQ(SanitizeFileName("Mix \xc3\xa9t\xc3\xa9"), "Mix \xc3\xa9t\xc3\xa9");  // UTF-8 kept
}

TEST_F(OptionsTest, ShowsTheRecordInItsControls) {
    settings_.askOutputPath = 0;
    settings_.outputFolder = "/tmp/out/";
    settings_.defaultFileName = "Mix";
    settings_.frequencyIndex = 8;
    settings_.channelModeIndex = 2;
    settings_.bitrateIndex = 13;
    auto dlg = Open();
    EXPECT_EQ(dlg->windowTitle(), "Options");
    EXPECT_TRUE(dlg->saveToRadio()->isChecked());
    EXPECT_FALSE(dlg->askRadio()->isChecked());
    EXPECT_TRUE(dlg->browseButton()->isEnabled());
    EXPECT_TRUE(dlg->nameEdit()->isEnabled());
    EXPECT_FALSE(dlg->folderEdit()->isEnabled());  // changed only through "..."
    EXPECT_EQ(dlg->folderEdit()->text(), "/tmp/out/");
    EXPECT_EQ(dlg->nameEdit()->text(), "Mix");
    ASSERT_EQ(dlg->frequencyList()->count(), 10);
    ASSERT_EQ(dlg->channelList()->count(), 5);
    ASSERT_EQ(dlg->bitrateList()->count(), 28);
    EXPECT_EQ(dlg->frequencyList()->itemText(0), " Automatic (Fastest & Optimal Way, Recommended)");
    EXPECT_EQ(dlg->frequencyList()->itemText(1), "   8000 Hertz");
    EXPECT_EQ(dlg->channelList()->itemText(4), " Dual Channel");
    EXPECT_EQ(dlg->bitrateList()->itemText(0), "   8 kbits per second");
    EXPECT_EQ(dlg->bitrateList()->itemText(16), " 320 kbits per second");
    EXPECT_EQ(dlg->bitrateList()->itemText(17), "VBR, quality 0 (best)");
    EXPECT_EQ(dlg->bitrateList()->itemText(26), "VBR, quality 9");
    EXPECT_EQ(dlg->bitrateList()->itemText(27), "Same as the inputs");
    EXPECT_EQ(dlg->frequencyList()->currentIndex(), 8);
    EXPECT_EQ(dlg->channelList()->currentIndex(), 2);
    EXPECT_EQ(dlg->bitrateList()->currentIndex(), 13);
    EXPECT_GE(dlg->frequencyList()->view()->minimumWidth(), COption::kFrequencyDropDownWidth);
    auto* note = qobject_cast<QLabel*>(dlg->Control(COption::IDC_NOTE));
    ASSERT_NE(note, nullptr);
    EXPECT_EQ(note->text(), "NOTE: The Bitrate is Estimated  for Stereo 44100 Hz.");
    EXPECT_EQ(qobject_cast<QLabel*>(dlg->Control(COption::IDC_FREQ_LABEL))->text(), "Sampling Frequency:");
    EXPECT_EQ(qobject_cast<QLabel*>(dlg->Control(COption::IDC_BITRATE_LABEL))->text(), "Bits per Second:");
    EXPECT_TRUE(dlg->okButton()->isDefault());
    // Every control lies inside the dialog.
    for (int id : {COption::IDC_ASK_PATH, COption::IDC_FOLDER, COption::IDC_BROWSE, COption::IDC_NAME,
                   COption::IDC_BITRATE, COption::IDC_RESET, COption::IDC_OK, COption::IDC_CANCEL}) {
        ASSERT_NE(dlg->Control(id), nullptr) << id;
        EXPECT_TRUE(dlg->rect().contains(dlg->Control(id)->geometry())) << id;
    }
}

TEST_F(OptionsTest, RadiosEnableThePickerAndTheNameWithoutChangingTheRecord) {
    settings_.askOutputPath = 1;
    auto dlg = Open();
    EXPECT_TRUE(dlg->askRadio()->isChecked());
    EXPECT_FALSE(dlg->browseButton()->isEnabled());
    EXPECT_FALSE(dlg->nameEdit()->isEnabled());
    QTest::mouseClick(dlg->saveToRadio(), Qt::LeftButton, {}, QPoint(5, dlg->saveToRadio()->height() / 2));
    EXPECT_TRUE(dlg->saveToRadio()->isChecked());
    EXPECT_TRUE(dlg->browseButton()->isEnabled());
    EXPECT_TRUE(dlg->nameEdit()->isEnabled());
    EXPECT_EQ(settings_.askOutputPath, 1);
    QTest::mouseClick(dlg->askRadio(), Qt::LeftButton, {}, QPoint(5, dlg->askRadio()->height() / 2));
    EXPECT_FALSE(dlg->browseButton()->isEnabled());
    EXPECT_FALSE(dlg->nameEdit()->isEnabled());
}

TEST_F(OptionsTest, AskModeAcceptsAnEmptyFolder) {
    settings_.askOutputPath = 1;
    settings_.outputFolder = "";
    auto dlg = Open();
    ModalDriver driver;
    int boxes = 0;
    driver.Then<QMessageBox>([&](QMessageBox* box) {
        ++boxes;
        box->reject();
    });
    QTest::mouseClick(dlg->okButton(), Qt::LeftButton);
    QTest::qWait(60);
    EXPECT_EQ(boxes, 0);
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(settings_.outputFolder, "");
    EXPECT_EQ(settings_.askOutputPath, 1);
}

TEST_F(OptionsTest, PickedFolderIsStoredWithATrailingSlash) {
    std::filesystem::create_directories(dir_ / "x" / "Out");
    const QString out = QString::fromStdString((dir_ / "x" / "Out").string());
    settings_.askOutputPath = 0;
    settings_.outputFolder = dir_.path().string() + "/";
    auto dlg = Open();
    ModalDriver driver;
    driver.Then<QFileDialog>([&](QFileDialog* browser) { PickInBrowser(browser, out); });
    QTest::mouseClick(dlg->browseButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return driver.done() && !QApplication::activeModalWidget(); }));
    EXPECT_EQ(dlg->folderEdit()->text(), out);  // shown without a trailing "/"
    EXPECT_EQ(settings_.outputFolder, dir_.path().string() + "/");  // the record waits for OK
    QTest::mouseClick(dlg->okButton(), Qt::LeftButton);
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_EQ(settings_.outputFolder, out.toStdString() + "/");
}

TEST_F(OptionsTest, FolderEndingInSlashIsStoredUnchanged) {
    settings_.askOutputPath = 0;
    settings_.outputFolder = "/tmp/x/Out/";
    auto dlg = Open();
    QTest::mouseClick(dlg->okButton(), Qt::LeftButton);
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_EQ(settings_.outputFolder, "/tmp/x/Out/");
}

TEST_F(OptionsTest, DefaultFileNameIsSanitisedOnOk) {
    settings_.outputFolder = "/tmp/";
    {
        auto dlg = Open();
        SetText(dlg->nameEdit(), QStringLiteral("a:b?c"));
        QTest::mouseClick(dlg->okButton(), Qt::LeftButton);
        EXPECT_EQ(settings_.defaultFileName, "a_b_c");
    }
    {
        auto dlg = Open();
        EXPECT_EQ(dlg->nameEdit()->text(), "a_b_c");
        SetText(dlg->nameEdit(), QStringLiteral("x\\y"));
        QTest::keyClick(dlg->nameEdit(), Qt::Key_Return);  // Enter presses the default button, OK
        EXPECT_EQ(dlg->result(), QDialog::Accepted);
        EXPECT_EQ(settings_.defaultFileName, "x\\y");
    }
}

TEST_F(OptionsTest, EmptyFolderInSaveToModeShowsTheErrorYetKeepsWhatWasTyped) {
    settings_.askOutputPath = 1;
    settings_.outputFolder = "";
    settings_.defaultFileName = "Untitled";
    settings_.bitrateIndex = 11;
    auto dlg = Open();
    QTest::mouseClick(dlg->saveToRadio(), Qt::LeftButton, {}, QPoint(5, dlg->saveToRadio()->height() / 2));
    SetText(dlg->nameEdit(), QStringLiteral("Evening:Mix"));
    dlg->bitrateList()->setFocus();
    QTest::keyClick(dlg->bitrateList(), Qt::Key_Down);
    ASSERT_EQ(dlg->bitrateList()->currentIndex(), 12);

    ModalDriver driver;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    driver.Then<QMessageBox>([&](QMessageBox* box) {
        text = box->text();
        icon = box->icon();
        ClickBoxButton(box, QMessageBox::Ok);
    });
    QTest::mouseClick(dlg->okButton(), Qt::LeftButton);
    EXPECT_TRUE(driver.done());
    EXPECT_EQ(text, "Invalidate Output Folder!");
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_TRUE(dlg->isVisible());  // stays open
    EXPECT_EQ(settings_.defaultFileName, "Evening_Mix");
    EXPECT_EQ(settings_.askOutputPath, 0);
    EXPECT_EQ(settings_.outputFolder, "");
    EXPECT_EQ(settings_.bitrateIndex, 11);  // the lists are read only after the check

    QTest::mouseClick(dlg->cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->result(), QDialog::Rejected);
    EXPECT_EQ(settings_.defaultFileName, "Evening_Mix");
    EXPECT_EQ(settings_.askOutputPath, 0);
}

TEST_F(OptionsTest, ListsAreStoredOnOkAndIgnoredOnCancel) {
    settings_.outputFolder = "/tmp/";
    {
        auto dlg = Open();
        dlg->frequencyList()->setFocus();
        for (int i = 0; i < 8; ++i) QTest::keyClick(dlg->frequencyList(), Qt::Key_Down);
        dlg->channelList()->setFocus();
        QTest::keyClick(dlg->channelList(), Qt::Key_Down);
        QTest::keyClick(dlg->channelList(), Qt::Key_Down);
        QTest::keyClick(dlg->cancelButton(), Qt::Key_Escape);
        EXPECT_EQ(dlg->result(), QDialog::Rejected);
        EXPECT_EQ(settings_.frequencyIndex, 0);
        EXPECT_EQ(settings_.channelModeIndex, 0);
    }
    {
        auto dlg = Open();
        dlg->frequencyList()->setFocus();
        for (int i = 0; i < 8; ++i) QTest::keyClick(dlg->frequencyList(), Qt::Key_Down);
        dlg->channelList()->setFocus();
        QTest::keyClick(dlg->channelList(), Qt::Key_Down);
        QTest::keyClick(dlg->channelList(), Qt::Key_Down);
        dlg->bitrateList()->setFocus();
        QTest::keyClick(dlg->bitrateList(), Qt::Key_End);
        QTest::mouseClick(dlg->okButton(), Qt::LeftButton);
        EXPECT_EQ(settings_.frequencyIndex, 8);
        EXPECT_EQ(settings_.channelModeIndex, 2);
        EXPECT_EQ(settings_.bitrateMode, kBitrateSameAsInputs);  // the last item
    }
}

TEST_F(OptionsTest, OutputFileGroupShowsAndStoresTagsAndChapters) {
    settings_.outputFolder = "/tmp/";
    settings_.chapterMode = 2;
    {
        auto dlg = Open();
        EXPECT_TRUE(dlg->tagsCheck()->isChecked());
        EXPECT_EQ(dlg->tagsCheck()->text(), "Copy tags and cover from the first files");
        ASSERT_EQ(dlg->chapterList()->count(), 3);
        EXPECT_EQ(dlg->chapterList()->currentText(), "One chapter per title");
        EXPECT_EQ(dlg->chapterList()->itemText(2), "No chapters");
        // Inside the dialog, below the encoder group and above the buttons.
        EXPECT_LT(dlg->chapterList()->geometry().bottom(), dlg->okButton()->y());
        EXPECT_GT(dlg->tagsCheck()->y(), dlg->bitrateList()->geometry().bottom());
        EXPECT_LE(dlg->chapterList()->geometry().right(), dlg->width());
        QTest::mouseClick(dlg->tagsCheck(), Qt::LeftButton, {}, QPoint(5, dlg->tagsCheck()->height() / 2));
        dlg->chapterList()->setFocus();
        QTest::keyClick(dlg->chapterList(), Qt::Key_Down);
        EXPECT_FALSE(dlg->copyCheck()->isChecked());
        EXPECT_LT(dlg->copyCheck()->geometry().bottom(), dlg->okButton()->y());
        dlg->copyCheck()->setFocus();
        QTest::keyClick(dlg->copyCheck(), Qt::Key_Space);
        // Loudness: off, the podcast preset chosen, its list greyed and no LUFS box until Custom.
        EXPECT_FALSE(dlg->loudnessCheck()->isChecked());
        ASSERT_EQ(dlg->loudnessPresetList()->count(), 4);
        const QStringList items = {"Podcast (-16 LUFS, -1 dBTP)", "Audiobook (RMS -20 dB, peaks -3 dB)",
                                   "Broadcast (-23 LUFS, -1 dBTP)", "Custom"};
        for (int i = 0; i < 4; ++i) EXPECT_EQ(dlg->loudnessPresetList()->itemText(i), items[i]);
        EXPECT_EQ(dlg->loudnessPresetList()->currentIndex(), 0);
        EXPECT_FALSE(dlg->loudnessPresetList()->isEnabled());
        EXPECT_TRUE(dlg->loudnessTarget()->isHidden());
        EXPECT_LT(dlg->loudnessTarget()->geometry().bottom(), dlg->okButton()->y());
        EXPECT_GT(dlg->loudnessPresetList()->y(), dlg->loudnessCheck()->geometry().bottom());
        EXPECT_LE(dlg->loudnessTarget()->geometry().right(), dlg->width());
        QTest::mouseClick(dlg->loudnessCheck(), Qt::LeftButton, {}, QPoint(5, dlg->loudnessCheck()->height() / 2));
        EXPECT_TRUE(dlg->loudnessPresetList()->isEnabled());
        dlg->loudnessPresetList()->setFocus();
        for (int i = 0; i < 3; ++i) QTest::keyClick(dlg->loudnessPresetList(), Qt::Key_Down);
        EXPECT_EQ(dlg->loudnessPresetList()->currentText(), "Custom");
        EXPECT_FALSE(dlg->loudnessTarget()->isHidden());
        EXPECT_EQ(dlg->loudnessTarget()->value(), -16);
        dlg->loudnessTarget()->setFocus();
        for (int i = 0; i < 20; ++i) QTest::keyClick(dlg->loudnessTarget(), Qt::Key_Down);  // stops at -30
        // Parts: the label's mnemonic reaches the hours; 1 h 30 min.
        EXPECT_EQ(dlg->partHours()->value(), 0);
        EXPECT_LT(dlg->partMinutes()->geometry().bottom(), dlg->okButton()->y());
        QTest::keyClick(dlg.get(), Qt::Key_M, Qt::AltModifier);
        ASSERT_TRUE(dlg->partHours()->hasFocus());
        QTest::keyClick(dlg->partHours(), Qt::Key_Up);
        dlg->partMinutes()->setFocus();
        dlg->partMinutes()->selectAll();
        QTest::keyClicks(dlg->partMinutes(), "30");
        QTest::mouseClick(dlg->okButton(), Qt::LeftButton);
    }
    EXPECT_EQ(settings_.maxPartMinutes, 90);
    EXPECT_EQ(settings_.copyFrames, 1);
    EXPECT_EQ(settings_.loudness, 1);
    EXPECT_EQ(settings_.loudnessPreset, kLoudnessCustom);
    EXPECT_EQ(settings_.loudnessTarget, -30);
    {
        // Audiobook shows as stored; a step up picks Podcast, and Custom's target is kept for later.
        settings_.loudnessPreset = kLoudnessAudiobook;
        auto dlg = Open();
        EXPECT_EQ(dlg->loudnessPresetList()->currentText(), "Audiobook (RMS -20 dB, peaks -3 dB)");
        EXPECT_TRUE(dlg->loudnessTarget()->isHidden());
        dlg->loudnessPresetList()->setFocus();
        QTest::keyClick(dlg->loudnessPresetList(), Qt::Key_Up);
        QTest::mouseClick(dlg->okButton(), Qt::LeftButton);
    }
    EXPECT_EQ(settings_.loudnessPreset, kLoudnessPodcast);
    EXPECT_EQ(settings_.loudnessTarget, -30);
    EXPECT_EQ(settings_.outputTags, 0);
    EXPECT_EQ(settings_.chapterMode, 0);
    ASSERT_TRUE(SaveSettings(settings_, settingsFile_));
    AppSettings again;
    ASSERT_TRUE(LoadSettings(again, settingsFile_));
    EXPECT_EQ(again.outputTags, 0);
    EXPECT_EQ(again.chapterMode, 0);
    EXPECT_EQ(again.copyFrames, 1);
    {
        settings_.chapterMode = 1;
        auto dlg = Open();
        EXPECT_FALSE(dlg->tagsCheck()->isChecked());
        EXPECT_EQ(dlg->chapterList()->currentText(), "One chapter per file");
        QTest::keyClick(dlg->cancelButton(), Qt::Key_Escape);
    }
    EXPECT_EQ(settings_.chapterMode, 1);
}

TEST_F(OptionsTest, IndexOutsideItsTableLeavesTheListEmptyAndIsKeptOnOk) {
    settings_.outputFolder = "/tmp/";
    settings_.frequencyIndex = 42;
    settings_.bitrateIndex = -3;
    auto dlg = Open();
    EXPECT_EQ(dlg->frequencyList()->currentIndex(), -1);
    EXPECT_EQ(dlg->bitrateList()->currentIndex(), -1);
    EXPECT_EQ(dlg->channelList()->currentIndex(), 0);
    QTest::mouseClick(dlg->okButton(), Qt::LeftButton);
    EXPECT_EQ(settings_.frequencyIndex, 42);
    EXPECT_EQ(settings_.bitrateIndex, -3);
}

TEST_F(OptionsTest, ResetThenCancelLeavesTheSettingsResetAndTheFileDeleted) {
    AppSettings stored;
    stored.askOutputPath = 1;
    stored.outputFolder = "/srv/music/";
    stored.defaultFileName = "Joined";
    stored.bitrateIndex = 4;
    stored.channelModeIndex = 3;
    stored.frequencyIndex = 6;
    ASSERT_TRUE(SaveSettings(stored, settingsFile_));
    ASSERT_TRUE(LoadSettings(settings_, settingsFile_));
    ASSERT_EQ(settings_.bitrateIndex, 4);

    AppEnv env;  // DefaultOutputFolder() comes from this private home
    auto dlg = Open();
    int resets = 0;
    dlg->SetResetCallback([&] { ++resets; });

    // "No" changes nothing.
    ModalDriver driver;
    QString question;
    driver.Then<QMessageBox>([&](QMessageBox* box) {
        question = box->text();
        EXPECT_EQ(box->icon(), QMessageBox::Warning);
        ClickBoxButton(box, QMessageBox::No);
    });
    QTest::mouseClick(dlg->resetButton(), Qt::LeftButton);
    EXPECT_EQ(question, "Reset ALL Options, Are You Sure?");
    EXPECT_TRUE(QFile::exists(QString::fromStdString(settingsFile_)));
    EXPECT_EQ(settings_.bitrateIndex, 4);
    EXPECT_EQ(resets, 0);

    driver.Then<QMessageBox>([&](QMessageBox* box) { ClickBoxButton(box, QMessageBox::Yes); });
    QTest::mouseClick(dlg->resetButton(), Qt::LeftButton);
    EXPECT_TRUE(dlg->isVisible());  // stays open
    EXPECT_FALSE(QFile::exists(QString::fromStdString(settingsFile_)));
    EXPECT_EQ(resets, 1);
    EXPECT_EQ(settings_.askOutputPath, 0);
    EXPECT_EQ(settings_.bitrateIndex, 11);
    EXPECT_EQ(settings_.channelModeIndex, 0);
    EXPECT_EQ(settings_.frequencyIndex, 0);
    EXPECT_EQ(settings_.defaultFileName, "Untitled");
    EXPECT_EQ(settings_.outputFolder, DefaultOutputFolder());
    EXPECT_EQ(settings_.outputFolder, (env.home() / "Music").string() + "/");
    // The controls show the defaults.
    EXPECT_TRUE(dlg->saveToRadio()->isChecked());
    EXPECT_EQ(dlg->folderEdit()->text().toStdString(), settings_.outputFolder);
    EXPECT_EQ(dlg->nameEdit()->text(), "Untitled");
    EXPECT_EQ(dlg->bitrateList()->currentIndex(), 11);
    EXPECT_EQ(dlg->channelList()->count(), 5);  // refilled, not appended to

    QTest::mouseClick(dlg->cancelButton(), Qt::LeftButton);
    EXPECT_EQ(dlg->result(), QDialog::Rejected);
    EXPECT_EQ(settings_.bitrateIndex, 11);
    EXPECT_EQ(settings_.defaultFileName, "Untitled");
    EXPECT_FALSE(QFile::exists(QString::fromStdString(settingsFile_)));
}

TEST_F(OptionsTest, PickerStartsAtTheStoredFolderEvenAfterAnotherPick) {
    std::filesystem::create_directories(dir_ / "stored");
    std::filesystem::create_directories(dir_ / "other");
    const QString stored = QString::fromStdString((dir_ / "stored").string());
    const QString other = QString::fromStdString((dir_ / "other").string());
    settings_.outputFolder = stored.toStdString() + "/";
    auto dlg = Open();

    ModalDriver driver;
    QString firstStart, secondStart, title;
    driver.Then<QFileDialog>([&](QFileDialog* browser) {
        firstStart = browser->directory().absolutePath();
        title = browser->windowTitle();
        PickInBrowser(browser, other);
    });
    QTest::mouseClick(dlg->browseButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return driver.done() && !QApplication::activeModalWidget(); }));
    EXPECT_EQ(title, "Specify the Output Folder");
    EXPECT_EQ(firstStart, stored);
    EXPECT_EQ(dlg->folderEdit()->text(), other);

    driver.Then<QFileDialog>([&](QFileDialog* browser) {
        secondStart = browser->directory().absolutePath();
        QTest::keyClick(browser, Qt::Key_Escape);  // cancel: the box keeps the earlier pick
    });
    QTest::mouseClick(dlg->browseButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return driver.done() && !QApplication::activeModalWidget(); }));
    EXPECT_EQ(secondStart, stored);
    EXPECT_EQ(dlg->folderEdit()->text(), other);
}

// ---- through the main window

namespace {

class OptionsCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedEnd_ = CZEPHDlg::ProcessEnd();
        CZEPHDlg::ProcessEnd() = [](int) {};
    }
    void TearDown() override { CZEPHDlg::ProcessEnd() = savedEnd_; }
    std::unique_ptr<CZEPHDlg> OpenMain() { return velmora::testing::OpenShownMainWindow(); }
    AppEnv env_;
    std::function<void(int)> savedEnd_;
};

}  // namespace

TEST_F(OptionsCommandTest, CtrlOOpensOptionsAndOkRefreshesTheEncoderSummary) {
    auto main = OpenMain();
    ASSERT_TRUE(main->HasCommandHandler(ID_OPTIONS));
    ModalDriver driver;
    bool sawOptions = false;
    driver.Then<COption>([&](COption* options) {
        sawOptions = true;
        EXPECT_EQ(options->parentWidget(), main.get());
        options->frequencyList()->setFocus();
        for (int i = 0; i < 8; ++i) QTest::keyClick(options->frequencyList(), Qt::Key_Down);
        options->channelList()->setFocus();
        QTest::keyClick(options->channelList(), Qt::Key_Down);
        QTest::keyClick(options->channelList(), Qt::Key_Down);
        QTest::mouseClick(options->okButton(), Qt::LeftButton);
    });
    QTest::keyClick(main.get(), Qt::Key_O, Qt::ControlModifier);
    ASSERT_TRUE(sawOptions);
    EXPECT_EQ(main->settings().frequencyIndex, 8);
    EXPECT_EQ(main->settings().channelModeIndex, 2);
    EXPECT_EQ(main->statusBar()->Text(2), "  MP3:  CBR 128 kbps; 44100 Hz; Stereo;");

    // 8000 Hz is padded to the width of the five-digit rates.
    driver.Then<COption>([&](COption* options) {
        options->frequencyList()->setFocus();
        QTest::keyClick(options->frequencyList(), Qt::Key_Home);
        QTest::keyClick(options->frequencyList(), Qt::Key_Down);
        QTest::mouseClick(options->okButton(), Qt::LeftButton);
    });
    main->OnCommand(ID_OPTIONS);
    EXPECT_EQ(main->settings().frequencyIndex, 1);
    EXPECT_NE(main->statusBar()->Text(2).indexOf(" 8000 Hz"), -1) << main->statusBar()->Text(2).toStdString();
    EXPECT_EQ(main->statusBar()->Text(2), "  MP3:  CBR 128 kbps;  8000 Hz; Stereo;");

    // A VBR entry, found by its first letter and four steps down.
    driver.Then<COption>([&](COption* options) {
        options->bitrateList()->setFocus();
        QTest::keyClick(options->bitrateList(), Qt::Key_V);
        for (int i = 0; i < 4; ++i) QTest::keyClick(options->bitrateList(), Qt::Key_Down);
        EXPECT_EQ(options->bitrateList()->currentText(), "VBR, quality 4");
        QTest::mouseClick(options->okButton(), Qt::LeftButton);
    });
    main->OnCommand(ID_OPTIONS);
    EXPECT_EQ(main->settings().bitrateMode, kBitrateVbr);
    EXPECT_EQ(main->statusBar()->Text(2), "  MP3:  VBR quality 4;  8000 Hz; Stereo;");
}

// The format is chosen in "Output file" with the keyboard; an M4B takes AAC's bit rates, and
// the MP3 rates and the copy join are off while it is chosen. The status bar says what is
// encoded; Cancel changes nothing.
TEST_F(OptionsCommandTest, FormatChoiceM4bTakesAacRatesAndShowsInTheStatusBar) {
    auto main = OpenMain();
    EXPECT_EQ(main->settings().outputFormat, kFormatMp3) << "a fresh profile writes MP3";
    ModalDriver driver;
    driver.Then<COption>([&](COption* options) {
        EXPECT_EQ(options->formatList()->currentText(), "MP3");
        EXPECT_FALSE(options->aacBitrateList()->isEnabled());
        options->partMinutes()->setFocus();
        QTest::keyClick(options->partMinutes(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), options->formatList()) << "Tab goes from the parts to the format";
        EXPECT_EQ(options->aacBitrateList()->currentText(), "64 kbit/s");
        options->formatList()->setFocus();
        QTest::keyClick(options->formatList(), Qt::Key_Down);
        EXPECT_EQ(options->formatList()->currentText(), "M4B audiobook (AAC)");
        EXPECT_FALSE(options->bitrateList()->isEnabled());
        EXPECT_FALSE(options->copyCheck()->isEnabled());
        ASSERT_TRUE(options->aacBitrateList()->isEnabled());
        options->aacBitrateList()->setFocus();
        QTest::keyClick(options->aacBitrateList(), Qt::Key_Down);
        QTest::keyClick(options->aacBitrateList(), Qt::Key_Down);
        EXPECT_EQ(options->aacBitrateList()->currentText(), "96 kbit/s");
        QTest::mouseClick(options->okButton(), Qt::LeftButton);
    });
    main->OnCommand(ID_OPTIONS);
    ASSERT_TRUE(driver.done());
    EXPECT_EQ(main->settings().outputFormat, kFormatM4b);
    EXPECT_EQ(main->settings().aacBitrateKbps, 96);
    EXPECT_EQ(main->statusBar()->Text(2), "  M4B: AAC 96 kbps; Automatic Frequency; Automatic Channel;");

    driver.Then<COption>([&](COption* options) {
        EXPECT_EQ(options->formatList()->currentText(), "M4B audiobook (AAC)");
        options->formatList()->setFocus();
        QTest::keyClick(options->formatList(), Qt::Key_Up);
        EXPECT_TRUE(options->bitrateList()->isEnabled());
        QTest::mouseClick(options->cancelButton(), Qt::LeftButton);
    });
    main->OnCommand(ID_OPTIONS);
    EXPECT_EQ(main->settings().outputFormat, kFormatM4b);
}

TEST_F(OptionsCommandTest, ResetThenCancelRefreshesTheSummaryAndTheFileComesBackAtClose) {
    auto main = OpenMain();
    main->settings().bitrateIndex = 16;
    main->settings().frequencyIndex = 9;
    main->ShowEncoderSummary();
    ASSERT_EQ(main->statusBar()->Text(2), "  MP3:  CBR 320 kbps; 48000 Hz; Automatic Channel;");
    ASSERT_TRUE(QFile::exists(env_.SettingsFile()));

    ModalDriver driver;
    driver.Then<COption>([&](COption* options) { QTest::mouseClick(options->resetButton(), Qt::LeftButton); });
    driver.Then<QMessageBox>([&](QMessageBox* box) { ClickBoxButton(box, QMessageBox::Yes); });
    driver.Then<COption>([&](COption* options) {
        // After the reset the summary already shows the defaults, with the dialog still open.
        EXPECT_EQ(main->statusBar()->Text(2), "  MP3:  CBR 128 kbps; Automatic Frequency; Automatic Channel;");
        QTest::mouseClick(options->cancelButton(), Qt::LeftButton);
    });
    main->OnCommand(ID_OPTIONS);
    EXPECT_TRUE(driver.done());
    EXPECT_EQ(main->settings().bitrateIndex, 11);
    EXPECT_FALSE(QFile::exists(env_.SettingsFile()));
    // The close sequence writes the file again.
    main->close();
    EXPECT_TRUE(QFile::exists(env_.SettingsFile()));
    AppSettings reread;
    ASSERT_TRUE(LoadSettings(reread, env_.SettingsFile().toStdString()));
    EXPECT_EQ(reread.bitrateIndex, 11);
}

TEST_F(OptionsTest, ClosedListsShowTheirLongestItemWhole) {
    auto dlg = Open();
    for (int id : {COption::IDC_FREQ, COption::IDC_CHANNEL, COption::IDC_BITRATE, COption::IDC_LOUDNESS_PRESET}) {
        auto* list = qobject_cast<QComboBox*>(dlg->Control(id));
        ASSERT_NE(list, nullptr) << id;
        const QFontMetrics metrics(list->font());
        int longest = 0;
        for (int i = 0; i < list->count(); ++i) longest = std::max(longest, metrics.horizontalAdvance(list->itemText(i)));
        // The text area of the closed list, as the style lays it out.
        QStyleOptionComboBox option;
        option.initFrom(list);
        const QRect text = list->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, list);
        EXPECT_GE(text.width(), longest) << id;
        EXPECT_LE(list->geometry().right(), dlg->width()) << id;
    }
}
