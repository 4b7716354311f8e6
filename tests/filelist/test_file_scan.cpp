// Which files a folder load finds, in what order, and the cells the loader fills itself.
#include "filelist/file_scan.h"

#include "support/mp3_fixtures.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>

#include <fstream>
#include <set>

using namespace velmora;
namespace fs = std::filesystem;

namespace {

void Touch(const fs::path& p, size_t bytes = 1) {
    fs::create_directories(p.parent_path());
    std::ofstream f(p, std::ios::binary);
    f << std::string(bytes, 'x');
}

QString Q(const fs::path& p) { return QString::fromStdString(p.string()); }

std::vector<QString> Scan(const fs::path& folder, bool sub, const std::atomic<int>* keepGoing = nullptr) {
    std::vector<QString> found;
    ScanFolder(Q(folder), sub, [&](const QFileInfo& f) { found.push_back(f.absoluteFilePath()); }, keepGoing);
    return found;
}

}  // namespace

TEST(FileScan, FolderFilesMatchTheExtensionIgnoringCase) {
    velmora::testing::TempDir dir;
    Touch(dir / "b.mp3");
    Touch(dir / "a.MP3");
    Touch(dir / "c.txt");
    Touch(dir / ".hidden.mp3");
    fs::create_directories(dir / "folder.mp3");  // a folder is never a file row
    Touch(dir / "sub" / "d.mp3");
    const auto found = Scan(dir.path(), false);
    std::set<QString> names;
    for (const QString& f : found) names.insert(QFileInfo(f).fileName());
    EXPECT_EQ(names, (std::set<QString>{"a.MP3", "b.mp3", ".hidden.mp3"}));
}

TEST(FileScan, OtherAudioFormatsInNameOrderAndMp3OnlyWhenAsked) {
    velmora::testing::TempDir dir;
    for (const char* name : {"3 outro.mp3", "1 intro.WAV", "2 talk.m4a", "2b.flac", "4.ogg", "5.oga", "6.opus",
                             "7.m4b", "8.aac", "9.wma", "10.mp2", "notes.txt", "cover.jpg", "wav"})
        Touch(dir / name);
    std::vector<QString> all;
    ScanFolder(Q(dir.path()), false, [&](const QFileInfo& f) { all.push_back(f.fileName()); });
    EXPECT_EQ(all, (std::vector<QString>{"1 intro.WAV", "2 talk.m4a", "2b.flac", "3 outro.mp3", "4.ogg", "5.oga",
                                         "6.opus", "7.m4b", "8.aac", "9.wma", "10.mp2"}));
    std::vector<QString> mp3;
    ScanFolder(Q(dir.path()), false, [&](const QFileInfo& f) { mp3.push_back(f.fileName()); }, nullptr, {},
               LoadExtensions(0));
    EXPECT_EQ(mp3, std::vector<QString>{"3 outro.mp3"});
    EXPECT_TRUE(HasExtensionIn("x.Opus", LoadExtensions(1)));
    EXPECT_FALSE(HasExtensionIn("x.Opus", LoadExtensions(0)));
}

TEST(FileScan, FilesOfAFolderComeBeforeItsSubfoldersDepthFirst) {
    velmora::testing::TempDir dir;
    Touch(dir / "top.mp3");
    Touch(dir / "s1" / "one.mp3");
    Touch(dir / "s1" / "deep" / "deeper.mp3");
    Touch(dir / "s2" / "two.mp3");
    const auto found = Scan(dir.path(), true);
    ASSERT_EQ(found.size(), 4u);
    EXPECT_TRUE(found[0].endsWith("/top.mp3"));
    // s1's own file right before its subfolder's file, whichever of s1/s2 the listing gives first.
    auto pos = [&](const char* name) {
        for (size_t i = 0; i < found.size(); ++i)
            if (found[i].endsWith(name)) return int(i);
        return -1;
    };
    EXPECT_EQ(pos("/one.mp3") + 1, pos("/deeper.mp3"));
    EXPECT_NE(pos("/two.mp3"), -1);
    // Without subfolders only the top file.
    EXPECT_EQ(Scan(dir.path(), false).size(), 1u);
}

TEST(FileScan, NamesComeInNaturalOrderFilesBeforeSubfolders) {
    velmora::testing::TempDir dir;
    for (const char* name : {"Part 10.mp3", "Part 2.mp3", "Part 1.mp3", "Part 11.mp3", "Part 9.MP3", "B.mp3", "a.mp3"})
        Touch(dir / name);
    // Subfolders sort among themselves and follow all of the folder's files, whatever their names.
    Touch(dir / "Disc 10" / "Part 1.mp3");
    Touch(dir / "Disc 2" / "Part 10.mp3");
    Touch(dir / "Disc 2" / "Part 3.mp3");
    std::vector<QString> names;
    for (const QString& f : Scan(dir.path(), true)) names.push_back(f.mid(Q(dir.path()).size() + 1));
    EXPECT_EQ(names, (std::vector<QString>{"B.mp3", "Part 1.mp3", "Part 2.mp3", "Part 9.MP3", "Part 10.mp3", "Part 11.mp3",
                                           "a.mp3", "Disc 2/Part 3.mp3", "Disc 2/Part 10.mp3", "Disc 10/Part 1.mp3"}));
}

TEST(FileScan, SymlinkLoopDoesNotRecurseForever) {
    velmora::testing::TempDir dir;
    Touch(dir / "a" / "x.mp3");
    fs::create_directory_symlink(dir.path(), dir / "a" / "loop");
    const auto found = Scan(dir.path(), true);
    EXPECT_EQ(found.size(), 1u);
}

TEST(FileScan, StopsWhenToldTo) {
    velmora::testing::TempDir dir;
    for (int i = 0; i < 5; ++i) Touch(dir / ("f" + std::to_string(i) + ".mp3"));
    std::atomic<int> keepGoing{1};
    int seen = 0;
    ScanFolder(Q(dir.path()), true, [&](const QFileInfo&) {
        if (++seen == 2) keepGoing.store(0);
    }, &keepGoing);
    EXPECT_EQ(seen, 2);
    std::atomic<int> stopped{0};
    EXPECT_TRUE(Scan(dir.path(), true, &stopped).empty());
}

TEST(FileScan, MissingFolderFindsNothing) {
    velmora::testing::TempDir dir;
    EXPECT_TRUE(Scan(dir / "nope", true).empty());
}

TEST(FileScan, FileFacts) {
    velmora::testing::TempDir dir;
    Touch(dir / "Song.Mp3", 524288);
    Touch(dir / "empty.mp3", 0);
    Touch(dir / "mp3", 10);
    FileRow row;
    FillFileFacts(QFileInfo(Q(dir / "Song.Mp3")), row);
    EXPECT_EQ(row.cells[kColName], "Song.Mp3");
    EXPECT_EQ(row.cells[kColPath], Q(dir.path()) + "/");
    EXPECT_EQ(FullPathOf(row.cells[kColPath], row.cells[kColName]), Q(dir / "Song.Mp3"));
    EXPECT_EQ(row.cells[kColType], "MP3");
    EXPECT_EQ(row.info.fileType, 2);
    EXPECT_DOUBLE_EQ(row.info.sizeMB, 0.5);
    EXPECT_EQ(row.cells[kColSize], "0.50");
    const QDateTime when = QFileInfo(Q(dir / "Song.Mp3")).lastModified().toLocalTime();
    EXPECT_EQ(row.cells[kColLastModified], when.toString("yyyy/MM/dd HH:mm:ss"));
    EXPECT_EQ(row.cells[kColLastModified].size(), 19);

    FileRow empty;
    FillFileFacts(QFileInfo(Q(dir / "empty.mp3")), empty);
    EXPECT_EQ(empty.cells[kColSize], "0.00");

    FileRow bare;
    FillFileFacts(QFileInfo(Q(dir / "mp3")), bare);
    EXPECT_EQ(bare.cells[kColType], "MP3");
    EXPECT_EQ(bare.info.fileType, 2);
}
