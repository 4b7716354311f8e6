// The media reader filling a list row from a worker thread, found by its record while the
// list sorts under it.
#include "report_test_util.h"

#include "controls/report_row_writer.h"
#include "filelist/media_reader.h"
#include "support/mp3_fixtures.h"

#include <gtest/gtest.h>

#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>

#include <atomic>
#include <thread>

using namespace velmora;
using velmora::testing::AddFileListColumns;

TEST(ReportRowWriter, FillsTheRowOfItsRecordFromAWorkerThreadDespiteASort) {
    velmora::testing::TempDir dir;
    const auto path = dir / "z.mp3";
    ASSERT_TRUE(velmora::testing::MakeToneMp3(path, {.rate = 44100, .channels = 1, .seconds = 1.2, .kbps = 64, .infoTag = false}));
    {
        TagLib::MPEG::File f(path.c_str());
        f.ID3v2Tag(true)->setTitle("Zed");
        ASSERT_TRUE(f.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers, TagLib::ID3v2::v3, TagLib::File::DoNotDuplicate));
    }
    CReportCtrl list;
    AddFileListColumns(list);
    std::deque<FileItemInfo> records(3);
    list.InsertItemEx(0, "z.mp3", &records[0]);  // the row being filled
    list.InsertItemEx(1, "b.mp3", &records[1]);
    list.InsertItemEx(2, "a.mp3", &records[2]);
    records[0].sizeMB = 0.25;  // the loader's own field survives the reader's record

    std::atomic<int> keepGoing{1};
    std::atomic<bool> done{false};
    std::atomic<bool> sorted{false};
    double seconds = 0;
    std::thread loader([&] {
        ReaderDecoder decoder(true);
        MediaInfoReader reader(decoder.handle());
        CReportRowWriter writer(&list, &records[0], &keepGoing);
        writer.onSeconds = [&](double s) { seconds += s; };
        FileRow row;
        const QString p = QString::fromStdString(path.string());
        // Between the first writes and the rest, the UI thread sorts the row to the end.
        writer.SetCellText(kColType, "MP3");
        writer.Flush();
        while (!sorted.load()) std::this_thread::yield();
        reader.ReadMediaInfo(p, row, writer);
        reader.ReadBitrate(p, row, writer);
        done.store(true);
    });
    // The UI thread runs its event loop meanwhile, as the window does.
    QTest::qWaitFor([&] { return list.GetItemText(0, kColType) == "MP3"; }, 5000);
    list.SetSortList({{0, 1}});
    list.SortRows(0, 2, true);
    ASSERT_EQ(list.GetItemText(2, 0), "z.mp3");
    sorted.store(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 10000));
    loader.join();

    EXPECT_EQ(list.GetItemText(2, kColTitle), "Zed");
    EXPECT_EQ(list.GetItemText(2, kColChannel), "1 (Mono)");
    EXPECT_EQ(list.GetItemText(2, kColBitrate), "64 kbps");
    EXPECT_EQ(list.GetItemText(2, kColTag), "ID3v2.3  ");
    EXPECT_EQ(list.GetItemText(0, kColTitle), "");  // the rows that took its old place are untouched
    EXPECT_EQ(list.GetItemText(1, kColTitle), "");
    EXPECT_EQ(records[0].channels, 1);
    EXPECT_EQ(records[0].bitrate, 64);
    EXPECT_EQ(records[0].title, "Zed");
    EXPECT_EQ(records[0].sizeMB, 0.25);
    EXPECT_GT(seconds, 1.0);  // the decoder's estimate: no Info header in this file
    EXPECT_DOUBLE_EQ(seconds, records[0].duration);
}

TEST(ReportRowWriter, StoppedLoaderAndRemovedRowWriteNothing) {
    CReportCtrl list;
    AddFileListColumns(list);
    FileItemInfo record;
    list.InsertItemEx(0, "a.mp3", &record);
    std::atomic<int> keepGoing{0};
    CReportRowWriter stopped(&list, &record, &keepGoing);
    stopped.SetCellText(kColTitle, "x");
    stopped.Flush();
    EXPECT_EQ(list.GetItemText(0, kColTitle), "");
    // A record whose row is gone: nothing is written anywhere.
    FileItemInfo gone;
    CReportRowWriter orphan(&list, &gone);
    orphan.SetCellText(kColTitle, "y");
    FileItemInfo values;
    values.bitrate = 99;
    orphan.StoreRecord(values);
    EXPECT_EQ(list.GetItemText(0, kColTitle), "");
    EXPECT_EQ(gone.bitrate, 0);
    // On the list's own thread the write is direct.
    CReportRowWriter direct(&list, &record);
    direct.SetCellText(kColTitle, "z");
    EXPECT_EQ(list.GetItemText(0, kColTitle), "");  // gathered until the record or a flush
    FileItemInfo filled;
    filled.bitrate = 128;
    direct.StoreRecord(filled);
    EXPECT_EQ(list.GetItemText(0, kColTitle), "z");
    EXPECT_EQ(record.bitrate, 128);
}
