#include <gtest/gtest.h>

// The loads under test come in through the drop target's event.
#include "app/drop_target.h"

#include <QApplication>
#include <QAbstractItemView>
#include <QCheckBox>
#include <QHeaderView>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "app/command_ids.h"
#include "app/file_loader.h"
#include "app/option_dlg.h"
#include "app/status_bar.h"
#include "app/zeph_dlg.h"
#include "app_env.h"
#include "window_helpers.h"
#include "controls/report_ctrl.h"
#include "controls/s_splitter.h"
#include "filelist/file_item_info.h"
#include "filelist/file_list_columns.h"
#include "filelist/list_locked.h"
#include "foldertree/file_tree_ctrl.h"
#include "join/processing.h"
#include "support/ffmpeg_fixtures.h"
#include "support/mp3_fixtures.h"
#include "template_mp3.h"

using namespace velmora;
using velmora::testing::AppEnv;
using velmora::testing::TempDir;
using velmora::testing::TemplateMp3;
namespace fs = std::filesystem;

using velmora::testing::AnswerModal;

namespace {

// Enough files that a load is still running well after the busy dialog's half second, even on
// an idle machine.
constexpr int kLongFolder = 8000;

void PutMp3(const fs::path& path) {
    fs::create_directories(path.parent_path());
    fs::copy_file(TemplateMp3(), path, fs::copy_options::overwrite_existing);
}

void PutText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

using velmora::testing::Q;

QStringList Names(const CReportCtrl& list) {
    QStringList names;
    for (int r = 0; r < list.GetItemCount(); ++r) names << list.GetItemText(r, kColName);
    return names;
}

class FileLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedEnd_ = CZEPHDlg::ProcessEnd();
        CZEPHDlg::ProcessEnd() = [](int) {};
        LowerListLocked();
    }
    void TearDown() override {
        // A box left open by a failed expectation must not block the next test.
        while (QWidget* modal = QApplication::activeModalWidget()) {
            if (auto* d = qobject_cast<QDialog*>(modal)) d->reject();
            else break;
            QApplication::processEvents();
        }
        dlg_.reset();
        CZEPHDlg::ProcessEnd() = savedEnd_;
    }

    CZEPHDlg& Open() {
        dlg_ = std::make_unique<CZEPHDlg>();
        EXPECT_TRUE(dlg_->OnInitDialog());
        dlg_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(dlg_.get()));
        QApplication::setActiveWindow(dlg_.get());
        FileLoaderOf(*dlg_).WaitIdle(20000);
        return *dlg_;
    }
    CFileLoader& Loader() { return FileLoaderOf(*dlg_); }
    CReportCtrl& List() { return *dlg_->fileList(); }
    bool WaitIdle() { return Loader().WaitIdle(30000); }
    void WaitBusy() {
        QElapsedTimer t;
        t.start();
        while (!dlg_->IsBusy() && Loader().IsRunning() && t.elapsed() < 10000) QTest::qWait(1);
    }

    // The totals must equal what the rows hold.
    void ExpectTotalsMatchRows() {
        double size = 0, seconds = 0;
        for (int r = 0; r < List().GetItemCount(); ++r) {
            auto* info = static_cast<FileItemInfo*>(List().GetItemUserData(r));
            ASSERT_NE(info, nullptr);
            size += info->sizeMB;
            seconds += info->duration;
        }
        EXPECT_EQ(dlg_->totals.fileCount, List().GetItemCount());
        EXPECT_NEAR(dlg_->totals.totalSizeMB, size, 1e-6);
        EXPECT_NEAR(dlg_->totals.totalSeconds, seconds, 1e-6);
    }
    void ExpectIdleState() {
        EXPECT_FALSE(dlg_->IsBusy());
        EXPECT_FALSE(IsListLocked());
        EXPECT_EQ(dlg_->windowTitle(), "Velmora 5.0.9");
        EXPECT_FALSE(dlg_->busyDialog()->isVisible());
        EXPECT_TRUE(dlg_->fileTree()->isEnabled());
    }

    AppEnv env_;
    TempDir files_;
    std::unique_ptr<CZEPHDlg> dlg_;
    std::function<void(int)> savedEnd_;
};

TEST_F(FileLoaderTest, TreeSelectionLoadsTheFoldersMp3FilesSorted) {
    PutMp3(files_ / "music" / "b.mp3");
    PutMp3(files_ / "music" / "a.MP3");
    PutText(files_ / "music" / "c.txt", "not audio");
    CZEPHDlg& dlg = Open();
    dlg.setWindowTitle("something else");
    ASSERT_TRUE(dlg.fileTree()->SetSelectedPath(Q(files_ / "music"), false));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Names(List()), (QStringList{"a.MP3", "b.mp3"}));
    for (int r = 0; r < 2; ++r) {
        EXPECT_EQ(List().GetItemText(r, kColType), "MP3");
        EXPECT_EQ(List().GetItemText(r, kColPath), Q(files_ / "music") + "/");
        EXPECT_EQ(List().GetItemText(r, kColFrequency).isEmpty(), false);
        EXPECT_EQ(List().GetItemText(r, kColLastModified).size(), 19);
    }
    EXPECT_TRUE(dlg.statusBar()->Text(0).startsWith("2 file(s)   0.0"));
    EXPECT_EQ(dlg.statusBar()->TipText(0), dlg.statusBar()->Text(0));
    EXPECT_EQ(dlg.statusBar()->Text(1), " No file selected");
    EXPECT_EQ(dlg.statusBar()->TipText(1), "No file selected");
    ExpectTotalsMatchRows();
    EXPECT_NEAR(dlg.totals.totalSeconds, 0.6, 0.1);
    ExpectIdleState();
}

TEST_F(FileLoaderTest, ShiftKeepsTheListAndCtrlAddsSubfoldersAfterTheFoldersOwn) {
    PutMp3(files_ / "one" / "o.mp3");
    PutMp3(files_ / "two" / "z.mp3");
    PutMp3(files_ / "two" / "sub" / "a.mp3");
    PutMp3(files_ / "two" / "sub" / "deeper" / "b.mp3");
    Open();
    List().SetSortList({});  // no sort keys: the rows keep the order they were added in
    Loader().LoadTreeFolder(Q(files_ / "one"), Qt::NoModifier);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Names(List()), QStringList{"o.mp3"});

    Loader().LoadTreeFolder(Q(files_ / "two"), Qt::ShiftModifier);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Names(List()), (QStringList{"o.mp3", "z.mp3"}));

    Loader().LoadTreeFolder(Q(files_ / "two"), Qt::ControlModifier);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Names(List()), (QStringList{"z.mp3", "a.mp3", "b.mp3"}));

    Loader().LoadTreeFolder(Q(files_ / "one"), Qt::ShiftModifier | Qt::ControlModifier);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Names(List()), (QStringList{"z.mp3", "a.mp3", "b.mp3", "o.mp3"}));
    ExpectTotalsMatchRows();
    ExpectIdleState();
}

TEST_F(FileLoaderTest, FoldersLoadInNaturalOrderAndTheOptionTurnsTheNameSortBackToByteOrder) {
    for (const char* name : {"Part 10.mp3", "Part 2.mp3", "Part 11.mp3", "Part 1.mp3", "Part 9.mp3"}) PutMp3(files_ / "book" / name);
    PutMp3(files_ / "book" / "Disc 10" / "x.mp3");
    PutMp3(files_ / "book" / "Disc 2" / "y.mp3");
    CZEPHDlg& dlg = Open();
    ASSERT_EQ(dlg.settings().naturalSort, 1);
    List().SetSortList({});  // no sort keys: the rows keep the walk's order
    Loader().LoadTreeFolder(Q(files_ / "book"), Qt::ControlModifier);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Names(List()), (QStringList{"Part 1.mp3", "Part 2.mp3", "Part 9.mp3", "Part 10.mp3", "Part 11.mp3", "y.mp3",
                                          "x.mp3"}));

    QHeaderView* header = List().header();
    auto clickName = [&] {
        const QPoint centre(header->sectionViewportPosition(kColName) + header->sectionSize(kColName) / 2, header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, centre);
    };
    clickName();  // ascending, numbers by value
    EXPECT_EQ(Names(List()), (QStringList{"Part 1.mp3", "Part 2.mp3", "Part 9.mp3", "Part 10.mp3", "Part 11.mp3", "x.mp3",
                                          "y.mp3"}));

    // The option off, through the Options dialog: the next sorts are byte order again.
    AnswerModal<COption>([](COption* options) {
        QCheckBox* check = options->naturalSortCheck();
        EXPECT_TRUE(check->isChecked());
        QTest::mouseClick(check, Qt::LeftButton, {}, QPoint(5, check->height() / 2));
        QTest::mouseClick(options->okButton(), Qt::LeftButton);
    });
    QTest::keyClick(&dlg, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(dlg.settings().naturalSort, 0);
    clickName();  // descending
    EXPECT_EQ(Names(List()), (QStringList{"y.mp3", "x.mp3", "Part 9.mp3", "Part 2.mp3", "Part 11.mp3", "Part 10.mp3",
                                          "Part 1.mp3"}));
    clickName();  // ascending
    EXPECT_EQ(Names(List()), (QStringList{"Part 1.mp3", "Part 10.mp3", "Part 11.mp3", "Part 2.mp3", "Part 9.mp3", "x.mp3",
                                          "y.mp3"}));
    ExpectIdleState();
}

TEST_F(FileLoaderTest, OtherAudioFormatsLoadInNameOrderUntilTheOptionTurnsThemOff) {
    const fs::path mixed = files_ / "mixed";
    fs::create_directories(mixed);
    ASSERT_TRUE(velmora::testing::MakeToneWithFfmpeg(mixed / "1 intro.WAV", {.rate = 22050, .channels = 1, .seconds = 0.5}));
    ASSERT_TRUE(velmora::testing::MakeToneWithFfmpeg(mixed / "2 talk.m4a",
                                                     {.seconds = 0.5, .tags = {{"title", "Talk"}}}));
    PutMp3(mixed / "3 outro.mp3");
    PutText(mixed / "notes.txt", "not audio");
    PutText(files_ / "loose.flac", "dropped with the option off");
    CZEPHDlg& dlg = Open();
    ASSERT_EQ(dlg.settings().otherAudioFiles, 1);
    List().SetSortList({});
    Loader().LoadTreeFolder(Q(mixed), Qt::NoModifier);
    ASSERT_TRUE(WaitIdle());
    ASSERT_EQ(Names(List()), (QStringList{"1 intro.WAV", "2 talk.m4a", "3 outro.mp3"}));
    EXPECT_EQ(List().GetItemText(0, kColType), "WAV");
    EXPECT_EQ(List().GetItemText(0, kColFrequency), "22050 Hz");
    EXPECT_EQ(List().GetItemText(1, kColType), "M4A");
    EXPECT_EQ(List().GetItemText(1, kColTitle), "Talk");
    for (int r = 0; r < 3; ++r) EXPECT_EQ(static_cast<FileItemInfo*>(List().GetItemUserData(r))->unreadable, 0) << r;
    ExpectTotalsMatchRows();

    // Off through the Options dialog: folders and drops take MP3 files only.
    AnswerModal<COption>([](COption* options) {
        QCheckBox* check = options->otherAudioCheck();
        EXPECT_TRUE(check->isChecked());
        QTest::mouseClick(check, Qt::LeftButton, {}, QPoint(5, check->height() / 2));
        QTest::mouseClick(options->okButton(), Qt::LeftButton);
    });
    QTest::keyClick(&dlg, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(dlg.settings().otherAudioFiles, 0);
    Loader().LoadTreeFolder(Q(mixed), Qt::NoModifier);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Names(List()), QStringList{"3 outro.mp3"});
    QCoreApplication::postEvent(&dlg, new FilesDroppedEvent({Q(files_ / "loose.flac"), Q(mixed / "1 intro.WAV")}));
    QTest::qWait(50);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Names(List()), QStringList{"3 outro.mp3"});
    ExpectIdleState();
}

TEST(AddFilesDialog, OffersEveryAudioFormatFirstAndMp3Second) {
    const QStringList filters = AddFilesFilters();
    ASSERT_EQ(filters.size(), 2);
    EXPECT_TRUE(filters[0].startsWith("Audio files (*.wav *.flac ")) << filters[0].toStdString();
    for (const char* pattern : {"*.ogg", "*.oga", "*.opus", "*.m4a", "*.m4b", "*.aac", "*.wma", "*.mp3", "*.mp2"})
        EXPECT_TRUE(filters[0].contains(pattern)) << pattern;
    EXPECT_EQ(filters[1], "MP3 files (*.mp3)");
}

TEST_F(FileLoaderTest, ItemsWithoutAFolderPathAndAHiddenTreeLoadNothing) {
    PutMp3(files_ / "m" / "x.mp3");
    PutMp3(files_ / "n" / "y.mp3");
    CZEPHDlg& dlg = Open();
    ASSERT_TRUE(dlg.fileTree()->SetSelectedPath(Q(files_ / "m"), false));
    ASSERT_TRUE(WaitIdle());
    ASSERT_EQ(List().GetItemCount(), 1);
    // The computer item has no folder path.
    dlg.fileTree()->setCurrentItem(dlg.fileTree()->ComputerItem());
    QTest::qWait(50);
    EXPECT_FALSE(Loader().IsRunning());
    EXPECT_EQ(Names(List()), QStringList{"x.mp3"});
    // A hidden tree's selection changes load nothing.
    dlg.splitter()->HideLeftPane();
    ASSERT_TRUE(dlg.fileTree()->SetSelectedPath(Q(files_ / "n"), false));
    QTest::qWait(50);
    EXPECT_FALSE(Loader().IsRunning());
    EXPECT_EQ(Names(List()), QStringList{"x.mp3"});
}

TEST_F(FileLoaderTest, DropLoadsFoldersWithSubfoldersAndKeepsDroppedFilesAtTheEndInOrder) {
    PutMp3(files_ / "first" / "m.mp3");
    PutMp3(files_ / "drop" / "d.mp3");
    PutMp3(files_ / "drop" / "inner" / "e.mp3");
    PutText(files_ / "x.txt", "text");
    PutMp3(files_ / "mp3");  // a file named like the extension
    PutMp3(files_ / "z2.mp3");
    PutMp3(files_ / "a1.mp3");
    CZEPHDlg& dlg = Open();
    ASSERT_TRUE(dlg.fileTree()->SetSelectedPath(Q(files_ / "first"), false));
    ASSERT_TRUE(WaitIdle());
    QCoreApplication::postEvent(&dlg, new FilesDroppedEvent({Q(files_ / "z2.mp3"), Q(files_ / "drop"), Q(files_ / "x.txt"),
                                                             Q(files_ / "mp3"), Q(files_ / "a1.mp3")}));
    QTest::qWait(10);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Names(List()), (QStringList{"m.mp3", "z2.mp3", "d.mp3", "e.mp3", "mp3", "a1.mp3"}));
    EXPECT_EQ(List().GetItemText(4, kColType), "MP3");
    EXPECT_EQ(static_cast<FileItemInfo*>(List().GetItemUserData(4))->fileType, 2);
    ExpectTotalsMatchRows();
    ExpectIdleState();
}

TEST_F(FileLoaderTest, DropDuringALoadIsRefusedAndCancelKeepsWhatWasRead) {
    for (int i = 0; i < kLongFolder; ++i) PutMp3(files_ / "long" / ("t" + std::to_string(100000 - i) + ".mp3"));
    PutMp3(files_ / "late.mp3");
    CZEPHDlg& dlg = Open();
    ASSERT_TRUE(dlg.fileTree()->SetSelectedPath(Q(files_ / "long"), false));
    WaitBusy();
    ASSERT_TRUE(dlg.IsBusy());
    EXPECT_TRUE(List().updatesEnabled());  // the list keeps painting during the load
    QCoreApplication::postEvent(&dlg, new FilesDroppedEvent({Q(files_ / "late.mp3")}));
    // The busy dialog comes after half a second, naming what it reads; Cancel stops the load.
    QElapsedTimer t;
    t.start();
    while (!dlg.busyDialog()->isVisible() && Loader().IsRunning() && t.elapsed() < 20000) QTest::qWait(5);
    ASSERT_TRUE(dlg.busyDialog()->isVisible()) << "the load ended before the busy dialog showed";
    EXPECT_GE(t.elapsed(), 300);
    EXPECT_TRUE(dlg.busyDialog()->windowTitle().startsWith("Reading  ") ||
                dlg.busyDialog()->windowTitle().startsWith("Scanning  "));
    QTest::mouseClick(dlg.busyDialog()->cancelButton(), Qt::LeftButton);
    // Raised until the load's closing steps: a drop meanwhile is refused.
    EXPECT_TRUE(IsListLocked());
    ASSERT_TRUE(WaitIdle());
    EXPECT_FALSE(IsListLocked());
    const int rows = List().GetItemCount();
    EXPECT_GT(rows, 0);
    EXPECT_LT(rows, kLongFolder);
    EXPECT_FALSE(Names(List()).contains("late.mp3"));
    // Sorted ascending by name.
    const QStringList names = Names(List());
    for (int r = 1; r < rows; ++r) EXPECT_LT(names[r - 1], names[r]);
    ExpectTotalsMatchRows();
    ExpectIdleState();
    // Drops work again.
    QCoreApplication::postEvent(&dlg, new FilesDroppedEvent({Q(files_ / "late.mp3")}));
    QTest::qWait(10);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Names(List()).last(), "late.mp3");
    EXPECT_EQ(List().GetItemCount(), rows + 1);
}

TEST_F(FileLoaderTest, ANewStartBeforeTheOldLoadsFirstCallNeverReArmsIt) {
    for (int i = 0; i < kLongFolder; ++i) PutMp3(files_ / "long" / ("t" + std::to_string(i) + ".mp3"));
    PutMp3(files_ / "short" / "s.mp3");
    Open();
    // Back to back on the UI thread: the first load's entering call has not run yet.
    Loader().LoadTreeFolder(Q(files_ / "long"), Qt::NoModifier);
    Loader().LoadTreeFolder(Q(files_ / "short"), Qt::NoModifier);
    ASSERT_TRUE(WaitIdle());
    // The first load ended at once instead of reading on until it had to be cut off.
    EXPECT_EQ(Loader().cutOffCount(), 0);
    EXPECT_EQ(Names(List()), QStringList({"s.mp3"}));
    ExpectIdleState();
}

TEST_F(FileLoaderTest, ALoadCutOffAfterTheGracePeriodLeavesTheWindowIdle) {
    PutMp3(files_ / "late.mp3");
    CZEPHDlg& dlg = Open();
    // A load stuck where it cannot see its stop (a hung network read, say).
    auto release = std::make_shared<std::atomic<bool>>(false);
    auto ended = std::make_shared<std::atomic<bool>>(false);
    Loader().StartLoader([release, ended](LoaderRun& run) {
        run.EnterBusy(true, true);
        while (!release->load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        run.FinishLoad(true);  // cut off: nothing of it reaches the window
        ended->store(true);
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.IsBusy() && dlg.busyDialog()->isVisible(); }, 5000));
    QTest::mouseClick(dlg.busyDialog()->cancelButton(), Qt::LeftButton);
    ASSERT_TRUE(IsListLocked());
    // Add File(s), cancelled: the stuck load is cut off and no other load follows it.
    AnswerModal<QFileDialog>([](QFileDialog* d) { QTest::keyClick(d, Qt::Key_Escape); });
    QApplication::setActiveWindow(&dlg);
    QTest::keyClick(dlg.fileList(), Qt::Key_F6);
    EXPECT_EQ(Loader().cutOffCount(), 1);
    ExpectIdleState();
    EXPECT_TRUE(List().updatesEnabled());
    // Drops are taken again.
    QCoreApplication::postEvent(&dlg, new FilesDroppedEvent({Q(files_ / "late.mp3")}));
    QTest::qWait(10);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Names(List()), QStringList({"late.mp3"}));
    release->store(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended->load(); }, 5000));
    QTest::qWait(20);
    EXPECT_EQ(Names(List()), QStringList({"late.mp3"}));
    ExpectIdleState();
}

TEST_F(FileLoaderTest, PathsHandedOverDuringALoadWaitAndLoadAfterIt) {
    for (int i = 0; i < kLongFolder; ++i) PutMp3(files_ / "long" / ("t" + std::to_string(i) + ".mp3"));
    PutMp3(files_ / "given" / "b.mp3");
    PutMp3(files_ / "folder" / "sub" / "c.mp3");
    PutText(files_ / "folder" / "notes.txt", "not audio");
    CZEPHDlg& dlg = Open();
    ASSERT_TRUE(dlg.fileTree()->SetSelectedPath(Q(files_ / "long"), false));
    WaitBusy();
    ASSERT_TRUE(dlg.IsBusy());
    Loader().QueueOpen({Q(files_ / "given" / "b.mp3"), Q(files_ / "folder")});
    EXPECT_EQ(Loader().queuedOpens(), 1);  // waits: never lost, never in the middle of the load
    ASSERT_TRUE(QTest::qWaitFor([&] { return Loader().queuedOpens() == 0; }, 60000));
    ASSERT_TRUE(WaitIdle());
    const QStringList names = Names(List());
    ASSERT_EQ(names.size(), kLongFolder + 2);
    // The tree load first, then the handed-over file and the folder's MP3s, as a drop adds them.
    EXPECT_EQ(names.mid(kLongFolder), (QStringList{"b.mp3", "c.mp3"}));
    ExpectIdleState();
}

TEST_F(FileLoaderTest, AddFilesDuringATreeLoadEndsThatLoad) {
    for (int i = 0; i < kLongFolder; ++i) PutMp3(files_ / "long" / ("t" + std::to_string(i) + ".mp3"));
    PutMp3(files_ / "pick" / "chosen.mp3");
    CZEPHDlg& dlg = Open();
    ASSERT_TRUE(dlg.fileTree()->SetSelectedPath(Q(files_ / "long"), false));
    WaitBusy();
    ASSERT_TRUE(dlg.IsBusy());
    QString dialogTitle;
    AnswerModal<QFileDialog>([&](QFileDialog* d) {
        dialogTitle = d->objectName();
        // The dialog clears its name field once its folder has been read: type after that.
        QTimer::singleShot(500, d, [this, d] {
            auto* edit = d->findChild<QLineEdit*>("fileNameEdit");
            auto* buttons = d->findChild<QDialogButtonBox*>("buttonBox");
            QPushButton* open = buttons ? buttons->button(QDialogButtonBox::Open) : nullptr;
            if (!edit || !open) {
                ADD_FAILURE() << "no name field or Open button";
                d->reject();
                return;
            }
            // The completer's pop-up would take the click meant for Open.
            edit->setCompleter(nullptr);
            edit->clear();
            QTest::keyClicks(edit, Q(files_ / "pick" / "chosen.mp3"));
            QTest::mouseClick(open, Qt::LeftButton);
            if (d->isVisible()) {
                ADD_FAILURE() << "file dialog still open; field: " << edit->text().toStdString();
                d->reject();
            }
        });
    });
    QTest::keyClick(dlg.fileList(), Qt::Key_F6);  // the accelerator
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(dialogTitle, "addFilesDialog");
    EXPECT_TRUE(Names(List()).contains("chosen.mp3"));
    EXPECT_LT(List().GetItemCount(), 1501);
    ExpectTotalsMatchRows();
    ExpectIdleState();
}

TEST_F(FileLoaderTest, ACancelledFolderPickerStillSortsAndRewritesTheSummaries) {
    PutMp3(files_ / "b.mp3");
    PutMp3(files_ / "a.mp3");
    CZEPHDlg& dlg = Open();
    QCoreApplication::postEvent(&dlg, new FilesDroppedEvent({Q(files_ / "b.mp3"), Q(files_ / "a.mp3")}));
    QTest::qWait(10);
    ASSERT_TRUE(WaitIdle());
    ASSERT_EQ(Names(List()), (QStringList{"b.mp3", "a.mp3"}));  // drops are not sorted
    dlg.statusBar()->SetText(1, "stale");
    bool seen = false;
    AnswerModal<QFileDialog>([&](QFileDialog* d) {
        seen = d->windowTitle() == "Add a Folder including sub-folders";
        QTest::keyClick(d, Qt::Key_Escape);
    });
    QApplication::setActiveWindow(&dlg);  // the busy dialog of the drop had the activation
    QTest::keyClick(dlg.fileList(), Qt::Key_F8);
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(seen);
    EXPECT_EQ(Names(List()), (QStringList{"a.mp3", "b.mp3"}));
    EXPECT_EQ(dlg.statusBar()->Text(1), " No file selected");
    ExpectIdleState();
}

TEST_F(FileLoaderTest, ALoadsBoxWaitsUntilTheMainWindowIsVisible) {
    PutText(files_ / "f" / "bad.mp3", std::string(4000, 'x'));
    dlg_ = std::make_unique<CZEPHDlg>();  // built, not yet shown: as during start-up
    ASSERT_TRUE(dlg_->OnInitDialog());
    bool visibleAtBox = false;
    int boxes = 0;
    AnswerModal<QMessageBox>([&](QMessageBox* box) {
        ++boxes;
        visibleAtBox = dlg_->isVisible();
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    Loader().LoadTreeFolder(Q(files_ / "f"), Qt::NoModifier);
    QTest::qWait(400);
    EXPECT_EQ(boxes, 0);
    dlg_->show();
    ASSERT_TRUE(WaitIdle());
    QTest::qWait(50);
    ASSERT_EQ(boxes, 1);
    EXPECT_TRUE(visibleAtBox);
    EXPECT_EQ(Names(List()), (QStringList{"bad.mp3"}));
}

TEST_F(FileLoaderTest, AnUnreadableFileIsReportedOnceAndKeepsItsRow) {
    PutMp3(files_ / "f" / "good.mp3");
    PutText(files_ / "f" / "bad.mp3", std::string(4000, 'x'));
    CZEPHDlg& dlg = Open();
    QStringList texts;
    std::function<void(QMessageBox*)> answer = [&](QMessageBox* box) {
        texts << box->text();
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    };
    AnswerModal<QMessageBox>(answer);
    ASSERT_TRUE(dlg.fileTree()->SetSelectedPath(Q(files_ / "f"), false));
    ASSERT_TRUE(WaitIdle());
    QTest::qWait(100);
    ASSERT_EQ(texts.size(), 1);
    EXPECT_TRUE(texts[0].startsWith("Trouble with mpg123: ")) << texts[0].toStdString();
    EXPECT_EQ(Names(List()), (QStringList{"bad.mp3", "good.mp3"}));
    EXPECT_EQ(static_cast<FileItemInfo*>(List().GetItemUserData(0))->unreadable, 1);
    ExpectTotalsMatchRows();
    ExpectIdleState();
}

TEST_F(FileLoaderTest, FiftyAndMoreStartsDuringALoadNeverHangOrLeaveFlagsSet) {
    for (int i = 0; i < 400; ++i) {
        PutMp3(files_ / "a" / ("a" + std::to_string(i) + ".mp3"));
        PutMp3(files_ / "b" / "sub" / ("b" + std::to_string(i) + ".mp3"));
    }
    CZEPHDlg& dlg = Open();
    std::mt19937 random(7);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 60; ++i) {
        const bool a = i % 2 == 0;
        const Qt::KeyboardModifiers mods = (i % 3 == 0) ? Qt::ShiftModifier | Qt::ControlModifier : Qt::ControlModifier;
        Loader().LoadTreeFolder(Q(files_ / (a ? "a" : "b")), mods);
        QTest::qWait(int(random() % 30));
        if (i % 7 == 3) QCoreApplication::postEvent(&dlg, new FilesDroppedEvent({Q(files_ / "a" / "a1.mp3")}));
    }
    ASSERT_TRUE(WaitIdle());
    EXPECT_LT(clock.elapsed(), 120000);
    ExpectIdleState();
    ExpectTotalsMatchRows();
    // The last start (odd: folder b with its subfolder, list cleared) ran to its end.
    EXPECT_EQ(List().GetItemCount(), 400);
    EXPECT_TRUE(Names(List()).first().startsWith("b"));
}

TEST_F(FileLoaderTest, ClosingTheWindowDuringALoadEndsIt) {
    for (int i = 0; i < 600; ++i) PutMp3(files_ / "c" / ("c" + std::to_string(i) + ".mp3"));
    CZEPHDlg& dlg = Open();
    ASSERT_TRUE(dlg.fileTree()->SetSelectedPath(Q(files_ / "c"), false));
    WaitBusy();
    ASSERT_TRUE(Loader().IsRunning());
    QElapsedTimer t;
    t.start();
    dlg_.reset();  // the window goes with the load still running
    EXPECT_LT(t.elapsed(), 2000);
    QTest::qWait(50);
}

}  // namespace

TEST_F(FileLoaderTest, ReadingAheadKeepsEachRowsCellsAndBoxInTheWalksOrder) {
    for (int i = 0; i < 24; ++i) {
        const std::string name = "t" + std::to_string(100 + i) + ".mp3";
        if (i % 7 == 3)
            PutText(files_ / "f" / name, std::string(3000 + i, 'x'));
        else
            PutMp3(files_ / "f" / name);
    }
    CZEPHDlg& dlg = Open();
    // At each box: the last row is the unreadable file, and every row before it has had its
    // cells (nothing was appended ahead of its read).
    std::vector<int> rowsAtBox;
    int rowsBehind = 0;
    std::function<void(QMessageBox*)> answer;
    answer = [&](QMessageBox* box) {
        const CReportCtrl& list = List();
        const int rows = list.GetItemCount();
        rowsAtBox.push_back(rows);
        EXPECT_TRUE(list.GetItemText(rows - 1, kColChannel).isEmpty());
        for (int r = 0; r + 1 < rows; ++r) {
            const bool bad = static_cast<FileItemInfo*>(list.GetItemUserData(r))->unreadable != 0;
            if (!bad && list.GetItemText(r, kColChannel).isEmpty()) ++rowsBehind;
        }
        if (rowsAtBox.size() < 3) AnswerModal<QMessageBox>(answer);  // and the next box
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    };
    AnswerModal<QMessageBox>(answer);
    ASSERT_TRUE(dlg.fileTree()->SetSelectedPath(Q(files_ / "f"), false));
    ASSERT_TRUE(WaitIdle());
    QTest::qWait(100);
    ASSERT_EQ(rowsAtBox.size(), 3u);
    EXPECT_TRUE(std::is_sorted(rowsAtBox.begin(), rowsAtBox.end()));
    EXPECT_EQ(rowsBehind, 0);
    EXPECT_EQ(List().GetItemCount(), 24);
    ExpectTotalsMatchRows();
    ExpectIdleState();
}
