// Loudness presets through whole joins: speech-like inputs far apart in level come out at the
// preset's target with their peaks held, as our meters and libebur128 read the decoded output.
#include "test_encoder_support.h"

#include "engine/loudness.h"
#include "engine_harness.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

using namespace velmora;
using namespace velmora::testing;

namespace {

constexpr int kRate = 44100;
constexpr double kSeconds = 4.0;
constexpr size_t kFrames = static_cast<size_t>(kRate * kSeconds);

// Speech-like material at `lufs` (as our meter reads it) in a stereo MP3; at -12 LUFS its
// loudest moments clip, as a hot recording's do.
std::string SpeechAt(const TempDir& dir, const std::string& name, double lufs, unsigned seed, double noiseDb = -80) {
    std::vector<float> s = SpeechLike(kRate, 2, kSeconds, seed, noiseDb);
    LoudnessMeter meter(2, kRate);
    meter.Add(s.data(), kFrames);
    double now = 0;
    EXPECT_TRUE(meter.Integrated(now));
    const float scale = static_cast<float>(std::pow(10.0, (lufs - now) / 20));
    for (float& v : s) v *= scale;
    EXPECT_TRUE(EncodeMp3(dir / name, s, kRate, 2));
    return (dir / name).string();
}

struct Stretch {
    double lufs, libraryLufs;          // ours, libebur128's
    double truePeakDb, libraryPeakDb;  // dBTP
    double rmsDb, samplePeakDb;
};

// Frames [from, from + frames) of a decoded stereo output: one input's whole stretch, so that
// its 400 ms blocks fall where they fell in the input.
Stretch Measure(const DecodedMp3& d, size_t from, size_t frames) {
    std::vector<float> x(2 * frames);
    for (size_t i = 0; i < x.size(); ++i) x[i] = d.samples[2 * from + i] / 32768.0f;
    Stretch s{};
    LoudnessMeter loudness(2, kRate);
    loudness.Add(x.data(), frames);
    EXPECT_TRUE(loudness.Integrated(s.lufs));
    TruePeakMeter peak(2);
    peak.Add(x.data(), frames);
    s.truePeakDb = 20 * std::log10(peak.Peak());
    ebur128_state* st = ebur128_init(2, kRate, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_float(st, x.data(), frames);
    double left = 0, right = 0;
    ebur128_loudness_global(st, &s.libraryLufs);
    ebur128_true_peak(st, 0, &left);
    ebur128_true_peak(st, 1, &right);
    ebur128_destroy(&st);
    s.libraryPeakDb = 20 * std::log10(std::max(left, right));
    double squares = 0;
    float highest = 0;
    for (const float v : x) {
        squares += static_cast<double>(v) * v;
        highest = std::max(highest, std::fabs(v));
    }
    s.rmsDb = 10 * std::log10(squares / static_cast<double>(x.size()));
    s.samplePeakDb = 20 * std::log10(highest);
    return s;
}

class LoudnessTargets : public ::testing::Test {
protected:
    void SetUp() override {
        engine = MakeHeadlessEngine(sink);
        engine->encodeTask = EncodeTask;
        engine->settings.askOutputPath = 1;
        engine->settings.loudness = 1;
        inputs = {SpeechAt(dir, "quiet.mp3", -30, 1), SpeechAt(dir, "middle.mp3", -20, 2), SpeechAt(dir, "hot.mp3", -12, 3)};
    }

    // Joins `paths` with the preset and decodes the output; one stretch per input.
    std::vector<Stretch> Join(int32_t preset, const std::vector<std::string>& paths, Reports* reports = nullptr) {
        engine->settings.loudnessPreset = preset;
        const std::string output = (dir / ("joined" + std::to_string(preset) + ".mp3")).string();
        const Reports r = RunJoinOf(engine, *sink, paths, output);
        EXPECT_TRUE(r.HasLine("Joining status: OK."));
        EXPECT_TRUE(r.errorLines.empty()) << ::testing::PrintToString(r.errorLines);
        if (reports) *reports = r;
        const DecodedMp3 d = DecodeMp3(output);
        EXPECT_TRUE(d.ok);
        EXPECT_EQ(d.frames(), paths.size() * kFrames);  // no sample lost or added by the limiter
        std::vector<Stretch> stretches;
        for (size_t i = 0; i < paths.size() && d.frames() == paths.size() * kFrames; ++i)
            stretches.push_back(Measure(d, i * kFrames, kFrames));
        return stretches;
    }

    TempDir dir;
    std::shared_ptr<JoinEventQueue> sink;
    std::shared_ptr<JoinEngine> engine;
    std::vector<std::string> inputs;
};

}  // namespace

TEST_F(LoudnessTargets, PodcastBringsSpeechAtThreeLevelsToMinus16WithPeaksUnderMinus1Dbtp) {
    REQUIRE_ENCODER_MODULE();
    Reports r({});
    const std::vector<Stretch> s = Join(kLoudnessPodcast, inputs, &r);
    ASSERT_EQ(s.size(), 3u);
    for (const Stretch& x : s) {
        EXPECT_NEAR(x.lufs, -16.0, 0.5);
        EXPECT_NEAR(x.libraryLufs, x.lufs, 0.05);
        EXPECT_LE(x.truePeakDb, -1.0);
        EXPECT_LE(x.libraryPeakDb, -1.0);
    }
    const auto [low, high] = std::minmax_element(s.begin(), s.end(), [](auto& a, auto& b) { return a.lufs < b.lufs; });
    EXPECT_LE(high->lufs - low->lufs, 0.5);
    // Where the material kept its crests (the hot input's were clipped at the source), the
    // gain needed the limiter.
    for (const char* name : {"quiet.mp3", "middle.mp3"}) {
        const std::string prefix = (dir / name).string() + ": ";
        EXPECT_TRUE(std::any_of(r.lines.begin(), r.lines.end(), [&](const std::string& line) {
            return line.rfind(prefix, 0) == 0 && line.find(", peaks limited by up to ") != std::string::npos;
        })) << name;
    }
}

TEST_F(LoudnessTargets, AudiobookKeepsEveryInputInsideTheStoresRule) {
    REQUIRE_ENCODER_MODULE();
    // A fourth input with a noise bed that the gain would lift past the rule.
    std::vector<std::string> paths = inputs;
    paths.push_back(SpeechAt(dir, "noisy.mp3", -30, 4, -42));
    Reports r({});
    const std::vector<Stretch> s = Join(kLoudnessAudiobook, paths, &r);
    ASSERT_EQ(s.size(), 4u);
    for (const Stretch& x : s) {
        EXPECT_GE(x.rmsDb, -23.0);
        EXPECT_LE(x.rmsDb, -18.0);
        EXPECT_LE(x.samplePeakDb, -3.0);
    }
    for (const char* name : {"quiet.mp3", "middle.mp3", "hot.mp3"})
        EXPECT_TRUE(std::any_of(r.lines.begin(), r.lines.end(), [&](const std::string& line) {
            return line.rfind((dir / name).string() + ": RMS -20.", 0) == 0 &&
                   line.find(" dB: meets the audiobook rule") != std::string::npos;
        })) << name << ::testing::PrintToString(r.lines);
    // The noisy input's gain gave way to its noise: RMS at the rule's lower edge (half a dB in),
    // and the log says it is too noisy.
    EXPECT_NEAR(s[3].rmsDb, -22.5, 0.3);
    EXPECT_TRUE(std::any_of(r.lines.begin(), r.lines.end(), [&](const std::string& line) {
        return line.rfind((dir / "noisy.mp3").string() + ": RMS -22.5 dB, ", 0) == 0 &&
               line.find(" dB: too noisy for the audiobook rule") != std::string::npos;
    })) << ::testing::PrintToString(r.lines);
}

// The limiter's hook in the decoder: with the limiter after the gain, material that stays under
// the ceiling reaches the encoder exactly as with the gain alone, sample for sample and in
// place, through the decoder's partial reads and a rate and channel conversion.
TEST_F(LoudnessTargets, UnderTheCeilingTheLimiterLeavesTheJoinBitForBit) {
    const std::string mono = (dir / "mono.mp3").string();
    std::vector<float> speech = SpeechLike(22050, 1, 2.0, 9, -70);
    for (float& v : speech) v *= 0.25f;  // its peaks stay under the ceiling after the gain
    ASSERT_TRUE(EncodeMp3(mono, speech, 22050, 1, 64));
    const auto collect = [&](std::vector<float> gains, std::vector<float> ceilings) {
        auto pcm = std::make_shared<velmora::enginetest::CollectedPcm>();
        engine->settings.loudness = 0;  // the gains below, not measured ones
        engine->encodeTask = velmora::enginetest::CollectingEncoder(pcm);
        const Reports r = RunJoinOf(engine, *sink, {inputs[0], mono}, (dir / "pcm.mp3").string(), [&] {
            engine->activeRun->tasks[0].inputGain = gains;
            engine->activeRun->tasks[0].inputCeiling = ceilings;
        });
        EXPECT_TRUE(r.HasLine("Joining status: OK."));
        return pcm->tasks.empty() ? std::vector<int32_t>() : pcm->tasks[0];
    };
    const std::vector<int32_t> plain = collect({}, {});
    const std::vector<int32_t> gained = collect({2.0f, 1.5f}, {});
    const std::vector<int32_t> limited = collect({2.0f, 1.5f}, {0.89f, 0.89f});
    ASSERT_EQ(plain.size(), (kFrames + 2 * 44100) * 2);
    ASSERT_EQ(limited.size(), plain.size());
    EXPECT_NE(gained, plain);
    EXPECT_TRUE(limited == gained);
}

