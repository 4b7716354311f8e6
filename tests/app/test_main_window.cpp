#include <gtest/gtest.h>

#include <QAction>
#include <QDialog>
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QLineEdit>
#include <QMenuBar>
#include <QSettings>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include <thread>

#include "app/command_ids.h"
#include "app/status_bar.h"
#include "app/zeph_dlg.h"
#include "app_env.h"
#include "window_helpers.h"
#include "controls/report_ctrl.h"
#include "controls/s_splitter.h"
#include "filelist/file_list_columns.h"
#include "filelist/file_scan.h"
#include "engine/join_runner.h"
#include "foldertree/file_tree_ctrl.h"
#include "join/conv_prog.h"
#include "join/processing.h"
#include "settings/config_ini.h"
#include "settings/settings_store.h"

using namespace velmora;
using velmora::testing::AppEnv;

namespace {

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedEnd_ = CZEPHDlg::ProcessEnd();
        CZEPHDlg::ProcessEnd() = [this](int code) { exitCodes_.push_back(code); };
    }
    void TearDown() override { CZEPHDlg::ProcessEnd() = savedEnd_; }

    // A window built and shown as the application shows it, without its modal loop.
    std::unique_ptr<CZEPHDlg> Open() { return velmora::testing::OpenShownMainWindow(); }

    QMenu* MenuNamed(CZEPHDlg& dlg, const QString& title) {
        for (QAction* a : dlg.menuBar()->actions())
            if (a->menu() && a->menu()->title().remove(QLatin1Char('&')) == title) return a->menu();
        return nullptr;
    }

    AppEnv env_;
    std::vector<int> exitCodes_;
    std::function<void(int)> savedEnd_;
};

}  // namespace

TEST_F(MainWindowTest, FreshStartShowsTitleSummaryAndTree) {
    auto dlg = Open();
    EXPECT_EQ(dlg->windowTitle(), "Velmora 5.0.9");
    EXPECT_EQ(dlg->statusBar()->Text(2), "  MP3:  CBR 128 kbps; Automatic Frequency; Automatic Channel;");
    EXPECT_EQ(dlg->statusBar()->TipText(2), dlg->statusBar()->Text(2));
    EXPECT_EQ(dlg->statusBar()->Text(0), "No file");
    ASSERT_NE(dlg->splitter(), nullptr);
    EXPECT_TRUE(dlg->splitter()->IsLeftPaneShown());
    EXPECT_EQ(dlg->splitter()->leftWidth(), 200);
    EXPECT_TRUE(dlg->fileTree()->isVisible());
    // The settings were prepared: the data folder and an empty settings file exist.
    EXPECT_TRUE(QFile::exists(env_.SettingsFile()));
    EXPECT_EQ(dlg->settings().outputFolder, (env_.home() / "Music").string() + "/");
    EXPECT_EQ(mainDialog, dlg.get());
    ASSERT_NE(dlg->joinEngine(), nullptr);
    EXPECT_NE(dlg->joinEngine()->mpg123Handle, nullptr);
    EXPECT_EQ(dlg->joinEngine()->decodedSamples.Capacity(), 1048576u);
    EXPECT_EQ(dlg->joinEngine()->convertedSamples.Capacity(), 1048576u);
    EXPECT_EQ(dlg->scanExtensions, scanExtensions());
    EXPECT_FALSE(dlg->IsBusy());
    // No attribute hides a file in the tree, and it shows folders only.
    EXPECT_EQ(dlg->fileTree()->GetFileHideAttributes(), 0u);
    EXPECT_FALSE(dlg->fileTree()->GetShowFiles());
    EXPECT_TRUE(dlg->fileTree()->GetAllowDelete());
    EXPECT_TRUE(dlg->fileTree()->GetAllowRename());
    EXPECT_TRUE(dlg->fileTree()->GetAllowCreateFolder());

    // Eighteen visible columns at their default widths, sorted by column 0 ascending with
    // its mark; editing of names and hints are on.
    CReportCtrl* list = dlg->fileList();
    ASSERT_EQ(list->GetColumnCount(), 18);
    for (int c = 0; c < 18; ++c) {
        EXPECT_TRUE(list->IsColumnVisible(c)) << c;
        EXPECT_EQ(list->GetColumnWidth(c), kFileListColumns[c].defaultWidth) << c;
        EXPECT_EQ(list->GetColumnHeading(c), kFileListColumns[c].title) << c;
        EXPECT_EQ(list->GetHeaderImage(c), c == 0 ? 1 : 0) << c;
    }
    EXPECT_EQ(list->GetSortList(), (std::vector<ColumnSortInfo>{{0, 1}}));
    EXPECT_TRUE(list->IsEditEnabled());
    EXPECT_TRUE(list->HintsEnabled());
    EXPECT_EQ(list->NotifyTarget(), dlg.get());
    EXPECT_EQ(list->GetExtendedStyle() & 0x10430u, 0x10430u);
}

TEST_F(MainWindowTest, SortedNotificationMovesTheHeaderMarks) {
    auto dlg = Open();
    CReportCtrl* list = dlg->fileList();
    list->OnColumnClick(8);  // Title: ascending
    QTest::qWait(20);        // the list posts its notification
    for (int c = 0; c < 18; ++c) EXPECT_EQ(list->GetHeaderImage(c), c == 8 ? 1 : 0) << c;
    list->OnColumnClick(8);  // again: descending
    QTest::qWait(20);
    for (int c = 0; c < 18; ++c) EXPECT_EQ(list->GetHeaderImage(c), c == 8 ? 2 : 0) << c;
}

TEST_F(MainWindowTest, ListRightClickOpensTheMenuOnlyOnARow) {
    auto dlg = Open();
    CReportCtrl* list = dlg->fileList();
    QTest::mouseClick(list->viewport(), Qt::RightButton, {}, QPoint(20, list->viewport()->height() - 5));
    QTest::qWait(20);
    EXPECT_EQ(dlg->activePopup(), nullptr);  // an empty list: no menu

    list->InsertItemEx(0, QStringLiteral("a.mp3"));
    list->SetItemTextEx(0, 1, QStringLiteral("/music/"));
    list->InsertItemEx(1, QStringLiteral("b.mp3"));
    QTest::qWait(20);
    const QRect row1 = list->visualRect(list->model()->index(1, 0));
    ASSERT_TRUE(row1.isValid());
    QTest::mouseClick(list->viewport(), Qt::RightButton, {}, row1.center());
    QTest::qWait(20);
    QMenu* menu = dlg->activePopup();
    ASSERT_NE(menu, nullptr);
    EXPECT_TRUE(menu->isVisible());
    const QList<QAction*> items = menu->actions();
    ASSERT_EQ(items.size(), 23);
    EXPECT_EQ(items[0]->text(), "Join Selected");
    EXPECT_EQ(items[0]->shortcut(), QKeySequence(Qt::SHIFT | Qt::Key_F3));
    EXPECT_TRUE(items[1]->isSeparator());
    EXPECT_EQ(items[2]->text(), "Open");
    EXPECT_EQ(menu->defaultAction(), items[2]);  // shown bold
    EXPECT_EQ(items.back()->text(), "Properties");
    for (QAction* a : items) EXPECT_TRUE(a->isEnabled());
    menu->close();
    QTest::qWait(20);

    // Below the last row there is again no menu.
    QTest::mouseClick(list->viewport(), Qt::RightButton, {}, QPoint(20, list->viewport()->height() - 5));
    QTest::qWait(20);
    EXPECT_EQ(dlg->activePopup(), nullptr);
}

TEST_F(MainWindowTest, StatusBarStaysAtTheBottomWithQuarterParts) {
    auto dlg = Open();
    for (QSize size : {QSize(900, 600), QSize(1203, 777), QSize(640, 480)}) {
        dlg->resize(size);
        QTest::qWait(10);
        const CStatusBar* bar = dlg->statusBar();
        EXPECT_EQ(bar->height(), 25);
        EXPECT_EQ(bar->y(), dlg->height() - 25);
        EXPECT_EQ(bar->width(), dlg->width());
        EXPECT_EQ(bar->Parts()[0], int(bar->width() * 0.25));
        EXPECT_EQ(bar->Parts()[1], int(bar->width() * 0.5));
        EXPECT_EQ(bar->PaneRect(1).left(), bar->Parts()[0]);
        // The splitter follows the window; the toolbar band spans it.
        EXPECT_EQ(dlg->rebar()->width(), dlg->width());
        EXPECT_LE(dlg->splitter()->geometry().bottom(), bar->y());
        EXPECT_GT(dlg->splitter()->geometry().top(), dlg->rebar()->geometry().bottom());
    }
}

TEST_F(MainWindowTest, ToolbarHasNineButtonsWithTooltips) {
    auto dlg = Open();
    const QList<QAction*> actions = dlg->toolBar()->actions();
    ASSERT_EQ(actions.size(), 9);
    const int expected[] = {32861, 32862, 32890, 32874, 32901, 32875, 32886, 32884, 32889};
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(actions[i]->data().toInt(), expected[i]);
        EXPECT_FALSE(actions[i]->icon().isNull()) << i;
        auto* button = qobject_cast<QToolButton*>(dlg->toolBar()->widgetForAction(actions[i]));
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->toolTip(), CommandPrompt(expected[i]));
    }
    EXPECT_EQ(dlg->toolBar()->iconSize(), QSize(48, 48));
    EXPECT_EQ(actions[3]->toolTip(), "Join the files in the list");
}

TEST_F(MainWindowTest, MenuBarMatchesTheTablesAndNothingIsGreyed) {
    auto dlg = Open();
    QStringList titles;
    for (QAction* a : dlg->menuBar()->actions()) titles << a->text();
    EXPECT_EQ(titles, (QStringList{"&File", "&Edit", "&View", "&Operation", "&Help"}));
    QMenu* file = MenuNamed(*dlg, "File");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->actions().size(), 5);
    EXPECT_EQ(file->actions()[0]->text(), "Add File(s)");
    EXPECT_EQ(file->actions()[0]->shortcut(), QKeySequence(Qt::Key_F6));
    EXPECT_TRUE(file->actions()[3]->isSeparator());
    QMenu* help = MenuNamed(*dlg, "Help");
    ASSERT_NE(help, nullptr);
    QMenu* support = help->actions()[3]->menu();
    ASSERT_NE(support, nullptr);
    EXPECT_EQ(support->title(), "Support");
    for (QAction* top : dlg->menuBar()->actions()) {
        emit top->menu()->aboutToShow();
        for (QAction* a : top->menu()->actions()) {
            EXPECT_TRUE(a->isEnabled()) << a->text().toStdString();
            if (a->data().toInt() != ID_TOGGLE_TREE) {
                EXPECT_FALSE(a->isChecked()) << a->text().toStdString();
            }
        }
    }
}

// The program's icon is every window's, the progress dialog's from before it is shown, and
// that dialog is titled with the program's name until the join names its state.
TEST_F(MainWindowTest, TheProgressDialogHasTheProgramsIconAndNameFromTheStart) {
    auto dlg = Open();
    const QImage icon = dlg->windowIcon().pixmap(32, 32).toImage();
    ASSERT_FALSE(icon.isNull());
    CConvProg progress(std::make_shared<JoinEngine>(), nullptr, &dlg->profile());
    EXPECT_EQ(progress.windowIcon().pixmap(32, 32).toImage(), icon);
    EXPECT_EQ(progress.windowTitle(), QStringLiteral("Velmora"));
}

TEST_F(MainWindowTest, F9TogglesTheTreeAndTheViewMenuCheck) {
    auto dlg = Open();
    QMenu* view = MenuNamed(*dlg, "View");
    ASSERT_NE(view, nullptr);
    QAction* toggle = view->actions().value(0);
    ASSERT_NE(toggle, nullptr);
    emit view->aboutToShow();
    EXPECT_TRUE(toggle->isChecked());

    QTest::keyClick(dlg.get(), Qt::Key_F9);
    EXPECT_FALSE(dlg->splitter()->IsLeftPaneShown());
    EXPECT_FALSE(dlg->fileTree()->isVisible());
    EXPECT_EQ(dlg->fileList()->geometry(), QRect(QPoint(0, 0), dlg->splitter()->size()));
    emit view->aboutToShow();
    EXPECT_FALSE(toggle->isChecked());
    EXPECT_TRUE(toggle->isEnabled());

    QTest::keyClick(dlg.get(), Qt::Key_F9);
    EXPECT_TRUE(dlg->splitter()->IsLeftPaneShown());
    EXPECT_TRUE(dlg->fileTree()->isVisible());
    emit view->aboutToShow();
    EXPECT_TRUE(toggle->isChecked());
}

TEST_F(MainWindowTest, StoredHiddenTreeStartsWithTheListFillingTheSplitter) {
    {
        ApplicationProfile profile;
        profile.WriteProfileBinary("FileList", "ShowLeftTree", QByteArray(1, 0));
        profile.Sync();
    }
    auto dlg = Open();
    EXPECT_FALSE(dlg->splitter()->IsLeftPaneShown());
    EXPECT_FALSE(dlg->fileTree()->isVisible());
    EXPECT_EQ(dlg->fileList()->geometry(), QRect(QPoint(0, 0), dlg->splitter()->size()));
    QMenu* view = MenuNamed(*dlg, "View");
    emit view->aboutToShow();
    EXPECT_FALSE(view->actions()[0]->isChecked());
    QTest::keyClick(dlg.get(), Qt::Key_F9);
    EXPECT_TRUE(dlg->fileTree()->isVisible());
    emit view->aboutToShow();
    EXPECT_TRUE(view->actions()[0]->isChecked());
}

TEST_F(MainWindowTest, EscapeAndEnterLeaveTheWindowOpen) {
    auto dlg = Open();
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    QTest::keyClick(dlg.get(), Qt::Key_Return);
    QTest::keyClick(dlg.get(), Qt::Key_Enter);
    dlg->fileList()->setFocus();
    QTest::keyClick(dlg->fileList(), Qt::Key_Escape);
    QTest::keyClick(dlg->fileList(), Qt::Key_Return);
    QTest::qWait(20);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(dlg->closeSequenceRuns(), 0);
    EXPECT_TRUE(exitCodes_.empty());
}

TEST_F(MainWindowTest, AcceleratorsRouteToTheirCommands) {
    auto dlg = Open();
    std::vector<int> seen;
    for (int id : {int(ID_JOIN), int(ID_JOIN_SELECTED), int(ID_OPTIONS), int(ID_SELECT_ALL), int(ID_ADD_FILES),
                   int(ID_REMOVE_SELECTED), int(ID_DELETE_FILES), int(ID_HELP_CONTENT), int(ID_CHAPTERS_TAGS)})
        dlg->SetCommandHandler(id, [&seen, id] { seen.push_back(id); });
    dlg->fileList()->setFocus();
    QTest::keyClick(dlg->fileList(), Qt::Key_F3);
    QTest::keyClick(dlg->fileList(), Qt::Key_F3, Qt::ShiftModifier);
    QTest::keyClick(dlg->fileList(), Qt::Key_O, Qt::ControlModifier);
    QTest::keyClick(dlg->fileList(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(dlg->fileList(), Qt::Key_F6);
    QTest::keyClick(dlg->fileList(), Qt::Key_Delete);
    QTest::keyClick(dlg->fileList(), Qt::Key_Delete, Qt::ShiftModifier);
    QTest::keyClick(dlg->fileList(), Qt::Key_F1);
    QTest::keyClick(dlg->fileList(), Qt::Key_B, Qt::ControlModifier);
    EXPECT_EQ(seen, (std::vector<int>{32874, 32873, 32875, 32823, 32861, 32788, 32817, 32884, 32901}));
}

TEST_F(MainWindowTest, TheTreeKeepsItsOwnKeys) {
    auto dlg = Open();
    int removeSelected = 0, refresh = 0;
    dlg->SetCommandHandler(ID_REMOVE_SELECTED, [&] { ++removeSelected; });
    dlg->SetCommandHandler(ID_TREE_REFRESH, [&] { ++refresh; });
    dlg->fileTree()->setFocus();
    QTest::keyClick(dlg->fileTree(), Qt::Key_Delete);
    QTest::keyClick(dlg->fileTree(), Qt::Key_F5);
    EXPECT_EQ(removeSelected, 0);  // the tree handled them itself
    EXPECT_EQ(refresh, 0);
    dlg->fileList()->setFocus();
    QTest::keyClick(dlg->fileList(), Qt::Key_Delete);
    QTest::keyClick(dlg->fileList(), Qt::Key_F5);
    EXPECT_EQ(removeSelected, 1);
    EXPECT_EQ(refresh, 1);
}

TEST_F(MainWindowTest, CommandsWithoutHandlersDoNothing) {
    auto dlg = Open();
    EXPECT_FALSE(dlg->HasCommandHandler(99999));
    EXPECT_TRUE(dlg->HasCommandHandler(ID_EXIT));
    EXPECT_TRUE(dlg->HasCommandHandler(ID_TOGGLE_TREE));
    dlg->OnCommand(99999);
    QTest::qWait(10);
    EXPECT_TRUE(dlg->isVisible());
}

TEST_F(MainWindowTest, ExpandFolderIsIgnoredWhileBusy) {
    auto dlg = Open();
    CFileTreeCtrl* tree = dlg->fileTree();
    QTreeWidgetItem* home = tree->ProfileItem();
    ASSERT_NE(home, nullptr);
    std::filesystem::create_directories(env_.home() / "a" / "b" / "c");
    tree->setCurrentItem(home);
    tree->CollapseItem(home, true);
    dlg->busy.store(1);
    dlg->OnCommand(ID_TREE_EXPAND);
    EXPECT_FALSE(home->isExpanded());
    dlg->busy.store(0);
    dlg->OnCommand(ID_TREE_EXPAND);
    EXPECT_TRUE(home->isExpanded());
    EXPECT_FALSE(dlg->IsBusy());
    QTreeWidgetItem* a = tree->FindChildByName(home, "a");
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(a->isExpanded());
}

TEST_F(MainWindowTest, CommandPromptsShowInTheStatusBarWhileThePointerIsOnTheCommand) {
    auto dlg = Open();
    CFileTreeCtrl* tree = dlg->fileTree();
    for (int waited = 0; (dlg->IsBusy() || !tree->isEnabled()) && waited < 10000; waited += 10) QTest::qWait(10);
    CStatusBar* bar = dlg->statusBar();
    const QString summary = bar->Text(0);
    ASSERT_FALSE(summary.isEmpty());

    // A tree command in the tree's context menu.
    QTest::mouseClick(tree->viewport(), Qt::RightButton, {}, QPoint(5, tree->viewport()->height() - 3));
    QTest::qWait(20);
    QMenu* menu = dlg->activePopup();
    ASSERT_NE(menu, nullptr);
    QAction* expand = nullptr;
    for (QAction* a : menu->actions())
        if (a->text() == "Expand Folder") expand = a;
    ASSERT_NE(expand, nullptr);
    QTest::mouseMove(menu, menu->actionGeometry(expand).center());
    EXPECT_TRUE(QTest::qWaitFor([&] { return bar->Text(0) == "Expand the selected folder and show all of its subfolders"; }, 2000))
        << bar->Text(0).toStdString();
    menu->close();
    EXPECT_TRUE(QTest::qWaitFor([&] { return bar->Text(0) == summary; }, 2000)) << bar->Text(0).toStdString();

    // A toolbar button while the pointer rests on it.
    QWidget* join = dlg->toolBar()->widgetForAction(dlg->toolBar()->actions()[3]);
    ASSERT_NE(join, nullptr);
    QTest::mouseMove(join, join->rect().center());
    EXPECT_TRUE(QTest::qWaitFor([&] { return bar->Text(0) == "Join the files in the list"; }, 2000)) << bar->Text(0).toStdString();
    QTest::mouseMove(tree->viewport(), QPoint(5, 5));
    EXPECT_TRUE(QTest::qWaitFor([&] { return bar->Text(0) == summary; }, 2000)) << bar->Text(0).toStdString();
}

TEST_F(MainWindowTest, TreeRightClickSelectsTheItemAndOpensTheMenu) {
    auto dlg = Open();
    CFileTreeCtrl* tree = dlg->fileTree();
    QTreeWidgetItem* home = tree->ProfileItem();
    ASSERT_NE(home, nullptr);
    ASSERT_NE(tree->currentItem(), home);
    const QPoint at = tree->visualItemRect(home).center();
    QTest::mouseClick(tree->viewport(), Qt::RightButton, {}, at);
    QTest::qWait(20);
    EXPECT_EQ(tree->currentItem(), home);
    QMenu* menu = dlg->activePopup();
    ASSERT_NE(menu, nullptr);
    EXPECT_TRUE(menu->isVisible());
    QStringList texts;
    for (QAction* a : menu->actions()) texts << (a->isSeparator() ? QString("-") : a->text());
    EXPECT_EQ(texts, (QStringList{"Show/Hide Folder Tree", "-", "Refresh", "Go Up", "Go Back", "Go Forward",
                                  "Expand Folder", "-", "Open", "Create Folder", "Rename", "Delete", "Properties",
                                  "-", "Join Each Subfolder"}));
    EXPECT_TRUE(menu->actions()[0]->isChecked());
    menu->close();
    QTest::qWait(20);
    EXPECT_EQ(dlg->activePopup(), nullptr);  // destroyed when tracking ends

    // Selecting the home folder started its load, which disables the tree until it ends.
    for (int waited = 0; (dlg->IsBusy() || !tree->isEnabled()) && waited < 10000; waited += 10) QTest::qWait(10);
    ASSERT_TRUE(tree->isEnabled());

    // On the blank area below the items the menu opens all the same.
    const QPoint blank(5, tree->viewport()->height() - 3);
    ASSERT_EQ(tree->itemAt(blank), nullptr);
    QTest::mouseClick(tree->viewport(), Qt::RightButton, {}, blank);
    QTest::qWait(20);
    ASSERT_NE(dlg->activePopup(), nullptr);
    EXPECT_TRUE(dlg->activePopup()->isVisible());
    dlg->activePopup()->close();
}

TEST_F(MainWindowTest, BusyStateDisablesTheTreeFromAnyThread) {
    auto dlg = Open();
    dlg->EnterBusyState();
    EXPECT_TRUE(dlg->IsBusy());
    EXPECT_FALSE(dlg->fileTree()->isEnabled());
    EXPECT_TRUE(dlg->busyDialog()->timerRunning());
    dlg->LeaveBusyState();
    EXPECT_FALSE(dlg->IsBusy());
    EXPECT_TRUE(dlg->fileTree()->isEnabled());
    EXPECT_FALSE(dlg->busyDialog()->timerRunning());
    EXPECT_FALSE(dlg->busyDialog()->isVisible());

    // The loader calls in from its own thread: the flag is visible at once, the window
    // follows on the UI thread.
    std::thread loader([&] { dlg->EnterBusyState(); });
    loader.join();
    EXPECT_TRUE(dlg->IsBusy());
    QTest::qWait(20);
    EXPECT_FALSE(dlg->fileTree()->isEnabled());
    std::thread done([&] { dlg->LeaveBusyState(); });
    done.join();
    EXPECT_FALSE(dlg->IsBusy());
    QTest::qWait(20);
    EXPECT_TRUE(dlg->fileTree()->isEnabled());
}

TEST_F(MainWindowTest, ClosingTwiceRunsTheCloseSequenceOnceAndWritesEverything) {
    auto dlg = Open();
    dlg->close();
    dlg->close();
    QTest::qWait(20);
    EXPECT_EQ(dlg->closeSequenceRuns(), 1);
    EXPECT_EQ(exitCodes_, std::vector<int>{1});
    EXPECT_TRUE(dlg->IsClosing());
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->joinEngine(), nullptr);

    // The settings file holds the seven keys.
    auto ini = LoadConfigIni(env_.SettingsFile().toStdString());
    ASSERT_TRUE(ini.has_value());
    for (const char* key : {"SameAsSrc", "DesDir", "LastDir", "Name"}) EXPECT_TRUE(ini->Value("OUTPUT", key)) << key;
    for (const char* key : {"LameBits", "LameChannel", "Freq"}) EXPECT_TRUE(ini->Value("MP3", key)) << key;
    // The profile holds the placement, the tree flag and the splitter position.
    ApplicationProfile profile;
    auto placement = profile.GetProfileBinary("Position", "{BCE5C5B7-46CB-4890-9EB9-507AC16A7FB6}");
    ASSERT_TRUE(placement.has_value());
    EXPECT_EQ(placement->size(), 44);
    auto shown = profile.GetProfileBinary("FileList", "ShowLeftTree");
    ASSERT_TRUE(shown.has_value());
    EXPECT_EQ(*shown, QByteArray(1, 1));
    EXPECT_EQ(profile.GetProfileInt("splt\\init_v103", "VertSplitPos", -1), 200);
}

TEST_F(MainWindowTest, ExitCommandPostsTheClose) {
    auto dlg = Open();
    dlg->OnCommand(ID_EXIT);
    EXPECT_EQ(dlg->closeSequenceRuns(), 0);  // posted, not run at once
    QTest::qWait(30);
    EXPECT_EQ(dlg->closeSequenceRuns(), 1);
    EXPECT_EQ(exitCodes_, std::vector<int>{1});
}

TEST_F(MainWindowTest, DeletedLastFolderOpensItsNearestExistingParent) {
    const auto gone = env_.root() / "gone";
    std::filesystem::create_directories(gone);
    std::filesystem::create_directories(env_.config() / "Velmora");
    {
        AppSettings s;
        s.lastFolder = gone.string();
        ASSERT_TRUE(velmora::SaveSettings(s, env_.SettingsFile().toStdString()));
    }
    std::filesystem::remove(gone);
    auto dlg = Open();
    EXPECT_EQ(dlg->fileTree()->GetSelectedPath(), QString::fromStdString(env_.root().string()));
    dlg->close();
    AppSettings after;
    ASSERT_TRUE(LoadSettings(after, env_.SettingsFile().toStdString()));
    EXPECT_EQ(after.lastFolder, dlg->fileTree()->GetSelectedPath().toStdString());
    EXPECT_NE(after.lastFolder, gone.string());
}

TEST_F(MainWindowTest, ExistingLastFolderIsSelectedAndKept) {
    const auto music = env_.home() / "Music" / "Albums";
    std::filesystem::create_directories(music);
    std::filesystem::create_directories(env_.config() / "Velmora");
    {
        AppSettings s;
        s.lastFolder = music.string();
        ASSERT_TRUE(velmora::SaveSettings(s, env_.SettingsFile().toStdString()));
    }
    auto dlg = Open();
    EXPECT_EQ(dlg->fileTree()->GetSelectedPath().toStdString(), music.string());
    dlg->close();
    AppSettings after;
    ASSERT_TRUE(LoadSettings(after, env_.SettingsFile().toStdString()));
    EXPECT_EQ(after.lastFolder, music.string());
}

TEST_F(MainWindowTest, LayoutRoundTrip) {
    QRect normal;
    {
        auto dlg = Open();
        CReportCtrl* list = dlg->fileList();
        list->ShowColumn(5, false);
        list->ShowColumn(11, false);
        list->SetColumnWidth(8, 222);
        list->OnColumnClick(12);
        list->OnColumnClick(4);
        list->OnColumnClick(4);  // Artist descending, then Size ascending
        QTest::qWait(20);
        QTest::keyClick(dlg.get(), Qt::Key_F9);  // hide the tree
        dlg->setGeometry(QRect(QPoint(37, 21), QSize(711, 507)));
        QTest::qWait(20);
        normal = dlg->geometry();
        dlg->close();
    }
    auto dlg = Open();
    EXPECT_EQ(dlg->geometry(), normal);
    EXPECT_FALSE(dlg->splitter()->IsLeftPaneShown());
    EXPECT_EQ(dlg->fileList()->geometry(), QRect(QPoint(0, 0), dlg->splitter()->size()));
    EXPECT_EQ(dlg->statusBar()->y(), normal.height() - 25);
    CReportCtrl* list = dlg->fileList();
    for (int c = 0; c < 18; ++c) {
        EXPECT_EQ(list->IsColumnVisible(c), c != 5 && c != 11) << c;
        if (c == 8) {
            EXPECT_EQ(list->GetColumnWidth(c), 222);
        } else if (c == 5 || c == 11) {
            EXPECT_EQ(list->GetColumnWidth(c), 0);
            EXPECT_EQ(list->GetColumnRestoreWidth(c), kFileListColumns[c].defaultWidth);
        } else {
            EXPECT_EQ(list->GetColumnWidth(c), kFileListColumns[c].defaultWidth) << c;
        }
    }
    EXPECT_EQ(list->GetSortList(), (std::vector<ColumnSortInfo>{{4, 0}, {12, 1}, {0, 1}}));
    for (int c = 0; c < 18; ++c) EXPECT_EQ(list->GetHeaderImage(c), c == 4 ? 2 : 0) << c;
}

TEST_F(MainWindowTest, BringToFrontRestoresAMinimisedWindow) {
    auto dlg = Open();
    dlg->setWindowState(Qt::WindowMinimized);
    QTest::qWait(10);
    dlg->BringToFront();
    QTest::qWait(10);
    EXPECT_FALSE(dlg->windowState() & Qt::WindowMinimized);
    EXPECT_TRUE(dlg->isVisible());
}

TEST_F(MainWindowTest, BringToFrontRaisesTheDialogThatIsModalOverTheWindow) {
    auto dlg = Open();
    QDialog options(dlg.get());
    options.setWindowTitle(QStringLiteral("Options"));
    options.setModal(true);
    options.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&options));
    QApplication::setActiveWindow(dlg.get());
    QTest::qWait(20);
    ASSERT_EQ(QApplication::activeModalWidget(), &options);
    dlg->BringToFront();
    QTest::qWait(20);
    EXPECT_TRUE(QTest::qWaitForWindowActive(&options));
    EXPECT_EQ(QApplication::activeWindow(), &options);
    options.close();
}

TEST_F(MainWindowTest, ClosingDuringALoadStillSavesEverything) {
    auto dlg = Open();
    QTest::keyClick(dlg.get(), Qt::Key_F9);
    dlg->EnterBusyState();  // a load is running
    ASSERT_TRUE(dlg->IsBusy());
    dlg->close();
    EXPECT_EQ(dlg->closeSequenceRuns(), 1);
    EXPECT_EQ(exitCodes_, std::vector<int>{1});
    EXPECT_TRUE(QFile::exists(env_.SettingsFile()));
    ApplicationProfile profile;
    EXPECT_EQ(profile.GetProfileBinary("FileList", "ShowLeftTree").value_or(QByteArray()), QByteArray(1, 0));
    EXPECT_EQ(profile.GetProfileBinary("FileList", "Column").value_or(QByteArray()).size(), 18 * 8);
    EXPECT_EQ(profile.GetProfileBinary("FileList", "SortEx").value_or(QByteArray()).size(), 8);
}

TEST_F(MainWindowTest, ChangedSettingsShowInTheSummary) {
    auto dlg = Open();
    dlg->settings().frequencyIndex = 8;
    dlg->settings().channelModeIndex = 2;
    dlg->ShowEncoderSummary();
    EXPECT_EQ(dlg->statusBar()->Text(2), "  MP3:  CBR 128 kbps; 44100 Hz; Stereo;");
    EXPECT_EQ(dlg->statusBar()->TipText(2), "  MP3:  CBR 128 kbps; 44100 Hz; Stereo;");
}

TEST_F(MainWindowTest, StoredSettingsAreReadAtCreation) {
    std::filesystem::create_directories(env_.config() / "Velmora");
    {
        QFile f(env_.SettingsFile());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[OUTPUT]\nName=Mix\n[MP3]\nLameBits=16\nFreq=1\nLameChannel=1\n");
    }
    auto dlg = Open();
    EXPECT_EQ(dlg->settings().defaultFileName, "Mix");
    EXPECT_EQ(dlg->statusBar()->Text(2), "  MP3:  CBR 320 kbps;  8000 Hz; Mono;");
}

TEST_F(MainWindowTest, TheInPlaceEditorKeepsItsEditingKeys) {
    auto dlg = Open();
    int removeSelected = 0, selectAll = 0;
    dlg->SetCommandHandler(ID_REMOVE_SELECTED, [&] { ++removeSelected; });
    dlg->SetCommandHandler(ID_SELECT_ALL, [&] { ++selectAll; });
    CReportCtrl* list = dlg->fileList();
    list->InsertItemEx(0, QStringLiteral("song.mp3"));
    QTest::qWait(20);
    ASSERT_TRUE(list->BeginEdit(0, 0));
    QLineEdit* editor = list->Editor();
    ASSERT_NE(editor, nullptr);
    editor->setFocus();
    QTest::qWait(10);
    QTest::keyClick(editor, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(editor, Qt::Key_Delete);
    EXPECT_EQ(removeSelected, 0);
    EXPECT_EQ(selectAll, 0);
    EXPECT_EQ(editor->text(), "");  // Ctrl+A selected the text, Delete removed it
    QTest::keyClick(editor, Qt::Key_Escape);  // leaves the old name, and the window stays
    QTest::qWait(10);
    EXPECT_EQ(list->GetItemText(0, 0), "song.mp3");
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(dlg->closeSequenceRuns(), 0);
}

// A settings file that exists but cannot be read as one: a box while the window is built.
TEST_F(MainWindowTest, SettingsLoadFailureBoxIsTitledWithTheProductAndASecondStartWaitsForTheWindow) {
    const std::filesystem::path settings = env_.SettingsFile().toStdString();
    std::filesystem::create_directories(settings);
    CZEPHDlg dlg;
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int boxes = 0;
    bool shownDuringBox = true;
    velmora::testing::AnswerModal<QMessageBox>([&](QMessageBox* box) {
        title = box->windowTitle();
        icon = box->icon();
        ++boxes;
        dlg.BringToFront();  // as a second start's request, taken in the box's loop
        shownDuringBox = dlg.isVisible();
        box->accept();
    });
    ASSERT_TRUE(dlg.OnInitDialog());
    std::filesystem::remove(settings);
    ASSERT_EQ(boxes, 1);
    EXPECT_EQ(title, QStringLiteral("Velmora"));
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_FALSE(shownDuringBox) << "never a half-built window";
    EXPECT_FALSE(dlg.isVisible());
}
