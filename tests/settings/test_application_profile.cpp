#include <gtest/gtest.h>

#include <fstream>

#include <QFile>
#include <QFileInfo>

#include "settings/application_profile.h"
#include "settings/scoped_env.h"
#include "support/mp3_fixtures.h"

using namespace velmora;
using velmora::testing::ScopedEnv;
using velmora::testing::TempDir;

namespace {

QString Q(const std::filesystem::path& p) { return QString::fromStdString(p.string()); }

}  // namespace

TEST(ApplicationProfile, LivesUnderTheConfigFolderNamedAfterTheApplication) {
    TempDir tmp;
    ScopedEnv env;
    velmora::testing::UseFreshAccount(env, tmp.path());
    {
        ApplicationProfile profile(QStringLiteral("velmora"));
        EXPECT_EQ(profile.filePath(),
                  Q(tmp.path() / "home/.config/Orvatek Corporation/Velmora/velmora.conf"));
        ASSERT_TRUE(profile.WriteProfileInt("FileList", "ShowLeftTree", 1));
        ASSERT_TRUE(profile.Sync());
    }
    EXPECT_TRUE(QFileInfo::exists(Q(tmp.path() / "home/.config/Orvatek Corporation/Velmora/velmora.conf")));
}

TEST(ApplicationProfile, DefaultNameIsTheExecutableWithoutExtension) {
    // The test binary runs without an application object: its own file name is used.
    EXPECT_EQ(ApplicationProfile::DefaultApplicationName(), QStringLiteral("settings_tests"));
}

TEST(ApplicationProfile, ByteBlocksRoundTripThroughTheFile) {
    TempDir tmp;
    const QString file = Q(tmp / "p.conf");
    QByteArray placement(44, '\0');
    for (int i = 0; i < placement.size(); ++i)
        placement[i] = static_cast<char>(i * 7 + 200);  // every byte value range, NULs included
    {
        auto profile = ApplicationProfile::AtPath(file);
        ASSERT_TRUE(profile.WriteProfileBinary("Position", profile::kMainWindowPlacementEntry, placement));
        ASSERT_TRUE(profile.WriteProfileBinary("FileList", "ShowLeftTree", "\x01", 1));
        ASSERT_TRUE(profile.WriteProfileBinary("FileList", "Column", QByteArray()));
    }
    auto reread = ApplicationProfile::AtPath(file);
    auto block = reread.GetProfileBinary("Position", profile::kMainWindowPlacementEntry);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(*block, placement);
    auto tree = reread.GetProfileBinary("FileList", "ShowLeftTree");
    ASSERT_TRUE(tree.has_value());
    EXPECT_EQ(*tree, QByteArray("\x01", 1));
    auto empty = reread.GetProfileBinary("FileList", "Column");
    ASSERT_TRUE(empty.has_value());  // present, with length 0
    EXPECT_TRUE(empty->isEmpty());
}

TEST(ApplicationProfile, IntegersRoundTripIncludingExtremes) {
    TempDir tmp;
    const QString file = Q(tmp / "p.conf");
    {
        auto profile = ApplicationProfile::AtPath(file);
        profile.WriteProfileInt("A", "min", INT32_MIN);
        profile.WriteProfileInt("A", "max", INT32_MAX);
        profile.WriteProfileInt("A", "zero", 0);
    }
    auto reread = ApplicationProfile::AtPath(file);
    EXPECT_EQ(reread.GetProfileInt("A", "min", 5), INT32_MIN);
    EXPECT_EQ(reread.GetProfileInt("A", "max", 5), INT32_MAX);
    EXPECT_EQ(reread.GetProfileInt("A", "zero", 5), 0);
}

TEST(ApplicationProfile, AbsentEntriesReportNothingOrTheDefault) {
    TempDir tmp;
    auto profile = ApplicationProfile::AtPath(Q(tmp / "never-written.conf"));
    EXPECT_FALSE(profile.GetProfileBinary("FileList", "Column").has_value());
    EXPECT_EQ(profile.GetProfileInt("FileList", "Column", 42), 42);
    profile.WriteProfileInt("FileList", "Other", 3);
    EXPECT_FALSE(profile.GetProfileBinary("FileList", "Column").has_value());
    EXPECT_FALSE(profile.GetProfileBinary("Missing", "Column").has_value());
    EXPECT_EQ(profile.GetProfileInt("Missing", "Other", -9), -9);
}

TEST(ApplicationProfile, KindsDoNotMix) {
    TempDir tmp;
    auto profile = ApplicationProfile::AtPath(Q(tmp / "p.conf"));
    profile.WriteProfileInt("S", "n", 17);
    profile.WriteProfileBinary("S", "b", QByteArray("12"));
    // An integer is not a byte block, and a byte block is not an integer.
    EXPECT_FALSE(profile.GetProfileBinary("S", "n").has_value());
    EXPECT_EQ(profile.GetProfileInt("S", "b", -1), -1);
}

TEST(ApplicationProfile, SameEntryNameInTwoSectionsStaysApart) {
    TempDir tmp;
    const QString file = Q(tmp / "p.conf");
    const QString splitter = profile::SplitterSection(103);
    EXPECT_EQ(splitter, QStringLiteral("splt\\init_v103"));
    {
        auto profile = ApplicationProfile::AtPath(file);
        profile.WriteProfileInt(splitter, "VertSplitPos", 200);
        profile.WriteProfileInt("splt", "VertSplitPos", 1);
        profile.WriteProfileInt("init_v103", "VertSplitPos", 2);
        profile.WriteProfileBinary("Position", "X", QByteArray("one"));
        profile.WriteProfileBinary("FileList", "X", QByteArray("two"));
    }
    auto reread = ApplicationProfile::AtPath(file);
    EXPECT_EQ(reread.GetProfileInt(splitter, "VertSplitPos", 0), 200);
    EXPECT_EQ(reread.GetProfileInt("splt", "VertSplitPos", 0), 1);
    EXPECT_EQ(reread.GetProfileInt("init_v103", "VertSplitPos", 0), 2);
    EXPECT_EQ(reread.GetProfileBinary("Position", "X").value_or(""), QByteArray("one"));
    EXPECT_EQ(reread.GetProfileBinary("FileList", "X").value_or(""), QByteArray("two"));
}

TEST(ApplicationProfile, UnnamedEntryOfASectionIsSeparateFromItsNamedEntries) {
    TempDir tmp;
    const QString file = Q(tmp / "p.conf");
    {
        auto profile = ApplicationProfile::AtPath(file);
        profile.WriteProfileBinary("Position", profile::kMainWindowPlacementEntry, QByteArray(44, 'x'));
        profile.WriteProfileInt("Position", "", 3);
    }
    auto reread = ApplicationProfile::AtPath(file);
    EXPECT_EQ(reread.GetProfileInt("Position", "", 0), 3);
    EXPECT_EQ(reread.GetProfileBinary("Position", profile::kMainWindowPlacementEntry).value_or(""), QByteArray(44, 'x'));
}

TEST(ApplicationProfile, RewritingAnEntryReplacesIt) {
    TempDir tmp;
    const QString file = Q(tmp / "p.conf");
    {
        auto profile = ApplicationProfile::AtPath(file);
        profile.WriteProfileBinary("FileList", "SortEx", QByteArray(16, 'a'));
        profile.WriteProfileBinary("FileList", "SortEx", QByteArray(8, 'b'));
    }
    EXPECT_EQ(ApplicationProfile::AtPath(file).GetProfileBinary("FileList", "SortEx").value_or(""), QByteArray(8, 'b'));
}

TEST(ApplicationProfile, TwoObjectsOnOneProfileSeeEachOthersWrites) {
    // The main window and the progress dialog each hold a profile object for the same file.
    TempDir tmp;
    const QString file = Q(tmp / "shared.conf");
    auto first = ApplicationProfile::AtPath(file);
    auto second = ApplicationProfile::AtPath(file);
    first.WriteProfileInt("Position", "", 2);
    second.WriteProfileBinary("Position", "{B827E556-AD4D-480E-98F0-2BC7A581B10A}", QByteArray(44, 'p'));
    EXPECT_EQ(second.GetProfileInt("Position", "", 0), 2);
    EXPECT_EQ(first.GetProfileBinary("Position", "{B827E556-AD4D-480E-98F0-2BC7A581B10A}").value_or(""),
              QByteArray(44, 'p'));
    ASSERT_TRUE(first.Sync());
    ASSERT_TRUE(second.Sync());
    auto reread = ApplicationProfile::AtPath(file);
    EXPECT_EQ(reread.GetProfileInt("Position", "", 0), 2);
    EXPECT_EQ(reread.GetProfileBinary("Position", "{B827E556-AD4D-480E-98F0-2BC7A581B10A}")->size(), 44);
}

TEST(ApplicationProfile, UnwritableProfileReportsFailureOnSync) {
    TempDir tmp;
    // A file where the profile's folder should be: nothing can be written below it.
    std::ofstream(tmp / "blocker") << "x";
    auto profile = ApplicationProfile::AtPath(Q(tmp / "blocker" / "p.conf"));
    profile.WriteProfileInt("FileList", "ShowLeftTree", 1);
    EXPECT_FALSE(profile.Sync());
}
