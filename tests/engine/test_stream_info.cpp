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

TEST(StreamInfo, TruncatedFileStillReportsItsFormat) {
    TempDir tmp;
    const auto path = tmp / "cut.mp3";
    ASSERT_TRUE(MakeToneMp3(path, ToneSpec{44100, 2, 3.0, 440.0, 128, false}));
    std::vector<char> bytes = ReadBytes(path);
    bytes.resize(bytes.size() / 3);
    WriteBytes(path, bytes);
    const StreamInfo info = ReadStreamInfo(path.string());
    ASSERT_TRUE(info.readable);
    EXPECT_EQ(info.sampleRate, 44100u);
    EXPECT_LT(info.duration, 1.5);
    EXPECT_GT(info.duration, 0.5);
}

TEST(StreamInfo, OneHandleServesManyFilesInTurn) {
    TempDir tmp;
    ASSERT_TRUE(MakeToneMp3(tmp / "a.mp3", ToneSpec{44100, 2, 1.0, 440.0, 128, true}));
    ASSERT_TRUE(MakeToneMp3(tmp / "b.mp3", ToneSpec{32000, 1, 0.5, 440.0, 64, true}));
    WriteBytes(tmp / "bad.mp3", std::vector<char>(5000, 'z'));
    Handle h(NewStreamInfoHandle(true));
    ASSERT_TRUE(h);
    const StreamInfo a = ReadStreamInfo(h.get(), (tmp / "a.mp3").string());
    const StreamInfo bad = ReadStreamInfo(h.get(), (tmp / "bad.mp3").string());
    const StreamInfo b = ReadStreamInfo(h.get(), (tmp / "b.mp3").string());
    const StreamInfo again = ReadStreamInfo(h.get(), (tmp / "a.mp3").string());
    EXPECT_TRUE(a.readable);
    EXPECT_FALSE(bad.readable);
    ASSERT_TRUE(b.readable);
    EXPECT_EQ(b.sampleRate, 32000u);
    EXPECT_EQ(b.channels, 1u);
    EXPECT_EQ(b.totalSamples, 16000u);
    EXPECT_EQ(again.totalSamples, a.totalSamples);
    EXPECT_EQ(again.sampleRate, 44100u);
}

TEST(StreamInfo, NullHandleIsReportedNotDereferenced) {
    const StreamInfo info = ReadStreamInfo(nullptr, "/nonexistent.mp3");
    EXPECT_FALSE(info.readable);
    EXPECT_EQ(info.message.rfind("Trouble with mpg123: ", 0), 0u);
}

TEST(StreamInfo, MessageFormat) {
    EXPECT_EQ(StreamTroubleMessage("File access error."), "Trouble with mpg123: File access error.");
    EXPECT_EQ(StreamTroubleMessage(nullptr), "Trouble with mpg123: ");
}

TEST(MediaFile, ReadsGiveTheFilesBytesAndStayInTheHeadAndTail) {
    TempDir tmp;
    const auto tone = tmp / "tone.mp3";
    ASSERT_TRUE(MakeToneMp3(tone, ToneSpec{44100, 2, 2.0, 440.0, 128, true}));
    // A 200 kB ID3v2 tag (larger than the first read), the audio, 300 bytes of end matter.
    std::vector<char> bytes = {'I', 'D', '3', 3, 0, 0, 0, 0x0C, 0x0D, 0x40};  // 200000, syncsafe
    for (int i = 0; i < 200000; ++i) bytes.push_back(static_cast<char>(i * 7));
    const std::vector<char> audio = ReadBytes(tone);
    bytes.insert(bytes.end(), audio.begin(), audio.end());
    for (int i = 0; i < 300; ++i) bytes.push_back(static_cast<char>(i * 13));
    const auto path = tmp / "tagged.mp3";
    WriteBytes(path, bytes);

    MediaFile file(path.string());
    ASSERT_TRUE(file.isOpen());
    EXPECT_EQ(file.size(), static_cast<int64_t>(bytes.size()));
    EXPECT_LE(file.reads(), 3);  // head, the rest of the tag with the first frames, tail
    const int afterOpen = file.reads();
    auto same = [&](int64_t offset, size_t count) {
        std::vector<char> got(count + 1, '\x55');
        const size_t n = file.Read(offset, got.data(), count);
        const size_t expected = offset >= static_cast<int64_t>(bytes.size())
                                    ? 0
                                    : std::min(count, bytes.size() - static_cast<size_t>(offset));
        EXPECT_EQ(n, expected) << offset;
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + static_cast<long>(n), bytes.begin() + offset)) << offset;
    };
    same(0, 10);
    same(200010, 4096);                // the first frames, read with the tag
    same(bytes.size() - 128, 128);     // where an ID3v1 tag would be
    same(bytes.size() - 10, 100);      // cut at the end
    EXPECT_EQ(file.reads(), afterOpen);
    same(200010 + audio.size() / 2, 5000);  // the middle is read where it lies
    EXPECT_EQ(file.reads(), afterOpen + 1);
    same(0, bytes.size());
    same(bytes.size() + 5, 10);

    // The decoder reads the same file through it: format and length as from the path.
    Handle h(NewStreamInfoHandle(true));
    const StreamInfo viaFile = ReadStreamInfo(h.get(), file);
    ASSERT_TRUE(viaFile.readable) << viaFile.message;
    EXPECT_EQ(viaFile.totalSamples, 2u * 88200u);
}

TEST(MediaFile, FoldersPipesAndMissingFilesDoNotOpen) {
    TempDir tmp;
    const auto pipe = tmp / "pipe.mp3";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    std::filesystem::create_directory(tmp / "folder.mp3");
    for (const char* name : {"pipe.mp3", "folder.mp3", "missing.mp3"}) {
        MediaFile file((tmp / name).string());  // a pipe with no writer must not block
        EXPECT_FALSE(file.isOpen()) << name;
        char c = 0;
        EXPECT_EQ(file.Read(0, &c, 1), 0u);
        const StreamInfo info = ReadStreamInfo((tmp / name).string());
        EXPECT_FALSE(info.readable);
        EXPECT_EQ(info.message, "Trouble with mpg123: File access error. (code 22)") << name;  // as the decoder says it
    }
    WriteBytes(tmp / "empty.mp3", {});
    MediaFile empty((tmp / "empty.mp3").string());
    EXPECT_TRUE(empty.isOpen());
    EXPECT_EQ(empty.size(), 0);
}

TEST(StreamInfo, CutShortFileShowsTheLengthOfTheAudioItHolds) {
    TempDir tmp;
    const auto path = tmp / "cut.mp3";
    // The Info header says 10 s; three quarters of the frames are then cut away.
    ASSERT_TRUE(MakeToneMp3(path, ToneSpec{44100, 2, 10.0, 440.0, 128, true}));
    std::vector<char> bytes = ReadBytes(path);
    bytes.resize(bytes.size() / 4);
    WriteBytes(path, bytes);
    const StreamInfo info = ReadStreamInfo(path.string());
    ASSERT_TRUE(info.readable) << info.message;
    EXPECT_NEAR(info.duration, 2.5, 0.1);
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
