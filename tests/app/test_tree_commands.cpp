// The folder tree's file commands through the main window: the tree's context menu is
// opened with a right click and its items are clicked, as a user does it.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QTreeWidgetItem>

#include <filesystem>

#include "app/command_ids.h"
#include "app/file_loader.h"
#include "app/zeph_dlg.h"
#include "app_env.h"
#include "fake_xdg_open.h"
#include "controls/report_ctrl.h"
#include "foldertree/file_tree_ctrl.h"
#include "foldertree/item_properties_dlg.h"
#include "join/conv_prog.h"

using namespace velmora;
using velmora::testing::AppEnv;

namespace {

class TreeCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedEnd_ = CZEPHDlg::ProcessEnd();
        CZEPHDlg::ProcessEnd() = [](int) {};
        savedBus_ = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");  // no file manager: our own properties dialog
    }
    void TearDown() override {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<CItemPropertiesDlg*>(w)) delete w;
        dlg.reset();
        CZEPHDlg::ProcessEnd() = savedEnd_;
        if (!savedBus_.isNull()) qputenv("DBUS_SESSION_BUS_ADDRESS", savedBus_);
    }

    CFileTreeCtrl& Open() {
        dlg = std::make_unique<CZEPHDlg>();
        EXPECT_TRUE(dlg->OnInitDialog());
        dlg->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
        QApplication::setActiveWindow(dlg.get());
        QTest::qWait(20);
        return *dlg->fileTree();
    }
    QString H(const QString& rel) const { return QString::fromStdString(env_.home().string()) + "/" + rel; }
    void MakeDir(const QString& p) { ASSERT_TRUE(QDir().mkpath(p)); }

    // Right-clicks the item and clicks the menu item with the given text.
    void RunFromMenu(QTreeWidgetItem* item, const QString& text) {
        CFileTreeCtrl* tree = dlg->fileTree();
        tree->scrollToItem(item);
        QTest::mouseClick(tree->viewport(), Qt::RightButton, {}, tree->visualItemRect(item).center());
        QTest::qWait(20);
        QMenu* menu = dlg->activePopup();
        ASSERT_NE(menu, nullptr);
        QAction* chosen = nullptr;
        for (QAction* a : menu->actions())
            if (a->text() == text) chosen = a;
        ASSERT_NE(chosen, nullptr) << text.toStdString();
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(chosen).center());
        QTest::qWait(20);
    }
    // The selection starts a load, which keeps the tree disabled until it is over.
    bool WaitEnabled() {
        return QTest::qWaitFor([this] { return dlg->fileTree()->isEnabled() && !dlg->IsBusy(); }, 10000);
    }
    QLineEdit* Editor() {
        for (QLineEdit* e : dlg->fileTree()->viewport()->findChildren<QLineEdit*>())
            if (e->isVisible()) return e;
        return nullptr;
    }

    AppEnv env_;
    std::unique_ptr<CZEPHDlg> dlg;
    std::function<void(int)> savedEnd_;
    QByteArray savedBus_;
};

}  // namespace

TEST_F(TreeCommandsTest, CreateFolderFromTheMenuTwiceGivesNewFolderAndNewFolder2) {
    MakeDir(H("Music/Box"));
    CFileTreeCtrl& tree = Open();
    QTreeWidgetItem* box = tree.SetSelectedPath(H("Music/Box"), false);
    ASSERT_NE(box, nullptr);

    RunFromMenu(box, "Create Folder");
    ASSERT_TRUE(QFileInfo(H("Music/Box/New Folder")).isDir());
    EXPECT_EQ(tree.GetSelectedPath(), H("Music/Box/New Folder"));
    ASSERT_TRUE(WaitEnabled());
    ASSERT_TRUE(tree.IsEditingLabel());
    ASSERT_NE(Editor(), nullptr);
    EXPECT_EQ(Editor()->text(), "New Folder");
    EXPECT_TRUE(Editor()->hasFocus());
    QTest::keyClick(Editor(), Qt::Key_Escape);

    RunFromMenu(box, "Create Folder");
    EXPECT_TRUE(QFileInfo(H("Music/Box/New Folder (2)")).isDir());
    EXPECT_EQ(tree.GetSelectedPath(), H("Music/Box/New Folder (2)"));
    ASSERT_TRUE(WaitEnabled());
    ASSERT_NE(Editor(), nullptr);
    // The name typed into the editor becomes the folder's name.
    QTest::keyClick(Editor(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(Editor(), "Bootlegs");
    QTest::keyClick(Editor(), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !tree.IsEditingLabel(); }, 2000));
    EXPECT_TRUE(QFileInfo(H("Music/Box/Bootlegs")).isDir());
    EXPECT_FALSE(QFileInfo::exists(H("Music/Box/New Folder (2)")));
    EXPECT_EQ(tree.currentItem()->text(0), "Bootlegs");
}

TEST_F(TreeCommandsTest, RenameFromTheMenuRenamesTheRightClickedFolder) {
    MakeDir(H("Music/Draft/inside"));
    MakeDir(H("Music/Other"));
    CFileTreeCtrl& tree = Open();
    QTreeWidgetItem* music = tree.SetSelectedPath(H("Music"), true);
    ASSERT_NE(music, nullptr);
    QTreeWidgetItem* draft = tree.FindChildByName(music, "Draft");
    ASSERT_NE(draft, nullptr);
    ASSERT_NE(tree.currentItem(), draft);
    RunFromMenu(draft, "Rename");
    EXPECT_EQ(tree.currentItem(), draft) << "the right click selected it";
    ASSERT_TRUE(WaitEnabled());
    ASSERT_NE(Editor(), nullptr);
    QTest::keyClick(Editor(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(Editor(), "Final");
    QTest::keyClick(Editor(), Qt::Key_Return);
    // The editor hands its text over once the key's handling is done.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !tree.IsEditingLabel(); }, 2000));
    EXPECT_TRUE(QFileInfo(H("Music/Final/inside")).isDir());
    EXPECT_EQ(tree.ItemToPath(draft), H("Music/Final"));
    ASSERT_TRUE(tree.ExpandItem(draft));
    ASSERT_EQ(draft->childCount(), 1);
    EXPECT_EQ(tree.ItemToPath(draft->child(0)), H("Music/Final/inside"));
}

TEST_F(TreeCommandsTest, DeleteFromTheMenuMovesTheFolderToTheTrash) {
    MakeDir(H("Music/A"));
    MakeDir(H("Music/B"));
    CFileTreeCtrl& tree = Open();
    QTreeWidgetItem* music = tree.SetSelectedPath(H("Music"), true);
    QTreeWidgetItem* a = tree.FindChildByName(music, "A");
    QTreeWidgetItem* b = tree.FindChildByName(music, "B");
    ASSERT_NE(b, nullptr);
    RunFromMenu(b, "Delete");
    EXPECT_FALSE(QFileInfo::exists(H("Music/B")));
    EXPECT_TRUE(QFileInfo(H(".local/share/Trash/files/B")).isDir());
    EXPECT_TRUE(QFileInfo(H(".local/share/Trash/info/B.trashinfo")).isFile());
    EXPECT_EQ(tree.currentItem(), a) << "the previous sibling";
}

TEST_F(TreeCommandsTest, DeleteWithShiftHeldAsksAndDeletesForGood) {
    MakeDir(H("Music/Only"));
    CFileTreeCtrl& tree = Open();
    QTreeWidgetItem* music = tree.SetSelectedPath(H("Music"), true);
    QTreeWidgetItem* only = tree.FindChildByName(music, "Only");
    ASSERT_NE(only, nullptr);
    tree.setCurrentItem(only);
    ASSERT_TRUE(WaitEnabled());
    tree.setFocus();
    QStringList asked;
    QTimer answer;
    answer.setInterval(20);
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return;
        asked << box->text();
        QAbstractButton* yes = box->button(QMessageBox::Yes);
        if (!yes) yes = box->defaultButton();
        if (yes) QTest::mouseClick(yes, Qt::LeftButton);
    });
    answer.start();
    QTest::keyClick(&tree, Qt::Key_Delete, Qt::ShiftModifier);
    answer.stop();
    ASSERT_EQ(asked.size(), 1);
    EXPECT_FALSE(QFileInfo::exists(H("Music/Only")));
    EXPECT_FALSE(QFileInfo::exists(H(".local/share/Trash/files/Only")));
    EXPECT_EQ(tree.currentItem(), music);
    EXPECT_EQ(music->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);
}

TEST_F(TreeCommandsTest, PropertiesFromTheMenuShowTheFolder) {
    MakeDir(H("Music/Shown"));
    CFileTreeCtrl& tree = Open();
    if (QDBusConnection::sessionBus().isConnected()) GTEST_SKIP() << "a session bus is connected in this process";
    QTreeWidgetItem* shown = tree.SetSelectedPath(H("Music/Shown"), false);
    ASSERT_NE(shown, nullptr);
    RunFromMenu(shown, "Properties");
    CItemPropertiesDlg* props = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<CItemPropertiesDlg*>(w); d && d->isVisible()) props = d;
    ASSERT_NE(props, nullptr);
    EXPECT_EQ(props->path(), H("Music/Shown"));
    EXPECT_EQ(props->parentWidget(), dlg.get()) << "owned by the main window";
    EXPECT_EQ(props->Value("Type:"), "Folder");
}

TEST_F(TreeCommandsTest, OpenFromTheMenuAsksTheDesktopToOpenTheFolder) {
    MakeDir(H("Music/Opened"));
    CFileTreeCtrl& tree = Open();
    velmora::testing::FakeXdgOpen desktop(0);
    QTreeWidgetItem* opened = tree.SetSelectedPath(H("Music/Opened"), false);
    ASSERT_NE(opened, nullptr);
    RunFromMenu(opened, "Open");
    ASSERT_TRUE(desktop.WaitOpened(1));
    EXPECT_EQ(desktop.Opened(), QStringList{H("Music/Opened")});
}

TEST_F(TreeCommandsTest, CommandsWithoutASelectionDoNothing) {
    MakeDir(H("Music/Untouched"));
    CFileTreeCtrl& tree = Open();
    tree.setCurrentItem(nullptr);
    ASSERT_EQ(tree.currentItem(), nullptr);
    for (int id :
         {ID_TREE_CREATE_FOLDER, ID_TREE_RENAME, ID_TREE_DELETE, ID_TREE_PROPERTIES, ID_TREE_OPEN, ID_TREE_JOIN_EACH}) {
        EXPECT_TRUE(dlg->HasCommandHandler(id));
        dlg->OnCommand(id);
    }
    QTest::qWait(20);
    EXPECT_FALSE(tree.IsEditingLabel());
    EXPECT_TRUE(QFileInfo(H("Music/Untouched")).isDir());
    EXPECT_FALSE(QFileInfo::exists(H("New Folder")));
    for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_EQ(qobject_cast<CItemPropertiesDlg*>(w), nullptr);
}

// A library of book folders joined from the tree's menu: one output per book folder, nested CD
// folders in order, the folder without audio and the loose file named in the log, the book
// with a damaged file named at the end, and the list left as it was.
TEST_F(TreeCommandsTest, JoinEachSubfolderFromTheMenuWritesOneBookPerFolder) {
    const QString lib = H("Music/Library");
    const struct {
        const char* path;
        double frequency;  // 0: not audio
    } inputs[] = {{"Book 1/a.mp3", 440}, {"Book 2/CD2/a.mp3", 1320}, {"Book 2/CD1/a.mp3", 660},
                  {"Bad/a.mp3", 440},    {"Bad/b.mp3", 0},           {"loose.mp3", 880}};
    for (const auto& i : inputs) {
        const std::filesystem::path p = (lib + "/" + i.path).toStdString();
        std::filesystem::create_directories(p.parent_path());
        if (i.frequency == 0)
            velmora::testing::WriteFile(p, "not audio");
        else
            ASSERT_TRUE(velmora::testing::MakeToneMp3(p, {44100, 2, 0.5, i.frequency, 128, true}));
    }
    MakeDir(lib + "/Empty");
    CFileTreeCtrl& tree = Open();
    dlg->settings().outputFolder = H("Books/").toStdString();
    QTreeWidgetItem* library = tree.SetSelectedPath(H("Music"), true);
    ASSERT_NE(library = tree.FindChildByName(library, "Library"), nullptr);
    // The list holds the library's loose file; the command leaves it so.
    FileLoaderOf(*dlg).LoadTreeFolder(lib, Qt::NoModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->fileList()->GetItemCount() == 1; }, 10000));
    ASSERT_TRUE(FileLoaderOf(*dlg).WaitIdle(20000));
    ASSERT_TRUE(WaitEnabled());

    QStringList log;
    QString endTitle;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        auto* prog = qobject_cast<CConvProg*>(QApplication::activeModalWidget());
        if (!prog || !endTitle.isEmpty() || prog->cancelButton()->text() != QStringLiteral("Close")) return;
        endTitle = prog->windowTitle();
        for (int i = 0; i < prog->logList()->topLevelItemCount(); ++i) log << prog->logList()->topLevelItem(i)->text(3);
        QTimer::singleShot(0, [b = QPointer<QPushButton>(prog->cancelButton())] {
            if (b) QTest::mouseClick(b, Qt::LeftButton);
        });
    });
    watch.start(20);
    RunFromMenu(library, "Join Each Subfolder");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !endTitle.isEmpty() && !QApplication::activeModalWidget(); }, 30000));
    watch.stop();

    EXPECT_EQ(endTitle, "Joining Failed");
    for (const QString& line : {"1 audio file directly in " + lib + " is left out: only its subfolders are books.",
                                "No audio files in " + lib + "/Empty: skipped.", QStringLiteral("Book 3 of 3: Book 2")})
        EXPECT_TRUE(log.contains(line)) << line.toStdString() << "\n" << log.join("\n").toStdString();
    ASSERT_FALSE(log.isEmpty());
    EXPECT_TRUE(log.last().startsWith("2 joined, 1 failed: Bad (b.mp3: Trouble with mpg123: ")) << log.last().toStdString();

    const auto one = velmora::testing::DecodeMp3(H("Books/Book 1.mp3").toStdString());
    const auto two = velmora::testing::DecodeMp3(H("Books/Book 2.mp3").toStdString());
    EXPECT_EQ(one.frames(), 22050u);
    ASSERT_EQ(two.frames(), 44100u);
    EXPECT_NEAR(velmora::testing::EstimateFrequency(two, 4000, 14000), 660, 20);   // CD1
    EXPECT_NEAR(velmora::testing::EstimateFrequency(two, 26000, 14000), 1320, 40);  // CD2
    EXPECT_FALSE(QFileInfo::exists(H("Books/Bad.mp3")));
    // The right click's own load of the folder may still be adding its row.
    ASSERT_TRUE(FileLoaderOf(*dlg).WaitIdle(20000));
    EXPECT_EQ(dlg->fileList()->GetItemCount(), 1);
}

// Keyboard only: the arrow keys walk the folders, each step loading its files, and the focus
// stays in the tree throughout; Shift+F10 then opens the tree's menu at the selected folder.
TEST_F(TreeCommandsTest, ArrowKeysKeepTheFocusInTheTreeAndShiftF10OpensItsMenu) {
    for (const char* name : {"A", "B", "C"}) {
        const std::filesystem::path p = H(QStringLiteral("Music/%1/x.mp3").arg(QLatin1String(name))).toStdString();
        std::filesystem::create_directories(p.parent_path());
        ASSERT_TRUE(velmora::testing::MakeToneMp3(p, {44100, 2, 0.2, 440, 128, true}));
    }
    CFileTreeCtrl& tree = Open();
    QTreeWidgetItem* music = tree.SetSelectedPath(H("Music"), true);
    ASSERT_NE(music, nullptr);
    ASSERT_TRUE(WaitEnabled());
    tree.setFocus();
    if (!music->isExpanded()) QTest::keyClick(&tree, Qt::Key_Right);
    ASSERT_TRUE(WaitEnabled());
    for (const char* name : {"A", "B", "C"}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
        ASSERT_TRUE(WaitEnabled());
        ASSERT_TRUE(QTest::qWaitFor([&] { return FileLoaderOf(*dlg).WaitIdle(0) && tree.hasFocus(); }, 5000))
            << name << " focus: " << (QApplication::focusWidget() ? QApplication::focusWidget()->objectName().toStdString() : "none");
        EXPECT_EQ(tree.GetSelectedPath(), H("Music/") + name);
        EXPECT_EQ(dlg->fileList()->GetItemCount(), 1) << name;
    }
    QTest::keyClick(&tree, Qt::Key_F10, Qt::ShiftModifier);
    QMenu* menu = dlg->activePopup();
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->objectName(), "folderTreeMenu");
    EXPECT_TRUE(tree.visualItemRect(tree.currentItem()).contains(tree.viewport()->mapFromGlobal(menu->pos() - QPoint(0, 1))));
    menu->close();
}

