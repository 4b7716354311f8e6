// Filling the tree: root items, lazy expansion, filtering, order, labels, vanished folders.
#include <gtest/gtest.h>

#include "tree_fixture.h"

#include <QFile>
#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace velmora;
using namespace velmora::testing;

namespace {

class PopulationTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestHome::Reset();
        shares = std::make_unique<CShareEnumerator>(TestHome::Shares());
    }
    // Builds and fills the tree the way the main window does: files off, then the icons.
    TestTree& Make(bool showFiles = false) {
        tree = std::make_unique<TestTree>(&drives, shares.get());
        tree->SetShowFiles(showFiles);
        tree->AttachSystemImageList();
        return *tree;
    }
    QTreeWidgetItem* DesktopChild(const QString& name) { return tree->FindChildByName(tree->DesktopItem(), name); }

    FakeDrives drives;
    std::unique_ptr<CShareEnumerator> shares;
    std::unique_ptr<TestTree> tree;
};

}  // namespace

TEST_F(PopulationTest, RootItemsSitBelowTheDesktop) {
    TestTree& t = Make();
    ASSERT_NE(t.DesktopItem(), nullptr);
    EXPECT_EQ(t.topLevelItemCount(), 1);
    EXPECT_EQ(t.RootItem(), t.DesktopItem());
    EXPECT_EQ(t.DesktopPath(), TestHome::Desktop());
    EXPECT_EQ(t.ProfilePath(), TestHome::Home());
    ASSERT_NE(t.ProfileItem(), nullptr);
    ASSERT_NE(t.ComputerItem(), nullptr);
    ASSERT_NE(t.NetworkItem(), nullptr);
    EXPECT_EQ(t.DocumentsItem(), nullptr) << "the home folder stands in for the documents item";
    EXPECT_EQ(t.ItemInfo(t.ProfileItem())->type, TreeItemKind::Profile);
    EXPECT_EQ(t.ProfileItem()->text(0), "home");
    EXPECT_TRUE(t.ItemToPath(t.ComputerItem()).isEmpty());
    EXPECT_TRUE(t.ItemToPath(t.NetworkItem()).isEmpty());
    EXPECT_TRUE(t.DesktopItem()->isExpanded());
    EXPECT_EQ(t.currentItem(), nullptr);
}

TEST_F(PopulationTest, SpecialItemsFirstThenFoldersByNameThenFiles) {
    for (const char* n : {"Zeta", "alpha", "Beta", "gamma"}) MakeDir(TestHome::Desktop() + "/" + n);
    MakeFile(TestHome::Desktop() + "/Aardvark.mp3");
    MakeFile(TestHome::Desktop() + "/notes.txt");
    MakeDir(TestHome::Desktop() + "/.hidden");

    TestTree& t = Make(false);
    EXPECT_EQ(ChildNames(t, t.DesktopItem()), QStringList({"home", "Computer", "Network", "alpha", "Beta", "gamma", "Zeta"}));

    TestTree& f = Make(true);
    EXPECT_EQ(ChildNames(f, f.DesktopItem()),
              QStringList({"home", "Computer", "Network", "alpha", "Beta", "gamma", "Zeta", "Aardvark.mp3", "notes.txt"}));
    QTreeWidgetItem* file = f.FindChildByName(f.DesktopItem(), "notes.txt");
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(f.IsFileItem(file));
    EXPECT_EQ(f.ChildrenCount(file), 0);
    EXPECT_FALSE(f.ItemInfo(file)->extensionHidden);
    EXPECT_TRUE(f.IsFolderItem(f.FindChildByName(f.DesktopItem(), "alpha")));
}

TEST_F(PopulationTest, FolderWithOnlyHiddenSubfoldersHasNoExpandButton) {
    MakeDir(TestHome::Desktop() + "/onlyhidden/.a/b");
    MakeDir(TestHome::Desktop() + "/onlyhidden/.c");
    MakeDir(TestHome::Desktop() + "/visible/sub");
    MakeFile(TestHome::Desktop() + "/filesonly/song.mp3");
    MakeDir(TestHome::Desktop() + "/empty");

    TestTree& t = Make(false);
    QTreeWidgetItem* hidden = DesktopChild("onlyhidden");
    ASSERT_NE(hidden, nullptr);
    EXPECT_EQ(t.ChildrenCount(hidden), 0);
    EXPECT_EQ(hidden->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);
    EXPECT_EQ(t.ChildrenCount(DesktopChild("visible")), 1);
    EXPECT_EQ(DesktopChild("visible")->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
    EXPECT_EQ(t.ChildrenCount(DesktopChild("filesonly")), 0) << "files are not listed";
    EXPECT_EQ(t.ChildrenCount(DesktopChild("empty")), 0);
    EXPECT_EQ(DesktopChild(".a"), nullptr);

    TestTree& f = Make(true);
    EXPECT_EQ(f.ChildrenCount(f.FindChildByName(f.DesktopItem(), "filesonly")), 1);
    EXPECT_EQ(f.ChildrenCount(f.FindChildByName(f.DesktopItem(), "onlyhidden")), 0);
    EXPECT_TRUE(f.HasSubItems(TestHome::Desktop() + "/filesonly"));
    EXPECT_FALSE(f.HasSubItems(TestHome::Desktop() + "/onlyhidden"));

    // Hidden folders show once the hide mask lets them through.
    f.SetFolderHideAttributes(0);
    EXPECT_TRUE(f.HasSubItems(TestHome::Desktop() + "/onlyhidden"));
}

TEST_F(PopulationTest, ChildrenAreReadOnlyOnFirstExpansion) {
    MakeDir(TestHome::Desktop() + "/lazy/one");
    MakeDir(TestHome::Desktop() + "/lazy/two");
    TestTree& t = Make();
    QTreeWidgetItem* lazy = DesktopChild("lazy");
    ASSERT_NE(lazy, nullptr);
    EXPECT_EQ(lazy->childCount(), 0);
    MakeDir(TestHome::Desktop() + "/lazy/three");
    t.expandItem(lazy);  // the view's own expansion, as a click on the button does
    EXPECT_EQ(ChildNames(t, lazy), QStringList({"one", "three", "two"}));
    MakeDir(TestHome::Desktop() + "/lazy/four");
    t.collapseItem(lazy);
    EXPECT_EQ(lazy->childCount(), 0) << "collapsing drops the children";
    EXPECT_EQ(t.ChildrenCount(lazy), 1) << "and keeps the button";
    t.expandItem(lazy);
    EXPECT_EQ(ChildNames(t, lazy), QStringList({"four", "one", "three", "two"}));
}

TEST_F(PopulationTest, CollapseAndExpandByKeysShowsNewFolders) {
    MakeDir(TestHome::Desktop() + "/keys/a");
    TestTree& t = Make();
    t.resize(300, 400);
    t.show();
    QTreeWidgetItem* keys = DesktopChild("keys");
    t.setCurrentItem(keys);
    QTest::keyClick(&t, Qt::Key_Right);
    ASSERT_TRUE(keys->isExpanded());
    EXPECT_EQ(ChildNames(t, keys), QStringList({"a"}));
    QTest::keyClick(&t, Qt::Key_Left);
    EXPECT_FALSE(keys->isExpanded());
    MakeDir(TestHome::Desktop() + "/keys/B");
    QTest::keyClick(&t, Qt::Key_Right);
    EXPECT_EQ(ChildNames(t, keys), QStringList({"a", "B"}));
}

TEST_F(PopulationTest, CollapsingAboveTheSelectionSelectsTheCollapsedItem) {
    MakeDir(TestHome::Desktop() + "/top/mid/low");
    TestTree& t = Make();
    QTreeWidgetItem* low = t.SetSelectedPath(TestHome::Desktop() + "/top/mid/low", false);
    ASSERT_NE(low, nullptr);
    QTreeWidgetItem* top = DesktopChild("top");
    t.collapseItem(top);
    EXPECT_EQ(t.currentItem(), top);
    EXPECT_EQ(t.GetSelectedPath(), TestHome::Desktop() + "/top");
}

TEST_F(PopulationTest, VanishedFolderIsRemovedWhenExpanded) {
    MakeDir(TestHome::Desktop() + "/parent/only/inner");
    TestTree& t = Make();
    QTreeWidgetItem* parent = DesktopChild("parent");
    ASSERT_TRUE(t.ExpandItem(parent));
    QTreeWidgetItem* only = t.FindChildByName(parent, "only");
    ASSERT_NE(only, nullptr);
    RemoveTree(TestHome::Desktop() + "/parent/only");
    EXPECT_FALSE(t.ExpandItem(only));
    EXPECT_EQ(parent->childCount(), 0);
    EXPECT_EQ(t.ChildrenCount(parent), 0) << "its last child went, so does the button";
    EXPECT_EQ(parent->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);
}

TEST_F(PopulationTest, VanishedFolderIsRemovedWhenSelected) {
    MakeDir(TestHome::Desktop() + "/box/x");
    MakeDir(TestHome::Desktop() + "/box/y");
    TestTree& t = Make();
    QTreeWidgetItem* box = DesktopChild("box");
    ASSERT_TRUE(t.ExpandItem(box));
    QSignalSpy spy(&t, &CFileTreeCtrl::selectionChanged);

    RemoveTree(TestHome::Desktop() + "/box/y");
    t.setCurrentItem(t.FindChildByName(box, "y"));
    EXPECT_EQ(ChildNames(t, box), QStringList({"x"}));
    EXPECT_EQ(t.ChildrenCount(box), 1) << "a sibling is left, the button stays";
    EXPECT_EQ(t.currentItem(), t.FindChildByName(box, "x")) << "the neighbour takes the selection";
    EXPECT_GE(spy.count(), 1) << "the owner hears of the change";

    RemoveTree(TestHome::Desktop() + "/box/x");
    t.setCurrentItem(box);
    t.setCurrentItem(t.FindChildByName(box, "x"));
    EXPECT_EQ(box->childCount(), 0);
    EXPECT_EQ(t.ChildrenCount(box), 0);
    EXPECT_EQ(t.currentItem(), box);
    EXPECT_EQ(t.GetSelectedPath(), TestHome::Desktop() + "/box");
}

TEST_F(PopulationTest, VanishedParentOfTheSelectionIsRemovedOnExpansion) {
    MakeDir(TestHome::Desktop() + "/gone/sub");
    MakeDir(TestHome::Desktop() + "/stay");
    TestTree& t = Make();
    QTreeWidgetItem* gone = DesktopChild("gone");
    t.setCurrentItem(gone);
    RemoveTree(TestHome::Desktop() + "/gone");
    t.expandItem(gone);  // the view's expansion of a folder that has gone
    QCoreApplication::processEvents();  // it goes once the view's own handling is over
    EXPECT_EQ(DesktopChild("gone"), nullptr);
    EXPECT_NE(DesktopChild("stay"), nullptr);
    EXPECT_EQ(t.ChildrenCount(t.DesktopItem()), 1);
}

TEST_F(PopulationTest, FileMasksAndLabelModes) {
    MakeDir(TestHome::Music() + "/album");
    MakeFile(TestHome::Music() + "/album/01 Intro.MP3");
    MakeFile(TestHome::Music() + "/album/02 Song.mp3");
    MakeFile(TestHome::Music() + "/album/cover.jpg");
    MakeFile(TestHome::Music() + "/album/.hidden.mp3");
    TestTree& t = Make(true);
    t.SetFileMasks({"*.mp3", "*.MP3"});
    t.SetFileLabelMode(0);
    QTreeWidgetItem* album = t.SetSelectedPath(TestHome::Music() + "/album", true);
    ASSERT_NE(album, nullptr);
    EXPECT_EQ(ChildNames(t, album), QStringList({"01 Intro.MP3", "02 Song.mp3"}))
        << "each file once, hidden files left out";
    EXPECT_EQ(ChildLabels(album), QStringList({"01 Intro", "02 Song"}));
    EXPECT_TRUE(t.ItemInfo(album->child(0))->extensionHidden);

    t.SetFileHideAttributes(0);  // refreshes and selects the album again
    album = t.currentItem();
    ASSERT_EQ(t.GetSelectedPath(), TestHome::Music() + "/album");
    t.ExpandItem(album);
    EXPECT_EQ(ChildNames(t, album), QStringList({".hidden.mp3", "01 Intro.MP3", "02 Song.mp3"}));
}

TEST_F(PopulationTest, VolumesUnderTheComputerFollowTheHideMask) {
    const QString usb = MakeDir(TestHome::Outside() + "/usb");
    MakeDir(usb + "/music");
    const QString cd = MakeDir(TestHome::Outside() + "/cd");
    drives.Add(usb, "vfat", "/dev/sdb1", "STICK");
    drives.Add(cd, "iso9660", "/dev/sr0", "DISC");
    drives.Add("/proc", "proc", "proc");
    TestTree& t = Make();
    QTreeWidgetItem* computer = t.ComputerItem();
    ASSERT_TRUE(t.ExpandItem(computer));
    EXPECT_EQ(ChildNames(t, computer), QStringList({"/", cd, usb}));
    QTreeWidgetItem* stick = t.FindChildByName(computer, usb);
    ASSERT_NE(stick, nullptr);
    EXPECT_EQ(stick->text(0), "STICK (" + usb + ")");
    EXPECT_TRUE(t.IsDriveItem(stick));
    EXPECT_TRUE(t.IsDrive(usb));
    EXPECT_FALSE(t.IsDrive(usb + "/music"));
    EXPECT_FALSE(t.IsCompressed(stick)) << "a volume is never painted as compressed";

    t.SetDriveHideMask(DriveCdRom);
    t.collapseItem(computer);
    t.expandItem(computer);
    EXPECT_EQ(ChildNames(t, computer), QStringList({"/", usb}));
}

TEST_F(PopulationTest, OpticalDriveWithoutDiscLosesItsButtonOnExpansion) {
    const QString cd = MakeDir(TestHome::Outside() + "/cd");
    drives.Add(cd, "iso9660", "/dev/sr0");
    drives.noMedia.insert(cd);
    TestTree& t = Make();
    ASSERT_TRUE(t.ExpandItem(t.ComputerItem()));
    QTreeWidgetItem* item = t.FindChildByName(t.ComputerItem(), cd);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(t.ChildrenCount(item), 1) << "an optical drive always promises something";
    EXPECT_TRUE(t.IsRemovableOrCd(cd));
    t.expandItem(item);
    EXPECT_EQ(t.ChildrenCount(item), 0);
    EXPECT_EQ(item->childCount(), 0);
    EXPECT_FALSE(item->isExpanded());
}

TEST_F(PopulationTest, SharedFoldersCarryTheOverlay) {
    const QString shared = MakeDir(TestHome::Desktop() + "/shared");
    MakeDir(TestHome::Desktop() + "/private");
    QFile f(TestHome::Shares() + "/shared");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(("path=" + shared + "\n").toUtf8());
    f.close();
    TestTree& t = Make();  // the refresh rereads the share list
    EXPECT_TRUE(t.ItemInfo(DesktopChild("shared"))->shared);
    EXPECT_FALSE(t.ItemInfo(DesktopChild("private"))->shared);
    t.SetShareOverlay(false);
    t.Refresh();
    EXPECT_FALSE(t.ItemInfo(DesktopChild("shared"))->shared);
}

TEST_F(PopulationTest, NetworkListsServersAndShares) {
    const QString m1 = MakeDir(TestHome::Outside() + "/net/music");
    MakeDir(m1 + "/jazz");
    drives.Add(m1, "cifs", "//srv/music");
    TestTree& t = Make();
    QTreeWidgetItem* net = t.NetworkItem();
    ASSERT_TRUE(t.ExpandItem(net));
    ASSERT_EQ(ChildNames(t, net), QStringList({"srv"}));
    QTreeWidgetItem* srv = net->child(0);
    EXPECT_EQ(t.ItemInfo(srv)->netResource->displayType, NetResource::Server);
    EXPECT_TRUE(t.ItemToPath(srv).isEmpty());
    ASSERT_TRUE(t.ExpandItem(srv));
    ASSERT_EQ(srv->childCount(), 1);
    QTreeWidgetItem* share = srv->child(0);
    EXPECT_EQ(share->text(0), "music");
    EXPECT_EQ(t.ItemInfo(share)->netResource->remoteName, "//srv/music");
    EXPECT_EQ(t.ItemToPath(share), m1);
    ASSERT_TRUE(t.ExpandItem(share));
    EXPECT_EQ(ChildNames(t, share), QStringList({"jazz"}));

    t.collapseItem(srv);
    EXPECT_EQ(t.ChildrenCount(srv), 1) << "a server can be opened again";
    t.expandItem(srv);
    EXPECT_EQ(srv->childCount(), 1);
}

TEST_F(PopulationTest, EmptyNetworkLosesItsButton) {
    TestTree& t = Make();
    EXPECT_TRUE(t.ExpandItem(t.NetworkItem()));
    EXPECT_EQ(t.NetworkItem()->childCount(), 0);
    EXPECT_EQ(t.ChildrenCount(t.NetworkItem()), 0);
}

TEST_F(PopulationTest, WithoutDesktopAndComputerTheVolumesAreTopItems) {
    const QString usb = MakeDir(TestHome::Outside() + "/usb");
    drives.Add(usb, "vfat", "/dev/sdb1");
    tree = std::make_unique<TestTree>(&drives, shares.get());
    tree->SetShowDesktop(false);
    tree->SetShowComputer(false);
    tree->SetShowNetwork(false);
    tree->AttachSystemImageList();
    EXPECT_EQ(tree->DesktopItem(), nullptr);
    EXPECT_EQ(tree->RootItem(), tree->invisibleRootItem());
    QStringList top;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) top << tree->ItemInfo(tree->topLevelItem(i))->name;
    EXPECT_EQ(top, QStringList({"home", "/", usb}));
    QTreeWidgetItem* item = tree->SetSelectedPath(usb, false);
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(tree->IsDriveItem(item));
}

TEST_F(PopulationTest, NoItemGivesNoPath) {
    TestTree& t = Make();
    EXPECT_TRUE(t.ItemToPath(nullptr).isEmpty());
    EXPECT_FALSE(t.IsFileItem(nullptr));
    EXPECT_FALSE(t.IsFolder(""));
    EXPECT_FALSE(t.IsFile(TestHome::Desktop()));
    EXPECT_TRUE(t.IsFolder(TestHome::Desktop()));
    EXPECT_TRUE(t.IsFile(MakeFile(TestHome::Desktop() + "/f.txt")));
    EXPECT_FALSE(t.IsCompressed(TestHome::Desktop()));
    EXPECT_FALSE(t.IsEncrypted(TestHome::Desktop()));
    EXPECT_EQ(CFileTreeCtrl::ReadAttributes(TestHome::Desktop() + "/f.txt") & AttrDirectory, 0u);
    EXPECT_NE(CFileTreeCtrl::ReadAttributes(TestHome::Desktop()) & AttrDirectory, 0u);
    EXPECT_NE(CFileTreeCtrl::ReadAttributes(MakeDir(TestHome::Desktop() + "/.h")) & AttrHidden, 0u);
}

namespace {
// Sets the file system's compression flag where the file system keeps one; false elsewhere.
bool MarkCompressed(const QString& path) {
    const int fd = open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags |= FS_COMPR_FL;
        ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return ok && (CFileTreeCtrl::ReadAttributes(path) & AttrCompressed);
}
}  // namespace

TEST_F(PopulationTest, CompressedFoldersArePaintedInTheCompressedColour) {
    const QString packed = MakeDir(TestHome::Desktop() + "/packed");
    MakeDir(TestHome::Desktop() + "/plain");
    if (!MarkCompressed(packed)) GTEST_SKIP() << "this file system keeps no compression flag";
    TestTree& t = Make();
    EXPECT_TRUE(t.IsCompressed(packed));
    EXPECT_FALSE(t.IsEncrypted(packed));
    EXPECT_EQ(DesktopChild("packed")->foreground(0).color(), QColor(0, 0, 255));
    EXPECT_EQ(DesktopChild("plain")->foreground(0).style(), Qt::NoBrush) << "plain folders keep the default colour";

    t.SetCompressedColor(QColor(10, 20, 30), true);
    t.Refresh();
    EXPECT_EQ(DesktopChild("packed")->foreground(0).color(), QColor(10, 20, 30));
    t.SetCompressedColor(QColor(10, 20, 30), false);
    t.Refresh();
    EXPECT_EQ(DesktopChild("packed")->foreground(0).style(), Qt::NoBrush);
}

TEST_F(PopulationTest, DocumentsItemSortsBetweenProfileAndComputer) {
    MakeDir(TestHome::Home() + "/Documents");
    tree = std::make_unique<TestTree>(&drives, shares.get());
    tree->SetShowDocuments(true);
    tree->AttachSystemImageList();
    ASSERT_NE(tree->DocumentsItem(), nullptr);
    EXPECT_EQ(tree->ItemInfo(tree->DocumentsItem())->type, TreeItemKind::Documents);
    const QStringList names = ChildNames(*tree, tree->DesktopItem());
    ASSERT_GE(names.size(), 4);
    EXPECT_EQ(names.mid(0, 4), QStringList({"home", tree->DocumentsItem()->text(0), "Computer", "Network"}));
    EXPECT_EQ(tree->DocumentsPath(), TestHome::Home() + "/Documents");
}

TEST_F(PopulationTest, MissingDesktopFolderStillGivesTheSpecialItems) {
    RemoveTree(TestHome::Desktop());
    MakeDir(TestHome::Music() + "/Pop");
    TestTree& t = Make();
    ASSERT_NE(t.DesktopItem(), nullptr);
    EXPECT_TRUE(t.DesktopPath().isEmpty());
    EXPECT_EQ(ChildNames(t, t.DesktopItem()), QStringList({"home", "Computer", "Network"}));
    QTreeWidgetItem* pop = t.SetSelectedPath(TestHome::Music() + "/Pop", false);
    ASSERT_NE(pop, nullptr);
    EXPECT_EQ(pop->parent()->parent(), t.ProfileItem());
}

TEST_F(PopulationTest, RightKeyOnAFolderThatVanishedRemovesIt) {
    MakeDir(TestHome::Desktop() + "/doomed/sub");
    MakeDir(TestHome::Desktop() + "/other");
    TestTree& t = Make();
    t.resize(300, 400);
    t.show();
    t.setCurrentItem(DesktopChild("doomed"));
    RemoveTree(TestHome::Desktop() + "/doomed");
    QTest::keyClick(&t, Qt::Key_Right);
    QCoreApplication::processEvents();
    EXPECT_EQ(DesktopChild("doomed"), nullptr);
    ASSERT_NE(t.currentItem(), nullptr);
    EXPECT_NE(t.GetSelectedPath(), TestHome::Desktop() + "/doomed");
    // Clicking the expand button of a vanished folder does the same.
    MakeDir(TestHome::Desktop() + "/again/sub");
    t.Refresh();
    QTreeWidgetItem* again = DesktopChild("again");
    ASSERT_NE(again, nullptr);
    RemoveTree(TestHome::Desktop() + "/again");
    const QRect r = t.visualItemRect(again);
    QTest::mouseClick(t.viewport(), Qt::LeftButton, {}, QPoint(r.left() - t.indentation() / 2, r.center().y()));
    QCoreApplication::processEvents();
    EXPECT_EQ(DesktopChild("again"), nullptr);
    EXPECT_EQ(t.ChildrenCount(t.DesktopItem()), 1);
}

TEST_F(PopulationTest, ClickingOrArrowingOntoAVanishedFolderRemovesIt) {
    MakeDir(TestHome::Desktop() + "/a1");
    MakeDir(TestHome::Desktop() + "/b2");
    MakeDir(TestHome::Desktop() + "/c3");
    TestTree& t = Make();
    t.resize(300, 400);
    t.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&t));
    QTreeWidgetItem* a1 = DesktopChild("a1");
    QTest::mouseClick(t.viewport(), Qt::LeftButton, {}, t.visualItemRect(a1).center());
    ASSERT_EQ(t.currentItem(), a1);

    RemoveTree(TestHome::Desktop() + "/b2");
    QTest::keyClick(&t, Qt::Key_Down);
    QCoreApplication::processEvents();
    EXPECT_EQ(DesktopChild("b2"), nullptr);
    ASSERT_NE(t.currentItem(), nullptr);

    QTreeWidgetItem* c3 = DesktopChild("c3");
    ASSERT_NE(c3, nullptr);
    t.setCurrentItem(a1);
    RemoveTree(TestHome::Desktop() + "/c3");
    QTest::mouseClick(t.viewport(), Qt::LeftButton, {}, t.visualItemRect(c3).center());
    QCoreApplication::processEvents();
    EXPECT_EQ(DesktopChild("c3"), nullptr);
    EXPECT_NE(DesktopChild("a1"), nullptr);

    // Typing the start of a name selects by name: the same for a folder that went.
    MakeDir(TestHome::Desktop() + "/zulu");
    t.Refresh();
    t.setCurrentItem(DesktopChild("a1"));
    RemoveTree(TestHome::Desktop() + "/zulu");
    QTest::keyClick(&t, Qt::Key_Z);
    QCoreApplication::processEvents();
    EXPECT_EQ(DesktopChild("zulu"), nullptr);
}
