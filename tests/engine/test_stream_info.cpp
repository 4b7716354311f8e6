#include <gtest/gtest.h>

#include <mpg123.h>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "engine/media_file.h"
#include "engine/stream_info.h"
#include "support/mp3_fixtures.h"

using namespace velmora;
using velmora::testing::DecodeMp3;
using velmora::testing::MakeToneMp3;
using velmora::testing::TempDir;
using velmora::testing::ToneSpec;

namespace {

struct HandleDeleter {
    void operator()(mpg123_handle* h) const { mpg123_delete(h); }
};
using Handle = std::unique_ptr<mpg123_handle, HandleDeleter>;

std::vector<char> ReadBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::filesystem::path& p, const std::vector<char>& bytes) {
    std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

TEST(StreamInfo, StereoFileLengthMatchesWhatDecodes) {
    TempDir tmp;
    const auto path = tmp / "stereo.mp3";
    ASSERT_TRUE(MakeToneMp3(path, ToneSpec{44100, 2, 1.5, 440.0, 128, true}));
    const StreamInfo info = ReadStreamInfo(path.string());
    ASSERT_TRUE(info.readable) << info.message;
    EXPECT_EQ(info.sampleRate, 44100u);
    EXPECT_EQ(info.channels, 2u);
    const auto decoded = DecodeMp3(path);
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(info.totalSamples, decoded.samples.size());
    EXPECT_EQ(info.totalSamples, 2u * 66150u);
    EXPECT_DOUBLE_EQ(info.duration, 1.5);
    EXPECT_TRUE(info.message.empty());
}

TEST(StreamInfo, MonoFileAtAnotherRate) {
    TempDir tmp;
    const auto path = tmp / "mono.mp3";
    ASSERT_TRUE(MakeToneMp3(path, ToneSpec{22050, 1, 1.0, 300.0, 64, true}));
    const StreamInfo info = ReadStreamInfo(path.string());
    ASSERT_TRUE(info.readable) << info.message;
    EXPECT_EQ(info.sampleRate, 22050u);
    EXPECT_EQ(info.channels, 1u);
    const auto decoded = DecodeMp3(path);
    EXPECT_EQ(info.totalSamples, decoded.samples.size());
    EXPECT_EQ(info.totalSamples, 22050u);
    EXPECT_DOUBLE_EQ(info.duration, 1.0);
}

TEST(StreamInfo, StreamShorterThanASecond) {
    TempDir tmp;
    const auto path = tmp / "short.mp3";
    ASSERT_TRUE(MakeToneMp3(path, ToneSpec{44100, 2, 0.6, 440.0, 128, true}));
    const StreamInfo info = ReadStreamInfo(path.string());
    ASSERT_TRUE(info.readable);
    EXPECT_EQ(info.totalSamples, 2u * 26460u);
    EXPECT_NEAR(info.duration, 0.6, 1e-9);
}

TEST(StreamInfo, WithoutAnInfoHeaderTheLengthIsTheDecodersEstimate) {
    TempDir tmp;
    const auto path = tmp / "noinfo.mp3";
    ASSERT_TRUE(MakeToneMp3(path, ToneSpec{44100, 2, 2.0, 440.0, 128, false}));
    const StreamInfo info = ReadStreamInfo(path.string());
    ASSERT_TRUE(info.readable);
    const auto decoded = DecodeMp3(path);
    // Estimated from the size of a constant-bit-rate stream: within a frame or two of the truth.
    EXPECT_NEAR(static_cast<double>(info.totalSamples), static_cast<double>(decoded.samples.size()), 2.0 * 2 * 1152);
    EXPECT_EQ(info.totalSamples % 2, 0u);
}

TEST(StreamInfo, TenHourStreamNeedsSixtyFourBits) {
    TempDir tmp;
    const auto path = tmp / "long.mp3";
    ASSERT_TRUE(MakeToneMp3(path, ToneSpec{44100, 2, 1.0, 440.0, 128, true}));
    // Raise the frame count of the Info header by ten hours' worth of frames
    // (36000 s × 44100 / 1152 = 1378125); the decoder takes its length from there.
    std::vector<char> bytes = ReadBytes(path);
    const char* tags[] = {"Info", "Xing"};
    size_t at = std::string::npos;
    for (const char* tag : tags) {
        const std::string_view view(bytes.data(), bytes.size());
        at = view.find(tag);
        if (at != std::string::npos)
            break;
    }
    ASSERT_NE(at, std::string::npos);
    const auto u8 = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])); };
    ASSERT_TRUE(u8(at + 7) & 1u) << "the header carries a frame count";
    uint32_t frames = (u8(at + 8) << 24) | (u8(at + 9) << 16) | (u8(at + 10) << 8) | u8(at + 11);
    frames += 1378125u;
    bytes[at + 8] = static_cast<char>(frames >> 24);
    bytes[at + 9] = static_cast<char>(frames >> 16);
    bytes[at + 10] = static_cast<char>(frames >> 8);
    bytes[at + 11] = static_cast<char>(frames);
    WriteBytes(path, bytes);

    const StreamInfo info = ReadStreamInfo(path.string());
    ASSERT_TRUE(info.readable) << info.message;
    EXPECT_EQ(info.totalSamples, 3175200000ull + 2ull * 44100ull);
    EXPECT_GT(info.totalSamples, static_cast<uint64_t>(INT32_MAX));
    EXPECT_DOUBLE_EQ(info.duration, 36001.0);
}

TEST(StreamInfo, TextFileWithAnMp3NameIsUnreadable) {
    TempDir tmp;
    const auto path = tmp / "fake.mp3";
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += "this is not audio, line " + std::to_string(i) + "\n";
    WriteBytes(path, std::vector<char>(text.begin(), text.end()));
    const StreamInfo info = ReadStreamInfo(path.string());
    EXPECT_FALSE(info.readable);
    EXPECT_EQ(info.message.rfind("Trouble with mpg123: ", 0), 0u) << info.message;
    EXPECT_GT(info.message.size(), std::strlen("Trouble with mpg123: "));
    EXPECT_EQ(info.sampleRate, 0u);
    EXPECT_EQ(info.channels, 0u);
    EXPECT_EQ(info.totalSamples, 0u);
    EXPECT_EQ(info.duration, 0.0);
}

TEST(StreamInfo, EmptyAndMissingFilesAreUnreadable) {
    TempDir tmp;
    WriteBytes(tmp / "empty.mp3", {});
    const StreamInfo empty = ReadStreamInfo((tmp / "empty.mp3").string());
    EXPECT_FALSE(empty.readable);
    EXPECT_EQ(empty.message.rfind("Trouble with mpg123: ", 0), 0u);
    const StreamInfo missing = ReadStreamInfo((tmp / "missing.mp3").string());
    EXPECT_FALSE(missing.readable);
    EXPECT_EQ(missing.message.rfind("Trouble with mpg123: ", 0), 0u);
    EXPECT_GT(missing.message.size(), std::strlen("Trouble with mpg123: "));
}

// A file cut short keeps its format, and shows the length of the audio it still holds: with
// no Info header the length comes from the bytes, with one its count is scaled by them (the
// header still says 10 s).
TEST(StreamInfo, TruncatedFileShowsItsFormatAndTheLengthItHolds) {
    TempDir tmp;
    const auto path = tmp / "cut.mp3";
    struct Cut {
        bool infoTag;
        double seconds;
        size_t keptOf;
        double expected;
        double within;
    };
    for (const Cut c : {Cut{false, 3.0, 3, 1.0, 0.5}, Cut{true, 10.0, 4, 2.5, 0.1}}) {
        ASSERT_TRUE(MakeToneMp3(path, ToneSpec{44100, 2, c.seconds, 440.0, 128, c.infoTag}));
        std::vector<char> bytes = ReadBytes(path);
        bytes.resize(bytes.size() / c.keptOf);
        WriteBytes(path, bytes);
        const StreamInfo info = ReadStreamInfo(path.string());
        ASSERT_TRUE(info.readable) << info.message;
        EXPECT_EQ(info.sampleRate, 44100u);
        EXPECT_NEAR(info.duration, c.expected, c.within) << c.infoTag;
    }
    WriteBytes(tmp / "empty.mp3", {});
    MediaFile empty((tmp / "empty.mp3").string());
    EXPECT_TRUE(empty.isOpen());
    EXPECT_EQ(empty.size(), 0);
}

TEST(StreamInfo, FreeFormatStreamGivesItsFramesRate) {
    TempDir tmp;
    const auto wav = tmp / "tone.wav";
    const auto mp3 = tmp / "free.mp3";
    const std::string make = "sox -n -r 44100 -c 2 -b 16 '" + wav.string() + "' synth 2 sine 440 && lame --quiet --freeformat -b 320 '" +
                             wav.string() + "' '" + mp3.string() + "'";
    ASSERT_EQ(std::system(make.c_str()), 0);
    const StreamInfo info = ReadStreamInfo(mp3.string());
    ASSERT_TRUE(info.readable) << info.message;
    EXPECT_EQ(info.constantKbps, 320);
}

TEST(StreamInfo, TagOnlyFileGetsTheSameMessageWhateverTheHandleDidBefore) {
    TempDir tmp;
    // An ID3v2.3 tag (a title, then padding) and no audio at all.
    std::vector<char> tag{'I', 'D', '3', 3, 0, 0, 0, 0, 0x08, 0};
    const std::string title = std::string("TIT2") + std::string("\0\0\0\x06\0\0\0", 7) + "Alone";
    tag.insert(tag.end(), title.begin(), title.end());
    tag.resize(10 + 0x400, '\0');
    WriteBytes(tmp / "tag.mp3", tag);
    Handle fresh(NewStreamInfoHandle(true));
    const StreamInfo first = ReadStreamInfo(fresh.get(), (tmp / "tag.mp3").string());
    EXPECT_FALSE(first.readable);
    EXPECT_EQ(first.message, "Trouble with mpg123: Error reading the stream. (code 18)");
    // A handle keeps the code of its last failure (here a refused parameter); the message
    // must not depend on it.
    Handle used(NewStreamInfoHandle(true));
    EXPECT_NE(mpg123_param(used.get(), static_cast<mpg123_parms>(9999), 0, 0.0), MPG123_OK);
    EXPECT_EQ(ReadStreamInfo(used.get(), (tmp / "tag.mp3").string()).message, first.message);
}

TEST(StreamInfo, AudioAfterALongDamagedStretchIsFound) {
    TempDir tmp;
    const auto path = tmp / "late.mp3";
    ASSERT_TRUE(MakeToneMp3(path, ToneSpec{32000, 1, 1.0, 440.0, 64, true}));
    std::vector<char> bytes(100000, '\0');  // far beyond the library's default resync window
    const std::vector<char> audio = ReadBytes(path);
    bytes.insert(bytes.end(), audio.begin(), audio.end());
    WriteBytes(path, bytes);
    const StreamInfo info = ReadStreamInfo(path.string());
    ASSERT_TRUE(info.readable) << info.message;
    EXPECT_EQ(info.sampleRate, 32000u);
}

TEST(StreamInfo, PipesAndDevicesAreNeverOpened) {
    TempDir tmp;
    const auto pipe = tmp / "pipe.mp3";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/null", tmp / "device.mp3");
    EXPECT_FALSE(IsRegularFile(pipe.string()));
    EXPECT_FALSE(IsRegularFile((tmp / "device.mp3").string()));
    // Every open of the pipe shows as an event on it, even one that does not block.
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, pipe.c_str(), IN_OPEN), 0);
    const StreamInfo info = ReadStreamInfo(pipe.string());
    EXPECT_EQ(info.message, "Trouble with mpg123: File access error. (code 22)");  // as for a file that cannot be opened
    char events[4096];
    EXPECT_LT(::read(watch, events, sizeof events), 0) << "the pipe was opened";
    ::close(watch);
}
