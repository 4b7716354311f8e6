// The file list's columns, type table, path notions and summary lines.
#include "filelist/file_list_columns.h"
#include "filelist/file_list_summary.h"
#include "filelist/file_item_info.h"
#include "filelist/file_scan.h"

#include "support/mp3_fixtures.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

using namespace velmora;

TEST(FileListColumns, EighteenColumnsWithTitlesWidthsAndKeys) {
    ASSERT_EQ(kFileListColumns.size(), 18u);
    const char* titles[] = {"Name", "Path", "Type", "Tag", "Artist", "Album Artist", "Album", "Track", "Title",
                            "Genre", "Date", "Comment", "Size(MB)", "Last Modified", "Duration", "Frequency",
                            "Channel", "Bitrate"};
    const int widths[] = {150, 150, 65, 100, 110, 110, 110, 85, 150, 70, 65, 110, 85, 120, 88, 96, 88, 88};
    for (int i = 0; i < 18; ++i) {
        EXPECT_STREQ(kFileListColumns[i].title, titles[i]);
        EXPECT_EQ(kFileListColumns[i].defaultWidth, widths[i]) << i;
    }
    for (int right : {2, 3, 7, 10, 12, 13, 14, 15, 16, 17}) EXPECT_EQ(kFileListColumns[right].align, ColumnAlign::Right) << right;
    for (int left : {0, 1, 4, 5, 6, 8, 9, 11}) EXPECT_EQ(kFileListColumns[left].align, ColumnAlign::Left) << left;
    EXPECT_EQ(kFileListColumns[kColTrack].sortKey, SortKey::Track);
    EXPECT_EQ(kFileListColumns[kColSize].sortKey, SortKey::SizeMB);
    EXPECT_EQ(kFileListColumns[kColFrequency].sortKey, SortKey::SampleRate);
    EXPECT_EQ(kFileListColumns[kColChannel].sortKey, SortKey::Channels);
    EXPECT_EQ(kFileListColumns[kColBitrate].sortKey, SortKey::Bitrate);
    for (int text : {0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 13, 14}) EXPECT_EQ(kFileListColumns[text].sortKey, SortKey::Text) << text;
}

TEST(FileListColumns, TypeTableAndExtensions) {
    EXPECT_EQ(FileTypeOf("MP3"), 2);
    // Every extension a load takes has a type of its own; others have none.
    std::set<uint8_t> codes;
    for (const QString& extension : scanExtensions()) codes.insert(FileTypeOf(extension));
    EXPECT_EQ(codes.size(), static_cast<size_t>(scanExtensions().size()));
    EXPECT_EQ(codes.count(0), 0u);
    EXPECT_EQ(FileTypeOf("TXT"), 0);
    EXPECT_EQ(ExtensionOf("song.Mp3"), "MP3");
    EXPECT_EQ(ExtensionOf("a.b.txt"), "TXT");
    EXPECT_EQ(ExtensionOf("mp3"), "MP3");  // no "." -> the whole name
    EXPECT_EQ(ExtensionOf("trailing."), "");
}

TEST(FileListColumns, DuplicatesIgnoreTheCaseOfAsciiLettersOnly) {
    EXPECT_TRUE(SamePathIgnoringAsciiCase(FullPathOf("/Music/", "A.mp3"), FullPathOf("/music/", "a.MP3")));
    EXPECT_FALSE(SamePathIgnoringAsciiCase(QString::fromUtf8("/m/\xc3\x89t\xc3\xa9.mp3"), QString::fromUtf8("/m/\xc3\xa9t\xc3\xa9.mp3")));
    EXPECT_FALSE(SamePathIgnoringAsciiCase("/a/x.mp3", "/a/x.mp"));
    EXPECT_FALSE(SamePathIgnoringAsciiCase("/a/[.mp3", "/a/{.mp3"));  // not letters: no case folding
    EXPECT_TRUE(SamePathIgnoringAsciiCase("", ""));
}

TEST(FileListColumns, DeadRows) {
    velmora::testing::TempDir dir;
    const QString folder = QString::fromStdString(dir.path().string()) + "/";
    std::ofstream(dir / "here.mp3") << "x";
    EXPECT_FALSE(IsDeadPath(FullPathOf(folder, "here.mp3")));
    EXPECT_TRUE(IsDeadPath(FullPathOf(folder, "gone.mp3")));
    EXPECT_FALSE(IsDeadPath(folder));  // an existing folder is not dead
    EXPECT_TRUE(IsDeadPath(""));
}

TEST(FileListSummary, EmptyListAndNoSelection) {
    FileListTotals totals;
    EXPECT_EQ(ListSummaryText(totals), "No file");
    EXPECT_EQ(SelectionSummaryText(0, 0, 0), "No file selected");
    // Drifted sums do not matter once the count is 0.
    totals.totalSizeMB = 1e-12;
    totals.totalSeconds = -1e-9;
    EXPECT_EQ(ListSummaryText(totals), "No file");
}

TEST(FileListSummary, TwoFileExample) {
    FileItemInfo a, b;
    a.sizeMB = 1048576 / 1048576.0;
    a.duration = 61.9;
    b.sizeMB = 524288 / 1048576.0;
    b.duration = 3600.5;
    FileListTotals totals;
    for (const FileItemInfo* f : {&a, &b}) {
        totals.fileCount += 1;
        totals.totalSizeMB += f->sizeMB;
        totals.totalSeconds += f->duration;
    }
    EXPECT_EQ(ListSummaryText(totals), "2 file(s)   1.50 MB   01:01:02");
    EXPECT_EQ(SelectionSummaryText(1, b.sizeMB, b.duration), "1 file(s) selected, 0.50 MB   01:00:00");
    // Removing the first file subtracts its contribution.
    totals.fileCount -= 1;
    totals.totalSizeMB -= a.sizeMB;
    totals.totalSeconds -= a.duration;
    EXPECT_EQ(ListSummaryText(totals), "1 file(s)   0.50 MB   01:00:00");
}

TEST(FileListSummary, CellTexts) {
    EXPECT_EQ(SizeCellText(0.0), "0.00");
    EXPECT_EQ(SizeCellText(3.5234), "3.52");
    // Rounded as printf's "%.2f" rounds the exact binary value: half to even at a tie, up past it.
    EXPECT_EQ(SizeCellText(0.125), "0.12");
    EXPECT_EQ(SizeCellText(0.375), "0.38");
    EXPECT_EQ(SizeCellText(2.675), "2.67");  // just below 2.675 in binary
    EXPECT_EQ(SizeCellText(123456.999), "123457.00");
    EXPECT_EQ(DurationCellText(0.6), "");
    EXPECT_EQ(DurationCellText(1.0), "00:00:01");
    EXPECT_EQ(DurationCellText(36000.0), "10:00:00");
    EXPECT_EQ(DurationCellText(360000.0), "100:00:00");  // the hour field is not limited
    EXPECT_EQ(FormatHms(3661.99), "01:01:01");
    EXPECT_EQ(FormatHms(-5), "00:00:00");
}

TEST(FileItemInfo, CopyMediaFieldsLeavesTheLoadersFields) {
    FileItemInfo to;
    to.fileType = 2;
    to.sizeMB = 4.5;
    FileItemInfo from;
    from.fileType = 9;
    from.sizeMB = 1.0;
    from.bitrate = 128;
    from.title = "T";
    CopyMediaFields(to, from);
    EXPECT_EQ(to.fileType, 2);
    EXPECT_EQ(to.sizeMB, 4.5);
    EXPECT_EQ(to.bitrate, 128);
    EXPECT_EQ(to.title, "T");
}
