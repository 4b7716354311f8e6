// Even loudness: each input's integrated loudness (EBU R128 / ITU-R BS.1770) and true peak,
// measured with the decoder before the join, and the one constant gain that brings it to the
// target without letting its true peak rise above -1 dBTP.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velmora {

inline constexpr int kLoudnessTargetDefault = -16;
inline constexpr int kLoudnessTargetMin = -30;
inline constexpr int kLoudnessTargetMax = -10;
inline constexpr double kTruePeakCeilingDb = -1.0;

struct LoudnessMeasure {
    bool silent = true;       // no gated loudness (silence, or nothing decoded)
    double lufs = 0.0;        // integrated loudness when not silent
    double truePeakDb = -200; // dBTP, the highest of the channels
};

// Integrated loudness of interleaved float samples (mono or stereo) as ITU-R BS.1770-4 and
// EBU R128 define it, with libebur128's filter design, block timing and gates: K-weighting (the
// high shelf and the high-pass, designed for the rate), 400 ms blocks every 100 ms, absolute
// gate -70 LUFS, relative gate -10 LU. libebur128 filters one sample of one channel at a time
// through memory and cost more than decoding the file; here both channels share a vector
// register and each biquad's feedback path is one multiply and one add long.
class LoudnessMeter {
public:
    // `dualMono`: a mono input that will play on both sides counts twice.
    LoudnessMeter(unsigned channels, long rate, bool dualMono = false);
    void Add(const float* interleaved, size_t frames);
    // False when no block passes the gates (silence, or less than 400 ms).
    bool Integrated(double& lufs) const;

private:
    unsigned channels_;
    size_t framesPer100ms_;
    double weight_;
    // The shelf's b0 b1 b2 a1 a2, the high-pass's a1 a2 (its numerator is 1 -2 1).
    double coefs_[7];
    // Two lanes, one per channel, of: the shelf's last two inputs and outputs, the high-pass's
    // last two outputs, and the sum of squares of this 100 ms piece so far.
    alignas(16) double state_[7][2] = {};
    size_t inPiece_ = 0;
    double pieces_[3] = {};  // the last three 100 ms energies
    size_t pieceCount_ = 0;
    std::vector<double> blocks_;  // block energies above the absolute gate
};

// The true peak of interleaved float samples (full scale 1.0) after 4x oversampling, as
// ITU-R BS.1770 asks: a 49-tap Hann-windowed sinc whose phase 0 is the sample itself, so only
// the three in-between phases are filtered. Written for the compiler to vectorise: the
// library's own true-peak mode in double precision costs about three times the rest of the
// measurement, this one a fraction of it.
class TruePeakMeter {
public:
    static constexpr int kTapsPerPhase = 12;
    using Phases = std::array<std::array<float, kTapsPerPhase>, 3>;
    // The three in-between phases of the filter (the limiter detects with the same ones). The
    // sum over a phase of taps[k] * x[i - k] is the waveform at i - 6 + (phase + 1) / 4.
    static const Phases& PhaseTaps();
    // The largest sum of a phase's tap magnitudes: no in-between value exceeds the largest of
    // the twelve samples it is made of times this.
    static float Overshoot();
    explicit TruePeakMeter(unsigned channels);
    void Add(const float* interleaved, size_t frames);
    // Linear peak (1.0 = full scale), the highest of the channels.
    float Peak() const { return peak_; }

private:
    unsigned channels_;
    float peak_ = 0.0f;
    // No in-between value can exceed the largest of the twelve samples it is made of times
    // the sum of its phase's tap magnitudes; this is the largest such sum.
    float overshoot_ = 0.0f;
    // Per channel: the last kTapsPerPhase - 1 samples, then the block being filtered.
    std::vector<std::vector<float>> lines_;
    std::vector<float> sums_;
    Phases phases_{};
};

// Decodes `path` at its own rate and measures it as the join will play it on
// `outputChannels` (0: the file's own count): a mono input joined into stereo counts twice
// (dual mono), a stereo input joined into mono is measured on the mix of its channels.
// `progress` gets the sample frames done so far and returns false to stop (then the result is
// false too). False when nothing could be decoded or the measurement could not be set up; a
// read that failed (or found the file shrunk) also leaves its message in `readError`.
bool MeasureLoudness(const std::string& path, LoudnessMeasure& m,
                     const std::function<bool(uint64_t framesDone)>& progress, unsigned outputChannels = 0,
                     std::string* readError = nullptr);

// The gain in dB for `target` LUFS, lowered so that the true peak stays at or below -1 dBTP;
// 0 for a silent input.
double LoudnessGainDb(const LoudnessMeasure& m, double target);

struct CConversionTask;
struct JoinEngine;
struct JoinRunState;

// Job thread, before a task's workers start: measures every input ("Measuring loudness" with
// its own progress, one log line per input) and sets the task's per-input gains for the
// settings' target. False when the run was stopped meanwhile.
bool EvenOutLoudness(JoinEngine& engine, JoinRunState& run, CConversionTask& task);

}  // namespace velmora
