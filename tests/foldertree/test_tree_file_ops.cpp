// File operations on tree items: new folders, deleting to the trash and for good, renaming
// in place, properties. Everything happens on real folders below the temporary HOME.
#include <gtest/gtest.h>

#include "tree_fixture.h"

#include "foldertree/item_properties_dlg.h"
#include "support/ffmpeg_fixtures.h"
#include "support/mp3_fixtures.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

#include <unistd.h>

using namespace velmora;
using namespace velmora::testing;

namespace {

class FileOpsTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestHome::Reset();
        shares = std::make_unique<CShareEnumerator>(TestHome::Shares());
    }
    void TearDown() override {
        // Dialogs left open by a failing test go with it.
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<CItemPropertiesDlg*>(w)) delete w;
    }

    // A real tree, shown and active, with the file operations allowed as the main window
    // allows them.
    CFileTreeCtrl& Make(bool allow = true) {
        tree = std::make_unique<CFileTreeCtrl>(nullptr, &drives, shares.get());
        tree->SetShowFiles(false);
        tree->SetAllowDelete(allow);
        tree->SetAllowRename(allow);
        tree->SetAllowCreateFolder(allow);
        tree->AttachSystemImageList();
        tree->resize(400, 600);
        tree->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(tree.get()));
        QApplication::setActiveWindow(tree.get());
        tree->setFocus();
        return *tree;
    }
    QTreeWidgetItem* Select(const QString& path, bool expand = false) {
        QTreeWidgetItem* item = tree->SetSelectedPath(path, expand);
        EXPECT_NE(item, nullptr) << path.toStdString();
        return item;
    }
    QLineEdit* Editor() {
        for (QLineEdit* e : tree->viewport()->findChildren<QLineEdit*>())
            if (e->isVisible()) return e;
        return nullptr;
    }
    bool Editing() { return tree->IsEditingLabel() && Editor(); }
    // Types a new label into the open editor and ends the edit with Enter.
    void TypeLabel(const QString& text) {
        QLineEdit* e = Editor();
        ASSERT_NE(e, nullptr);
        QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(e, Qt::Key_Backspace);
        QTest::keyClicks(e, text);
        QTest::keyClick(e, Qt::Key_Return);
        QTest::qWait(10);
    }
    static bool Exists(const QString& p) { return QFileInfo::exists(p) || QFileInfo(p).isSymLink(); }
    static QString Trash() { return TestHome::Home() + "/.local/share/Trash"; }
    static QString M(const QString& rel) { return TestHome::Music() + "/" + rel; }

    FakeDrives drives;
    std::unique_ptr<CShareEnumerator> shares;
    std::unique_ptr<CFileTreeCtrl> tree;
};

}  // namespace

// ---------------------------------------------------------------- new folder names

TEST_F(FileOpsTest, NewFolderNameTakesTheFirstFreeNumber) {
    const QString base = MakeDir(TestHome::Outside() + "/names");
    EXPECT_EQ(CFileTreeCtrl::GetNewFolderName(base), base + "/New Folder");
    EXPECT_EQ(CFileTreeCtrl::GetNewFolderName(base + "/"), base + "/New Folder") << "one trailing slash goes";
    MakeDir(base + "/New Folder");
    EXPECT_EQ(CFileTreeCtrl::GetNewFolderName(base), base + "/New Folder (2)");
    MakeFile(base + "/New Folder (2)");  // a file takes the name as well
    ASSERT_EQ(symlink("/nonexistent/target", QFile::encodeName(base + "/New Folder (3)").constData()), 0);
    EXPECT_EQ(CFileTreeCtrl::GetNewFolderName(base), base + "/New Folder (4)") << "a dangling link is taken too";
    EXPECT_EQ(CFileTreeCtrl::GetNewFolderName("/"), "/New Folder") << "the root of the file system";
}

// ---------------------------------------------------------------- creating folders

TEST_F(FileOpsTest, CreateFolderTwiceGivesNewFolderThenNewFolder2EachSelectedWithItsEditorOpen) {
    MakeDir(M("Albums/Existing"));
    CFileTreeCtrl& t = Make();
    QTreeWidgetItem* albums = Select(M("Albums"));
    ASSERT_NE(albums, nullptr);
    QSignalSpy spy(&t, &CFileTreeCtrl::selectionChanged);

    QTreeWidgetItem* first = t.CreateFolder(albums);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(QFileInfo(M("Albums/New Folder")).isDir());
    EXPECT_EQ(t.currentItem(), first);
    EXPECT_EQ(first->text(0), "New Folder");
    EXPECT_EQ(t.ItemToPath(first), M("Albums/New Folder"));
    EXPECT_TRUE(t.IsFolderItem(first));
    ASSERT_TRUE(Editing());
    EXPECT_EQ(Editor()->text(), "New Folder");
    EXPECT_EQ(t.ChildrenCount(first), 0) << "an empty folder has no expand button";
    ASSERT_FALSE(spy.isEmpty());
    EXPECT_EQ(spy.last().at(0).value<QTreeWidgetItem*>(), first) << "the owner hears of the new selection";
    QTest::keyClick(Editor(), Qt::Key_Escape);  // keep the name
    EXPECT_FALSE(Editing());

    t.setCurrentItem(albums);
    QTreeWidgetItem* second = t.CreateFolder(albums);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->text(0), "New Folder (2)");
    EXPECT_EQ(t.currentItem(), second);
    ASSERT_TRUE(Editing());
    EXPECT_EQ(Editor()->text(), "New Folder (2)");
    QTest::keyClick(Editor(), Qt::Key_Escape);
    EXPECT_TRUE(QFileInfo(M("Albums/New Folder (2)")).isDir());
    EXPECT_EQ(ChildLabels(albums), QStringList({"Existing", "New Folder", "New Folder (2)"}))
        << "each folder is listed once, in order";
    EXPECT_TRUE(albums->isExpanded());
}

TEST_F(FileOpsTest, CreateFolderInAnUnreadFolderListsTheNewFolderOnce) {
    MakeDir(M("Fresh/Sub"));
    CFileTreeCtrl& t = Make();
    QTreeWidgetItem* fresh = Select(M("Fresh"));
    ASSERT_EQ(fresh->childCount(), 0) << "not read yet";
    QTreeWidgetItem* made = t.CreateFolder(fresh);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(ChildLabels(fresh), QStringList({"New Folder", "Sub"}));
}

TEST_F(FileOpsTest, CreateFolderBelowAFolderWithoutSubfoldersGivesItAnExpandButton) {
    MakeDir(M("Leaf"));
    CFileTreeCtrl& t = Make();
    QTreeWidgetItem* leaf = Select(M("Leaf"));
    ASSERT_EQ(t.ChildrenCount(leaf), 0);
    EXPECT_EQ(leaf->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);
    QTreeWidgetItem* made = t.CreateFolder(leaf);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(t.ChildrenCount(leaf), 1);
    EXPECT_EQ(leaf->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
    EXPECT_TRUE(leaf->isExpanded());
    EXPECT_EQ(made->parent(), leaf);
}

TEST_F(FileOpsTest, NewFolderTakesTheTypedNameOnEnter) {
    MakeDir(M("Box"));
    CFileTreeCtrl& t = Make();
    QTreeWidgetItem* made = t.CreateFolder(Select(M("Box")));
    ASSERT_NE(made, nullptr);
    TypeLabel("Live 1999");
    EXPECT_TRUE(QFileInfo(M("Box/Live 1999")).isDir());
    EXPECT_FALSE(Exists(M("Box/New Folder")));
    EXPECT_EQ(made->text(0), "Live 1999");
    EXPECT_EQ(t.ItemToPath(made), M("Box/Live 1999"));
    EXPECT_EQ(t.ItemInfo(made)->name, "Live 1999");
}

TEST_F(FileOpsTest, CreateFolderOnAVolumeRootTriesRootSlashNewFolderFirst) {
    const QString vol = MakeDir(TestHome::Outside() + "/vol");
    MakeDir(vol + "/data");
    drives.Add(vol, "ext4", "/dev/sdz1", "Backup");
    CFileTreeCtrl& t = Make();
    ASSERT_TRUE(t.ExpandItem(t.ComputerItem()));
    QTreeWidgetItem* volume = nullptr;
    for (int i = 0; i < t.ComputerItem()->childCount(); ++i)
        if (t.ItemToPath(t.ComputerItem()->child(i)) == vol) volume = t.ComputerItem()->child(i);
    ASSERT_NE(volume, nullptr);
    ASSERT_TRUE(t.IsDriveItem(volume));
    t.setCurrentItem(volume);
    QTreeWidgetItem* made = t.CreateFolder(volume);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(t.ItemToPath(made), vol + "/New Folder");
    EXPECT_TRUE(QFileInfo(vol + "/New Folder").isDir());
    EXPECT_EQ(made->parent(), volume);
    EXPECT_TRUE(Editing());
}

TEST_F(FileOpsTest, CreateFolderRefusesWhereItMayNotOrCannot) {
    MakeDir(M("Shelf"));
    CFileTreeCtrl& t = Make(false);
    QTreeWidgetItem* shelf = Select(M("Shelf"));
    EXPECT_EQ(t.CreateFolder(shelf), nullptr) << "not allowed";
    EXPECT_FALSE(Exists(M("Shelf/New Folder")));
    t.SetAllowCreateFolder(true);
    EXPECT_EQ(t.CreateFolder(nullptr), nullptr);
    EXPECT_EQ(t.CreateFolder(t.ComputerItem()), nullptr) << "the computer item has no path";
    EXPECT_EQ(t.CreateFolder(t.NetworkItem()), nullptr);
    EXPECT_FALSE(Exists("/New Folder"));
    // A path given by the caller that cannot be made: a clear box, nothing in the tree.
    BoxAnswerer ok(QMessageBox::Ok);
    EXPECT_EQ(t.CreateFolder(shelf, M("Shelf/missing/deeper")), nullptr);
    ASSERT_TRUE(ok.WaitAnswered());
    EXPECT_EQ(ok.texts.value(0), M("Shelf/missing/deeper") + " was not found.");
    EXPECT_EQ(shelf->childCount(), 0);
    // A path given by the caller is made as given.
    QTreeWidgetItem* named = t.CreateFolder(shelf, M("Shelf/Chosen"));
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(named->text(0), "Chosen");
}

// ---------------------------------------------------------------- deleting

TEST_F(FileOpsTest, DeleteKeyMovesTheFolderToTheTrashAndSelectsThePreviousSibling) {
    MakeDir(M("Lib/Alpha"));
    MakeFile(M("Lib/Beta/track.mp3"));
    MakeDir(M("Lib/Gamma"));
    CFileTreeCtrl& t = Make();
    Select(M("Lib"), true);
    QTreeWidgetItem* beta = Select(M("Lib/Beta"));
    QTreeWidgetItem* alpha = t.FindChildByName(beta->parent(), "Alpha");
    QSignalSpy spy(&t, &CFileTreeCtrl::selectionChanged);
    QTest::keyClick(&t, Qt::Key_Delete);
    EXPECT_FALSE(Exists(M("Lib/Beta")));
    EXPECT_TRUE(QFileInfo(Trash() + "/files/Beta").isDir());
    EXPECT_TRUE(QFileInfo(Trash() + "/files/Beta/track.mp3").isFile()) << "the contents go along";
    QFile info(Trash() + "/info/Beta.trashinfo");
    ASSERT_TRUE(info.open(QIODevice::ReadOnly));
    const QByteArray text = info.readAll();
    EXPECT_TRUE(text.contains("[Trash Info]"));
    EXPECT_TRUE(text.contains("Path=")) << text.constData();
    EXPECT_EQ(ChildLabels(alpha->parent()), QStringList({"Alpha", "Gamma"}));
    EXPECT_EQ(t.currentItem(), alpha);
    ASSERT_EQ(spy.size(), 1);
    EXPECT_EQ(spy.at(0).at(0).value<QTreeWidgetItem*>(), alpha);
    // The deleted folder is no step of the history.
    for (QTreeWidgetItem* i : t.BackItems()) EXPECT_NE(t.ItemToPath(i), M("Lib/Beta"));
}

TEST_F(FileOpsTest, WithoutAUsableTrashTheFolderStaysWhereItWasAndTheUserIsTold) {
    MakeFile(M("Nowhere/song.mp3"));
    CFileTreeCtrl& t = Make();
    QTreeWidgetItem* item = Select(M("Nowhere"));
    // The data folder is a file: no trash can be made below it.
    const QByteArray savedData = qgetenv("XDG_DATA_HOME");
    const QString blocker = MakeFile(TestHome::Base() + "/data-is-a-file");
    qputenv("XDG_DATA_HOME", QFile::encodeName(blocker));
    const QString savedCwd = QDir::currentPath();
    const QString cwd = MakeDir(TestHome::Base() + "/cwd");
    QDir::setCurrent(cwd);
    BoxAnswerer ok(QMessageBox::Ok);
    const bool deleted = t.DeleteItemFile(item);
    QDir::setCurrent(savedCwd);
    qputenv("XDG_DATA_HOME", savedData);
    EXPECT_FALSE(deleted);
    ASSERT_EQ(ok.texts.size(), 1);
    EXPECT_EQ(ok.texts[0], M("Nowhere") + " could not be moved to the trash.");
    EXPECT_TRUE(QFileInfo(M("Nowhere/song.mp3")).isFile()) << "back in its place";
    EXPECT_EQ(QDir(cwd).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList()) << "nothing left behind";
    EXPECT_EQ(t.currentItem(), item);
    RemoveTree(blocker);
    RemoveTree(cwd);
}

TEST_F(FileOpsTest, DeletingTheFirstChildSelectsTheNextSiblingAndTheLastChildItsParent) {
    MakeDir(M("Set/One"));
    MakeDir(M("Set/Two"));
    CFileTreeCtrl& t = Make();
    QTreeWidgetItem* set = Select(M("Set"), true);
    Select(M("Set/One"));
    QTest::keyClick(&t, Qt::Key_Delete);
    ASSERT_EQ(set->childCount(), 1);
    EXPECT_EQ(t.currentItem(), set->child(0));
    EXPECT_EQ(set->child(0)->text(0), "Two");
    EXPECT_EQ(set->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
    QTest::keyClick(&t, Qt::Key_Delete);
    EXPECT_EQ(set->childCount(), 0);
    EXPECT_EQ(t.currentItem(), set);
    EXPECT_EQ(t.ChildrenCount(set), 0);
    EXPECT_EQ(set->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator) << "the expand button goes";
    EXPECT_TRUE(QFileInfo(Trash() + "/files/One").isDir());
    EXPECT_TRUE(QFileInfo(Trash() + "/files/Two").isDir());
}

TEST_F(FileOpsTest, ShiftDeleteAfterConfirmationDeletesForGood) {
    MakeFile(M("Old/Gone/deep/a.mp3"));
    MakeDir(M("Old/Kept"));
    CFileTreeCtrl& t = Make();
    Select(M("Old"), true);
    QTreeWidgetItem* kept = t.FindChildByName(t.currentItem(), "Kept");
    Select(M("Old/Gone"));
    BoxAnswerer yes(QMessageBox::Yes);
    QTest::keyClick(&t, Qt::Key_Delete, Qt::ShiftModifier);
    ASSERT_EQ(yes.texts.size(), 1);
    EXPECT_TRUE(yes.texts[0].contains("permanently delete")) << yes.texts[0].toStdString();
    EXPECT_TRUE(yes.texts[0].contains("Gone"));
    EXPECT_FALSE(Exists(M("Old/Gone")));
    EXPECT_FALSE(Exists(Trash() + "/files/Gone")) << "not in the trash";
    EXPECT_EQ(t.currentItem(), kept) << "Gone had no previous sibling: the next one is selected";
}

TEST_F(FileOpsTest, ShiftDeleteAnsweredNoChangesNothing) {
    MakeDir(M("Stay/Here"));
    CFileTreeCtrl& t = Make();
    QTreeWidgetItem* here = Select(M("Stay/Here"));
    BoxAnswerer no(QMessageBox::No);
    QTest::keyClick(&t, Qt::Key_Delete, Qt::ShiftModifier);
    ASSERT_EQ(no.texts.size(), 1);
    EXPECT_TRUE(QFileInfo(M("Stay/Here")).isDir());
    EXPECT_EQ(t.currentItem(), here);
    EXPECT_EQ(t.ItemToPath(here), M("Stay/Here"));
    EXPECT_FALSE(Exists(Trash() + "/files/Here"));
}

TEST_F(FileOpsTest, PermanentDeleteOfALinkedFolderRemovesTheLinkOnly) {
    const QString target = MakeDir(TestHome::Outside() + "/precious");
    MakeFile(target + "/keep.mp3");
    MakeDir(M("Links"));
    ASSERT_EQ(symlink(QFile::encodeName(target).constData(), QFile::encodeName(M("Links/ToPrecious")).constData()), 0);
    CFileTreeCtrl& t = Make();
    QTreeWidgetItem* link = Select(M("Links/ToPrecious"));
    ASSERT_NE(link, nullptr);
    BoxAnswerer yes(QMessageBox::Yes);
    QTest::keyClick(&t, Qt::Key_Delete, Qt::ShiftModifier);
    ASSERT_EQ(yes.texts.size(), 1);
    EXPECT_FALSE(Exists(M("Links/ToPrecious")));
    EXPECT_TRUE(QFileInfo(target + "/keep.mp3").isFile()) << "what the link points to is untouched";
}

TEST_F(FileOpsTest, DeleteRefusesWhereItMayNot) {
    MakeDir(M("Safe"));
    CFileTreeCtrl& t = Make(false);
    QTreeWidgetItem* safe = Select(M("Safe"));
    EXPECT_FALSE(t.DeleteItemFile(safe)) << "not allowed";
    QTest::keyClick(&t, Qt::Key_Delete);
    EXPECT_TRUE(QFileInfo(M("Safe")).isDir());
    t.SetAllowDelete(true);
    EXPECT_FALSE(t.DeleteItemFile(nullptr));
    EXPECT_FALSE(t.DeleteItemFile(t.ProfileItem())) << "special folders are no file or folder items";
    EXPECT_FALSE(t.DeleteItemFile(t.ComputerItem()));
    ASSERT_TRUE(t.ExpandItem(t.ComputerItem()));
    ASSERT_GT(t.ComputerItem()->childCount(), 0);
    EXPECT_FALSE(t.DeleteItemFile(t.ComputerItem()->child(0))) << "a volume";
    EXPECT_TRUE(QFileInfo(TestHome::Home()).isDir());
}

TEST_F(FileOpsTest, DeletingAFolderThatIsAlreadyGoneSaysSoAndKeepsTheTree) {
    MakeDir(M("Ghost"));
    CFileTreeCtrl& t = Make();
    QTreeWidgetItem* ghost = Select(M("Ghost"));
    RemoveTree(M("Ghost"));
    BoxAnswerer ok(QMessageBox::Ok);
    EXPECT_FALSE(t.DeleteItemFile(ghost));
    ASSERT_EQ(ok.texts.size(), 1);
    EXPECT_EQ(ok.texts[0], M("Ghost") + " was not found.");
}

// ---------------------------------------------------------------- renaming

TEST_F(FileOpsTest, F2RenamesAFolderAndExpandingItListsTheRenamedFolder) {
    MakeFile(M("Band/Before/Disc 1/a.mp3"));
    MakeDir(M("Band/Before/Disc 2"));
    CFileTreeCtrl& t = Make();
    QTreeWidgetItem* item = Select(M("Band/Before"), true);
    ASSERT_EQ(ChildLabels(item), QStringList({"Disc 1", "Disc 2"}));
    QTest::keyClick(&t, Qt::Key_F2);
    ASSERT_TRUE(Editing());
    EXPECT_EQ(Editor()->text(), "Before");
    TypeLabel("After");
    EXPECT_FALSE(Editing());
    EXPECT_FALSE(Exists(M("Band/Before")));
    EXPECT_TRUE(QFileInfo(M("Band/After/Disc 1/a.mp3")).isFile());
    EXPECT_EQ(item->text(0), "After");
    EXPECT_EQ(t.ItemToPath(item), M("Band/After"));
    EXPECT_EQ(t.ItemInfo(item)->name, "After");
    EXPECT_EQ(t.ItemToPath(item->child(0)), M("Band/After/Disc 1")) << "children read before follow along";
    // Read again from disk: the renamed folder's contents.
    t.CollapseItem(item, true);
    MakeDir(M("Band/After/Disc 3"));
    ASSERT_TRUE(t.ExpandItem(item));
    EXPECT_EQ(ChildLabels(item), QStringList({"Disc 1", "Disc 2", "Disc 3"}));
    EXPECT_EQ(t.ItemToPath(item->child(2)), M("Band/After/Disc 3"));
    // And the path leads there.
    EXPECT_EQ(t.SetSelectedPath(M("Band/After/Disc 2"), false), item->child(1));
}

TEST_F(FileOpsTest, RenamingOntoAnExistingNameKeepsTheOldLabelAndBothFolders) {
    MakeFile(M("Pair/First/one.mp3"));
    MakeDir(M("Pair/Second"));  // empty: rename(2) would quietly replace it
    CFileTreeCtrl& t = Make();
    QTreeWidgetItem* first = Select(M("Pair/First"));
    ASSERT_TRUE(t.BeginRename(first));
    BoxAnswerer ok(QMessageBox::Ok);
    TypeLabel("Second");
    ASSERT_TRUE(ok.WaitAnswered());
    EXPECT_TRUE(ok.texts[0].contains("already exists")) << ok.texts[0].toStdString();
    EXPECT_TRUE(ok.texts[0].contains(M("Pair/First")));
    EXPECT_EQ(first->text(0), "First");
    EXPECT_EQ(t.ItemToPath(first), M("Pair/First"));
    EXPECT_TRUE(QFileInfo(M("Pair/First/one.mp3")).isFile());
    EXPECT_TRUE(QFileInfo(M("Pair/Second")).isDir());
    EXPECT_FALSE(Exists(M("Pair/Second/one.mp3")));
}

TEST_F(FileOpsTest, TheLabelEditorOwnsTheWindowsShortcutKeys) {
    MakeDir(M("Keys"));
    CFileTreeCtrl& t = Make();
    // Shortcuts of the window, as the main window has them.
    int fired = 0;
    QList<QAction*> actions;
    for (const QKeySequence& keys : {QKeySequence(Qt::Key_F2), QKeySequence(Qt::Key_F3), QKeySequence(Qt::Key_F9),
                                     QKeySequence(Qt::CTRL | Qt::Key_O)}) {
        auto* action = new QAction(&t);
        action->setShortcut(keys);
        action->setShortcutContext(Qt::WindowShortcut);
        QObject::connect(action, &QAction::triggered, [&fired] { ++fired; });
        t.addAction(action);
        actions << action;
    }
    QTest::keyClick(&t, Qt::Key_F9);
    ASSERT_EQ(fired, 1) << "the shortcuts work while no editor is open";
    ASSERT_TRUE(t.BeginRename(Select(M("Keys"))));
    ASSERT_TRUE(Editing());
    for (int key : {int(Qt::Key_F2), int(Qt::Key_F3), int(Qt::Key_F9)}) QTest::keyClick(Editor(), Qt::Key(key));
    QTest::keyClick(Editor(), Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(fired, 1);
    EXPECT_TRUE(Editing());
    QTest::keyClick(Editor(), Qt::Key_Escape);
}

TEST_F(FileOpsTest, CancelledEmptyAndUnchangedEditsRenameNothing) {
    MakeDir(M("Same"));
    CFileTreeCtrl& t = Make();
    QTreeWidgetItem* same = Select(M("Same"));
    ASSERT_TRUE(t.BeginRename(same));
    QTest::keyClicks(Editor(), "Other");
    QTest::keyClick(Editor(), Qt::Key_Escape);
    EXPECT_FALSE(Editing());
    EXPECT_EQ(same->text(0), "Same");
    EXPECT_TRUE(QFileInfo(M("Same")).isDir());
    EXPECT_FALSE(Exists(M("Other")));

    ASSERT_TRUE(t.BeginRename(same));
    TypeLabel("");
    EXPECT_EQ(same->text(0), "Same");
    EXPECT_TRUE(QFileInfo(M("Same")).isDir());

    ASSERT_TRUE(t.BeginRename(same));
    TypeLabel("Same");
    EXPECT_EQ(same->text(0), "Same");
    EXPECT_EQ(t.ItemToPath(same), M("Same"));
}

TEST_F(FileOpsTest, ANameWithASlashIsRefusedWithAClearMessage) {
    MakeDir(M("Plain"));
    CFileTreeCtrl& t = Make();
    QTreeWidgetItem* plain = Select(M("Plain"));
    ASSERT_TRUE(t.BeginRename(plain));
    BoxAnswerer ok(QMessageBox::Ok);
    TypeLabel("a/b");
    ASSERT_TRUE(ok.WaitAnswered());
    EXPECT_EQ(ok.texts[0], M("a/b") + " contains an incorrect path.");
    EXPECT_EQ(plain->text(0), "Plain");
    EXPECT_TRUE(QFileInfo(M("Plain")).isDir());
}

TEST_F(FileOpsTest, RenamingAFolderThatVanishedSaysItWasNotFound) {
    MakeDir(M("Fleeting"));
    CFileTreeCtrl& t = Make();
    QTreeWidgetItem* item = Select(M("Fleeting"));
    ASSERT_TRUE(t.BeginRename(item));
    RemoveTree(M("Fleeting"));
    BoxAnswerer ok(QMessageBox::Ok);
    TypeLabel("Lasting");
    ASSERT_TRUE(ok.WaitAnswered());
    EXPECT_EQ(ok.texts[0], M("Fleeting") + " was not found.");
    EXPECT_EQ(item->text(0), "Fleeting");
    EXPECT_FALSE(Exists(M("Lasting")));
}

TEST_F(FileOpsTest, RenameStartsOnlyOnFilesAndFoldersAndOnlyWhenAllowed) {
    MakeDir(M("Locked"));
    CFileTreeCtrl& t = Make(false);
    QTreeWidgetItem* locked = Select(M("Locked"));
    QTest::keyClick(&t, Qt::Key_F2);
    EXPECT_FALSE(Editing()) << "renaming not allowed";
    EXPECT_FALSE(t.BeginRename(locked));
    t.SetAllowRename(true);
    EXPECT_FALSE(t.BeginRename(nullptr));
    EXPECT_FALSE(t.BeginRename(t.ProfileItem()));
    EXPECT_FALSE(t.BeginRename(t.ComputerItem()));
    EXPECT_FALSE(Editing());
    t.setCurrentItem(locked);
    QTest::keyClick(&t, Qt::Key_F2);
    EXPECT_TRUE(Editing());
    QTest::keyClick(Editor(), Qt::Key_Escape);
}

TEST_F(FileOpsTest, AFileWithItsExtensionHiddenKeepsTheExtensionWhenRenamed) {
    MakeFile(M("Songs/tune.mp3"));
    CFileTreeCtrl& t = Make();
    t.SetFileLabelMode(0);
    t.SetShowFiles(true);
    QTreeWidgetItem* songs = Select(M("Songs"), true);
    ASSERT_EQ(songs->childCount(), 1);
    QTreeWidgetItem* file = songs->child(0);
    ASSERT_TRUE(t.IsFileItem(file));
    ASSERT_TRUE(t.ItemInfo(file)->extensionHidden);
    EXPECT_EQ(file->text(0), "tune");
    t.setCurrentItem(file);
    QTest::keyClick(&t, Qt::Key_F2);
    ASSERT_TRUE(Editing());
    EXPECT_EQ(Editor()->text(), "tune");
    TypeLabel("melody");
    EXPECT_TRUE(QFileInfo(M("Songs/melody.mp3")).isFile());
    EXPECT_FALSE(Exists(M("Songs/tune.mp3")));
    EXPECT_EQ(file->text(0), "melody");
    EXPECT_EQ(t.ItemInfo(file)->name, "melody.mp3");
    EXPECT_EQ(t.ItemToPath(file), M("Songs/melody.mp3"));
}

TEST_F(FileOpsTest, AnEditGoesOnWhileTheTreeIsDisabledForAWhile) {
    MakeDir(M("Busy"));
    CFileTreeCtrl& t = Make();
    QTreeWidgetItem* busy = Select(M("Busy"));
    ASSERT_TRUE(t.BeginRename(busy));
    t.setEnabled(false);  // as the owner's busy state does during a load
    QTest::qWait(10);
    EXPECT_TRUE(Editing()) << "losing the focus to the disabling ends nothing";
    EXPECT_EQ(busy->text(0), "Busy");
    t.setEnabled(true);
    QTest::qWait(10);
    ASSERT_TRUE(Editing());
    EXPECT_TRUE(Editor()->hasFocus()) << "the editor has the keys again";
    TypeLabel("Idle");
    EXPECT_TRUE(QFileInfo(M("Idle")).isDir());
    EXPECT_EQ(busy->text(0), "Idle");
}

TEST_F(FileOpsTest, TheTreeKeepsShiftDeleteAndItsOtherKeysFromTheWindowsShortcuts) {
    MakeDir(M("Keys/Victim"));
    CFileTreeCtrl& t = Make();
    int fired = 0;
    auto addShortcut = [&](const QKeySequence& k) {
        auto* a = new QAction(&t);
        a->setShortcut(k);
        a->setShortcutContext(Qt::WindowShortcut);
        QObject::connect(a, &QAction::triggered, [&] { ++fired; });
        t.addAction(a);
    };
    auto activate = [&] {
        QApplication::setActiveWindow(&t);
        t.setFocus();
        return QApplication::focusWidget() == &t;
    };
    for (const QKeySequence& k : {QKeySequence(Qt::SHIFT | Qt::Key_Delete), QKeySequence(Qt::Key_Delete),
                                  QKeySequence(Qt::Key_F2), QKeySequence(Qt::Key_F5), QKeySequence(Qt::CTRL | Qt::Key_Delete)})
        addShortcut(k);
    Select(M("Keys/Victim"));
    ASSERT_TRUE(activate());
    // A key the tree does not use is the window's: the shortcuts do work here.
    QTest::keyClick(&t, Qt::Key_Delete, Qt::ControlModifier);
    ASSERT_EQ(fired, 1);
    {
        BoxAnswerer no(QMessageBox::No);
        QTest::keyClick(&t, Qt::Key_Delete, Qt::ShiftModifier);
        EXPECT_EQ(no.texts.size(), 1) << "the tree asked about a permanent delete";
    }
    ASSERT_TRUE(activate());
    QTest::keyClick(&t, Qt::Key_F5);
    QTest::keyClick(&t, Qt::Key_F2);
    ASSERT_TRUE(Editing());
    QTest::keyClick(Editor(), Qt::Key_Escape);
    EXPECT_EQ(fired, 1) << "none of the tree's own keys reached the shortcuts";
    EXPECT_TRUE(QFileInfo(M("Keys/Victim")).isDir());
}

// ---------------------------------------------------------------- properties

TEST_F(FileOpsTest, PropertiesOfAFolderShowItsOwnDialog) {
    MakeDir(M("Info/Sub"));
    MakeFile(M("Info/a.txt"));
    CFileTreeCtrl& t = Make();
    Select(M("Info"));
    QTest::keyClick(&t, Qt::Key_Return, Qt::AltModifier);
    CItemPropertiesDlg* dlg = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<CItemPropertiesDlg*>(w); d && d->isVisible()) dlg = d;
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(dlg->path(), M("Info"));
    EXPECT_EQ(dlg->Value("Name:"), "Info");
    EXPECT_EQ(dlg->Value("Location:"), TestHome::Music());
    EXPECT_EQ(dlg->Value("Type:"), "Folder");
    EXPECT_EQ(dlg->Value("Contains:"), "1 folder(s), 1 file(s)");
    EXPECT_FALSE(dlg->Value("Modified:").isEmpty());
    EXPECT_TRUE(dlg->Value("Permissions:").startsWith("rwx")) << dlg->Value("Permissions:").toStdString();
    EXPECT_TRUE(dlg->Value("Sampling rate:").isEmpty());
    dlg->close();
}

TEST_F(FileOpsTest, PropertiesOfAudioFilesShowTheirStream) {
    MakeDir(M("Audio"));
    ToneSpec toneSpec;
    toneSpec.rate = 32000;
    toneSpec.channels = 1;
    toneSpec.seconds = 2.5;
    ASSERT_TRUE(MakeToneMp3((M("Audio/tone.mp3")).toStdString(), toneSpec));
    ASSERT_TRUE(MakeToneWithFfmpeg(M("Audio/tone.flac").toStdString(), {.rate = 22050, .channels = 2, .seconds = 3.5}));
    ASSERT_TRUE(MakeToneWithFfmpeg(M("Audio/tone.m4a").toStdString(), {.rate = 48000, .channels = 1, .seconds = 1.2}));
    MakeFile(M("Audio/broken.mp3"));
    MakeFile(M("Audio/broken.flac"));
    CFileTreeCtrl& t = Make();
    t.SetShowFiles(true);
    QTreeWidgetItem* audio = Select(M("Audio"), true);
    struct Case {
        const char* name;
        const char* format;
        const char* rate;
        const char* channels;
        const char* duration;
    };
    const Case cases[] = {{"tone.mp3", "MP3", "32000 Hz", "1 (mono)", "00:00:02"},
                          {"tone.flac", "FLAC", "22050 Hz", "2 (stereo)", "00:00:03"},
                          {"tone.m4a", "M4A", "48000 Hz", "1 (mono)", "00:00:01"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTreeWidgetItem* item = t.FindChildByName(audio, c.name);
        ASSERT_NE(item, nullptr);
        ASSERT_TRUE(t.ShowItemProperties(item));
        CItemPropertiesDlg* dlg = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<CItemPropertiesDlg*>(w); d && d->isVisible() && d->path() == M("Audio/") + c.name)
                dlg = d;
        ASSERT_NE(dlg, nullptr);
        EXPECT_EQ(dlg->Value("Format:"), c.format);
        EXPECT_EQ(dlg->Value("Sampling rate:"), c.rate);
        EXPECT_EQ(dlg->Value("Channels:"), c.channels);
        EXPECT_EQ(dlg->Value("Duration:"), c.duration);
        EXPECT_TRUE(dlg->Value("Bit rate:").endsWith(" kbps")) << dlg->Value("Bit rate:").toStdString();
        EXPECT_TRUE(dlg->Value("Size:").endsWith(QString(" bytes)"))) << dlg->Value("Size:").toStdString();
        dlg->close();
    }
    // The MP3 is constant-bit-rate: its frames' rate.
    EXPECT_EQ(CItemPropertiesDlg(M("Audio/tone.mp3")).Value("Bit rate:"), "128 kbps");

    // Files that only look like audio: the reader's message instead of the stream.
    CItemPropertiesDlg broken(M("Audio/broken.mp3"));
    EXPECT_TRUE(broken.Value("Audio:").startsWith("Trouble with mpg123: ")) << broken.Value("Audio:").toStdString();
    EXPECT_TRUE(broken.Value("Sampling rate:").isEmpty());
    CItemPropertiesDlg brokenFlac(M("Audio/broken.flac"));
    EXPECT_TRUE(brokenFlac.Value("Audio:").startsWith("Trouble with " + M("Audio/broken.flac") + ": "))
        << brokenFlac.Value("Audio:").toStdString();
    EXPECT_TRUE(brokenFlac.Value("Format:").isEmpty());
}

TEST_F(FileOpsTest, PropertiesRefuseWhenNotAllowedOrWithoutAPath) {
    MakeDir(M("Nope"));
    CFileTreeCtrl& t = Make();
    QTreeWidgetItem* nope = Select(M("Nope"));
    EXPECT_FALSE(t.ShowItemProperties(nullptr));
    EXPECT_FALSE(t.ShowItemProperties(t.ComputerItem()));
    t.SetAllowProperties(false);
    EXPECT_FALSE(t.ShowItemProperties(nope));
    t.SetAllowOpen(false);
    EXPECT_FALSE(t.OpenItem(nope));
    for (QWidget* w : QApplication::topLevelWidgets())
        EXPECT_EQ(qobject_cast<CItemPropertiesDlg*>(w), nullptr);
}

TEST_F(FileOpsTest, PermissionTextShowsTheBits) {
    EXPECT_EQ(CItemPropertiesDlg::PermissionText(0755), "rwxr-xr-x");
    EXPECT_EQ(CItemPropertiesDlg::PermissionText(0640), "rw-r-----");
    EXPECT_EQ(CItemPropertiesDlg::PermissionText(01777), "rwxrwxrwt");
    EXPECT_EQ(CItemPropertiesDlg::PermissionText(04644), "rwSr--r--");
}

TEST_F(FileOpsTest, FileErrorTextsNameThePath) {
    EXPECT_EQ(CFileTreeCtrl::FileErrorText(ENOENT, "/a/b"), "/a/b was not found.");
    EXPECT_EQ(CFileTreeCtrl::FileErrorText(EACCES, "/a/b"), "Access to /a/b was denied.");
    EXPECT_EQ(CFileTreeCtrl::FileErrorText(EPERM, "/a/b"), "Access to /a/b was denied.");
    EXPECT_EQ(CFileTreeCtrl::FileErrorText(EBUSY, "/a/b"), "Encountered a sharing violation while accessing /a/b.");
    EXPECT_EQ(CFileTreeCtrl::FileErrorText(ENOTDIR, "/a/b"), "/a/b contains an incorrect path.");
    EXPECT_EQ(CFileTreeCtrl::FileErrorText(EIO, "/a/b"), "An unknown error occurred while accessing /a/b.");
}
