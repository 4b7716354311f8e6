// The media information reader on files the tests make and tag themselves.
#include "filelist/media_reader.h"

#include "support/mp3_fixtures.h"
#include "tag_fixtures.h"

#include <gtest/gtest.h>

#include <QFile>

#include <taglib/apetag.h>
#include <taglib/fileref.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>

#include <map>

using namespace velmora;
using velmora::testing::TempDir;
using velmora::testing::ToneSpec;

namespace {

// Keeps what the reader sends, so tests see the writes the window would see.
class RecordingWriter : public RowWriter {
public:
    void SetCellText(int column, const QString& text) override { cells[column] = text; ++cellWrites; }
    void StoreRecord(const FileItemInfo& values) override { record = values; ++records; }
    void ReportUnreadable(const QString& message) override { messages.push_back(message); }
    void AddSeconds(double seconds) override { totalSeconds += seconds; }

    std::map<int, QString> cells;
    int cellWrites = 0;
    FileItemInfo record;
    int records = 0;
    std::vector<QString> messages;
    double totalSeconds = 0;
};

struct ReadResult {
    FileRow row;
    RecordingWriter writer;
};

std::unique_ptr<ReadResult> Read(const std::filesystem::path& path) {
    static ReaderDecoder decoder(true);
    auto result = std::make_unique<ReadResult>();
    MediaInfoReader reader(decoder.handle());
    const QString p = QString::fromStdString(path.string());
    reader.ReadMediaInfo(p, result->row, result->writer);
    reader.ReadBitrate(p, result->row, result->writer);
    return result;
}

std::filesystem::path Tone(const TempDir& dir, const std::string& name, ToneSpec toneSpec = {}) {
    auto path = dir / name;
    EXPECT_TRUE(velmora::testing::MakeToneMp3(path, toneSpec));
    return path;
}

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

}  // namespace

TEST(MediaReader, Id3v2TitleWinsAndId3v1FillsTheRest) {
    TempDir dir;
    auto path = Tone(dir, "a.mp3", {.seconds = 0.3});
    {
        TagLib::MPEG::File f(path.c_str());
        f.ID3v2Tag(true)->setTitle("A");
        f.ID3v1Tag(true)->setTitle("B");
        f.ID3v1Tag(true)->setArtist("C");
        ASSERT_TRUE(f.save(TagLib::MPEG::File::ID3v1 | TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers,
                           TagLib::ID3v2::v3, TagLib::File::DoNotDuplicate));
    }
    auto r = Read(path);
    EXPECT_EQ(r->row.cells[kColTitle], "A");
    EXPECT_EQ(r->row.cells[kColArtist], "C");
    EXPECT_EQ(r->row.cells[kColTag], "ID3v2.3  ID3v1");
    EXPECT_EQ(r->row.info.tagKinds, kTagId3v2 | kTagId3v1);
    EXPECT_EQ(r->row.info.title, "A");
    EXPECT_EQ(r->row.info.artist, "C");
    // The writer saw the same as the row value.
    EXPECT_EQ(r->writer.cells[kColTitle], "A");
    EXPECT_EQ(r->writer.record.title, "A");
    EXPECT_TRUE(r->writer.messages.empty());
}

TEST(MediaReader, Id3v24AloneEndsWithTwoBlanks) {
    TempDir dir;
    auto path = Tone(dir, "a.mp3", {.seconds = 0.3});
    {
        TagLib::MPEG::File f(path.c_str());
        f.ID3v2Tag(true)->setAlbum("Al");
        ASSERT_TRUE(f.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers, TagLib::ID3v2::v4, TagLib::File::DoNotDuplicate));
    }
    auto r = Read(path);
    EXPECT_EQ(r->row.cells[kColTag], "ID3v2.4  ");
    EXPECT_EQ(r->row.cells[kColAlbum], "Al");
}

TEST(MediaReader, EmptyApeTagCountsButFillsNothing) {
    TempDir dir;
    auto path = Tone(dir, "a.mp3", {.seconds = 0.3});
    ASSERT_TRUE(velmora::testing::AppendApeTag(path, {}));
    auto r = Read(path);
    EXPECT_EQ(r->row.cells[kColTag], "APEv2  ");
    EXPECT_EQ(r->row.info.tagKinds, kTagApe);
    for (int c = kColArtist; c <= kColComment; ++c) EXPECT_TRUE(r->row.cells[c].isEmpty()) << c;
    EXPECT_EQ(r->row.info.trackNumber, 0);
}

TEST(MediaReader, ApeVersion1FooterShowsApev1) {
    TempDir dir;
    auto path = Tone(dir, "a.mp3", {.seconds = 0.3});
    ASSERT_TRUE(velmora::testing::AppendApeTag(path, {{"Title", "T1"}}, 1000));
    auto r = Read(path);
    EXPECT_EQ(r->row.cells[kColTag], "APEv1  ");
    EXPECT_EQ(r->row.cells[kColTitle], "T1");
}

TEST(MediaReader, ApeFallbackKeys) {
    TempDir dir;
    auto path = Tone(dir, "a.mp3", {.seconds = 0.3});
    ASSERT_TRUE(velmora::testing::AppendApeTag(
        path, {{"ALBUMARTIST", "X"}, {"DATE", ""}, {"YEAR", "1999"}, {"TRACKNUMBER", "4/9"}, {"Genre", "Jazz"}}));
    auto r = Read(path);
    EXPECT_EQ(r->row.cells[kColAlbumArtist], "X");
    EXPECT_EQ(r->row.info.albumArtist, "X");
    EXPECT_EQ(r->row.cells[kColDate], "1999");
    EXPECT_EQ(r->row.cells[kColTrack], "4/9");
    EXPECT_EQ(r->row.info.trackNumber, 4);
    EXPECT_EQ(r->row.info.trackCount, 9);
    EXPECT_EQ(r->row.cells[kColGenre], "Jazz");
}

TEST(MediaReader, ApeFirstKeyBeatsFallback) {
    TempDir dir;
    auto path = Tone(dir, "a.mp3", {.seconds = 0.3});
    ASSERT_TRUE(velmora::testing::AppendApeTag(path, {{"ALBUM ARTIST", "First"}, {"ALBUMARTIST", "Second"}}));
    auto r = Read(path);
    EXPECT_EQ(r->row.cells[kColAlbumArtist], "First");
}

TEST(MediaReader, TrackTextRule) {
    struct Case { const char* text; int number; int count; };
    for (const Case& c : {Case{"3/12", 3, 12}, Case{"7", 7, 0}, Case{"/5", 0, 5}, Case{"300", 44, 0},
                          Case{"", 0, 0}, Case{"  -1", 255, 0}, Case{"12abc/x", 12, 0}, Case{"99999999999999999999", 255, 0}}) {
        FileItemInfo info;
        ApplyTrackText(U(c.text), info);
        EXPECT_EQ(info.trackNumber, c.number) << c.text;
        EXPECT_EQ(info.trackCount, c.count) << c.text;
    }
    // Without a "/", the count keeps its value.
    FileItemInfo info;
    info.trackCount = 9;
    ApplyTrackText(U("2"), info);
    EXPECT_EQ(info.trackCount, 9);
}

TEST(MediaReader, TrackTextsFromId3v2Frames) {
    struct Case { const char* text; int number; int count; };
    TempDir dir;
    auto base = Tone(dir, "base.mp3", {.seconds = 0.2});
    int i = 0;
    for (const Case& c : {Case{"3/12", 3, 12}, Case{"7", 7, 0}, Case{"/5", 0, 5}, Case{"300", 44, 0}}) {
        auto path = dir / ("t" + std::to_string(i++) + ".mp3");
        std::filesystem::copy_file(base, path);
        {
            TagLib::MPEG::File f(path.c_str());
            f.ID3v2Tag(true)->setTitle("x");
            auto* frame = new TagLib::ID3v2::TextIdentificationFrame("TRCK", TagLib::String::Latin1);
            frame->setText(c.text);
            f.ID3v2Tag()->addFrame(frame);
            ASSERT_TRUE(f.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers, TagLib::ID3v2::v3, TagLib::File::DoNotDuplicate));
        }
        auto r = Read(path);
        EXPECT_EQ(r->row.cells[kColTrack], c.text);
        EXPECT_EQ(r->row.info.trackNumber, c.number) << c.text;
        EXPECT_EQ(r->row.info.trackCount, c.count) << c.text;
    }
}

TEST(MediaReader, Id3v1ZeroTrackAndYearLeaveCellsEmpty) {
    TempDir dir;
    auto path = Tone(dir, "a.mp3", {.seconds = 0.3});
    {
        TagLib::MPEG::File f(path.c_str());
        f.ID3v1Tag(true)->setTitle("Only");
        f.ID3v1Tag(true)->setTrack(0);
        f.ID3v1Tag(true)->setYear(0);
        ASSERT_TRUE(f.save(TagLib::MPEG::File::ID3v1, TagLib::File::StripOthers, TagLib::ID3v2::v4, TagLib::File::DoNotDuplicate));
    }
    auto r = Read(path);
    EXPECT_EQ(r->row.cells[kColTag], "ID3v1");
    EXPECT_EQ(r->row.cells[kColTitle], "Only");
    EXPECT_TRUE(r->row.cells[kColTrack].isEmpty());
    EXPECT_TRUE(r->row.cells[kColDate].isEmpty());
}

TEST(MediaReader, Id3v1TrackAndYear) {
    TempDir dir;
    auto path = Tone(dir, "a.mp3", {.seconds = 0.3});
    {
        TagLib::MPEG::File f(path.c_str());
        f.ID3v1Tag(true)->setTitle("T");
        f.ID3v1Tag(true)->setTrack(5);
        f.ID3v1Tag(true)->setYear(1987);
        f.ID3v1Tag(true)->setAlbum(TagLib::String("Caf\xe9", TagLib::String::Latin1));
        ASSERT_TRUE(f.save(TagLib::MPEG::File::ID3v1, TagLib::File::StripOthers, TagLib::ID3v2::v4, TagLib::File::DoNotDuplicate));
    }
    auto r = Read(path);
    EXPECT_EQ(r->row.cells[kColTrack], "5");
    EXPECT_EQ(r->row.info.trackNumber, 5);
    EXPECT_EQ(r->row.info.trackCount, 0);
    EXPECT_EQ(r->row.cells[kColDate], "1987");
    EXPECT_EQ(r->row.cells[kColAlbum], U("Caf\xc3\xa9"));
}

TEST(MediaReader, ShortStreamAddsItsSecondsWithoutDurationText) {
    TempDir dir;
    auto path = Tone(dir, "short.mp3", {.rate = 44100, .channels = 2, .seconds = 0.6});
    auto r = Read(path);
    EXPECT_TRUE(r->row.cells[kColDuration].isEmpty());
    EXPECT_NEAR(r->row.info.duration, 0.6, 0.001);
    EXPECT_DOUBLE_EQ(r->writer.totalSeconds, r->row.info.duration);
    // The length is the decoder's: frames x channels.
    const auto decoded = velmora::testing::DecodeMp3(path);
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(r->row.info.totalSamples, decoded.samples.size());
}

TEST(MediaReader, StreamTexts) {
    TempDir dir;
    auto mono = Read(Tone(dir, "m.mp3", {.rate = 44100, .channels = 1, .seconds = 1.5, .kbps = 128, .infoTag = false}));
    EXPECT_EQ(mono->row.cells[kColChannel], "1 (Mono)");
    EXPECT_EQ(mono->row.cells[kColFrequency], "44100 Hz");
    EXPECT_EQ(mono->row.cells[kColBitrate], "128 kbps");
    EXPECT_EQ(mono->row.info.bitrate, 128);
    EXPECT_EQ(mono->row.info.channels, 1);
    EXPECT_EQ(mono->row.info.sampleRate, 44100);
    EXPECT_EQ(mono->writer.record.bitrate, 128);

    auto stereo = Read(Tone(dir, "s.mp3", {.rate = 22050, .channels = 2, .seconds = 0.5, .kbps = 96, .infoTag = false}));
    EXPECT_EQ(stereo->row.cells[kColChannel], "2 (Stereo)");
    EXPECT_EQ(stereo->row.cells[kColFrequency], "22050 Hz");
    EXPECT_EQ(stereo->row.cells[kColBitrate], "96 kbps");
    EXPECT_EQ(stereo->row.cells[kColTag], "");
    EXPECT_EQ(stereo->row.info.tagKinds, 0);
}

TEST(MediaReader, NonMpegFileIsUnreadableButKeepsItsTags) {
    TempDir dir;
    auto path = dir / "fake.mp3";
    std::string text;
    for (int i = 0; i < 200; ++i) text += "This is a plain text file, not audio.\n";
    ASSERT_TRUE(velmora::testing::WriteBytes(path, text));
    {
        TagLib::MPEG::File f(path.c_str());
        f.ID3v1Tag(true)->setTitle("Text");
        ASSERT_TRUE(f.save(TagLib::MPEG::File::ID3v1, TagLib::File::StripNone));
    }
    auto r = Read(path);
    ASSERT_EQ(r->writer.messages.size(), 1u);
    EXPECT_TRUE(r->writer.messages[0].startsWith("Trouble with mpg123: ")) << r->writer.messages[0].toStdString();
    EXPECT_GT(r->writer.messages[0].size(), QString("Trouble with mpg123: ").size());
    EXPECT_EQ(r->row.info.unreadable, 1);
    EXPECT_EQ(r->writer.record.unreadable, 1);
    EXPECT_EQ(r->row.info.sampleRate, 0);
    EXPECT_EQ(r->row.info.totalSamples, 0u);
    EXPECT_EQ(r->writer.totalSeconds, 0.0);
    EXPECT_TRUE(r->row.cells[kColDuration].isEmpty());
    EXPECT_TRUE(r->row.cells[kColChannel].isEmpty());
    EXPECT_TRUE(r->row.cells[kColFrequency].isEmpty());
    EXPECT_EQ(r->row.cells[kColTag], "ID3v1");
    EXPECT_EQ(r->row.cells[kColTitle], "Text");
}

TEST(MediaReader, MissingFileIsUnreadable) {
    TempDir dir;
    auto r = Read(dir / "gone.mp3");
    ASSERT_EQ(r->writer.messages.size(), 1u);
    EXPECT_TRUE(r->writer.messages[0].startsWith("Trouble with mpg123: "));
    EXPECT_EQ(r->row.info.unreadable, 1);
    EXPECT_EQ(r->row.cells[kColTag], "");
    EXPECT_TRUE(r->row.cells[kColBitrate].isEmpty());
}

TEST(MediaReader, TenHourStreamLengthNeedsSixtyFourBits) {
    TempDir dir;
    auto path = dir / "long.mp3";
    // 36000 s x 44100 Hz = 1378125 frames of 1152 samples; one more frame makes up for the
    // 576 + 576 samples of encoder delay and padding the header announces.
    ASSERT_TRUE(velmora::testing::WriteXingStream(path, 1378126, 20));
    auto r = Read(path);
    EXPECT_EQ(r->row.info.totalSamples, 3175200000ull);
    EXPECT_DOUBLE_EQ(r->row.info.duration, 36000.0);
    EXPECT_EQ(r->row.cells[kColDuration], "10:00:00");
    EXPECT_DOUBLE_EQ(r->writer.totalSeconds, 36000.0);
}

TEST(MediaReader, Latin1AndUtf16Id3v2TextsAndUtf8ApeTexts) {
    TempDir dir;
    auto path = Tone(dir, "u.mp3", {.seconds = 0.3});
    {
        TagLib::MPEG::File f(path.c_str());
        TagLib::ID3v2::Tag* tag = f.ID3v2Tag(true);
        auto* artist = new TagLib::ID3v2::TextIdentificationFrame("TPE1", TagLib::String::Latin1);
        artist->setText(TagLib::String("Caf\xe9 Ol\xe9", TagLib::String::Latin1));
        tag->addFrame(artist);
        auto* title = new TagLib::ID3v2::TextIdentificationFrame("TIT2", TagLib::String::UTF16);
        title->setText(TagLib::String("\xce\xa9\xce\xbc\xce\xad\xce\xb3\xce\xb1 \xe2\x82\xac", TagLib::String::UTF8));
        tag->addFrame(title);
        ASSERT_TRUE(f.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers, TagLib::ID3v2::v3, TagLib::File::DoNotDuplicate));
    }
    ASSERT_TRUE(velmora::testing::AppendApeTag(path, {{"Album", "Stra\xc3\x9f" "e \xf0\x9f\x98\x80"}, {"Title", "ignored"}}));
    auto r = Read(path);
    EXPECT_EQ(r->row.cells[kColArtist], U("Caf\xc3\xa9 Ol\xc3\xa9"));
    EXPECT_EQ(r->row.cells[kColTitle], U("\xce\xa9\xce\xbc\xce\xad\xce\xb3\xce\xb1 \xe2\x82\xac"));
    EXPECT_EQ(r->row.cells[kColAlbum], U("Stra\xc3\x9f" "e \xf0\x9f\x98\x80"));
    EXPECT_EQ(r->row.cells[kColTag], "ID3v2.3  APEv2  ");
}

TEST(MediaReader, AllThreeTagKindsInOrder) {
    TempDir dir;
    auto path = Tone(dir, "a.mp3", {.seconds = 0.3});
    {
        TagLib::MPEG::File f(path.c_str());
        f.ID3v2Tag(true)->setArtist("V2");
        f.APETag(true)->setArtist("Ape");
        f.APETag(true)->setComment("ApeComment");
        f.ID3v1Tag(true)->setArtist("V1");
        f.ID3v1Tag(true)->setComment("V1Comment");
        f.ID3v1Tag(true)->setGenre("Rock");
        ASSERT_TRUE(f.save(TagLib::MPEG::File::AllTags, TagLib::File::StripOthers, TagLib::ID3v2::v3, TagLib::File::DoNotDuplicate));
    }
    auto r = Read(path);
    EXPECT_EQ(r->row.cells[kColTag], "ID3v2.3  APEv2  ID3v1");
    EXPECT_EQ(r->row.cells[kColArtist], "V2");
    EXPECT_EQ(r->row.cells[kColComment], "ApeComment");
    EXPECT_EQ(r->row.cells[kColGenre], "Rock");
    EXPECT_EQ(r->row.info.tagKinds, kTagId3v1 | kTagId3v2 | kTagApe);
}

TEST(MediaReader, PictureOnlyId3v2TagIsNotCounted) {
    TempDir dir;
    auto path = Tone(dir, "a.mp3", {.seconds = 0.3});
    {
        TagLib::MPEG::File f(path.c_str());
        auto* frame = new TagLib::ID3v2::TextIdentificationFrame("TCOP", TagLib::String::Latin1);
        frame->setText("(c) nobody");
        f.ID3v2Tag(true)->addFrame(frame);
        ASSERT_TRUE(f.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers, TagLib::ID3v2::v3, TagLib::File::DoNotDuplicate));
    }
    auto r = Read(path);
    EXPECT_EQ(r->row.cells[kColTag], "");
    EXPECT_EQ(r->row.info.tagKinds, 0);
}

TEST(MediaReader, ConstantBitRateShowsTheFramesRateAndVbrItsAverage) {
    TempDir dir;
    struct Case {
        const char* name;
        int rate;
        int kbps;
        bool crc;
        bool vbr;
        const char* cell;  // null: the average the tag library measures
    };
    for (const Case& c : {Case{"cbr320.mp3", 48000, 320, false, false, "320 kbps"},
                          Case{"crc192.mp3", 44100, 192, true, false, "192 kbps"},
                          Case{"vbr.mp3", 44100, 0, false, true, nullptr}}) {
        const auto mp3 = dir / c.name;
        ASSERT_TRUE(velmora::testing::EncodeLameTone(mp3, c.rate, c.kbps, c.crc, c.vbr)) << c.name;
        {
            TagLib::MPEG::File f(mp3.c_str());
            f.ID3v2Tag(true)->setTitle("A title");
            f.ID3v2Tag(true)->setArtist("An artist");
            f.ID3v1Tag(true)->setAlbum("An album");
            ASSERT_TRUE(f.save());
        }
        auto r = Read(mp3);
        if (c.cell) {
            EXPECT_EQ(r->row.cells[kColBitrate], QString::fromLatin1(c.cell)) << c.name;
        } else {
            TagLib::FileRef ref(mp3.c_str());
            ASSERT_FALSE(ref.isNull());
            EXPECT_EQ(r->row.cells[kColBitrate], QString::number(ref.audioProperties()->bitrate()) + " kbps");
        }
    }
}

TEST(Utf8ToWide, SequencesAndCutShortText) {
    EXPECT_EQ(Utf8ToWide(std::string("abc")), "abc");
    EXPECT_EQ(Utf8ToWide(std::string("\xc3\xa9")), U("\xc3\xa9"));
    EXPECT_EQ(Utf8ToWide(std::string("\xe2\x82\xac")), U("\xe2\x82\xac"));
    const QString pair = Utf8ToWide(std::string("\xf0\x9f\x98\x80"));
    ASSERT_EQ(pair.size(), 2);
    EXPECT_TRUE(pair[0].isHighSurrogate());
    EXPECT_TRUE(pair[1].isLowSurrogate());
    EXPECT_EQ(pair.toUcs4().at(0), 0x1F600u);
    // Cut short by the end of the text: one replacement character, nothing read past the end.
    const char cut[] = {'a', '\xe2', '\x82'};
    EXPECT_EQ(Utf8ToWide(cut, sizeof cut), QString("a") + QChar(0xFFFD));
    const char cut4[] = {'\xf0', '\x9f'};
    EXPECT_EQ(Utf8ToWide(cut4, sizeof cut4), QString(QChar(0xFFFD)));
    // The first NUL ends the text.
    const char withNul[] = {'x', '\0', 'y'};
    EXPECT_EQ(Utf8ToWide(withNul, sizeof withNul), "x");
    EXPECT_EQ(Utf8ToWide(nullptr, 5), "");
}

TEST(WideTextToInteger, ReadsLikeTheCLibrary) {
    EXPECT_EQ(WideTextToInteger(U("  42x")), 42);
    EXPECT_EQ(WideTextToInteger(U("-7")), -7);
    EXPECT_EQ(WideTextToInteger(U("+8")), 8);
    EXPECT_EQ(WideTextToInteger(U("x1")), 0);
    EXPECT_EQ(WideTextToInteger(U("")), 0);
}
