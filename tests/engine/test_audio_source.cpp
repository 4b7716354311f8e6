// Inputs other than MPEG audio, decoded through FFmpeg's libraries: lengths as the ffmpeg
// program's own decoder gives them, joins with MP3 inputs at other rates, and bad files.
#include <gtest/gtest.h>
#include <unistd.h>

extern "C" {
#include <libavutil/error.h>
}

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/audio_source.h"
#include "engine/loudness.h"
#include "engine/media_file.h"
#include "test_encoder_support.h"

using namespace velmora;
using namespace velmora::testing;
namespace fs = std::filesystem;

namespace {

std::string AvText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// A sine tone made by the ffmpeg program; `options` pick channels and codec.
std::string MakeTone(const TempDir& dir, const std::string& name, int rate, double seconds, double frequency,
                     const std::string& options) {
    const std::string path = (dir / name).string();
    const std::string command = "ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=" +
                                std::to_string(frequency) + ":sample_rate=" + std::to_string(rate) +
                                ":duration=" + std::to_string(seconds) + " " + options + " '" + path + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return path;
}

// Sample frames the ffmpeg program's decoder gives of `path`.
uint64_t FfmpegFrames(const TempDir& dir, const std::string& path, unsigned channels) {
    const std::string raw = (dir / "decoded.raw").string();
    const std::string command = "ffmpeg -nostdin -loglevel error -y -i '" + path + "' -f s32le '" + raw + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return fs::file_size(raw) / 4 / channels;
}

struct Decoded {
    bool opened = false;
    std::vector<int32_t> samples;
    bool damaged = false;
    bool failed = false;
};

Decoded DecodeAll(const std::string& path, FfmpegAudioSource& source) {
    Decoded d;
    d.opened = source.Open(path);
    std::vector<int32_t> block(1001 * 2);  // odd, so reads end inside decoded frames
    while (d.opened) {
        const size_t n = source.Read(block.data(), block.size());
        if (n == 0) break;
        EXPECT_EQ(n % source.channels(), 0u);
        d.samples.insert(d.samples.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n));
    }
    d.damaged = source.damaged();
    d.failed = source.failed();
    return d;
}

Reports Join(const std::vector<std::string>& paths, const std::string& output, bool copy = false) {
    std::shared_ptr<JoinEventQueue> sink;
    auto engine = MakeHeadlessEngine(sink);
    engine->encodeTask = EncodeTask;
    engine->settings.askOutputPath = 1;
    engine->settings.copyFrames = copy ? 1 : 0;
    engine->settings.frequencyIndex = 8;  // 44100 Hz
    engine->settings.channelModeIndex = kChannelStereo;
    return RunJoinOf(engine, *sink, paths, output);
}

}  // namespace

// Each format decodes to exactly the length the ffmpeg program gives it (encoder delay,
// pre-skip, edit lists and end padding trimmed alike), at the rate and channels probed.
TEST(AudioSource, EachFormatDecodesToFfmpegsOwnLength) {
    struct Case {
        std::string name, options, type;
        int rate;
        unsigned channels;    // decoded
        unsigned inFile = 0;  // when more than decoded
    };
    const std::vector<Case> cases = {
        {"s.wav", "-ac 2", "WAV", 44100, 2},
        {"m.flac", "-ac 1", "FLAC", 48000, 1},
        {"six.flac", "-ac 6", "FLAC", 48000, 2, 6},  // mixed down to stereo
        {"s.m4a", "-ac 2 -c:a aac -b:a 96k", "M4A", 44100, 2},
        {"s.opus", "-ac 2 -c:a libopus", "OPUS", 48000, 2},
        {"v.ogg", "-ac 2 -c:a libvorbis", "OGG", 22050, 2},
        {"w.wma", "-ac 2 -c:a wmav2", "WMA", 32000, 2},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = MakeTone(dir, c.name, c.rate, 0.77, 440, c.options);
        EXPECT_FALSE(IsMpegAudioFile(path));
        const AudioFileInfo info = ProbeAudioFile(path);
        ASSERT_TRUE(info.readable) << info.message;
        EXPECT_EQ(info.typeName, c.type);
        EXPECT_EQ(info.sampleRate, static_cast<uint32_t>(c.rate));
        EXPECT_EQ(info.channels, c.channels);
        FfmpegAudioSource source;
        const Decoded d = DecodeAll(path, source);
        ASSERT_TRUE(d.opened) << source.error();
        EXPECT_FALSE(d.damaged || d.failed) << source.error();
        EXPECT_EQ(source.sampleRate(), info.sampleRate);
        EXPECT_EQ(source.channels(), c.channels);
        EXPECT_EQ(d.samples.size() / c.channels, FfmpegFrames(dir, path, c.inFile ? c.inFile : c.channels));
        // The probe's length is the container's; within a codec frame of the decoded one.
        EXPECT_NEAR(static_cast<double>(info.totalSamples / c.channels), static_cast<double>(d.samples.size() / c.channels),
                    2048.0);
    }
}

// WAV, FLAC (48 kHz mono), M4A (32 kHz) and MP3 (22.05 kHz mono) into one 44.1 kHz stereo MP3:
// the length is the sum of the inputs at the output rate, each stretch with its own tone.
TEST(AudioSource, MixedFormatsJoinInOrderAtTheirLengths) {
    REQUIRE_ENCODER_MODULE();
    TempDir dir;
    const std::string wav = MakeTone(dir, "a.wav", 44100, 0.8, 300, "-ac 2");
    const std::string flac = MakeTone(dir, "b.flac", 48000, 0.8, 500, "-ac 1");
    const std::string m4a = MakeTone(dir, "c.m4a", 32000, 0.8, 700, "-ac 2 -c:a aac");
    ToneSpec tone;
    tone.rate = 22050;
    tone.channels = 1;
    tone.seconds = 0.8;
    tone.frequency = 900;
    tone.kbps = 64;
    const std::string mp3 = (dir / "d.mp3").string();
    ASSERT_TRUE(MakeToneMp3(mp3, tone));

    const std::vector<double> stretch = {static_cast<double>(FfmpegFrames(dir, wav, 2)),
                                         FfmpegFrames(dir, flac, 1) * 44100.0 / 48000.0,
                                         FfmpegFrames(dir, m4a, 2) * 44100.0 / 32000.0,
                                         DecodeMp3(mp3).frames() * 2.0};
    const std::string output = (dir / "joined.mp3").string();
    const Reports r = Join({wav, flac, m4a, mp3}, output);
    EXPECT_TRUE(r.errorLines.empty()) << ::testing::PrintToString(r.errorLines);
    EXPECT_TRUE(r.HasLine("Joining status: OK.")) << ::testing::PrintToString(r.lines);
    const DecodedMp3 d = DecodeMp3(output);
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(d.rate, 44100);
    double total = 0;
    for (double s : stretch) total += s;
    EXPECT_NEAR(static_cast<double>(d.frames()), total, 3 * 1152.0);  // three inputs converted
    const double frequency[] = {300, 500, 700, 900};
    double start = 0;
    for (size_t i = 0; i < stretch.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_NEAR(EstimateFrequency(d, static_cast<size_t>(start + 4000), static_cast<size_t>(stretch[i] - 8000)),
                    frequency[i], 10.0);
        start += stretch[i];
    }
}

TEST(AudioSource, CopyJoinReEncodesNamingTheFirstOtherInput) {
    REQUIRE_ENCODER_MODULE();
    TempDir dir;
    ToneSpec tone;
    const std::string mp3 = (dir / "a.mp3").string();
    ASSERT_TRUE(MakeToneMp3(mp3, tone));
    const std::string flac = MakeTone(dir, "b.flac", 44100, 0.5, 500, "-ac 2");
    const std::string wav = MakeTone(dir, "c.wav", 44100, 0.5, 600, "-ac 2");
    const Reports r = Join({mp3, flac, wav}, (dir / "joined.mp3").string(), true);
    EXPECT_TRUE(r.HasLine(flac + " is FLAC, not MPEG audio: re-encoding.")) << ::testing::PrintToString(r.lines);
    EXPECT_FALSE(r.HasLine("Copying the audio frames (no re-encoding)."));
    EXPECT_TRUE(r.HasLine("Joining status: OK."));
}

// Random bytes named .flac: the library's own message, from the probe, the source and the join.
TEST(AudioSource, NonAudioFileGetsTheLibrarysMessage) {
    TempDir dir;
    const std::string junk = (dir / "junk.flac").string();
    std::mt19937 random(7);
    std::string bytes(20000, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    WriteFile(junk, bytes);
    const std::string expected = "Trouble with " + junk + ": " + AvText(AVERROR_INVALIDDATA);
    EXPECT_EQ(ProbeAudioFile(junk).message, expected);
    EXPECT_FALSE(ProbeAudioFile(junk).readable);
    FfmpegAudioSource source;
    EXPECT_FALSE(source.Open(junk));
    EXPECT_EQ(source.error(), AvText(AVERROR_INVALIDDATA));
    int32_t block[64];
    EXPECT_EQ(source.Read(block, 64), 0u);

    // Listed as audio, then replaced by the junk: named, and the join goes on with the rest.
    REQUIRE_ENCODER_MODULE();
    const std::string wav = MakeTone(dir, "a.wav", 44100, 0.5, 300, "-ac 2");
    const std::string listed = MakeTone(dir, "b.flac", 44100, 0.5, 300, "-ac 2");
    std::shared_ptr<JoinEventQueue> sink;
    auto engine = MakeHeadlessEngine(sink);
    engine->encodeTask = EncodeTask;
    engine->settings.askOutputPath = 1;
    const Reports r = RunJoinOf(engine, *sink, {wav, listed}, (dir / "joined.mp3").string(),
                                [&] { fs::copy_file(junk, listed, fs::copy_options::overwrite_existing); });
    EXPECT_TRUE(r.HasLine("Trouble with " + listed + ": " + AvText(AVERROR_INVALIDDATA)))
        << ::testing::PrintToString(r.lines);
    EXPECT_TRUE(r.HasLine("No audio could be decoded from " + listed + "."));
}

// Bytes overwritten in the middle of a FLAC: the damaged line once, the rest joined.
TEST(AudioSource, DamagedFlacIsJoinedWithoutTheDamage) {
    REQUIRE_ENCODER_MODULE();
    TempDir dir;
    const std::string flac = MakeTone(dir, "d.flac", 44100, 3.0, 440, "-ac 2");
    const uint64_t clean = FfmpegFrames(dir, flac, 2);
    std::string bytes = ReadFile(flac);
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 3000; ++i) bytes[i] = static_cast<char>(i * 37);
    WriteFile(flac, bytes);
    FfmpegAudioSource source;
    const Decoded d = DecodeAll(flac, source);
    ASSERT_TRUE(d.opened);
    EXPECT_TRUE(d.damaged);
    EXPECT_FALSE(d.failed);
    EXPECT_LT(d.samples.size() / 2, clean);
    EXPECT_GT(d.samples.size() / 2, clean / 2);

    const std::string output = (dir / "joined.mp3").string();
    const Reports r = Join({flac}, output);
    int damagedLines = 0;
    for (const std::string& line : r.lines) damagedLines += line == "Trouble with " + flac + ": damaged data left out.";
    EXPECT_EQ(damagedLines, 1) << ::testing::PrintToString(r.lines);
    EXPECT_TRUE(r.HasLine("Joining status: OK."));
    EXPECT_NEAR(static_cast<double>(DecodeMp3(output).frames()), static_cast<double>(d.samples.size() / 2), 1.0);
}

// A read that fails part-way, when the file is opened or later: the library's message, and the
// join ends as failed.
TEST(AudioSource, ReadErrorEndsTheJoin) {
    REQUIRE_ENCODER_MODULE();
    TempDir dir;
    const std::string flac = MakeTone(dir, "e.flac", 44100, 12.0, 440, "-ac 2");
    for (const double at : {0.1, 0.8}) {
    SCOPED_TRACE(at);
    const int64_t cut = static_cast<int64_t>(static_cast<double>(fs::file_size(flac)) * at);
    std::shared_ptr<JoinEventQueue> sink;
    auto engine = MakeHeadlessEngine(sink);
    engine->encodeTask = EncodeTask;
    engine->settings.askOutputPath = 1;
    const Reports r = RunJoinOf(engine, *sink, {flac}, (dir / "joined.mp3").string(), [&] {
        SetInputReadHook([flac, cut](const std::string& path, int fd, void* into, size_t count, int64_t offset) {
            if (path == flac && offset <= cut && cut < offset + static_cast<int64_t>(count)) {
                errno = EIO;
                return ssize_t(-1);
            }
            return ::pread(fd, into, count, offset);
        });
    });
    SetInputReadHook({});
    EXPECT_TRUE(r.HasLine("Error reading " + flac + ": " + AvText(AVERROR(EIO)) + "."))
        << ::testing::PrintToString(r.lines);
    EXPECT_TRUE(r.HasLine("Joining status: ERROR."));
    }
}

// The loudness pass measures other formats as it measures MP3: a lossless FLAC of a WAV gives
// the WAV's loudness, and a join that evens out a FLAC and an M4A applies their gains.
TEST(AudioSource, TheLoudnessPassMeasuresOtherFormats) {
    TempDir dir;
    const std::string wav = MakeTone(dir, "tone.wav", 44100, 2.0, 440, "-ac 2 -af volume=-12dB");
    const std::string flac = (dir / "tone.flac").string();
    ASSERT_EQ(std::system(("ffmpeg -nostdin -loglevel error -y -i '" + wav + "' '" + flac + "'").c_str()), 0);
    LoudnessMeasure fromWav, fromFlac;
    ASSERT_TRUE(MeasureLoudness(wav, fromWav, {}));
    ASSERT_TRUE(MeasureLoudness(flac, fromFlac, {}));
    EXPECT_FALSE(fromFlac.silent);
    EXPECT_NEAR(fromFlac.lufs, fromWav.lufs, 0.01);
    EXPECT_NEAR(fromFlac.truePeakDb, fromWav.truePeakDb, 0.01);

    const std::string m4a = MakeTone(dir, "quiet.m4a", 44100, 2.0, 660, "-ac 2 -af volume=-30dB -c:a aac");
    std::shared_ptr<JoinEventQueue> sink;
    auto engine = MakeHeadlessEngine(sink);
    engine->encodeTask = EncodeTask;
    engine->settings.askOutputPath = 1;
    engine->settings.loudness = 1;
    const Reports r = RunJoinOf(engine, *sink, {flac, m4a}, (dir / "even.mp3").string());
    EXPECT_TRUE(r.HasLine("Joining status: OK."));
    size_t measured = 0;
    for (const std::string& line : r.lines)
        if (line.find(" LUFS, gain ") != std::string::npos) ++measured;
    EXPECT_EQ(measured, 2u);
}
