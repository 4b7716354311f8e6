// The media information reader on inputs that are not MPEG audio: TagLib's parsers (FLAC, MP4,
// Ogg Vorbis, Opus) or FFmpeg's probe for the stream cells, TagLib's reader of each kind for the
// tags.
#include "filelist/media_reader.h"

#include "engine/audio_source.h"
#include "engine/media_file.h"
#include "support/ffmpeg_fixtures.h"
#include "support/mp3_fixtures.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>

using namespace velmora;
using velmora::testing::FfmpegTone;
using velmora::testing::MakeToneMp3;
using velmora::testing::MakeToneWithFfmpeg;
using velmora::testing::TempDir;

namespace {

class OtherAudioWriter : public RowWriter {
public:
    void SetCellText(int, const QString&) override {}
    void StoreRecord(const FileItemInfo&) override {}
    void ReportUnreadable(const QString& message) override { messages.push_back(message); }
    void AddSeconds(double seconds) override { totalSeconds += seconds; }
    std::vector<QString> messages;
    double totalSeconds = 0;
};

FileRow ReadOtherFile(const std::filesystem::path& path, OtherAudioWriter& writer) {
    ReaderDecoder decoder(true);
    MediaInfoReader reader(decoder.handle());
    FileRow row;
    const QString p = QString::fromStdString(path.string());
    reader.ReadMediaInfo(p, row, writer);
    reader.ReadBitrate(p, row, writer);
    return row;
}

// open(2) calls on the files of one folder, as the kernel reports them: a second probe, or
// a tag reader opening by path, shows here whatever library makes it.
class OpenCounter {
public:
    explicit OpenCounter(const std::filesystem::path& folder) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        // Closes are watched too, so that two opens in a row are not merged into one event.
        if (fd_ >= 0) inotify_add_watch(fd_, folder.c_str(), IN_OPEN | IN_CLOSE);
    }
    ~OpenCounter() {
        if (fd_ >= 0) ::close(fd_);
    }
    // Opens of each file name since the last call.
    std::map<std::string, int> Take() {
        std::map<std::string, int> opens;
        alignas(inotify_event) char buffer[16384];
        ssize_t n;
        while ((n = ::read(fd_, buffer, sizeof buffer)) > 0) {
            for (char* p = buffer; p < buffer + n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(p);
                if ((e->mask & IN_OPEN) && e->len > 0) ++opens[e->name];
                p += sizeof(inotify_event) + e->len;
            }
        }
        return opens;
    }

private:
    int fd_;
};

struct FormatCase {
    const char* name;
    int rate;
    int channels;
    const char* type;
    const char* tagKind;
};

}  // namespace

TEST(OtherAudio, EachFormatFillsStreamCellsTypeAndTags) {
    TempDir dir;
    const FormatCase cases[] = {
        {"a.flac", 44100, 2, "FLAC", "Xiph"}, {"b.wav", 22050, 1, "WAV", "RIFF INFO"},
        {"c.ogg", 32000, 2, "OGG", "Xiph"},   {"d.opus", 48000, 1, "OPUS", "Xiph"},
        {"e.m4a", 44100, 2, "M4A", "MP4"},    {"f.wma", 22050, 2, "WMA", "ASF"},
    };
    for (const FormatCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string title = std::string("Title of ") + c.name;
        FfmpegTone tone{.rate = c.rate, .channels = c.channels, .seconds = 1.5,
                        .tags = {{"title", title}, {"artist", "Ann \xC3\xA9"}, {"album", "Album"}}};
        const auto path = dir / c.name;
        ASSERT_TRUE(MakeToneWithFfmpeg(path, tone));
        OtherAudioWriter writer;
        const FileRow row = ReadOtherFile(path, writer);
        EXPECT_TRUE(writer.messages.empty());
        EXPECT_EQ(row.info.unreadable, 0);
        EXPECT_EQ(row.cells[kColType], c.type);
        EXPECT_EQ(row.cells[kColTag], c.tagKind);
        EXPECT_EQ(row.info.sampleRate, c.rate);
        EXPECT_EQ(row.cells[kColFrequency], QString::number(c.rate) + " Hz");
        EXPECT_EQ(row.info.channels, c.channels);
        EXPECT_EQ(row.cells[kColChannel], c.channels == 1 ? "1 (Mono)" : "2 (Stereo)");
        // Within one codec frame of the tone's length, as the container gives it.
        EXPECT_NEAR(row.info.duration, 1.5, 2048.0 / c.rate);
        EXPECT_EQ(row.info.totalSamples, static_cast<uint64_t>(std::llround(row.info.duration * c.rate)) * c.channels);
        EXPECT_DOUBLE_EQ(writer.totalSeconds, row.info.duration);
        EXPECT_EQ(row.cells[kColDuration], "00:00:01");
        EXPECT_GT(row.info.bitrate, 0);
        EXPECT_EQ(row.cells[kColBitrate], QString::number(row.info.bitrate) + " kbps");
        EXPECT_EQ(row.cells[kColTitle], QString::fromStdString(title));
        EXPECT_EQ(row.info.title, QString::fromStdString(title));
        EXPECT_EQ(row.cells[kColArtist], QString::fromUtf8("Ann \xC3\xA9"));
        EXPECT_EQ(row.cells[kColAlbum], "Album");
        EXPECT_EQ(InputTagsOf(row.info).artist, "Ann \xC3\xA9");
    }
}

// The rows TagLib's parsers fill give the length the join's decoder delivers: exactly for FLAC
// (STREAMINFO counts the samples), within the rounding of a millisecond length and the
// codec's trimmed priming for the others.
TEST(OtherAudio, ParsedLengthsMatchTheDecodedLength) {
    TempDir dir;
    struct Case {
        const char* name;
        int rate;
        int channels;
        uint64_t slackFrames;
    };
    const Case cases[] = {{"a.flac", 44100, 2, 0}, {"b.flac", 8000, 1, 0}, {"c.ogg", 32000, 2, 64},
                          {"d.opus", 48000, 1, 64}, {"e.m4a", 44100, 2, 1024}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = dir / c.name;
        ASSERT_TRUE(MakeToneWithFfmpeg(path, {.rate = c.rate, .channels = c.channels, .seconds = 2.3}));
        OtherAudioWriter writer;
        const FileRow row = ReadOtherFile(path, writer);
        ASSERT_EQ(row.info.unreadable, 0);
        FfmpegAudioSource source;
        ASSERT_TRUE(source.Open(path.string())) << source.error();
        EXPECT_EQ(static_cast<uint32_t>(row.info.sampleRate), source.sampleRate());
        EXPECT_EQ(static_cast<uint32_t>(row.info.channels), source.channels());
        std::vector<int32_t> block(8192 * source.channels());
        uint64_t decoded = 0;
        while (const size_t n = source.Read(block.data(), block.size())) decoded += n;
        const uint64_t listed = row.info.totalSamples / source.channels();
        decoded /= source.channels();
        const uint64_t gap = listed > decoded ? listed - decoded : decoded - listed;
        EXPECT_LE(gap, c.slackFrames) << "listed " << listed << ", decoded " << decoded;
    }
}

TEST(OtherAudio, PcmBitRateAndTrackNumbers) {
    TempDir dir;
    const auto wav = dir / "pcm.wav";
    ASSERT_TRUE(MakeToneWithFfmpeg(wav, {.rate = 22050, .channels = 1, .seconds = 0.5}));
    OtherAudioWriter writer;
    // 22050 Hz x 16 bits x 1 channel.
    EXPECT_EQ(ReadOtherFile(wav, writer).info.bitrate, 353);

    const auto flac = dir / "track.flac";
    ASSERT_TRUE(MakeToneWithFfmpeg(flac, {.seconds = 0.5, .tags = {{"track", "3/12"}}}));
    const FileRow row = ReadOtherFile(flac, writer);
    EXPECT_EQ(row.cells[kColTrack], "3/12");
    EXPECT_EQ(row.info.trackNumber, 3);
    EXPECT_EQ(row.info.trackCount, 12);
}

TEST(OtherAudio, ContentDecidesForAnOddNameAndDamageGetsTheProbesMessage) {
    TempDir dir;
    const auto made = dir / "made.flac";
    ASSERT_TRUE(MakeToneWithFfmpeg(made, {.rate = 8000, .channels = 1, .seconds = 0.5}));
    const auto odd = dir / "recording.audio";
    std::filesystem::rename(made, odd);
    OtherAudioWriter writer;
    const FileRow row = ReadOtherFile(odd, writer);
    EXPECT_TRUE(writer.messages.empty());
    EXPECT_EQ(row.cells[kColType], "FLAC");
    EXPECT_EQ(row.info.sampleRate, 8000);

    const auto broken = dir / "broken.m4a";
    std::ofstream(broken) << "this is not audio at all";
    OtherAudioWriter brokenWriter;
    const FileRow bad = ReadOtherFile(broken, brokenWriter);
    EXPECT_EQ(bad.info.unreadable, 1);
    ASSERT_EQ(brokenWriter.messages.size(), 1u);
    EXPECT_TRUE(brokenWriter.messages[0].startsWith(QString::fromStdString("Trouble with " + broken.string() + ": ")))
        << brokenWriter.messages[0].toStdString();
    EXPECT_EQ(bad.info.duration, 0.0);
    EXPECT_TRUE(bad.cells[kColFrequency].isEmpty());
}

TEST(OtherAudio, AFileIsOpenedOnceAndReadInAFewLargeReads) {
    TempDir dir;
    // Noise, so that the cover is larger than the head read at open.
    const auto cover = dir / "cover.png";
    ASSERT_EQ(std::system(("ffmpeg -nostdin -loglevel error -y -f lavfi -i 'nullsrc=s=320x320,geq=random(1)*255:128:128' "
                           "-frames:v 1 '" + cover.string() + "'").c_str()),
              0);
    struct Case {
        const char* name;
        int maxReads;  // pread calls
        const char* type;
    };
    // FLAC: its metadata blocks with the cover, and the tail; M4A (index after the media
    // data): the tail from the index on; Ogg: the last 64 KiB with the tail; an MP3 under
    // another name: FFmpeg's probe and libmpg123 on the same open.
    const Case cases[] = {{"cover.flac", 3, "FLAC"}, {"index.m4a", 2, "M4A"}, {"long.ogg", 2, "OGG"}, {"mpeg.audio", 3, ""}};
    for (const Case& c : cases) {
        const auto path = dir / c.name;
        const std::string ext = path.extension().string();
        if (ext == ".audio") {
            ASSERT_TRUE(MakeToneMp3(dir / "made.mp3", {.rate = 32000, .seconds = 20}));
            std::filesystem::rename(dir / "made.mp3", path);
        } else {
            ASSERT_TRUE(MakeToneWithFfmpeg(path, {.rate = 32000, .seconds = 20, .tags = {{"title", c.name}},
                                                  .cover = ext == ".ogg" ? std::filesystem::path() : cover}));
        }
    }
    OpenCounter opens(dir.path());
    opens.Take();
    std::map<std::string, int> reads;
    SetInputReadHook([&reads](const std::string& path, int fd, void* into, size_t count, int64_t offset) {
        ++reads[std::filesystem::path(path).filename().string()];
        return ::pread(fd, into, count, offset);
    });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OtherAudioWriter writer;
        const FileRow row = ReadOtherFile(dir / c.name, writer);
        EXPECT_TRUE(writer.messages.empty());
        EXPECT_EQ(row.info.sampleRate, 32000);
        EXPECT_EQ(row.cells[kColDuration], "00:00:20");
        EXPECT_EQ(row.cells[kColType], c.type);
        if (*c.type) {
            EXPECT_EQ(row.cells[kColTitle], c.name);
        }
        EXPECT_EQ(opens.Take()[c.name], 1);
        EXPECT_LE(reads[c.name], c.maxReads);
    }
    SetInputReadHook({});
}
