// Even loudness: each input's integrated loudness (EBU R128 / ITU-R BS.1770), true peak and the
// audiobook stores' figures, measured with the decoder before the join; the one constant gain
// that brings it to the preset's target, and the limiter's ceiling that holds its peaks.
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
// The audiobook stores' rule, checked per chapter.
inline constexpr double kAudiobookRmsDb = -20.0;
inline constexpr double kAudiobookRmsLowDb = -23.0;
inline constexpr double kAudiobookRmsHighDb = -18.0;
inline constexpr double kAudiobookPeakDb = -3.0;
inline constexpr double kAudiobookNoiseFloorDb = -60.0;
// Levels of digital silence read as this, not as minus infinity.
inline constexpr double kSilenceDb = -120.0;

struct LoudnessMeasure {
    bool silent = true;       // no gated loudness (silence, or nothing decoded)
    double lufs = 0.0;        // integrated loudness when not silent
    double truePeakDb = kSilenceDb;  // dBTP, the highest of the channels
    // The stores' figures, in their checkers' convention: RMS over every sample of every
    // channel with a full-scale square wave at 0 dB (a full-scale sine reads -3.01 dB), the
    // highest sample, and the noise floor: the RMS of the quietest 500 ms (in 50 ms steps).
    double rmsDb = kSilenceDb;
    double samplePeakDb = kSilenceDb;
    double noiseFloorDb = kSilenceDb;
};

// One input as the first measurement saw it, in bins of 1 ms (100 to each 100 ms piece of the
// loudness meter): per bin the highest of its samples and of the midpoints between them, and
// its energy (K-weighted as the loudness meter weighs it, or plain for the stores' RMS), both
// as hundredths of a dB of their squares. Enough to play the limiter's envelope over the input
// at any gain without decoding it again; 4 bytes a millisecond.
struct LimiterModel {
    bool weighted = true;
    unsigned channels = 0;
    size_t framesPer100ms = 0;
    uint64_t frames = 0;
    std::vector<int16_t> peak;
    std::vector<int16_t> energy;
};

// What the limiter model gives at a gain and ceiling (dB): the loudness (or silent), the
// deepest reduction, and with a plain-energy model the stores' figures; `peakDb` is the highest
// sample or midpoint.
struct LimitedFigures {
    bool silent = true;
    double lufs = 0.0;
    double rmsDb = kSilenceDb;
    double peakDb = kSilenceDb;
    double noiseFloorDb = kSilenceDb;
    double reductionDb = 0.0;
};
LimitedFigures PlayLimiter(const LimiterModel& model, double gainDb, double ceilingDb);

// The largest of `start` and the magnitudes of `n` floats (vectorised).
float MaxMagnitude(const float* v, size_t n, float start = 0.0f);

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
    // Also gives the K-weighted energy of each 1 ms bin (see LimiterModel) from now on.
    void KeepBins(std::vector<int16_t>* bins) { bins_ = bins; }
    size_t FramesPer100ms() const { return framesPer100ms_; }
    // Integrated loudness of 100 ms piece energies (sums of weighted squares) under the gates.
    static bool Integrated(const std::vector<double>& pieces, size_t framesPer100ms, double& lufs);

private:
    unsigned channels_;
    size_t framesPer100ms_;
    std::vector<int16_t>* bins_ = nullptr;
    size_t binInPiece_ = 0;
    double binStart_ = 0.0;  // the piece's sum of squares where the bin began
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
// With `model`, the bins of a LimiterModel are gathered too (its `weighted` says which energy).
bool MeasureLoudness(const std::string& path, LoudnessMeasure& m,
                     const std::function<bool(uint64_t framesDone)>& progress, unsigned outputChannels = 0,
                     std::string* readError = nullptr, LimiterModel* model = nullptr);

// Whether the figures meet the audiobook rule; `why` gets what misses it ("too noisy", ...,
// joined with "and"), or is cleared.
bool MeetsAudiobookRule(const LoudnessMeasure& m, std::string* why = nullptr);

// The limiter's ceilings inside the engine, under the ones the user asked for by the margin
// the MP3 encoder (and a rate conversion) needs: see loudness.cpp for the measured figures.
double LimiterCeilingDb(int32_t preset);
// More limiting than this is not asked of the limiter: the gain stops short of the target.
inline constexpr double kMaxLimitingDb = 20.0;

// One input's gain for a preset, from its measurement and limiter model (null: no model, the
// limiter's cost is not made up). `gainDb` brings the input to the preset's target: the
// integrated loudness of the LUFS presets as it comes out of the limiter, or the audiobook
// RMS. `limitingDb` is the deepest reduction the limiter will make (0: it will not act).
// `shortDb` is how far the gain stays under the target: where more would need over
// kMaxLimitingDb of limiting, where more gain would only flatten the peaks (`loudInPeaks`), or
// for the audiobook where the noise floor would pass the rule. `figures`: the input as the join
// will give it (with a plain-energy model, the stores' figures).
struct GainPlan {
    double gainDb = 0.0;
    double ceilingDb = 0.0;
    double limitingDb = 0.0;
    double shortDb = 0.0;
    bool loudInPeaks = false;
    LimitedFigures figures;
};
// `encoderLevelDb`: what the encoder itself does to the level (EncoderLevelDb); `gainDb` and
// `ceilingDb` make up for it, `figures` are the decoded output's.
GainPlan PlanLoudnessGain(const LoudnessMeasure& m, const LimiterModel* model, int32_t preset, double targetLufs,
                          double encoderLevelDb = 0.0);
// The level change (dB) of the MP3 encoder at a constant bit rate and output rate.
double EncoderLevelDb(unsigned kbps, uint32_t outputRate);

struct CConversionTask;
struct JoinEngine;
struct JoinRunState;

// Job thread, before a task's workers start: measures every input ("Measuring loudness" with
// its own progress, one log line per input) and sets the task's per-input gains and limiter
// ceilings for the settings' preset. False when the run was stopped meanwhile.
bool EvenOutLoudness(JoinEngine& engine, JoinRunState& run, CConversionTask& task);

}  // namespace velmora
