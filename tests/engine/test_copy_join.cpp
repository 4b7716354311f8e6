// The copy join: inputs whose frames can be copied are, byte for byte behind one fresh header;
// any input that cannot be makes the join re-encode, with a line that names it.
#include "test_encoder_support.h"

#include "engine/copy_join.h"
#include "engine/output_tag.h"
#include "engine/stream_info.h"
#include "lame_enc/mp3_frames.h"

#include <taglib/mpegfile.h>

#include <cmath>
#include <thread>

using namespace velmora;
using namespace velmora::testing;

namespace {

// An input made of a clean encoder output with bytes around it, and what its frames are.
struct CopySource {
    std::string path;
    Mp3File clean;  // the encoder's own file: frame 0 its Info header, the rest audio
};

class CopyJoin {
public:
    CopyJoin() {
        engine = MakeHeadlessEngine(sink);
        engine->encodeTask = EncodeTask;
        engine->settings.askOutputPath = 1;
        engine->settings.copyFrames = 1;
        output = (dir / "joined.mp3").string();
    }

    CopySource Make(const std::string& name, ToneSpec tone, const std::string& before = {},
                    const std::string& after = {}) {
        const auto clean = dir / ("clean-" + name);
        EXPECT_TRUE(MakeToneMp3(clean, tone)) << name;
        CopySource s{(dir / name).string(), ReadMp3File(clean)};
        EXPECT_TRUE(s.clean.ok && s.clean.hasInfo) << name;
        WriteFile(s.path, before + ReadFile(clean) + after);
        return s;
    }

    Reports Run(const std::vector<std::string>& paths, const std::function<void(JoinRunState&)>& during = {}) {
        return RunJoinOf(engine, *sink, paths, output, {}, during);
    }

    TempDir dir;
    std::shared_ptr<JoinEventQueue> sink;
    std::shared_ptr<JoinEngine> engine;
    std::string output;
};

std::string AudioFramesOf(const Mp3File& f, size_t firstFrame) {
    std::string bytes;
    for (size_t i = firstFrame; i < f.frames.size(); ++i)
        bytes.append(reinterpret_cast<const char*>(f.bytes.data() + f.frames[i].offset), f.frames[i].length);
    return bytes;
}

std::string Id3v2WithCover() {
    std::string picture = std::string("\0image/jpeg\0\x03\0", 14) + "\xFF\xD8\xFF" + std::string(5000, 'j');
    const uint32_t n = uint32_t(picture.size());
    std::string body = std::string("APIC") + char(n >> 24) + char(n >> 16) + char(n >> 8) + char(n) + std::string(2, '\0') + picture;
    const uint32_t s = uint32_t(body.size());
    return std::string("ID3\x03\0\0", 6) + char((s >> 21) & 0x7F) + char((s >> 14) & 0x7F) + char((s >> 7) & 0x7F) +
           char(s & 0x7F) + body;
}

std::string Id3v1AndApe() {
    std::string ape = std::string("APETAGEX") + std::string("\xD0\x07\0\0", 4);  // version 2000
    std::string item = std::string("\x05\0\0\0\0\0\0\0", 8) + "Title" + '\0' + "Hello";
    const uint32_t size = uint32_t(item.size() + 32);
    std::string footer = ape + char(size) + char(size >> 8) + char(size >> 16) + char(size >> 24) +
                         std::string("\x01\0\0\0", 4) + std::string(4, '\0') + std::string(8, '\0');
    std::string v1 = "TAG" + std::string(125, ' ');
    return item + footer + v1;
}

}  // namespace

TEST(CopyJoinTest, FramesAreCopiedByteForByteBehindOneFreshHeader) {
    REQUIRE_ENCODER_MODULE();
    CopyJoin j;
    const std::vector<CopySource> in{
        j.Make("cbr128.mp3", {44100, 2, 1.3, 440.0, 128, true}, Id3v2WithCover()),
        j.Make("cbr192.mp3", {44100, 2, 0.9, 550.0, 192, true}, {}, Id3v1AndApe()),
        j.Make("vbr.mp3", {44100, 2, 1.1, 660.0, 128, true, 4}, std::string(700, '\x55') + "\xFF\xFB junk"),
    };
    const Reports r = j.Run({in[0].path, in[1].path, in[2].path});
    EXPECT_TRUE(r.errorLines.empty()) << r.errorLines.front();
    EXPECT_TRUE(r.HasLine("Copying the audio frames (no re-encoding)."));
    EXPECT_TRUE(r.HasLine("Joining status: OK."));

    const Mp3File out = ReadMp3File(j.output);
    ASSERT_TRUE(out.ok);
    ASSERT_TRUE(out.hasInfo);
    EXPECT_EQ(out.infoId, "Xing");  // the bit rates differ
    std::string expected;
    size_t audioFrames = 0;
    for (const CopySource& s : in) {
        expected += AudioFramesOf(s.clean, 1);
        audioFrames += s.clean.frames.size() - 1;
    }
    EXPECT_TRUE(AudioFramesOf(out, 1) == expected);  // in order, byte for byte, no header frame among them
    EXPECT_EQ(out.infoFrames, audioFrames);
    EXPECT_EQ(out.infoBytes, out.audioBytes());
    EXPECT_TRUE(out.lameTagCrcOk);
    EXPECT_EQ(out.encoderDelay, in.front().clean.encoderDelay);
    EXPECT_EQ(out.encoderPadding, in.back().clean.encoderPadding);

    // Gapless decoding trims the two ends only; the header's length says the same.
    const uint64_t length = audioFrames * 1152 - in.front().clean.encoderDelay - in.back().clean.encoderPadding;
    const DecodedMp3 d = DecodeMp3(j.output);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.frames(), length);
    EXPECT_EQ(ReadStreamInfo(j.output).totalSamples, length * 2);
    TagLib::MPEG::File tagReader(j.output.c_str());
    ASSERT_TRUE(tagReader.audioProperties());
    EXPECT_NEAR(tagReader.audioProperties()->lengthInMilliseconds(), length * 1000.0 / 44100, 60.0);

    // Each chapter starts at its input's first sample of music: the encoder delay at a seam
    // belongs to the chapter before.
    std::vector<ChapterEntry> chapters;
    ASSERT_TRUE(ReadChapters(j.output, chapters));
    ASSERT_EQ(chapters.size(), in.size());
    uint64_t before = 0;  // the frames of the inputs before, as sample frames
    for (size_t k = 0; k < in.size(); ++k) {
        const uint64_t start = k == 0 ? 0 : before - in[0].clean.encoderDelay + in[k].clean.encoderDelay;
        EXPECT_NEAR(chapters[k].startMs, start * 1000.0 / 44100, 1.0) << k;
        before += (in[k].clean.frames.size() - 1) * 1152;
    }
}

TEST(CopyJoinTest, InputsThatCannotBeCopiedMakeTheJoinReEncodeWithALineNamingThem) {
    REQUIRE_ENCODER_MODULE();
    CopyJoin j;
    const CopySource a = j.Make("a.mp3", {44100, 2, 0.5, 440.0, 128, true});
    const CopySource b48 = j.Make("b48.mp3", {48000, 2, 0.5, 440.0, 128, true});
    const CopySource mono = j.Make("mono.mp3", {44100, 1, 0.5, 440.0, 64, true});
    const CopySource mpeg2 = j.Make("m2.mp3", {22050, 2, 0.5, 440.0, 64, true});
    // Layer II frames (MPEG-1, 128 kbit/s, 44.1 kHz): headers the copy reads, silence inside.
    std::string layer2;
    for (int i = 0; i < 20; ++i) layer2 += std::string("\xFF\xFD\x80\x00", 4) + std::string(413, '\0');
    WriteFile(j.dir / "layer2.mp2", layer2);
    // An input cut out of a longer stream: its first frame borrows from frames it lacks.
    const CopySource whole = j.Make("whole.mp3", {44100, 2, 1.0, 440.0, 128, true});
    size_t cut = 0;
    for (size_t i = 2; i < whole.clean.frames.size() && !cut; ++i)
        if (whole.clean.frames[i].mainDataBegin > 0) cut = whole.clean.frames[i].offset;
    ASSERT_GT(cut, 0u);
    WriteFile(j.dir / "cut.mp3", ReadFile(j.dir / "clean-whole.mp3").substr(cut));

    const std::vector<std::pair<std::string, std::string>> cases{
        {b48.path, b48.path + " is 48000 Hz, the first file 44100 Hz: re-encoding."},
        {mono.path, mono.path + " is mono, the first file stereo: re-encoding."},
        {mpeg2.path, mpeg2.path + " is MPEG-2, the first file MPEG-1: re-encoding."},
        {(j.dir / "layer2.mp2").string(), (j.dir / "layer2.mp2").string() + " is MPEG Layer II, not Layer III: re-encoding."},
        {(j.dir / "cut.mp3").string(),
         (j.dir / "cut.mp3").string() + " starts inside a bit reservoir (cut out of a longer stream): re-encoding."}};
    for (const auto& [second, line] : cases) {
        CConversionTask task;
        task.files->push_back(CFileToBeJoin{a.path, 44100, 2, 0, {}});
        task.files->push_back(CFileToBeJoin{second, 44100, 2, 0, {}});
        CopyPlan plan;
        std::string why;
        EXPECT_FALSE(PlanCopyJoin(task, plan, why)) << second;
        EXPECT_EQ(why, line);
    }
    // Through a whole join: the line, then an ordinary re-encoded file of both inputs.
    const Reports r = j.Run({a.path, b48.path});
    EXPECT_TRUE(r.HasLine(b48.path + " is 48000 Hz, the first file 44100 Hz: re-encoding."));
    EXPECT_FALSE(r.HasLine("Copying the audio frames (no re-encoding)."));
    EXPECT_TRUE(r.HasLine("Joining status: OK."));
    const DecodedMp3 d = DecodeMp3(j.output);
    EXPECT_EQ(d.rate, 48000);
    EXPECT_NEAR(double(d.frames()), 0.5 * 48000 * 2, 3.0);
}

TEST(CopyJoinTest, ACancelledCopyIsAValidShorterFileWhoseHeaderCountsItsFrames) {
    REQUIRE_ENCODER_MODULE();
    CopyJoin j;
    const CopySource a = j.Make("long1.mp3", {44100, 2, 60.0, 440.0, 320, true});
    const CopySource b = j.Make("long2.mp3", {44100, 2, 60.0, 550.0, 320, true});
    // Ten minutes in all: a copy of two takes some 30 ms, which a loaded machine can spend
    // before this thread looks at the progress again.
    std::vector<std::string> paths;
    for (int i = 0; i < 5; ++i) paths.insert(paths.end(), {a.path, b.path});
    bool stoppedMidway = false;
    const Reports r = j.Run(paths, [&](JoinRunState& run) {
        while (run.running && run.taskSamplesDone.load() == 0) std::this_thread::yield();
        run.paused = 1;  // the copy holds within a frame
        stoppedMidway = run.running != 0;
        run.running = 0;
    });
    ASSERT_TRUE(stoppedMidway) << "the copy ended before it could be cancelled";
    EXPECT_TRUE(r.HasLine("Joining status: ERROR."));
    const Mp3File out = ReadMp3File(j.output);
    ASSERT_TRUE(out.ok);
    ASSERT_TRUE(out.hasInfo);
    EXPECT_EQ(out.infoFrames, out.frames.size() - 1);
    EXPECT_EQ(out.infoBytes, out.audioBytes());
    EXPECT_GT(out.frames.size(), 1u);
    EXPECT_LT(out.frames.size() - 1, 5 * (a.clean.frames.size() + b.clean.frames.size()) - 2);
    EXPECT_EQ(out.encoderPadding, 0);  // cut mid-stream: no padding to trim
    // The header's length is what decodes; the frames after the cut hold no padding.
    const DecodedMp3 d = DecodeMp3(j.output);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(ReadStreamInfo(j.output).totalSamples, d.samples.size());
    EXPECT_LE(d.frames(), (out.frames.size() - 1) * 1152 - a.clean.encoderDelay);
    EXPECT_GT(d.frames(), 0u);
}

TEST(CopyJoinTest, TheMusicChecksumIsTheBitwiseCrcOfTheLameExtension) {
    std::vector<uint8_t> bytes(1000);
    uint32_t x = 99;
    for (uint8_t& b : bytes) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
    for (size_t n : {0, 1, 7, 8, 9, 15, 16, 333, 1000}) {
        uint16_t bitwise = 0x1234;
        for (size_t i = 0; i < n; ++i) {
            bitwise ^= bytes[i];
            for (int k = 0; k < 8; ++k) bitwise = (bitwise & 1) ? uint16_t((bitwise >> 1) ^ 0xA001) : uint16_t(bitwise >> 1);
        }
        EXPECT_EQ(LameCrc16(0x1234, bytes.data(), n), bitwise) << n;
    }
}

TEST(CopyJoinTest, TheWalkerSkipsTagsAndJunkAndCountsDamage) {
    CopyJoin j;
    const CopySource s = j.Make("x.mp3", {44100, 2, 0.5, 440.0, 128, true});
    std::string bytes = Id3v2WithCover() + "junk\xFF\xFB" + ReadFile(j.dir / "clean-x.mp3") + Id3v1AndApe();
    size_t seen = 0;
    CopyInput info = WalkMp3Frames(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                   [&](const uint8_t*, const MpegFrameHeader&) { ++seen; });
    EXPECT_EQ(seen, s.clean.frames.size() - 1);
    EXPECT_EQ(info.frames, seen);
    EXPECT_FALSE(info.damaged);
    EXPECT_EQ(info.delay, s.clean.encoderDelay);
    // A frame whose header is garbage is left out, and the damage reported.
    const size_t mid = Id3v2WithCover().size() + 6 + s.clean.frames[10].offset;
    bytes.replace(mid, 4, std::string(4, '\x01'));
    seen = 0;
    info = WalkMp3Frames(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                         [&](const uint8_t*, const MpegFrameHeader&) { ++seen; });
    EXPECT_TRUE(info.damaged);
    EXPECT_EQ(seen, s.clean.frames.size() - 2);
}
