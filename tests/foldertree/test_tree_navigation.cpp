// Moving the selection: by path, by history, up, by keys and mouse; refreshing; expanding all.
#include <gtest/gtest.h>

#include "tree_fixture.h"

#include <QApplication>
#include <QFocusEvent>
#include <QSignalSpy>
#include <QKeyEvent>
#include <QTest>

using namespace velmora;
using namespace velmora::testing;

namespace {

class NavigationTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestHome::Reset();
        shares = std::make_unique<CShareEnumerator>(TestHome::Shares());
    }
    TestTree& Make() {
        tree = std::make_unique<TestTree>(&drives, shares.get());
        tree->SetShowFiles(false);
        tree->AttachSystemImageList();
        return *tree;
    }
    QStringList Paths(const QList<QTreeWidgetItem*>& items) {
        QStringList out;
        for (QTreeWidgetItem* i : items) out << tree->ItemToPath(i);
        return out;
    }
    QString D(const QString& name) { return TestHome::Desktop() + "/" + name; }

    FakeDrives drives;
    std::unique_ptr<CShareEnumerator> shares;
    std::unique_ptr<TestTree> tree;
};

}  // namespace

TEST_F(NavigationTest, PathBelowTheHomeFolderIsFoundUnderTheProfileItemAndOnlyItsEndIsTold) {
    MakeDir(TestHome::Music() + "/Rock/Live");
    MakeDir(TestHome::Music() + "/Rock/Studio");
    TestTree& t = Make();
    // Names compare exactly, as the file system compares them.
    EXPECT_EQ(t.SetSelectedPath(TestHome::Home() + "/music/ROCK/live/", false), nullptr);
    t.setCurrentItem(t.DesktopItem());
    QSignalSpy spy(&t, &CFileTreeCtrl::selectionChanged);
    QTreeWidgetItem* live = t.SetSelectedPath(TestHome::Music() + "/Rock/Live/", false);
    ASSERT_NE(live, nullptr);
    EXPECT_EQ(t.currentItem(), live);
    EXPECT_EQ(t.GetSelectedPath(), TestHome::Music() + "/Rock/Live");
    EXPECT_EQ(KindChain(t, live), QList<TreeItemKind>({TreeItemKind::Folder, TreeItemKind::Folder, TreeItemKind::Folder,
                                                        TreeItemKind::Profile, TreeItemKind::Desktop}));
    EXPECT_FALSE(live->isExpanded());
    QStringList seen;
    for (const QList<QVariant>& args : spy) seen << t.ItemToPath(args.at(0).value<QTreeWidgetItem*>());
    // Every folder on the way is selected in turn, but only where the walk ends is told (each
    // told selection starts a load).
    EXPECT_EQ(seen, QStringList({TestHome::Music() + "/Rock/Live"}));
}

TEST_F(NavigationTest, NamesThatDifferOnlyInCaseAreDifferentFolders) {
    MakeDir(TestHome::Music() + "/Jazz");
    MakeDir(TestHome::Music() + "/jazz");
    TestTree& t = Make();
    ASSERT_NE(t.SetSelectedPath(TestHome::Music() + "/jazz", false), nullptr);
    EXPECT_EQ(t.GetSelectedPath(), TestHome::Music() + "/jazz");
    ASSERT_NE(t.SetSelectedPath(TestHome::Music() + "/Jazz", false), nullptr);
    EXPECT_EQ(t.GetSelectedPath(), TestHome::Music() + "/Jazz");
    EXPECT_EQ(t.SetSelectedPath(TestHome::Music() + "/JAZZ", false), nullptr);
    EXPECT_EQ(t.GetSelectedPath(), TestHome::Music()) << "the last folder found stays selected";
}

TEST_F(NavigationTest, MissingComponentStopsAtTheLastFolderAndReportsNone) {
    MakeDir(TestHome::Music() + "/Rock");
    TestTree& t = Make();
    EXPECT_EQ(t.SetSelectedPath(TestHome::Music() + "/Rock/Nope/Deeper", false), nullptr);
    EXPECT_EQ(t.GetSelectedPath(), TestHome::Music() + "/Rock");
    EXPECT_EQ(t.SetSelectedPath(TestHome::Music() + "/Missing", false), nullptr);
    EXPECT_EQ(t.GetSelectedPath(), TestHome::Music()) << "the parent stays selected";
    EXPECT_EQ(t.SetSelectedPath("", false), nullptr);
    EXPECT_EQ(t.GetSelectedPath(), TestHome::Music());
}

TEST_F(NavigationTest, PathBelowTheDesktopIsFoundUnderTheDesktopItem) {
    MakeDir(D("Projects/Mix"));
    TestTree& t = Make();
    QTreeWidgetItem* mix = t.SetSelectedPath(D("Projects/Mix"), true);
    ASSERT_NE(mix, nullptr);
    EXPECT_EQ(mix->parent()->parent(), t.DesktopItem()) << "not under the profile item, though it is in HOME too";
    EXPECT_EQ(t.ItemInfo(mix->parent())->type, TreeItemKind::Folder);

    // The desktop folder itself is the Desktop item.
    EXPECT_EQ(t.SetSelectedPath(TestHome::Desktop(), false), t.DesktopItem());
    // A sibling whose name merely starts like the desktop folder is not below it.
    MakeDir(TestHome::Home() + "/DesktopOld/x");
    QTreeWidgetItem* x = t.SetSelectedPath(TestHome::Home() + "/DesktopOld/x", false);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->parent()->parent(), t.ProfileItem());
}

TEST_F(NavigationTest, PathOnAnotherMountIsFoundUnderThatVolume) {
    const QString vol = MakeDir(TestHome::Outside() + "/vol");
    MakeDir(vol + "/Albums/One");
    drives.Add(vol, "ext4", "/dev/sdb1", "DATA");
    TestTree& t = Make();
    QSignalSpy spy(&t, &CFileTreeCtrl::selectionChanged);
    QTreeWidgetItem* one = t.SetSelectedPath(vol + "/Albums/One", false);
    ASSERT_NE(one, nullptr);
    QTreeWidgetItem* volume = one->parent()->parent();
    EXPECT_TRUE(t.IsDriveItem(volume));
    EXPECT_EQ(t.ItemToPath(volume), vol);
    EXPECT_EQ(volume->parent(), t.ComputerItem());
    EXPECT_EQ(spy.count(), 1) << "volume, Albums and One are selected in turn; only One is told";

    // A path outside every extra volume goes through "/".
    MakeDir(TestHome::Outside() + "/plain/dir");
    QTreeWidgetItem* plain = t.SetSelectedPath(TestHome::Outside() + "/plain/dir", false);
    ASSERT_NE(plain, nullptr);
    QTreeWidgetItem* top = plain;
    while (top->parent() != t.ComputerItem()) top = top->parent();
    EXPECT_EQ(t.ItemToPath(top), "/");

    // The volume root itself.
    EXPECT_EQ(t.SetSelectedPath(vol + "/", false), volume);
}

TEST_F(NavigationTest, NetworkPathWorksOnceServersAreBelowTheNetworkItem) {
    TestTree& none = Make();
    EXPECT_EQ(none.SetSelectedPath("//srv/music/jazz", false), nullptr);

    const QString mount = MakeDir(TestHome::Outside() + "/mnt/music");
    MakeDir(mount + "/jazz");
    drives.Add(mount, "cifs", "//srv/music");
    TestTree& t = Make();
    QTreeWidgetItem* jazz = t.SetSelectedPath("//srv/music/jazz", true);
    ASSERT_NE(jazz, nullptr);
    EXPECT_EQ(t.GetSelectedPath(), mount + "/jazz");
    EXPECT_EQ(jazz->parent()->text(0), "music");
    EXPECT_EQ(jazz->parent()->parent()->text(0), "srv");
    EXPECT_EQ(jazz->parent()->parent()->parent(), t.NetworkItem());
}

TEST_F(NavigationTest, HistoryBackAndForward) {
    for (const char* n : {"A", "B", "C", "D"}) MakeDir(D(n));
    TestTree& t = Make();
    t.resize(300, 500);
    t.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&t));
    auto item = [&](const char* n) { return t.FindChildByName(t.DesktopItem(), n); };
    auto click = [&](const char* n) { QTest::mouseClick(t.viewport(), Qt::LeftButton, {}, t.visualItemRect(item(n)).center()); };
    ASSERT_EQ(t.currentItem(), nullptr);
    EXPECT_FALSE(t.CanGoBack());
    EXPECT_FALSE(t.GoBack());
    EXPECT_FALSE(t.GoForward());

    click("A");
    click("B");
    click("C");
    ASSERT_EQ(t.currentItem(), item("C"));
    EXPECT_EQ(Paths(t.BackItems()), QStringList({D("A"), D("B")}));
    EXPECT_TRUE(t.ForwardItems().isEmpty());

    ASSERT_TRUE(t.GoBack());
    EXPECT_EQ(t.currentItem(), item("B"));
    EXPECT_EQ(Paths(t.BackItems()), QStringList({D("A")}));
    EXPECT_EQ(Paths(t.ForwardItems()), QStringList({D("C")}));

    click("D");
    EXPECT_EQ(Paths(t.BackItems()), QStringList({D("A"), D("B")}));
    EXPECT_EQ(Paths(t.ForwardItems()), QStringList({D("C")})) << "a new selection leaves the forward list";

    ASSERT_TRUE(t.GoForward());
    EXPECT_EQ(t.currentItem(), item("C"));
    EXPECT_EQ(Paths(t.BackItems()), QStringList({D("A"), D("B"), D("D")}));
    EXPECT_TRUE(t.ForwardItems().isEmpty());
    EXPECT_FALSE(t.GoForward());
    EXPECT_EQ(t.currentItem(), item("C"));
}

TEST_F(NavigationTest, BackListKeepsTheTwentyOneLatest) {
    for (int i = 0; i < 30; ++i) MakeDir(D(QString("f%1").arg(i, 2, 10, QChar('0'))));
    TestTree& t = Make();
    for (int i = 0; i < 30; ++i) t.setCurrentItem(t.DesktopItem()->child(3 + i));
    EXPECT_EQ(t.BackCount(), 21);
    const QStringList back = Paths(t.BackItems());
    ASSERT_EQ(back.size(), 21);
    EXPECT_EQ(back.front(), D("f08"));
    EXPECT_EQ(back.back(), D("f28"));

    // A lower limit drops one oldest entry per step, as every step does.
    t.SetHistoryLimit(2);
    t.setCurrentItem(t.DesktopItem()->child(3));
    const QStringList after = Paths(t.BackItems());
    ASSERT_EQ(after.size(), 21);
    EXPECT_EQ(after.front(), D("f09"));
    EXPECT_EQ(after.back(), D("f29"));
}

TEST_F(NavigationTest, HistoryEntriesOfDeletedItemsAreSkippedSafely) {
    for (const char* n : {"A", "B", "C"}) MakeDir(D(n));
    TestTree& t = Make();
    auto item = [&](const char* n) { return t.FindChildByName(t.DesktopItem(), n); };
    t.setCurrentItem(item("A"));
    t.setCurrentItem(item("B"));
    t.setCurrentItem(item("C"));
    // B vanishes from disk and is removed when the tree notices.
    RemoveTree(D("B"));
    t.Refresh();
    EXPECT_EQ(t.GetSelectedPath(), D("C"));
    ASSERT_TRUE(t.GoBack());
    EXPECT_EQ(t.GetSelectedPath(), D("A")) << "the entry of B cannot be reached and is skipped";
    ASSERT_TRUE(t.GoForward());
    EXPECT_EQ(t.GetSelectedPath(), D("C"));
}

TEST_F(NavigationTest, RefreshKeepsTheSelectedPathAndItsExpansion) {
    MakeDir(TestHome::Music() + "/Rock/Live");
    TestTree& t = Make();
    QTreeWidgetItem* rock = t.SetSelectedPath(TestHome::Music() + "/Rock", true);
    ASSERT_NE(rock, nullptr);
    ASSERT_TRUE(rock->isExpanded());
    MakeDir(TestHome::Music() + "/Rock/New");
    const int back = t.BackCount();
    t.Refresh();
    EXPECT_EQ(t.GetSelectedPath(), TestHome::Music() + "/Rock");
    EXPECT_EQ(t.BackCount(), back) << "refreshing is no step in the history";
    QTreeWidgetItem* again = t.currentItem();
    EXPECT_TRUE(again->isExpanded());
    EXPECT_EQ(ChildNames(t, again), QStringList({"Live", "New"}));

    // F5 refreshes too.
    MakeDir(TestHome::Music() + "/Rock/Zed");
    QTest::keyClick(&t, Qt::Key_F5);
    EXPECT_EQ(t.GetSelectedPath(), TestHome::Music() + "/Rock");
    EXPECT_EQ(ChildNames(t, t.currentItem()), QStringList({"Live", "New", "Zed"}));

    // A special item stays selected as itself.
    t.setCurrentItem(t.ComputerItem());
    t.Refresh();
    EXPECT_EQ(t.currentItem(), t.ComputerItem());
}

TEST_F(NavigationTest, BackspaceGoesUpAndOnAVolumeSelectsTheComputer) {
    const QString vol = MakeDir(TestHome::Outside() + "/vol");
    MakeDir(vol + "/sub");
    drives.Add(vol, "ext4", "/dev/sdb1");
    TestTree& t = Make();
    ASSERT_NE(t.SetSelectedPath(vol + "/sub", false), nullptr);
    QTest::keyClick(&t, Qt::Key_Backspace);
    EXPECT_EQ(t.GetSelectedPath(), vol);
    QTest::keyClick(&t, Qt::Key_Backspace);
    EXPECT_EQ(t.currentItem(), t.ComputerItem());
    QTest::keyClick(&t, Qt::Key_Backspace);
    EXPECT_EQ(t.currentItem(), t.DesktopItem());
    EXPECT_FALSE(t.GoUp()) << "nothing above the top item";
    EXPECT_EQ(t.currentItem(), t.DesktopItem());
    t.setCurrentItem(nullptr);
    EXPECT_FALSE(t.GoUp());
}

TEST_F(NavigationTest, AltArrowsWalkTheHistory) {
    for (const char* n : {"A", "B"}) MakeDir(D(n));
    TestTree& t = Make();
    t.setCurrentItem(t.FindChildByName(t.DesktopItem(), "A"));
    t.setCurrentItem(t.FindChildByName(t.DesktopItem(), "B"));
    QTest::keyClick(&t, Qt::Key_Left, Qt::AltModifier);
    EXPECT_EQ(t.GetSelectedPath(), D("A"));
    QTest::keyClick(&t, Qt::Key_Right, Qt::AltModifier);
    EXPECT_EQ(t.GetSelectedPath(), D("B"));
}

TEST_F(NavigationTest, EnterOpensAltEnterShowsPropertiesMenuKeysAskForTheMenu) {
    MakeDir(D("A/inner"));
    TestTree& t = Make();
    t.resize(300, 500);
    t.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&t));
    t.setCurrentItem(t.FindChildByName(t.DesktopItem(), "A"));
    QTest::keyClick(&t, Qt::Key_Return);
    EXPECT_EQ(t.opened, QStringList({D("A")}));
    QTest::keyClick(&t, Qt::Key_Return, Qt::AltModifier);
    EXPECT_EQ(t.properties, QStringList({D("A")}));
    QTreeWidgetItem* before = t.currentItem();
    const bool expanded = before->isExpanded();
    std::vector<QPoint> asked;
    QObject::connect(&t, &CFileTreeCtrl::rightClicked, [&](const QPoint& at) { asked.push_back(at); });
    QTest::keyClick(&t, Qt::Key_F10, Qt::ShiftModifier);
    QTest::keyClick(&t, Qt::Key_Menu);
    // Both ask for the menu under the selected folder, which stays as it was.
    ASSERT_EQ(asked.size(), 2u);
    const QRect item = t.visualItemRect(before);
    EXPECT_EQ(asked[0], t.viewport()->mapToGlobal(QPoint(item.left() + 8, item.bottom())));
    EXPECT_EQ(asked[1], asked[0]);
    EXPECT_EQ(t.currentItem(), before);
    EXPECT_EQ(before->isExpanded(), expanded);
    EXPECT_EQ(t.opened.size(), 1);
}

TEST_F(NavigationTest, RightClickSelectsTheItemUnderTheCursor) {
    for (const char* n : {"A", "B"}) MakeDir(D(n));
    TestTree& t = Make();
    t.resize(300, 500);
    t.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&t));
    QTreeWidgetItem* b = t.FindChildByName(t.DesktopItem(), "B");
    t.setCurrentItem(t.FindChildByName(t.DesktopItem(), "A"));
    QSignalSpy clicks(&t, &CFileTreeCtrl::rightClicked);
    QTest::mouseClick(t.viewport(), Qt::RightButton, {}, t.visualItemRect(b).center());
    EXPECT_EQ(t.currentItem(), b);
    EXPECT_EQ(clicks.count(), 1);

    // Below the last item: nothing is selected any more.
    QTest::mouseClick(t.viewport(), Qt::RightButton, {}, QPoint(10, t.viewport()->height() - 5));
    EXPECT_EQ(t.currentItem(), nullptr);
    EXPECT_TRUE(t.GetSelectedPath().isEmpty());
    EXPECT_EQ(clicks.count(), 2);
}

TEST_F(NavigationTest, DoubleClickOpensOnlyASelectedItemWithoutChildren) {
    MakeDir(D("leaf"));
    MakeDir(D("branch/sub"));
    TestTree& t = Make();
    t.resize(300, 500);
    t.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&t));
    QTreeWidgetItem* leaf = t.FindChildByName(t.DesktopItem(), "leaf");
    QTreeWidgetItem* branch = t.FindChildByName(t.DesktopItem(), "branch");
    QTest::mouseClick(t.viewport(), Qt::LeftButton, {}, t.visualItemRect(leaf).center());
    ASSERT_EQ(t.currentItem(), leaf);
    QTest::mouseDClick(t.viewport(), Qt::LeftButton, {}, t.visualItemRect(leaf).center());
    EXPECT_EQ(t.opened, QStringList({D("leaf")}));

    QTest::mouseClick(t.viewport(), Qt::LeftButton, {}, t.visualItemRect(branch).center());
    ASSERT_EQ(t.currentItem(), branch);
    QTest::mouseDClick(t.viewport(), Qt::LeftButton, {}, t.visualItemRect(branch).center());
    EXPECT_EQ(t.opened.size(), 1) << "a folder with subfolders expands instead";
    EXPECT_TRUE(branch->isExpanded());
    EXPECT_EQ(ChildNames(t, branch), QStringList({"sub"}));
}

TEST_F(NavigationTest, ExpandAllFillsTheWholeBranchAndSurvivesLinkLoops) {
    MakeDir(D("tree/a/a1/a11"));
    MakeDir(D("tree/a/a2"));
    MakeDir(D("tree/b/b1"));
    ASSERT_EQ(symlink(D("tree").toLocal8Bit().constData(), D("tree/b/loop").toLocal8Bit().constData()), 0);
    TestTree& t = Make();
    QTreeWidgetItem* top = t.FindChildByName(t.DesktopItem(), "tree");
    t.ExpandAll(top);
    int items = 0;
    std::function<void(QTreeWidgetItem*)> count = [&](QTreeWidgetItem* i) {
        ++items;
        EXPECT_TRUE(i->childCount() == 0 || i->isExpanded()) << i->text(0).toStdString();
        for (int c = 0; c < i->childCount(); ++c) count(i->child(c));
    };
    count(top);
    // tree, a, a1, a11, a2, b, b1, loop, and loop's own children a and b (opened, not walked).
    EXPECT_EQ(items, 10);
    QTreeWidgetItem* loop = t.FindChildByName(t.FindChildByName(top, "b"), "loop");
    ASSERT_NE(loop, nullptr);
    EXPECT_EQ(ChildNames(t, loop), QStringList({"a", "b"}));
    EXPECT_FALSE(t.FindChildByName(loop, "a")->isExpanded());

    t.ExpandAll(top, CFileTreeCtrl::Collapse);
    EXPECT_FALSE(top->isExpanded());
    EXPECT_EQ(top->childCount(), 0);
}

TEST_F(NavigationTest, ExpandAllLeavesPseudoFileSystemsAndStopsOnEsc) {
    MakeDir(D("many/one/deeper"));
    MakeDir(D("many/two/deeper"));
    TestTree& t = Make();
    QTreeWidgetItem* proc = t.SetSelectedPath("/proc", false);
    ASSERT_NE(proc, nullptr);
    t.ExpandAll(proc);
    EXPECT_FALSE(proc->isExpanded()) << "the kernel's process table is no folder tree";

    QTreeWidgetItem* many = t.SetSelectedPath(D("many"), false);
    ASSERT_NE(many, nullptr);
    // The user presses Esc as the walk begins.
    QCoreApplication::postEvent(&t, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
    t.ExpandAll(many);
    EXPECT_FALSE(many->isExpanded());
    t.ExpandAll(many);  // without Esc the walk goes all the way
    EXPECT_TRUE(t.FindChildByName(many, "two")->isExpanded());
}

TEST_F(NavigationTest, SelectingAVanishedFolderTellsTheOwnerWithNothingToLoad) {
    MakeDir(D("solo"));
    TestTree& t = Make();
    QTreeWidgetItem* solo = t.FindChildByName(t.DesktopItem(), "solo");
    RemoveTree(D("solo"));
    QSignalSpy spy(&t, &CFileTreeCtrl::selectionChanged);
    t.setCurrentItem(solo);
    EXPECT_EQ(t.FindChildByName(t.DesktopItem(), "solo"), nullptr);
    EXPECT_GE(spy.count(), 1);
    EXPECT_FALSE(t.GetSelectedPath() == D("solo"));
    EXPECT_EQ(t.ChildrenCount(t.DesktopItem()), 1) << "the special items are still there";
}

TEST_F(NavigationTest, FocusAloneSelectsNothing) {
    MakeDir(D("A"));
    TestTree& t = Make();
    QSignalSpy spy(&t, &CFileTreeCtrl::selectionChanged);
    t.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&t));
    t.activateWindow();
    t.setFocus(Qt::TabFocusReason);
    QFocusEvent in(QEvent::FocusIn, Qt::TabFocusReason);
    QApplication::sendEvent(&t, &in);
    EXPECT_EQ(t.currentItem(), nullptr);
    EXPECT_EQ(spy.count(), 0);
    EXPECT_EQ(t.BackCount(), 0);
    // Keys still move from nothing to the first item, as the user asks.
    QTest::keyClick(&t, Qt::Key_Down);
    EXPECT_NE(t.currentItem(), nullptr);
}

TEST_F(NavigationTest, FolderThatVanishedOnTheWayEndsTheWalk) {
    MakeDir(TestHome::Music() + "/Rock/Live");
    MakeDir(TestHome::Music() + "/Soul");
    TestTree& t = Make();
    ASSERT_NE(t.SetSelectedPath(TestHome::Music(), true), nullptr);
    ASSERT_NE(t.FindChildByName(t.currentItem(), "Rock"), nullptr);
    RemoveTree(TestHome::Music() + "/Rock");
    EXPECT_EQ(t.SetSelectedPath(TestHome::Music() + "/Rock/Live", false), nullptr);
    EXPECT_EQ(t.GetSelectedPath(), TestHome::Music() + "/Soul") << "the neighbour took the selection";
    QTreeWidgetItem* music = t.FindChildByName(t.ProfileItem(), "Music");
    EXPECT_EQ(ChildNames(t, music), QStringList({"Soul"}));

    // The same when the walk ends on the vanished folder itself.
    RemoveTree(TestHome::Music() + "/Soul");
    EXPECT_EQ(t.SetSelectedPath(TestHome::Music() + "/Soul", true), nullptr);
    EXPECT_EQ(music->childCount(), 0);
    EXPECT_EQ(t.ChildrenCount(music), 0);
}
