// The look-ahead limiter on its own: peaks held at the ceiling (true peak, found with the
// meter), samples neither lost nor moved, and material under the ceiling untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "engine/limiter.h"
#include "engine/loudness.h"

using namespace velmora;

namespace {

// Runs `in` through a limiter in uneven pieces (odd sizes split frames), then flushes it in
// small pieces, as the decoder's back pressure would.
template <typename Sample>
std::vector<Sample> Limit(PeakLimiter<Sample>& limiter, std::vector<Sample> in) {
    std::vector<Sample> out;
    size_t at = 0;
    for (size_t n = 1; at < in.size(); at += n, n = n * 5 % 1021 + 7) {
        n = std::min(n, in.size() - at);
        const size_t given = limiter.Process(in.data() + at, n);
        EXPECT_LE(given, n);
        out.insert(out.end(), in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + given));
    }
    EXPECT_EQ(limiter.Held(), in.size() - out.size());
    Sample piece[37];
    while (const size_t n = limiter.Flush(piece, 37)) out.insert(out.end(), piece, piece + n);
    EXPECT_EQ(limiter.Held(), 0u);
    return out;
}

double TruePeakDb(const std::vector<float>& interleaved, unsigned channels) {
    TruePeakMeter meter(channels);
    meter.Add(interleaved.data(), interleaved.size() / channels);
    return 20 * std::log10(meter.Peak());
}

}  // namespace

TEST(PeakLimiter, StepsAndImpulsesNeverPassTheCeiling) {
    constexpr long kRate = 44100;
    const float ceiling = std::pow(10.0f, -1.0f / 20);
    struct Case {
        const char* name;
        unsigned channels;
        std::function<float(size_t frame, unsigned channel)> signal;
        size_t calmFrames;  // from the start, frames the limiter has no reason to touch
    };
    const Case cases[] = {
        // Quiet, then a loud sine at twice full scale for half a second, then quiet again.
        {"step", 2,
         [](size_t i, unsigned c) {
             const float level = i >= 20000 && i < 42050 ? 2.0f : 0.05f;
             return level * static_cast<float>(std::sin(2 * M_PI * (c ? 997 : 440) * i / kRate));
         },
         19000},
        // A DC step straight to four times full scale: the worst ringing between samples.
        {"dc step", 1, [](size_t i, unsigned) { return i >= 30000 ? 4.0f : 0.0f; }, 29000},
        // Lone samples at 3x full scale, of either sign, in silence and in a quiet tone.
        {"impulses", 2,
         [](size_t i, unsigned c) {
             const float bed = c ? 0.1f * static_cast<float>(std::sin(2 * M_PI * 300 * i / kRate)) : 0.0f;
             if (i % 9000 == 4500) return (i / 9000 % 2 ? 3.0f : -3.0f);
             return bed;
         },
         4000},
        // A quarter-rate tone whose samples sit 3 dB under its crests: only the true peak passes.
        {"between samples", 1,
         [](size_t i, unsigned) { return 1.2f * static_cast<float>(std::sin(M_PI / 2 * i + M_PI / 4)); }, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t frames = 60000;
        std::vector<float> in(frames * c.channels);
        for (size_t i = 0; i < frames; ++i)
            for (unsigned ch = 0; ch < c.channels; ++ch) in[i * c.channels + ch] = c.signal(i, ch);
        PeakLimiter<float> limiter(c.channels, kRate, 1.0f, ceiling);
        const std::vector<float> out = Limit(limiter, in);
        ASSERT_EQ(out.size(), in.size());
        EXPECT_LE(TruePeakDb(out, c.channels), -1.0 + 0.01);
        EXPECT_GT(limiter.MaxReductionDb(), 1.5);
        // Nothing moved: before the limiter has a reason to act each sample is its input.
        for (size_t i = 0; i < c.calmFrames * c.channels; ++i) ASSERT_EQ(out[i], in[i]) << i;
    }
    // The sustained part of the step settles at the ceiling, not far under it.
    PeakLimiter<float> limiter(1, kRate, 2.0f, ceiling);
    std::vector<float> tone(kRate);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<float>(std::sin(2 * M_PI * 220 * i / kRate));
    const std::vector<float> out = Limit(limiter, tone);
    const std::vector<float> tail(out.begin() + kRate / 2, out.end());
    EXPECT_NEAR(TruePeakDb(tail, 1), -1.0, 0.1);
    EXPECT_NEAR(limiter.MaxReductionDb(), 6.02 + 1.0, 0.2);
}

TEST(PeakLimiter, UnderTheCeilingTheOutputIsTheGainAloneBitForBit) {
    // Speech-like bursts and noise as the decoder gives them (32-bit), whose peaks stay under
    // the ceiling after the gain; stereo in pieces that split frames, and mono.
    std::mt19937 random(5);
    std::normal_distribution<double> noise(0.0, 0.02);
    const float gain = 2.7f;
    const float ceiling = std::pow(10.0f, -1.0f / 20);
    for (const unsigned channels : {2u, 1u}) {
        std::vector<int32_t> in(48000 * channels + 1 * (channels - 1));
        for (size_t i = 0; i < in.size(); ++i) {
            const double t = static_cast<double>(i / channels) / 48000;
            const double burst = std::max(0.0, std::sin(2 * M_PI * 4 * t)) * 0.2 * std::sin(2 * M_PI * 180 * t);
            in[i] = static_cast<int32_t>((burst + noise(random)) * 2147483647.0);
        }
        PeakLimiter<int32_t> limiter(channels, 48000, gain, ceiling);
        const std::vector<int32_t> out = Limit(limiter, in);
        ASSERT_EQ(out.size(), in.size());
        EXPECT_EQ(limiter.MaxReductionDb(), 0.0);
        for (size_t i = 0; i < in.size(); ++i)
            ASSERT_EQ(out[i], static_cast<int32_t>(std::clamp(static_cast<double>(in[i]) * gain, -2147483648.0,
                                                              2147483647.0)))
                << i;
    }
}
