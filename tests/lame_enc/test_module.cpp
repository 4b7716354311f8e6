// The encoder module through its entry points, loaded with dlopen as the engine loads it:
// encodes tones, decodes the files with libmpg123 and checks lengths, content and headers.
#include "lame_enc/mp3_frames.h"
#include "lame_enc/segment_encoder.h"
#include "lame_enc/module_loader.h"
#include "support/mp3_fixtures.h"

#include <gtest/gtest.h>
#include <lame/lame.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace velmora::bladeenc;
using namespace velmora::testing;

namespace {

BE_CONFIG MakeConfig(uint32_t rate, int32_t mode, uint32_t kbps) {
    BE_CONFIG c;
    std::memset(&c, 0, sizeof c);
    c.dwConfig = BE_CONFIG_LAME;
    c.LHV1.dwStructVersion = 1;
    c.LHV1.dwStructSize = sizeof c;
    c.LHV1.dwSampleRate = rate;
    c.LHV1.nMode = mode;
    c.LHV1.dwBitrate = kbps;
    c.LHV1.nPreset = LQP_NOPRESET;
    c.LHV1.dwMpegVersion = MPEG1;
    c.LHV1.bWriteVBRHeader = 1;
    c.LHV1.bNoRes = 1;
    c.LHV1.nQuality = MakeQuality(9);
    return c;
}

struct EncodeResult {
    BE_ERR initCode = 0;
    uint32_t samplesPerChunk = 0;
    uint32_t bufferSize = 0;
    std::vector<uint32_t> framesPerCall;
    bool allCallsOk = true;
    HBE_STREAM stream = 0;
};

// Encodes the samples through the module into `path` (right ignored for mono), in calls of
// one chunk each and a shorter last one, then flushes, closes and writes the header. Stops
// after `stopAfterCalls` calls when given (a cancel), still finishing the file.
EncodeResult EncodeSignal(const EncoderModule& m, const std::filesystem::path& path, BE_CONFIG config,
                          const std::vector<float>& left, const std::vector<float>& right,
                          size_t stopAfterCalls = SIZE_MAX, bool flush = true) {
    EncodeResult r;
    HBE_STREAM& stream = r.stream;
    r.initCode = m.Init(&config, &r.samplesPerChunk, &r.bufferSize, &stream);
    if (r.initCode != BE_ERR_SUCCESSFUL) return r;
    const bool mono = config.LHV1.nMode == BE_MP3_MODE_MONO;
    const uint32_t chunkFrames = mono ? r.samplesPerChunk : r.samplesPerChunk / 2;
    std::vector<uint8_t> out(r.bufferSize);
    FILE* f = std::fopen(path.c_str(), "w+b");
    if (!f) {
        r.allCallsOk = false;
        return r;
    }
    for (size_t done = 0; done < left.size() && r.framesPerCall.size() < stopAfterCalls;) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(chunkFrames, left.size() - done));
        uint32_t bytes = 0;
        if (m.encode(stream, n, left.data() + done, mono ? nullptr : right.data() + done, out.data(), &bytes) != 0)
            r.allCallsOk = false;
        r.framesPerCall.push_back(n);
        std::fwrite(out.data(), 1, bytes, f);
        done += n;
    }
    uint32_t bytes = 0;
    if (flush && m.deinit(stream, out.data(), &bytes) != 0) r.allCallsOk = false;
    std::fwrite(out.data(), 1, bytes, f);
    if (m.close(stream) != 0) r.allCallsOk = false;
    std::fclose(f);
    if (flush && m.writeInfoTag(stream, path.c_str()) != 0) r.allCallsOk = false;
    return r;
}

// A tone of `frames` frames (left f, right 1.5 f) through EncodeSignal.
EncodeResult EncodeTone(const EncoderModule& m, const std::filesystem::path& path, BE_CONFIG config, size_t frames,
                        double freq = 440.0) {
    std::vector<float> left(frames), right(frames);
    const double rate = config.LHV1.dwSampleRate;
    for (size_t i = 0; i < frames; ++i) {
        left[i] = static_cast<float>(10000.0 * std::sin(2 * M_PI * freq * (i / rate)));
        right[i] = static_cast<float>(10000.0 * std::sin(2 * M_PI * freq * 1.5 * (i / rate)));
    }
    return EncodeSignal(m, path, config, left, right);
}

class ModuleTest : public ::testing::Test {
protected:
    EncoderModule m;
    TempDir dir;
    void SetUp() override {
        ASSERT_NE(m.handle, nullptr) << dlerror();
        ASSERT_NE(m.init, nullptr);
        ASSERT_NE(m.encode, nullptr);
        ASSERT_NE(m.deinit, nullptr);
        ASSERT_NE(m.close, nullptr);
        ASSERT_NE(m.writeInfoTag, nullptr);
        ASSERT_NE(m.writeVbrHeader, nullptr);
    }
};

TEST_F(ModuleTest, StereoCbrRoundTripIsSampleExact) {
    const auto path = dir / "stereo.mp3";
    const size_t frames = 44100 * 2 + 777;  // not a whole number of chunks
    const auto r = EncodeTone(m, path, MakeConfig(44100, BE_MP3_MODE_STEREO, 128), frames);
    ASSERT_EQ(r.initCode, BE_ERR_SUCCESSFUL);
    ASSERT_TRUE(r.allCallsOk);
    EXPECT_EQ(r.samplesPerChunk, 2304u);  // one MPEG-1 frame of 1152 per channel
    EXPECT_GE(r.bufferSize, 7200u);

    const Mp3File file = ReadMp3File(path);
    ASSERT_TRUE(file.ok);
    ASSERT_TRUE(file.hasInfo);
    EXPECT_EQ(file.infoId, "Info");
    EXPECT_EQ(file.infoFrames, file.frames.size() - 1);
    EXPECT_EQ(file.infoBytes, file.audioBytes());
    for (const Mp3Frame& f : file.frames) {
        EXPECT_EQ(f.version, 1);
        EXPECT_EQ(f.layer, 3);
        EXPECT_EQ(f.kbps, 128);
        EXPECT_EQ(f.rate, 44100);
        EXPECT_EQ(f.mode, 0);              // plain stereo
        EXPECT_EQ(f.mainDataBegin, 0u);    // bit reservoir off
        EXPECT_FALSE(f.crc);
    }
    ASSERT_GE(file.encoderDelay, 0);
    EXPECT_TRUE(file.lameTagCrcOk);
    EXPECT_EQ((file.frames.size() - 1) * 1152 - file.encoderDelay - file.encoderPadding, frames);

    const DecodedMp3 d = DecodeMp3(path);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rate, 44100);
    EXPECT_EQ(d.channels, 2);
    EXPECT_EQ(d.frames(), frames);
    EXPECT_NEAR(EstimateFrequency(d, 4410, 44100, 0), 440.0, 5.0);
    EXPECT_NEAR(EstimateFrequency(d, 4410, 44100, 1), 660.0, 5.0);
}

TEST_F(ModuleTest, MonoAtMpeg2RateTakesHalfFrames) {
    const auto path = dir / "mono.mp3";
    const size_t frames = 22050 + 100;
    const auto r = EncodeTone(m, path, MakeConfig(22050, BE_MP3_MODE_MONO, 64), frames, 1000.0);
    ASSERT_EQ(r.initCode, BE_ERR_SUCCESSFUL);
    ASSERT_TRUE(r.allCallsOk);
    EXPECT_EQ(r.samplesPerChunk, 576u);
    const Mp3File file = ReadMp3File(path);
    ASSERT_TRUE(file.ok);
    ASSERT_TRUE(file.hasInfo);
    for (const Mp3Frame& f : file.frames) {
        EXPECT_EQ(f.version, 2);
        EXPECT_EQ(f.rate, 22050);
        EXPECT_EQ(f.kbps, 64);
        EXPECT_EQ(f.mode, 3);
    }
    const DecodedMp3 d = DecodeMp3(path);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.channels, 1);
    EXPECT_EQ(d.frames(), frames);
    EXPECT_NEAR(EstimateFrequency(d, 2205, 17640), 1000.0, 10.0);
}

TEST_F(ModuleTest, EveryModeReachesTheFrameHeader) {
    const struct { int32_t mode; int bits; } cases[] = {
        {BE_MP3_MODE_STEREO, 0}, {BE_MP3_MODE_JSTEREO, 1}, {BE_MP3_MODE_DUALCHANNEL, 2}, {BE_MP3_MODE_MONO, 3}};
    for (const auto& c : cases) {
        const auto path = dir / ("mode" + std::to_string(c.mode) + ".mp3");
        const auto r = EncodeTone(m, path, MakeConfig(48000, c.mode, 192), 48000 / 4);
        ASSERT_EQ(r.initCode, BE_ERR_SUCCESSFUL) << c.mode;
        ASSERT_TRUE(r.allCallsOk) << c.mode;
        const Mp3File file = ReadMp3File(path);
        ASSERT_TRUE(file.ok) << c.mode;
        ASSERT_GT(file.frames.size(), 2u);
        for (const Mp3Frame& f : file.frames) {
            EXPECT_EQ(f.mode, c.bits) << c.mode;
            EXPECT_EQ(f.kbps, 192) << c.mode;
        }
    }
}

TEST_F(ModuleTest, EveryTableBitRateAtEveryRateGivesAPlayableFile) {
    // Not every pair exists in MPEG audio (8 kbit/s at 44.1 kHz, 320 kbit/s at 8 kHz): the
    // module then takes the nearest rate the MPEG version has, and never refuses the join.
    const uint32_t rates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
    const uint32_t kbps[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    for (uint32_t rate : rates) {
        for (uint32_t k : kbps) {
            const auto path = dir / ("r" + std::to_string(rate) + "k" + std::to_string(k) + ".mp3");
            const auto r = EncodeTone(m, path, MakeConfig(rate, BE_MP3_MODE_JSTEREO, k), rate / 10, 300.0);
            ASSERT_EQ(r.initCode, BE_ERR_SUCCESSFUL) << rate << " " << k;
            ASSERT_TRUE(r.allCallsOk) << rate << " " << k;
            const Mp3File file = ReadMp3File(path);
            ASSERT_TRUE(file.ok) << rate << " " << k;
            ASSERT_GT(file.frames.size(), 1u);
            EXPECT_EQ(file.frames.back().rate, static_cast<int>(rate));
            // Low rates get an Info frame of a larger bit rate than the audio; it still counts
            // the frames and bytes, and carries the encoder delay and padding.
            ASSERT_TRUE(file.hasInfo) << rate << " " << k;
            EXPECT_EQ(file.infoId, "Info");
            EXPECT_EQ(file.infoFrames, file.frames.size() - 1) << rate << " " << k;
            EXPECT_EQ(file.infoBytes, file.audioBytes()) << rate << " " << k;
            ASSERT_GE(file.encoderDelay, 0);
            EXPECT_TRUE(file.lameTagCrcOk) << rate << " " << k;
            EXPECT_EQ((file.frames.size() - 1) * SamplesPerFrame(file.frames[1]) - file.encoderDelay -
                          file.encoderPadding,
                      rate / 10)
                << rate << " " << k;
            for (size_t i = 2; i < file.frames.size(); ++i) EXPECT_EQ(file.frames[i].kbps, file.frames[1].kbps);
            const DecodedMp3 d = DecodeMp3(path);
            ASSERT_TRUE(d.ok);
            EXPECT_EQ(d.frames(), rate / 10) << rate << " " << k;
            std::filesystem::remove(path);
        }
    }
}

TEST_F(ModuleTest, FullScaleFloatsAreAccepted) {
    BE_CONFIG c = MakeConfig(44100, BE_MP3_MODE_JSTEREO, 128);
    uint32_t samples = 0, size = 0;
    HBE_STREAM s = 0;
    ASSERT_EQ(m.Init(&c, &samples, &size, &s), BE_ERR_SUCCESSFUL);
    std::vector<float> l(samples / 2), r(samples / 2);
    for (size_t i = 0; i < l.size(); ++i) {
        l[i] = (i / 20) % 2 ? 32767.0f : -32768.0f;
        r[i] = -l[i];
    }
    std::vector<uint8_t> out(size);
    uint32_t bytes = 0;
    for (int k = 0; k < 10; ++k) {
        EXPECT_EQ(m.encode(s, samples / 2, l.data(), r.data(), out.data(), &bytes), BE_ERR_SUCCESSFUL);
        EXPECT_LE(bytes, size);
    }
    EXPECT_EQ(m.deinit(s, out.data(), &bytes), BE_ERR_SUCCESSFUL);
    EXPECT_GT(bytes, 0u);
    EXPECT_EQ(m.close(s), BE_ERR_SUCCESSFUL);
}

TEST_F(ModuleTest, BadRecordsAreRefused) {
    uint32_t samples = 0, size = 0;
    HBE_STREAM s = 0;
    EXPECT_EQ(m.Init(nullptr, &samples, &size, &s), BE_ERR_INVALID_FORMAT_PARAMETERS);
    BE_CONFIG c = MakeConfig(44100, BE_MP3_MODE_STEREO, 128);
    EXPECT_EQ(m.Init(&c, nullptr, &size, &s), BE_ERR_INVALID_FORMAT_PARAMETERS);

    BE_CONFIG wrongKind = c;
    wrongKind.dwConfig = BE_CONFIG_MP3;
    EXPECT_EQ(m.Init(&wrongKind, &samples, &size, &s), BE_ERR_INVALID_FORMAT);
    BE_CONFIG small = c;
    small.LHV1.dwStructSize = 100;
    EXPECT_EQ(m.Init(&small, &samples, &size, &s), BE_ERR_INVALID_FORMAT);
    BE_CONFIG oddRate = c;
    oddRate.LHV1.dwSampleRate = 12345;
    EXPECT_EQ(m.Init(&oddRate, &samples, &size, &s), BE_ERR_INVALID_FORMAT_PARAMETERS);
    BE_CONFIG badMode = c;
    badMode.LHV1.nMode = 4;
    EXPECT_EQ(m.Init(&badMode, &samples, &size, &s), BE_ERR_INVALID_FORMAT_PARAMETERS);
    BE_CONFIG noRate = c;
    noRate.LHV1.dwBitrate = 0;
    EXPECT_EQ(m.Init(&noRate, &samples, &size, &s), BE_ERR_INVALID_FORMAT_PARAMETERS);
}

TEST_F(ModuleTest, CallsOnUnknownOrFinishedStreamsAreRefused) {
    std::vector<uint8_t> out(16384);
    std::vector<float> pcm(1152);
    uint32_t bytes = 99;
    EXPECT_EQ(m.encode(987654321, 1152, pcm.data(), pcm.data(), out.data(), &bytes), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(m.deinit(987654321, out.data(), &bytes), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(m.close(987654321), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(m.writeInfoTag(987654321, (dir / "x.mp3").c_str()), BE_ERR_INVALID_HANDLE);

    BE_CONFIG c = MakeConfig(44100, BE_MP3_MODE_STEREO, 128);
    uint32_t samples = 0, size = 0;
    HBE_STREAM s = 0;
    ASSERT_EQ(m.Init(&c, &samples, &size, &s), BE_ERR_SUCCESSFUL);
    out.resize(size);
    // Stereo without a right channel, and more than one chunk in a call.
    EXPECT_EQ(m.encode(s, 1152, pcm.data(), nullptr, out.data(), &bytes), BE_ERR_INVALID_FORMAT_PARAMETERS);
    std::vector<float> big(samples);
    EXPECT_EQ(m.encode(s, samples, big.data(), big.data(), out.data(), &bytes), BE_ERR_BUFFER_TOO_SMALL);
    // Zero frames is a harmless no-op.
    EXPECT_EQ(m.encode(s, 0, pcm.data(), pcm.data(), out.data(), &bytes), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(m.deinit(s, out.data(), &bytes), BE_ERR_SUCCESSFUL);
    // After the flush the stream takes no more audio and no second flush.
    EXPECT_EQ(m.encode(s, 1152, pcm.data(), pcm.data(), out.data(), &bytes), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(m.deinit(s, out.data(), &bytes), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(m.close(s), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(m.close(s), BE_ERR_INVALID_HANDLE);
}

TEST_F(ModuleTest, HeaderIsNotWrittenIntoAFileWithoutAFrame) {
    BE_CONFIG c = MakeConfig(44100, BE_MP3_MODE_STEREO, 128);
    uint32_t samples = 0, size = 0;
    HBE_STREAM s = 0;
    ASSERT_EQ(m.Init(&c, &samples, &size, &s), BE_ERR_SUCCESSFUL);
    std::vector<uint8_t> out(size);
    uint32_t bytes = 0;
    ASSERT_EQ(m.deinit(s, out.data(), &bytes), BE_ERR_SUCCESSFUL);
    ASSERT_EQ(m.close(s), BE_ERR_SUCCESSFUL);

    const auto text = dir / "notes.txt";
    const std::string content(4000, 'a');
    std::ofstream(text) << content;
    EXPECT_EQ(m.writeInfoTag(s, text.c_str()), BE_ERR_INVALID_FORMAT);
    std::ifstream in(text);
    const std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(after, content);
    // A missing file is an error too, and the handle is spent afterwards.
    EXPECT_NE(m.writeVbrHeader((dir / "missing.mp3").c_str()), BE_ERR_SUCCESSFUL);
    EXPECT_FALSE(std::filesystem::exists(dir / "missing.mp3"));
    EXPECT_EQ(m.writeInfoTag(s, text.c_str()), BE_ERR_INVALID_HANDLE);
}

TEST_F(ModuleTest, VbrHeaderCallUsesTheLastClosedStream) {
    const auto path = dir / "vbrheader.mp3";
    BE_CONFIG c = MakeConfig(32000, BE_MP3_MODE_JSTEREO, 96);
    uint32_t samples = 0, size = 0;
    HBE_STREAM s = 0;
    ASSERT_EQ(m.Init(&c, &samples, &size, &s), BE_ERR_SUCCESSFUL);
    std::vector<float> l(samples / 2), r(samples / 2);
    for (size_t i = 0; i < l.size(); ++i) l[i] = r[i] = static_cast<float>(8000 * std::sin(i * 0.05));
    std::vector<uint8_t> out(size);
    FILE* f = std::fopen(path.c_str(), "w+b");
    ASSERT_NE(f, nullptr);
    uint32_t bytes = 0;
    for (int k = 0; k < 40; ++k) {
        ASSERT_EQ(m.encode(s, samples / 2, l.data(), r.data(), out.data(), &bytes), BE_ERR_SUCCESSFUL);
        std::fwrite(out.data(), 1, bytes, f);
    }
    ASSERT_EQ(m.deinit(s, out.data(), &bytes), BE_ERR_SUCCESSFUL);
    std::fwrite(out.data(), 1, bytes, f);
    std::fclose(f);
    ASSERT_EQ(m.close(s), BE_ERR_SUCCESSFUL);

    EXPECT_EQ(m.writeVbrHeader(path.c_str()), BE_ERR_SUCCESSFUL);
    const Mp3File file = ReadMp3File(path);
    ASSERT_TRUE(file.ok);
    ASSERT_TRUE(file.hasInfo);
    EXPECT_EQ(file.infoFrames, file.frames.size() - 1);
    const DecodedMp3 d = DecodeMp3(path);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.frames(), 40u * samples / 2);
}

TEST_F(ModuleTest, StreamsRunInParallelThreads) {
    // Two outputs encoded at once must not disturb each other.
    const auto a = dir / "a.mp3";
    const auto b = dir / "b.mp3";
    EncodeResult ra, rb;
    std::thread t([&] { ra = EncodeTone(m, a, MakeConfig(44100, BE_MP3_MODE_JSTEREO, 160), 30000, 300.0); });
    rb = EncodeTone(m, b, MakeConfig(44100, BE_MP3_MODE_MONO, 96), 50000, 900.0);
    t.join();
    ASSERT_TRUE(ra.allCallsOk);
    ASSERT_TRUE(rb.allCallsOk);
    const DecodedMp3 da = DecodeMp3(a), db = DecodeMp3(b);
    ASSERT_TRUE(da.ok);
    ASSERT_TRUE(db.ok);
    EXPECT_EQ(da.frames(), 30000u);
    EXPECT_EQ(db.frames(), 50000u);
    EXPECT_NEAR(EstimateFrequency(da, 2000, 26000), 300.0, 5.0);
    EXPECT_NEAR(EstimateFrequency(db, 2000, 44000), 900.0, 10.0);
}


// ---- segments encoded on several threads ----------------------------------------------------

// Sets the module's encoder threads for the streams started while the object lives.
class ThreadsFor {
public:
    explicit ThreadsFor(int n) { ::setenv("VELMORA_ENCODER_THREADS", std::to_string(n).c_str(), 1); }
    ~ThreadsFor() { ::unsetenv("VELMORA_ENCODER_THREADS"); }
};

// Segment boundaries in the source: the first sample of frame k * 128 (frames start 576
// samples early: the encoder delay). Five threads cut segments of 128 frames, two of 256.
constexpr size_t kSegmentSamples = 128 * 1152;
static_assert(velmora::lame_module::SegmentEncoder::SegmentFrames(5, 1152) * 1152 == kSegmentSamples);
static_assert(velmora::lame_module::SegmentEncoder::SegmentFrames(2, 1152) * 1152 == 2 * kSegmentSamples);

// A slow sine sweep with noise bursts placed across every segment boundary: nothing a seam
// could hide behind.
void SweepWithBursts(size_t frames, std::vector<float>& left, std::vector<float>& right) {
    left.resize(frames);
    right.resize(frames);
    uint32_t noise = 1;
    double phase = 0;
    for (size_t i = 0; i < frames; ++i) {
        const double t = i / 44100.0;
        phase += 2 * M_PI * (100.0 * std::pow(80.0, t / (frames / 44100.0))) / 44100.0;
        double v = 8000.0 * std::sin(phase);
        const size_t fromBoundary = (i + 576) % kSegmentSamples;
        if (fromBoundary < 1500 || fromBoundary > kSegmentSamples - 1500) {
            noise = noise * 1664525u + 1013904223u;
            v += (static_cast<int32_t>(noise >> 16) - 32768) * 0.3;
        }
        left[i] = static_cast<float>(v);
        right[i] = static_cast<float>(-0.7 * v);
    }
}

// Signal-to-noise ratio of the decoded left channel against the source over a stretch.
double SnrDb(const std::vector<float>& source, const DecodedMp3& d, size_t from, size_t count) {
    double signal = 0, error = 0;
    for (size_t i = from; i < from + count && i < source.size(); ++i) {
        const double s = source[i];
        signal += s * s;
        const double e = s - d.samples[2 * i];
        error += e * e;
    }
    return 10 * std::log10(signal / std::max(error, 1e-9));
}

TEST_F(ModuleTest, SegmentsOnSeveralThreadsLeaveNoSeam) {
    const size_t frames = 9 * kSegmentSamples / 2 + 777;  // four and a half segments
    std::vector<float> left, right;
    SweepWithBursts(frames, left, right);
    std::vector<DecodedMp3> decoded;
    for (const int threads : {1, 2, 5, 5}) {
        ThreadsFor use(threads);
        const auto path = dir / ("t" + std::to_string(decoded.size()) + ".mp3");
        const EncodeResult r = EncodeSignal(m, path, MakeConfig(44100, BE_MP3_MODE_JSTEREO, 192), left, right);
        ASSERT_TRUE(r.allCallsOk) << threads;
        const Mp3File file = ReadMp3File(path);
        ASSERT_TRUE(file.ok && file.hasInfo) << threads;
        EXPECT_EQ(file.infoFrames, file.frames.size() - 1);
        EXPECT_EQ(file.infoBytes, file.audioBytes());
        EXPECT_TRUE(file.lameTagCrcOk);
        EXPECT_TRUE(file.musicCrcOk) << threads;
        EXPECT_EQ(file.frames[0].kbps, 192);  // the header frame at the stream's own rate
        decoded.push_back(DecodeMp3(path));
        ASSERT_TRUE(decoded.back().ok);
        EXPECT_EQ(decoded.back().frames(), frames) << threads;
    }
    // Whichever worker was free first, a segment's bytes are the same.
    EXPECT_TRUE(ReadFile(dir / "t2.mp3") == ReadFile(dir / "t3.mp3"));
    const double whole = SnrDb(left, decoded[0], 0, frames);
    for (size_t k = 1; k < decoded.size(); ++k) {
        EXPECT_NEAR(SnrDb(left, decoded[k], 0, frames), whole, 0.3) << k;
        for (size_t b = kSegmentSamples - 576; b < frames; b += kSegmentSamples)
            EXPECT_NEAR(SnrDb(left, decoded[k], b - 1024, 2048), SnrDb(left, decoded[0], b - 1024, 2048),
                        1.0)
                << k << " at " << b;
    }
}

TEST_F(ModuleTest, VbrOnOneAndOnSeveralThreadsHasAXingHeaderOfItsRealFrames) {
    const size_t frames = 5 * kSegmentSamples / 2 + 333;
    std::vector<float> left, right;
    SweepWithBursts(frames, left, right);
    // MPEG-1 stereo on one thread and on five (segments), MPEG-2 mono on three.
    const struct { uint32_t rate; int32_t mode; int threads; } cases[] = {
        {44100, BE_MP3_MODE_JSTEREO, 1}, {44100, BE_MP3_MODE_JSTEREO, 5}, {22050, BE_MP3_MODE_MONO, 3}};
    std::vector<double> snr;
    for (const auto& c : cases) {
        ThreadsFor use(c.threads);
        BE_CONFIG config = MakeConfig(c.rate, c.mode, 0);
        config.LHV1.bEnableVBR = 1;
        config.LHV1.nVBRQuality = 4;
        const auto path = dir / ("vbr" + std::to_string(snr.size()) + ".mp3");
        ASSERT_TRUE(EncodeSignal(m, path, config, left, right).allCallsOk) << c.threads;
        const Mp3File file = ReadMp3File(path);
        ASSERT_TRUE(file.ok && file.hasInfo) << c.threads;
        EXPECT_EQ(file.infoId, "Xing");
        EXPECT_EQ(file.infoFrames, file.frames.size() - 1);
        EXPECT_EQ(file.infoBytes, file.audioBytes());
        EXPECT_TRUE(file.lameTagCrcOk);
        EXPECT_TRUE(file.musicCrcOk) << c.threads;
        EXPECT_EQ((file.frames.size() - 1) * SamplesPerFrame(file.frames[1]) - file.encoderDelay - file.encoderPadding,
                  frames)
            << c.threads;
        // Entry i is where the frame i % of the way through starts, in 256ths of the stream.
        ASSERT_EQ(file.toc.size(), 100u);
        for (size_t i = 0; i < 100; ++i) {
            const Mp3Frame& at = file.frames[1 + file.infoFrames * i / 100];
            EXPECT_EQ(file.toc[i], (at.offset - file.tagBytes) * 256 / file.infoBytes) << c.threads << " entry " << i;
        }
        std::set<int> rates;
        for (size_t i = 1; i < file.frames.size(); ++i) {
            rates.insert(file.frames[i].kbps);
            EXPECT_EQ(file.frames[i].mainDataBegin, 0u);  // reservoir off
        }
        EXPECT_GE(rates.size(), 3u) << c.threads;
        const DecodedMp3 d = DecodeMp3(path);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.frames(), frames) << c.threads;
        if (c.rate == 44100) snr.push_back(SnrDb(left, d, 0, frames));
    }
    EXPECT_GT(snr[0], 15.0);
    EXPECT_NEAR(snr[1], snr[0], 0.3);  // no seams
}

TEST_F(ModuleTest, OneThreadIsTheSingleLibraryStreamByteForByte) {
    std::vector<float> left, right;
    SweepWithBursts(3 * kSegmentSamples, left, right);
    ThreadsFor use(1);
    const auto path = dir / "one.mp3";
    ASSERT_TRUE(EncodeSignal(m, path, MakeConfig(44100, BE_MP3_MODE_JSTEREO, 128), left, right).allCallsOk);
    // The same stream straight from libmp3lame, with the settings the record maps to.
    lame_global_flags* gf = lame_init();
    lame_set_in_samplerate(gf, 44100);
    lame_set_out_samplerate(gf, 44100);
    lame_set_num_channels(gf, 2);
    lame_set_mode(gf, JOINT_STEREO);
    lame_set_VBR(gf, vbr_off);
    lame_set_brate(gf, 128);
    lame_set_quality(gf, 9);
    lame_set_disable_reservoir(gf, 1);
    lame_set_strict_ISO(gf, 0);
    lame_set_error_protection(gf, 0);
    lame_set_copyright(gf, 0);
    lame_set_original(gf, 0);
    lame_set_extension(gf, 0);
    lame_set_emphasis(gf, 0);
    lame_set_bWriteVbrTag(gf, 1);
    lame_set_write_id3tag_automatic(gf, 0);
    ASSERT_GE(lame_init_params(gf), 0);
    std::vector<uint8_t> stream(left.size() * 2 + 20000);
    size_t n = 0;
    for (size_t at = 0; at < left.size(); at += 1152) {
        const int chunk = static_cast<int>(std::min<size_t>(1152, left.size() - at));
        n += static_cast<size_t>(lame_encode_buffer_float(gf, left.data() + at, right.data() + at, chunk,
                                                          stream.data() + n, static_cast<int>(stream.size() - n)));
    }
    n += static_cast<size_t>(lame_encode_flush(gf, stream.data() + n, static_cast<int>(stream.size() - n)));
    std::vector<uint8_t> tag(2880);
    tag.resize(lame_get_lametag_frame(gf, tag.data(), tag.size()));
    lame_close(gf);
    stream.resize(n);
    std::copy(tag.begin(), tag.end(), stream.begin());
    const std::string written = ReadFile(path);
    ASSERT_EQ(written.size(), stream.size());
    EXPECT_TRUE(written == std::string(stream.begin(), stream.end()));
}

TEST_F(ModuleTest, AStreamStoppedAtAnyPointOnManyThreadsIsAValidShorterFile) {
    std::vector<float> left, right;
    SweepWithBursts(4 * kSegmentSamples, left, right);
    uint32_t seed = 7;
    for (const int threads : {2, 8}) {
        ThreadsFor use(threads);
        for (int attempt = 0; attempt < 4; ++attempt) {
            seed = seed * 1103515245u + 12345u;
            const size_t calls = 1 + (seed >> 8) % (4 * kSegmentSamples / 1152);
            const auto path = dir / ("cut" + std::to_string(threads) + "_" + std::to_string(attempt) + ".mp3");
            const EncodeResult r =
                EncodeSignal(m, path, MakeConfig(44100, BE_MP3_MODE_JSTEREO, 128), left, right, calls);
            ASSERT_TRUE(r.allCallsOk);
            size_t fed = 0;
            for (uint32_t f : r.framesPerCall) fed += f;
            const Mp3File file = ReadMp3File(path);
            ASSERT_TRUE(file.ok && file.hasInfo);
            EXPECT_EQ(file.infoFrames, file.frames.size() - 1);
            EXPECT_EQ(DecodeMp3(path).frames(), fed) << threads << " threads, " << calls << " calls";
        }
    }
    // Closed without its flush (the engine's way out after an exception): the workers leave
    // their segments half done and the stream is gone.
    ThreadsFor use(8);
    const EncodeResult r =
        EncodeSignal(m, dir / "closed.mp3", MakeConfig(44100, BE_MP3_MODE_JSTEREO, 128), left, right, SIZE_MAX, false);
    EXPECT_TRUE(r.allCallsOk);
    std::vector<uint8_t> out(r.bufferSize);
    uint32_t bytes = 0;
    EXPECT_EQ(m.deinit(r.stream, out.data(), &bytes), BE_ERR_INVALID_HANDLE);
}
}  // namespace
