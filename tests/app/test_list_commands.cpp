#include <gtest/gtest.h>

// The loads under test come in through the drop target's event.
#include "app/drop_target.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <fstream>

#include "app/command_ids.h"
#include "app/file_loader.h"
#include "app/list_commands.h"
#include "app/status_bar.h"
#include "app/zeph_dlg.h"
#include "app_env.h"
#include "fake_xdg_open.h"
#include "window_helpers.h"
#include "controls/report_ctrl.h"
#include "controls/report_item_info.h"
#include "filelist/file_item_info.h"
#include "filelist/file_list_columns.h"
#include "filelist/list_locked.h"
#include "support/mp3_fixtures.h"
#include "template_mp3.h"

using namespace velmora;
using velmora::testing::AppEnv;
using velmora::testing::TempDir;
using velmora::testing::TemplateMp3;
namespace fs = std::filesystem;

namespace {

using velmora::testing::Q;

// Answers the next message box with `button`, recording its text; gives up after 10 s.
void AnswerBox(QMessageBox::StandardButton button, QStringList* texts) {
    velmora::testing::AnswerModal<QMessageBox>(
        [button, texts](QMessageBox* box) {
            if (texts) *texts << box->text();
            QTest::mouseClick(box->button(button), Qt::LeftButton);
        },
        10000);
}

class ListCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedEnd_ = CZEPHDlg::ProcessEnd();
        CZEPHDlg::ProcessEnd() = [](int) {};
        LowerListLocked();
        dlg_ = std::make_unique<CZEPHDlg>();
        ASSERT_TRUE(dlg_->OnInitDialog());
        dlg_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg_.get()));
        FileLoaderOf(*dlg_).WaitIdle(20000);
    }
    void TearDown() override {
        velmora::testing::RejectOpenDialogs();
        dlg_.reset();
        CZEPHDlg::ProcessEnd() = savedEnd_;
    }

    CReportCtrl& List() { return *dlg_->fileList(); }

    // Files r0.mp3 ... in one folder, loaded in this order by a drop (which keeps the order).
    void LoadRows(const std::vector<std::string>& names) {
        QStringList paths;
        for (const std::string& n : names) {
            const fs::path p = files_ / n;
            if (!fs::exists(p)) fs::copy_file(TemplateMp3(), p);
            paths << Q(p);
        }
        LoadPaths(paths);
    }
    void LoadPaths(const QStringList& paths) {
        QCoreApplication::postEvent(dlg_.get(), new FilesDroppedEvent(paths));
        QTest::qWait(10);
        ASSERT_TRUE(FileLoaderOf(*dlg_).WaitIdle(20000));
        QApplication::setActiveWindow(dlg_.get());
        List().setFocus();
    }
    QStringList Names() {
        QStringList names;
        for (int r = 0; r < List().GetItemCount(); ++r) names << List().GetItemText(r, kColName);
        return names;
    }
    std::vector<int> Selected() {
        std::vector<int> rows;
        for (int r = List().FindNextItemByState(kStateSelected, -1); r >= 0; r = List().FindNextItemByState(kStateSelected, r))
            rows.push_back(r);
        return rows;
    }
    void Click(int row, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        const QRect rect = List().visualRect(List().Model()->index(row, 0));
        QTest::mouseClick(List().viewport(), Qt::LeftButton, mods, rect.center());
    }
    void Run(int command) { dlg_->CommandAction(command)->trigger(); }
    void ExpectTotalsMatchRows() {
        double size = 0, seconds = 0;
        for (int r = 0; r < List().GetItemCount(); ++r) {
            auto* info = static_cast<FileItemInfo*>(List().GetItemUserData(r));
            size += info->sizeMB;
            seconds += info->duration;
        }
        EXPECT_EQ(dlg_->totals.fileCount, List().GetItemCount());
        EXPECT_NEAR(dlg_->totals.totalSizeMB, size, 1e-6);
        EXPECT_NEAR(dlg_->totals.totalSeconds, seconds, 1e-6);
    }

    AppEnv env_;
    TempDir files_;
    std::unique_ptr<CZEPHDlg> dlg_;
    std::function<void(int)> savedEnd_;
};

TEST_F(ListCommandsTest, MoveDownMovesOnlyTheFirstSelectedRowAndKeepsTheSelection) {
    LoadRows({"r0.mp3", "r1.mp3", "r2.mp3", "r3.mp3", "r4.mp3"});
    Click(1);
    Click(3, Qt::ControlModifier);
    ASSERT_EQ(Selected(), (std::vector<int>{1, 3}));
    Run(ID_MOVE_DOWN);
    EXPECT_EQ(Names(), (QStringList{"r0.mp3", "r2.mp3", "r1.mp3", "r3.mp3", "r4.mp3"}));
    EXPECT_EQ(Selected(), (std::vector<int>{2, 3}));
    Run(ID_MOVE_TOP);
    EXPECT_EQ(Names(), (QStringList{"r1.mp3", "r0.mp3", "r2.mp3", "r3.mp3", "r4.mp3"}));
    Run(ID_MOVE_UP);  // already first: nothing changes
    EXPECT_EQ(Names().first(), "r1.mp3");
    Run(ID_MOVE_BOTTOM);
    EXPECT_EQ(Names(), (QStringList{"r0.mp3", "r2.mp3", "r3.mp3", "r4.mp3", "r1.mp3"}));
    ExpectTotalsMatchRows();
}

// The keyboard paths: Alt with the moving keys moves the selected row, Shift+F10 and the Menu
// key open the list's menu at the focused row, Alt+F and F10 open the menu bar.
TEST_F(ListCommandsTest, KeysMoveRowsAndOpenTheMenus) {
    LoadRows({"r0.mp3", "r1.mp3", "r2.mp3", "r3.mp3"});
    Click(1);
    auto key = [&](Qt::Key k, Qt::KeyboardModifiers mods = Qt::AltModifier) { QTest::keyClick(&List(), k, mods); };
    key(Qt::Key_Down);
    EXPECT_EQ(Names(), (QStringList{"r0.mp3", "r2.mp3", "r1.mp3", "r3.mp3"}));
    key(Qt::Key_Home);
    EXPECT_EQ(Names(), (QStringList{"r1.mp3", "r0.mp3", "r2.mp3", "r3.mp3"}));
    key(Qt::Key_End);
    EXPECT_EQ(Names(), (QStringList{"r0.mp3", "r2.mp3", "r3.mp3", "r1.mp3"}));
    key(Qt::Key_Up);
    EXPECT_EQ(Names(), (QStringList{"r0.mp3", "r2.mp3", "r1.mp3", "r3.mp3"}));
    ASSERT_EQ(Selected(), (std::vector<int>{2}));

    for (auto [k, mods] : {std::pair{Qt::Key_F10, Qt::ShiftModifier}, std::pair{Qt::Key_Menu, Qt::NoModifier}}) {
        key(k, mods);
        QMenu* menu = dlg_->activePopup();
        ASSERT_NE(menu, nullptr);
        EXPECT_EQ(menu->objectName(), "fileListMenu");
        const QRect row = List().visualRect(List().Model()->index(2, 0));
        EXPECT_TRUE(row.contains(List().viewport()->mapFromGlobal(menu->pos() - QPoint(0, 1))));
        QTest::keyClick(menu, Qt::Key_Escape);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !menu->isVisible(); }, 2000));
    }

    for (auto [k, mods] : {std::pair{Qt::Key_F, Qt::AltModifier}, std::pair{Qt::Key_F10, Qt::NoModifier}}) {
        key(k, mods);
        auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(popup, nullptr);
        EXPECT_EQ(popup->title(), "&File");
        popup->close();
    }
}

// No program for the file: the list says so and opens its folder instead; no program for the
// folder either: that is said too. With a program, the folder just opens.
TEST_F(ListCommandsTest, OpenSaysWhenNoProgramCouldOpenTheFileNorItsFolder) {
    LoadRows({"r0.mp3"});
    Click(0);
    const QString folder = List().GetItemText(0, kColPath);
    QStringList texts;
    {
        velmora::testing::FakeXdgOpen desktop(3);
        AnswerBox(QMessageBox::Ok, &texts);
        Run(ID_LIST_OPEN);
        ASSERT_TRUE(QTest::qWaitFor([&] { return texts.size() == 1; }, 10000));
        AnswerBox(QMessageBox::Ok, &texts);
        ASSERT_TRUE(QTest::qWaitFor([&] { return texts.size() == 2; }, 10000));
        EXPECT_EQ(desktop.Opened(), (QStringList{folder + "r0.mp3", folder}));
    }
    EXPECT_EQ(texts[0], "There is no application associated with the given file name extension.");
    EXPECT_EQ(texts[1], "No program could open " + folder + ".");

    velmora::testing::FakeXdgOpen desktop(0);
    Run(ID_LIST_OPEN_FOLDER);
    ASSERT_TRUE(desktop.WaitOpened(1));
    QTest::qWait(100);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(desktop.Opened(), QStringList{folder});
}

TEST_F(ListCommandsTest, SelectNextWithNoneWithTheLastAndWithTwo) {
    LoadRows({"r0.mp3", "r1.mp3", "r2.mp3", "r3.mp3", "r4.mp3"});
    Run(ID_SELECT_NONE);
    Run(ID_SELECT_NEXT);
    EXPECT_EQ(Selected(), std::vector<int>{0});
    Click(4);
    Run(ID_SELECT_NEXT);
    EXPECT_EQ(Selected(), std::vector<int>{0});
    EXPECT_EQ(List().currentIndex().row(), 0);
    Click(1);
    Click(2, Qt::ControlModifier);
    Run(ID_SELECT_NEXT);
    EXPECT_EQ(Selected(), std::vector<int>{0});
    Click(2);
    Run(ID_SELECT_NEXT);
    EXPECT_EQ(Selected(), std::vector<int>{3});
    EXPECT_TRUE(dlg_->statusBar()->Text(1).startsWith("1 file(s) selected, "));
    // Select All by its accelerator, Reverse Select, Select None.
    QTest::keyClick(&List(), Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(Selected().size(), 5u);
    EXPECT_TRUE(dlg_->statusBar()->Text(1).startsWith("5 file(s) selected, "));
    Click(0, Qt::ControlModifier);  // deselect row 0
    Run(ID_REVERSE_SELECT);
    EXPECT_EQ(Selected(), std::vector<int>{0});
    Run(ID_SELECT_NONE);
    EXPECT_TRUE(Selected().empty());
    EXPECT_EQ(dlg_->statusBar()->Text(1), "No file selected");
    EXPECT_FALSE(dlg_->IsBusy());
}

TEST_F(ListCommandsTest, RemoveDuplicatesKeepsTheFirstOfCaseVariants) {
    LoadRows({"x.mp3", "X.MP3", "other.mp3"});
    LoadPaths({Q(files_ / "x.mp3")});
    ASSERT_EQ(Names(), (QStringList{"x.mp3", "X.MP3", "other.mp3", "x.mp3"}));
    ASSERT_EQ(dlg_->totals.fileCount, 4);
    Run(ID_REMOVE_DUPLICATES);
    EXPECT_EQ(Names(), (QStringList{"x.mp3", "other.mp3"}));
    EXPECT_EQ(dlg_->totals.fileCount, 2);
    EXPECT_TRUE(dlg_->statusBar()->Text(0).startsWith("2 file(s)   "));
    ExpectTotalsMatchRows();
}

TEST_F(ListCommandsTest, RemoveDeadCatchesAdjacentDeadRows) {
    LoadRows({"a.mp3", "b.mp3", "c.mp3", "d.mp3"});
    fs::remove(files_ / "b.mp3");
    fs::remove(files_ / "c.mp3");
    Run(ID_REMOVE_DEAD);
    EXPECT_EQ(Names(), (QStringList{"a.mp3", "d.mp3"}));
    ExpectTotalsMatchRows();
    EXPECT_TRUE(dlg_->statusBar()->Text(0).startsWith("2 file(s)   "));
}

TEST_F(ListCommandsTest, RemoveSelectedByDelAndRemoveAll) {
    LoadRows({"a.mp3", "b.mp3", "c.mp3"});
    Click(1);
    QTest::keyClick(&List(), Qt::Key_Delete);
    EXPECT_EQ(Names(), (QStringList{"a.mp3", "c.mp3"}));
    EXPECT_TRUE(fs::exists(files_ / "b.mp3"));  // only the row goes
    ExpectTotalsMatchRows();
    Run(ID_REMOVE_ALL);
    EXPECT_EQ(List().GetItemCount(), 0);
    EXPECT_EQ(dlg_->statusBar()->Text(0), "No file");
    ExpectTotalsMatchRows();
}

TEST_F(ListCommandsTest, SelectAllRemoveSelectedAndRemoveAllTakeTheRowsInOneStep) {
    LoadRows({"a.mp3", "b.mp3", "c.mp3", "d.mp3", "e.mp3"});
    int removals = 0;
    QObject::connect(List().Model(), &QAbstractItemModel::rowsRemoved, [&removals] { ++removals; });
    QTest::keyClick(&List(), Qt::Key_A, Qt::ControlModifier);
    ASSERT_EQ(Selected().size(), 5u);
    QTest::keyClick(&List(), Qt::Key_Delete);
    EXPECT_EQ(List().GetItemCount(), 0);
    EXPECT_EQ(removals, 1);
    EXPECT_EQ(dlg_->totals.fileCount, 0);
    EXPECT_EQ(dlg_->totals.totalSizeMB, 0.0);
    EXPECT_EQ(dlg_->totals.totalSeconds, 0.0);
    EXPECT_EQ(dlg_->statusBar()->Text(0), "No file");

    LoadRows({"c.mp3", "d.mp3", "e.mp3"});
    removals = 0;
    Run(ID_REMOVE_ALL);
    EXPECT_EQ(List().GetItemCount(), 0);
    EXPECT_EQ(removals, 1);
    EXPECT_EQ(dlg_->totals.fileCount, 0);
    EXPECT_EQ(dlg_->totals.totalSizeMB, 0.0);
    EXPECT_EQ(dlg_->totals.totalSeconds, 0.0);
}

TEST_F(ListCommandsTest, DeleteFilesAnsweredYesRemovesFilesRowsAndTotals) {
    LoadRows({"keep.mp3", "d1.mp3", "d2.mp3", "d3.mp3"});
    Click(1);
    Click(2, Qt::ControlModifier);
    Click(3, Qt::ControlModifier);
    QStringList texts;
    AnswerBox(QMessageBox::Yes, &texts);
    QTest::keyClick(&List(), Qt::Key_Delete, Qt::ShiftModifier);
    ASSERT_EQ(texts, QStringList{"Permanently Delete the File(s), Are You Sure?"});
    EXPECT_EQ(Names(), QStringList{"keep.mp3"});
    EXPECT_FALSE(fs::exists(files_ / "d1.mp3"));
    EXPECT_FALSE(fs::exists(files_ / "d2.mp3"));
    EXPECT_FALSE(fs::exists(files_ / "d3.mp3"));
    EXPECT_TRUE(fs::exists(files_ / "keep.mp3"));
    ExpectTotalsMatchRows();
    EXPECT_TRUE(dlg_->statusBar()->Text(0).startsWith("1 file(s)   "));
}

TEST_F(ListCommandsTest, DeleteFilesAnsweredNoOrWithoutSelectionKeepsEverything) {
    LoadRows({"a.mp3", "b.mp3"});
    Run(ID_SELECT_NONE);
    QStringList texts;
    AnswerBox(QMessageBox::Ok, &texts);
    Run(ID_DELETE_FILES);
    EXPECT_EQ(texts, QStringList{"Please select ONE file First!"});
    Click(0);
    AnswerBox(QMessageBox::No, &texts);
    Run(ID_DELETE_FILES);
    EXPECT_EQ(texts.size(), 2);
    EXPECT_EQ(List().GetItemCount(), 2);
    EXPECT_TRUE(fs::exists(files_ / "a.mp3"));
}

TEST_F(ListCommandsTest, RenameOntoAnExistingNameShowsTheErrorAndKeepsTheOldName) {
    LoadRows({"a.mp3", "b.mp3"});
    Click(0);
    QTest::keyClick(&List(), Qt::Key_F2);
    ASSERT_TRUE(List().IsEditOpen());
    QLineEdit* editor = List().Editor();
    editor->selectAll();
    QTest::keyClicks(editor, "b.mp3");
    QStringList texts;
    AnswerBox(QMessageBox::Ok, &texts);
    QTest::keyClick(editor, Qt::Key_Return);
    QTest::qWait(50);
    ASSERT_EQ(texts.size(), 1);
    EXPECT_EQ(texts[0], QString("Access to %1 was denied.").arg(Q(files_ / "a.mp3")));
    EXPECT_EQ(List().GetItemText(0, kColName), "a.mp3");
    EXPECT_TRUE(fs::exists(files_ / "a.mp3"));
    EXPECT_TRUE(fs::exists(files_ / "b.mp3"));
}

TEST_F(ListCommandsTest, ANameThatIsNoSingleComponentIsRefusedAndTheOldNameStays) {
    LoadRows({"a.mp3"});
    fs::create_directories(files_ / "sub");
    for (const char* name : {"sub/moved.mp3", "..", "."}) {
        Click(0);
        QTest::keyClick(&List(), Qt::Key_F2);
        ASSERT_TRUE(List().IsEditOpen());
        List().Editor()->selectAll();
        QTest::keyClicks(List().Editor(), name);
        QStringList texts;
        AnswerBox(QMessageBox::Ok, &texts);
        QTest::keyClick(List().Editor(), Qt::Key_Return);
        QTest::qWait(50);
        EXPECT_EQ(texts.size(), 1) << name;
        EXPECT_EQ(List().GetItemText(0, kColName), "a.mp3") << name;
        EXPECT_TRUE(fs::exists(files_ / "a.mp3")) << name;
    }
    EXPECT_FALSE(fs::exists(files_ / "sub" / "moved.mp3"));
}

TEST_F(ListCommandsTest, RenameRenamesTheFileOnDisk) {
    LoadRows({"a.mp3"});
    Click(0);
    QTest::keyClick(&List(), Qt::Key_F2);
    ASSERT_TRUE(List().IsEditOpen());
    List().Editor()->selectAll();
    QTest::keyClicks(List().Editor(), "renamed.mp3");
    QTest::keyClick(List().Editor(), Qt::Key_Return);
    EXPECT_EQ(List().GetItemText(0, kColName), "renamed.mp3");
    EXPECT_TRUE(fs::exists(files_ / "renamed.mp3"));
    EXPECT_FALSE(fs::exists(files_ / "a.mp3"));
}

TEST_F(ListCommandsTest, OpenOfAMissingFileOffersRemovalAndUpdatesTheSummaries) {
    LoadRows({"a.mp3", "gone.mp3"});
    fs::remove(files_ / "gone.mp3");
    Click(1);
    QStringList texts;
    AnswerBox(QMessageBox::Yes, &texts);
    Run(ID_LIST_OPEN);
    EXPECT_EQ(texts, QStringList{"File NOT Found!  Remove It from the List?"});
    EXPECT_EQ(Names(), QStringList{"a.mp3"});
    ExpectTotalsMatchRows();
    EXPECT_TRUE(dlg_->statusBar()->Text(0).startsWith("1 file(s)   "));
    EXPECT_FALSE(dlg_->IsBusy());
}

TEST_F(ListCommandsTest, DoubleClickOnEmptySpaceWithoutSelectionDoesNothing) {
    LoadRows({"gone.mp3"});
    fs::remove(files_ / "gone.mp3");  // an Open would ask about it
    Run(ID_SELECT_NONE);
    const QPoint empty(List().viewport()->width() / 2, List().viewport()->height() - 5);
    ASSERT_FALSE(List().indexAt(empty).isValid());
    QStringList texts;
    AnswerBox(QMessageBox::No, &texts);
    QTest::mouseDClick(List().viewport(), Qt::LeftButton, Qt::NoModifier, empty);
    QTest::qWait(300);
    EXPECT_TRUE(texts.isEmpty());
    EXPECT_EQ(List().GetItemCount(), 1);
    // On the row it opens (here: asks about the missing file).
    const QPoint onRow = List().visualRect(List().Model()->index(0, 2)).center();
    QTest::mouseClick(List().viewport(), Qt::LeftButton, Qt::NoModifier, onRow);
    QTest::mouseDClick(List().viewport(), Qt::LeftButton, Qt::NoModifier, onRow);
    QElapsedTimer t;
    t.start();
    while (texts.isEmpty() && t.elapsed() < 5000) QTest::qWait(20);
    EXPECT_EQ(texts, QStringList{"File NOT Found!  Remove It from the List?"});
}

TEST_F(ListCommandsTest, RowDragOffersUrisAndTheOwnMarkAndMovedFilesLeaveTheList) {
    LoadRows({"a.mp3", "b.mp3", "c.mp3"});
    Click(0);
    Click(2, Qt::ControlModifier);
    const QStringList paths = SelectedPaths(List());
    ASSERT_EQ(paths, (QStringList{Q(files_ / "a.mp3"), Q(files_ / "c.mp3")}));
    std::unique_ptr<QMimeData> data(MakeRowDragData(paths));
    ASSERT_EQ(data->urls().size(), 2);
    EXPECT_EQ(data->urls()[1].toLocalFile(), Q(files_ / "c.mp3"));
    EXPECT_EQ(data->data(kOwnDragFormat), QByteArray(1, '\0'));
    // A target that moved the files away.
    fs::rename(files_ / "c.mp3", files_ / "moved.mp3");
    EXPECT_EQ(RemoveVanishedSelectedRows(*dlg_), 1);
    EXPECT_EQ(Names(), (QStringList{"a.mp3", "b.mp3"}));
    ExpectTotalsMatchRows();
    EXPECT_TRUE(dlg_->statusBar()->Text(0).startsWith("2 file(s)   "));
}

TEST_F(ListCommandsTest, SelectingDuringALoadEndsIt) {
    for (int i = 0; i < 1200; ++i) fs::copy_file(TemplateMp3(), files_ / ("t" + std::to_string(i) + ".mp3"));
    FileLoaderOf(*dlg_).LoadTreeFolder(Q(files_.path()), Qt::NoModifier);
    QElapsedTimer t;
    t.start();
    while (!dlg_->IsBusy() && t.elapsed() < 10000) QTest::qWait(1);
    QTest::qWait(50);
    Run(ID_SELECT_ALL);
    ASSERT_TRUE(FileLoaderOf(*dlg_).WaitIdle(20000));
    EXPECT_LT(List().GetItemCount(), 1200);
    EXPECT_FALSE(dlg_->IsBusy());
    EXPECT_FALSE(IsListLocked());
    ExpectTotalsMatchRows();
}

}  // namespace
