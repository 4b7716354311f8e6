#include "engine/loudness.h"

#include <mpg123.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <type_traits>
#include <vector>
#include <chrono>
#include <thread>

#include "engine/audio_source.h"
#include "engine/join_runner.h"
#include "engine/join_sink.h"
#include "engine/join_task.h"
#include "engine/limiter.h"
#include "engine/media_file.h"

namespace velmora {

namespace {
// The hot loops are built twice, for any x86-64 and for one with AVX2 and FMA, and the first
// call picks the one the processor runs. Not the loader's ifunc: its resolver runs before a
// sanitizer's run-time is set up.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VELMORA_WIDE_BUILD 1
#define VELMORA_WIDE __attribute__((target("avx2,fma")))
bool RunsWide() {
    static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return wide;
}
#endif
#define VELMORA_INLINE inline __attribute__((always_inline))

constexpr size_t kHistory = TruePeakMeter::kTapsPerPhase - 1;
constexpr size_t kChunkFrames = 4096;

// Two four-lane running maxima of magnitudes (written with vector types: the compiler kept the
// plain loop scalar).
using Floats = float __attribute__((vector_size(16)));
using FloatBits = int32_t __attribute__((vector_size(16)));

VELMORA_INLINE Floats Magnitudes(const float* v) {
    Floats x;
    std::memcpy(&x, v, sizeof x);
    return reinterpret_cast<Floats>(reinterpret_cast<FloatBits>(x) & 0x7fffffff);
}

VELMORA_INLINE float MaxAbs(const float* v, size_t n, float start) {
    Floats a = {start, start, start, start}, b = a;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const Floats x = Magnitudes(v + i), y = Magnitudes(v + i + 4);
        a = x > a ? x : a;
        b = y > b ? y : b;
    }
    a = b > a ? b : a;
    float m = std::max(std::max(a[0], a[1]), std::max(a[2], a[3]));
    for (; i < n; ++i) m = std::max(m, std::fabs(v[i]));
    return m;
}

// The sum of squares of `n` floats, eight lanes at a time (in float: a piece of a few
// thousand samples loses nothing that shows in a level).
VELMORA_INLINE double SumOfSquares(const float* v, size_t n) {
    Floats a = {0, 0, 0, 0}, b = a;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        Floats x, y;
        std::memcpy(&x, v + i, sizeof x);
        std::memcpy(&y, v + i + 4, sizeof y);
        a += x * x;
        b += y * y;
    }
    a += b;
    double sum = static_cast<double>(a[0]) + a[1] + a[2] + a[3];
    for (; i < n; ++i) sum += static_cast<double>(v[i]) * v[i];
    return sum;
}

// K-weighting of `n` frames (both channels side by side in a two-lane vector) and the sum of
// their squares. Direct form I: the feedback term on the previous output is added last, so
// the chain from one sample to the next is one multiply and one add (one FMA where the
// machine has it).
using Lanes = double __attribute__((vector_size(16)));

VELMORA_INLINE void KWeightBody(const float* in, size_t n, bool stereo, const double (&c)[7], double (&state)[7][2]) {
    auto lanes = [](double v) { return Lanes{v, v}; };
    auto load = [&](int i) { return Lanes{state[i][0], state[i][1]}; };
    const Lanes b0 = lanes(c[0]), b1 = lanes(c[1]), b2 = lanes(c[2]), a1 = lanes(c[3]), a2 = lanes(c[4]);
    const Lanes r1 = lanes(c[5]), r2 = lanes(c[6]), two = lanes(2.0);
    Lanes x1 = load(0), x2 = load(1), y1 = load(2), y2 = load(3), z1 = load(4), z2 = load(5), sum = load(6);
    for (size_t i = 0; i < n; ++i) {
        const Lanes u = stereo ? Lanes{in[2 * i], in[2 * i + 1]} : Lanes{in[i], 0.0};
        const Lanes y = (b0 * u + b1 * x1 + b2 * x2 - a2 * y2) - a1 * y1;
        const Lanes z = (y - two * y1 + y2 - r2 * z2) - r1 * z1;
        x2 = x1;
        x1 = u;
        y2 = y1;
        y1 = y;
        z2 = z1;
        z1 = z;
        sum += z * z;
    }
    const Lanes out[7] = {x1, x2, y1, y2, z1, z2, sum};
    for (int i = 0; i < 7; ++i) {
        state[i][0] = out[i][0];
        state[i][1] = out[i][1];
    }
}

// The in-between values of one block of a channel's line for the three phases; returns the
// largest magnitude among them and `peak`.
using Phases = std::array<std::array<float, TruePeakMeter::kTapsPerPhase>, 3>;

VELMORA_INLINE float PhasesPeakBody(const float* line, size_t m, const Phases& phases, float* sums, float peak) {
    const float* at = line + kHistory;
    for (const auto& taps : phases) {
        // All twelve taps of a run of outputs at once, in registers.
        for (size_t i = 0; i < m; ++i) {
            float sum = 0.0f;
            for (size_t k = 0; k < TruePeakMeter::kTapsPerPhase; ++k) sum += taps[k] * at[i - k];
            sums[i] = sum;
        }
        peak = MaxAbs(sums, m, peak);
    }
    return peak;
}

#ifdef VELMORA_WIDE_BUILD
VELMORA_WIDE void KWeightWide(const float* in, size_t n, bool stereo, const double (&c)[7], double (&state)[7][2]) {
    KWeightBody(in, n, stereo, c, state);
}

VELMORA_WIDE float PhasesPeakWide(const float* line, size_t m, const Phases& phases, float* sums, float peak) {
    return PhasesPeakBody(line, m, phases, sums, peak);
}
#endif

void KWeight(const float* in, size_t n, bool stereo, const double (&c)[7], double (&state)[7][2]) {
#ifdef VELMORA_WIDE_BUILD
    if (RunsWide()) return KWeightWide(in, n, stereo, c, state);
#endif
    KWeightBody(in, n, stereo, c, state);
}

float PhasesPeak(const float* line, size_t m, const Phases& phases, float* sums, float peak) {
#ifdef VELMORA_WIDE_BUILD
    if (RunsWide()) return PhasesPeakWide(line, m, phases, sums, peak);
#endif
    return PhasesPeakBody(line, m, phases, sums, peak);
}
}  // namespace

float MaxMagnitude(const float* v, size_t n, float start) { return MaxAbs(v, n, start); }

LoudnessMeter::LoudnessMeter(unsigned channels, long rate, bool dualMono)
    : channels_(channels), framesPer100ms_(static_cast<size_t>((rate + 5) / 10)), weight_(dualMono ? 2.0 : 1.0) {
    constexpr double kPi = 3.14159265358979323846;
    // The shelf: +4 dB above about 1.7 kHz.
    double f0 = 1681.974450955533;
    double q = 0.7071752369554196;
    double k = std::tan(kPi * f0 / static_cast<double>(rate));
    const double vh = std::pow(10.0, 3.999843853973347 / 20.0);
    const double vb = std::pow(vh, 0.4996667741545416);
    double a0 = 1.0 + k / q + k * k;
    coefs_[0] = (vh + vb * k / q + k * k) / a0;
    coefs_[1] = 2.0 * (k * k - vh) / a0;
    coefs_[2] = (vh - vb * k / q + k * k) / a0;
    coefs_[3] = 2.0 * (k * k - 1.0) / a0;
    coefs_[4] = (1.0 - k / q + k * k) / a0;
    // The high-pass at 38 Hz.
    f0 = 38.13547087602444;
    q = 0.5003270373238773;
    k = std::tan(kPi * f0 / static_cast<double>(rate));
    a0 = 1.0 + k / q + k * k;
    coefs_[5] = 2.0 * (k * k - 1.0) / a0;
    coefs_[6] = (1.0 - k / q + k * k) / a0;
}

namespace {

// Hundredths of a dB of a square (an energy, or a peak squared), and back through a table.
int16_t CentiDb(double square) {
    if (!(square > 0.0)) return std::numeric_limits<int16_t>::min();
    return static_cast<int16_t>(std::clamp(std::lround(1000.0 * std::log10(square)), -32767L, 32767L));
}

float FromCentiDb(int16_t v) {
    static const std::vector<float> table = [] {
        std::vector<float> t(65536);
        for (int i = 0; i < 65536; ++i) t[static_cast<size_t>(i)] = static_cast<float>(std::pow(10.0, (i - 32768) / 1000.0));
        t[0] = 0.0f;
        return t;
    }();
    return table[static_cast<size_t>(v + 32768)];
}

// Bin `j` of a 100 ms piece of `frames` frames ends here.
size_t BinEnd(size_t framesPer100ms, size_t j) { return (j + 1) * framesPer100ms / 100; }

}  // namespace

void LoudnessMeter::Add(const float* interleaved, size_t frames) {
    const double absoluteGate = std::pow(10.0, (-70.0 + 0.691) / 10.0);
    while (frames > 0) {
        const size_t end = bins_ ? BinEnd(framesPer100ms_, binInPiece_) : framesPer100ms_;
        const size_t n = std::min(frames, end - inPiece_);
        KWeight(interleaved, n, channels_ == 2, coefs_, state_);
        interleaved += n * channels_;
        frames -= n;
        inPiece_ += n;
        if (inPiece_ < end) break;
        if (bins_) {
            const double sum = state_[6][0] + state_[6][1];
            bins_->push_back(CentiDb((sum - binStart_) * weight_));
            binStart_ = sum;
            ++binInPiece_;
        }
        if (inPiece_ < framesPer100ms_) continue;
        const double piece = (state_[6][0] + state_[6][1]) * weight_;
        state_[6][0] = state_[6][1] = 0.0;
        inPiece_ = 0;
        binInPiece_ = 0;
        binStart_ = 0.0;
        if (pieceCount_ >= 3) {
            const double block = (pieces_[0] + pieces_[1] + pieces_[2] + piece) / (4.0 * framesPer100ms_);
            if (block >= absoluteGate) blocks_.push_back(block);
        }
        pieces_[0] = pieces_[1];
        pieces_[1] = pieces_[2];
        pieces_[2] = piece;
        ++pieceCount_;
    }
    // After the signal stops the filters' memory decays towards denormals, which are slow
    // to compute with; far below anything audible it is set to zero.
    for (int v = 0; v < 6; ++v)
        for (double& lane : state_[v])
            if (std::fabs(lane) < 1e-30) lane = 0.0;
}

bool LoudnessMeter::Integrated(double& lufs) const {
    if (blocks_.empty()) return false;
    double mean = 0;
    for (double b : blocks_) mean += b;
    const double relativeGate = mean / static_cast<double>(blocks_.size()) * 0.1;  // -10 LU
    double gated = 0;
    size_t count = 0;
    for (double b : blocks_)
        if (b >= relativeGate) {
            gated += b;
            ++count;
        }
    if (count == 0 || gated <= 0) return false;
    lufs = 10.0 * std::log10(gated / static_cast<double>(count)) - 0.691;
    return true;
}

bool LoudnessMeter::Integrated(const std::vector<double>& pieces, size_t framesPer100ms, double& lufs) {
    const double absoluteGate = std::pow(10.0, (-70.0 + 0.691) / 10.0);
    LoudnessMeter gates(1, 8000);
    for (size_t i = 3; i < pieces.size(); ++i) {
        const double block = (pieces[i - 3] + pieces[i - 2] + pieces[i - 1] + pieces[i]) / (4.0 * framesPer100ms);
        if (block >= absoluteGate) gates.blocks_.push_back(block);
    }
    return gates.Integrated(lufs);
}

const TruePeakMeter::Phases& TruePeakMeter::PhaseTaps() {
    static const Phases phases = [] {
        // Prototype: 49 taps, h[j] = sinc((j - 24) / 4) * Hann(j); phase p takes taps 4k + p.
        constexpr double kPi = 3.14159265358979323846;
        Phases taps{};
        for (int p = 1; p <= 3; ++p)
            for (int k = 0; k < kTapsPerPhase; ++k) {
                const int j = 4 * k + p;
                const double m = (j - 24) / 4.0;
                const double window = 0.5 * (1.0 - std::cos(2.0 * kPi * j / 48.0));
                taps[static_cast<size_t>(p - 1)][static_cast<size_t>(k)] =
                    static_cast<float>(std::sin(kPi * m) / (kPi * m) * window);
            }
        return taps;
    }();
    return phases;
}

float TruePeakMeter::Overshoot() {
    static const float overshoot = [] {
        float most = 0.0f;
        for (const auto& taps : PhaseTaps()) {
            float sum = 0.0f;
            for (float t : taps) sum += std::fabs(t);
            most = std::max(most, sum);
        }
        return most;
    }();
    return overshoot;
}

TruePeakMeter::TruePeakMeter(unsigned channels)
    : channels_(channels), overshoot_(Overshoot()), lines_(channels), sums_(kChunkFrames), phases_(PhaseTaps()) {
    for (auto& line : lines_) line.assign(kHistory + kChunkFrames, 0.0f);
}

void TruePeakMeter::Add(const float* interleaved, size_t frames) {
    // Where a block's bound (see overshoot_) stays under the peak found so far, the filter is
    // skipped. Most of a programme's blocks are well below its peak.
    constexpr size_t kBlock = 256;
    while (frames > 0) {
        const size_t n = std::min(frames, kChunkFrames);
        for (unsigned c = 0; c < channels_; ++c) {
            float* line = lines_[c].data();
            for (size_t i = 0; i < n; ++i) line[kHistory + i] = interleaved[i * channels_ + c];
            float peak = MaxAbs(line + kHistory, n, peak_);
            float* sums = sums_.data();
            for (size_t b = 0; b < n; b += kBlock) {
                const size_t m = std::min(kBlock, n - b);
                if (MaxAbs(line + b, m + kHistory, 0.0f) * overshoot_ <= peak) continue;
                peak = PhasesPeak(line + b, m, phases_, sums, peak);
            }
            peak_ = peak;
            std::copy(line + n, line + n + kHistory, line);
        }
        interleaved += n * channels_;
        frames -= n;
    }
}

namespace {

// Gives the next block of float samples at the file's rate and `channels`; 0 at the end.
using FloatReader = std::function<size_t(float* into, size_t maxFrames)>;

// The stores' figures of interleaved float samples: RMS, sample peak and the noise floor (the
// quietest 500 ms window, windows 50 ms apart).
class LevelMeter {
public:
    LevelMeter(unsigned channels, long rate)
        : channels_(channels), pieceFrames_(std::max<size_t>(1, static_cast<size_t>(rate / 20))) {}

    void Add(const float* interleaved, size_t frames) {
        peak_ = MaxAbs(interleaved, frames * channels_, peak_);
        while (frames > 0) {
            const size_t n = std::min(frames, pieceFrames_ - inPiece_);
            piece_ += SumOfSquares(interleaved, n * channels_);
            interleaved += n * channels_;
            frames -= n;
            inPiece_ += n;
            if (inPiece_ < pieceFrames_) break;
            total_ += piece_;
            window_ += piece_ - pieces_[count_ % kPieces];
            pieces_[count_ % kPieces] = piece_;
            ++count_;
            if (count_ >= kPieces) quietest_ = std::min(quietest_, window_);
            piece_ = 0.0;
            inPiece_ = 0;
        }
    }

    void Finish(LoudnessMeasure& m) const {
        const double frames = static_cast<double>(count_ * pieceFrames_ + inPiece_);
        if (frames == 0) return;
        const double samples = frames * channels_;
        m.rmsDb = Db((total_ + piece_) / samples);
        m.samplePeakDb = std::max(kSilenceDb, 20.0 * std::log10(std::max(peak_, 1e-30f)));
        // Shorter than one window: the whole input is its own quietest stretch.
        m.noiseFloorDb = count_ >= kPieces ? Db(quietest_ / (kPieces * pieceFrames_ * channels_)) : m.rmsDb;
    }

private:
    static constexpr size_t kPieces = 10;
    static double Db(double meanSquare) { return std::max(kSilenceDb, 10.0 * std::log10(std::max(meanSquare, 1e-30))); }

    unsigned channels_;
    size_t pieceFrames_;
    size_t inPiece_ = 0;
    size_t count_ = 0;
    double piece_ = 0.0;
    double pieces_[kPieces] = {};
    double window_ = 0.0;
    double total_ = 0.0;
    double quietest_ = 1e300;
    float peak_ = 0.0f;
};

// Gives the next block of float samples at the file's rate and `channels`; 0 at the end.
using FloatReader = std::function<size_t(float* into, size_t maxFrames)>;

// The limiter model's peaks and plain energies, bin by bin (see LimiterModel).
class BinMeter {
public:
    BinMeter(LimiterModel& model, size_t framesPer100ms)
        : model_(model), framesPer100ms_(framesPer100ms), lines_(model.channels, std::vector<float>(3 + 4096, 0.0f)),
          peaks_(4096) {}

    void Add(const float* interleaved, size_t frames) {
        const unsigned channels = model_.channels;
        while (frames > 0) {
            const size_t n = std::min<size_t>(frames, 4096);
            // Per frame the highest square of a sample or of the midpoint before the newest
            // sample's predecessor (by the four samples around it), over the channels.
            std::fill(peaks_.begin(), peaks_.begin() + static_cast<long>(n), 0.0f);
            for (unsigned c = 0; c < channels; ++c) {
                float* line = lines_[c].data();  // three samples of history, then the block
                for (size_t i = 0; i < n; ++i) line[3 + i] = interleaved[i * channels + c];
                for (size_t i = 0; i < n; ++i) {
                    const float x = line[3 + i];
                    const float mid = 0.5625f * (line[1 + i] + line[2 + i]) - 0.0625f * (line[i] + x);
                    peaks_[i] = std::max(peaks_[i], std::max(x * x, mid * mid));
                }
                std::copy(line + n, line + n + 3, line);
            }
            for (size_t i = 0; i < n;) {
                const size_t end = std::min(n, i + BinEnd(framesPer100ms_, bin_) - inPiece_);
                peak_ = MaxAbs(peaks_.data() + i, end - i, peak_);
                if (!model_.weighted) energy_ += SumOfSquares(interleaved + i * channels, (end - i) * channels);
                inPiece_ += end - i;
                i = end;
                if (inPiece_ < BinEnd(framesPer100ms_, bin_)) break;
                model_.peak.push_back(CentiDb(peak_));
                if (!model_.weighted) model_.energy.push_back(CentiDb(energy_));
                peak_ = 0.0f;
                energy_ = 0.0;
                if (++bin_ == 100) {
                    bin_ = 0;
                    inPiece_ = 0;
                }
            }
            interleaved += n * channels;
            frames -= n;
        }
    }

private:
    LimiterModel& model_;
    size_t framesPer100ms_;
    size_t inPiece_ = 0;
    size_t bin_ = 0;
    std::vector<std::vector<float>> lines_;
    std::vector<float> peaks_;
    float peak_ = 0.0f;
    double energy_ = 0.0;
};

// The meters over one input, as the join will play it (see MeasureLoudness).
bool MeasureBlocks(const FloatReader& read, long rate, unsigned channels, unsigned outputChannels,
                   LoudnessMeasure& m, const std::function<bool(uint64_t framesDone)>& progress,
                   LimiterModel* model) {
    // A mono input joined into stereo plays on both sides: louder by 3 dB than alone.
    LoudnessMeter loudness(channels, rate, channels == 1 && outputChannels == 2);
    TruePeakMeter truePeak(channels);
    LevelMeter levels(channels, rate);
    std::unique_ptr<BinMeter> bins;
    if (model) {
        model->channels = channels;
        model->framesPer100ms = loudness.FramesPer100ms();
        model->peak.clear();
        model->energy.clear();
        if (model->weighted) loudness.KeepBins(&model->energy);
        bins = std::make_unique<BinMeter>(*model, model->framesPer100ms);
    }
    std::vector<float> block(4096 * channels);
    uint64_t frames = 0;
    for (;;) {
        const size_t n = read(block.data(), 4096);
        loudness.Add(block.data(), n);
        truePeak.Add(block.data(), n);
        levels.Add(block.data(), n);
        if (bins) bins->Add(block.data(), n);
        frames += n;
        if (progress && !progress(frames)) return false;
        if (n == 0) break;
    }
    if (frames == 0) return false;
    if (model) model->frames = frames;
    double lufs = 0;
    if (loudness.Integrated(lufs) && std::isfinite(lufs)) {
        m.silent = false;
        m.lufs = lufs;
    }
    const double peak = truePeak.Peak();
    m.truePeakDb = peak > 0 ? std::max(kSilenceDb, 20.0 * std::log10(peak)) : kSilenceDb;
    levels.Finish(m);
    return true;
}

bool MeasureMpegAudio(const std::string& path, LoudnessMeasure& m,
                      const std::function<bool(uint64_t framesDone)>& progress, unsigned outputChannels,
                      std::string* readError, LimiterModel* model) {
    MediaFile file;
    DecoderSource source{&file};
    std::unique_ptr<mpg123_handle, void (*)(mpg123_handle*)> handle(mpg123_new(nullptr, nullptr), [](mpg123_handle* h) {
        if (h) {
            mpg123_close(h);
            mpg123_delete(h);
        }
    });
    if (!handle) return false;
    mpg123_param(handle.get(), MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    // As the join's decoder: past damaged data of any length, so the whole input is measured.
    mpg123_param(handle.get(), MPG123_RESYNC_LIMIT, -1, 0);
    // The conversion averages the channels of a stereo input for a mono output; so does this.
    if (outputChannels == 1) mpg123_param(handle.get(), MPG123_ADD_FLAGS, MPG123_MONO_MIX, 0);
    // Float at whatever rate and channel count the file has: the measure is the file's own,
    // before any conversion.
    mpg123_format_none(handle.get());
    static const long kRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
    for (long r : kRates) mpg123_format(handle.get(), r, MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32);
    // The file is declared before the handle, which reads it until it is closed.
    if (!file.Open(path) || !OpenOnDecoder(handle.get(), source)) return false;
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    if (mpg123_getformat(handle.get(), &rate, &channels, &encoding) != MPG123_OK || rate <= 0 || channels < 1 ||
        channels > 2)
        return false;
    bool ended = false;
    const auto read = [&](float* into, size_t maxFrames) -> size_t {
        if (ended) return 0;
        size_t done = 0;
        const int r = mpg123_read(handle.get(), reinterpret_cast<unsigned char*>(into),
                                  maxFrames * static_cast<size_t>(channels) * sizeof(float), &done);
        ended = r != MPG123_OK;
        return done / sizeof(float) / static_cast<size_t>(channels);
    };
    const bool ok = MeasureBlocks(read, rate, static_cast<unsigned>(channels), outputChannels, m, progress, model);
    if (file.failed()) {
        if (readError) *readError = file.errorText();
        return false;
    }
    return ok;
}

bool MeasureOtherAudio(const std::string& path, LoudnessMeasure& m,
                       const std::function<bool(uint64_t framesDone)>& progress, unsigned outputChannels,
                       std::string* readError, LimiterModel* model) {
    FfmpegAudioSource source;
    if (!source.Open(path)) return false;
    const unsigned channels = source.channels();
    // As for MPEG audio: a stereo input joined into mono is measured on the mix of its sides.
    const bool mix = channels == 2 && outputChannels == 1;
    std::vector<int32_t> samples;
    const auto read = [&](float* into, size_t maxFrames) -> size_t {
        samples.resize(maxFrames * channels);
        const size_t frames = source.Read(samples.data(), samples.size()) / channels;
        constexpr float kScale = 1.0f / 2147483648.0f;
        if (mix) {
            for (size_t i = 0; i < frames; ++i)
                into[i] = (static_cast<float>(samples[2 * i]) + static_cast<float>(samples[2 * i + 1])) * 0.5f * kScale;
        } else {
            for (size_t i = 0; i < frames * channels; ++i) into[i] = static_cast<float>(samples[i]) * kScale;
        }
        return frames;
    };
    const bool ok = MeasureBlocks(read, static_cast<long>(source.sampleRate()), mix ? 1u : channels, outputChannels,
                                  m, progress, model);
    if (source.failed()) {
        if (readError) *readError = source.error();
        return false;
    }
    return ok;
}

}  // namespace

bool MeasureLoudness(const std::string& path, LoudnessMeasure& m,
                     const std::function<bool(uint64_t framesDone)>& progress, unsigned outputChannels,
                     std::string* readError, LimiterModel* model) {
    m = {};
    if (readError) readError->clear();
    return IsMpegAudioFile(path) ? MeasureMpegAudio(path, m, progress, outputChannels, readError, model)
                                 : MeasureOtherAudio(path, m, progress, outputChannels, readError, model);
}

LimitedFigures PlayLimiter(const LimiterModel& model, double gainDb, double ceilingDb) {
    LimitedFigures out;
    const size_t bins = std::min(model.peak.size(), model.energy.size());
    if (bins == 0 || model.channels == 0) return out;
    // The limiter's envelope (engine/limiter.h) with a bin for a frame.
    const size_t lookAhead = static_cast<size_t>(std::lround(kLimiterLookAheadMs));
    const size_t hold = static_cast<size_t>(std::lround(kLimiterHoldMs));
    LimiterRelease release(1000.0);
    const double gain2 = std::pow(10.0, gainDb / 10.0);
    const double ceiling2 = std::pow(10.0, ceilingDb / 10.0);
    std::vector<std::pair<size_t, double>> queue(hold + 1);  // running minimum of the need, as a ring
    size_t head = 0, tail = 0;
    std::vector<double> box(lookAhead, 1.0);
    double boxSum = static_cast<double>(lookAhead), released = 1.0, deepest = 1.0, highest = 0.0, total = 0.0;
    size_t below = 0;
    std::vector<double> pieces(bins / 100, 0.0);
    std::vector<double> stretches;  // plain energy of each 50 ms
    double stretch = 0.0;
    for (size_t n = 0; n < bins + lookAhead - 1; ++n) {
        const double peak2 = n < bins ? FromCentiDb(model.peak[n]) * gain2 : 0.0;
        const double need = peak2 > ceiling2 ? std::sqrt(ceiling2 / peak2) : 1.0;
        while (tail != head && queue[(tail - 1) % queue.size()].second >= need) --tail;
        queue[tail++ % queue.size()] = {n, need};
        while (queue[head % queue.size()].first + hold <= n) ++head;
        const double held = queue[head % queue.size()].second;
        released = release.Step(held);
        const double old = box[n % lookAhead];
        box[n % lookAhead] = released;
        below += (released < 1.0) - (old < 1.0);
        boxSum = below == 0 ? static_cast<double>(lookAhead) : boxSum + released - old;
        if (n + 1 < lookAhead) continue;
        const size_t b = n + 1 - lookAhead;  // the bin this gain is for
        const double g = boxSum / static_cast<double>(lookAhead);
        const double g2 = g * g * gain2;
        deepest = std::min(deepest, g);
        highest = std::max(highest, FromCentiDb(model.peak[b]) * g2);
        const double e = FromCentiDb(model.energy[b]) * g2;
        if (b / 100 < pieces.size()) pieces[b / 100] += e;
        total += e;
        stretch += e;
        if (b % 50 == 49) {
            stretches.push_back(stretch);
            stretch = 0.0;
        }
    }
    out.reductionDb = -20.0 * std::log10(deepest);
    out.peakDb = std::max(kSilenceDb, 10.0 * std::log10(std::max(highest, 1e-30)));
    if (model.weighted) {
        out.silent = !LoudnessMeter::Integrated(pieces, model.framesPer100ms, out.lufs);
        return out;
    }
    const auto db = [](double meanSquare) { return std::max(kSilenceDb, 10.0 * std::log10(std::max(meanSquare, 1e-30))); };
    const double samples = static_cast<double>(model.frames) * model.channels;
    out.rmsDb = db(total / samples);
    // The quietest 500 ms, windows 50 ms apart, as the level meter reads it.
    double quietest = total, window = 0.0;
    const double perWindow = 500.0 * static_cast<double>(model.framesPer100ms) / 100.0 * model.channels;
    for (size_t i = 0; i < stretches.size(); ++i) {
        window += stretches[i] - (i >= 10 ? stretches[i - 10] : 0.0);
        if (i >= 9) quietest = std::min(quietest, window);
    }
    out.noiseFloorDb = stretches.size() >= 10 ? db(quietest / perWindow) : out.rmsDb;
    out.silent = false;
    return out;
}

double LimiterCeilingDb(int32_t preset) {
    // The limiter holds the true peak before the encoder; the decoded MP3 reconstructs the
    // waveform from less than it was given (the low-pass at 16 to 17 kHz, coarser
    // quantisation), and its peaks come out higher. Measured at 128 kbit/s through the join
    // (after making up the encoder's own level, EncoderLevelDb), limited material at the
    // nominal ceiling came out higher by up to 0.05 dB for speech, 0.3 dB for 10 kHz bursts
    // resampled from 48 kHz, 0.4 dB for 15 kHz bursts and 0.86 dB for 300 Hz square-wave
    // bursts (their harmonics above the low-pass carry the peaks' shape). A margin of 1 dB
    // keeps all of them at or below -1 dBTP (the square bursts at -1.4). The audiobook rule
    // counts sample peaks; its limiter still holds the true peak, since the decoded file's
    // samples fall anywhere on the waveform the encoder reconstructs. Those lift less: at
    // most 0.16 dB for speech and 0.46 dB for the square bursts at a -3 dBTP ceiling, so half
    // a decibel (the bursts at -3.17 dBFS).
    return preset == kLoudnessAudiobook ? kAudiobookPeakDb - 0.5 : kTruePeakCeilingDb - 1.0;
}

namespace {

// The figures of a measure after a constant gain, where the limiter does not act.
LimitedFigures Gained(const LoudnessMeasure& m, double gainDb) {
    LimitedFigures f;
    f.silent = m.silent;
    f.lufs = m.lufs + gainDb;
    const auto shift = [&](double level) { return level > kSilenceDb ? std::max(kSilenceDb, level + gainDb) : level; };
    f.rmsDb = shift(m.rmsDb);
    f.peakDb = shift(m.samplePeakDb);
    f.noiseFloorDb = shift(m.noiseFloorDb);
    return f;
}

// A figure of the output that the gain is to bring to a target: the integrated loudness for
// the LUFS presets, the RMS for the audiobook.
using Figure = double (*)(const LimitedFigures&);
double LufsOf(const LimitedFigures& f) { return f.silent ? -1e9 : f.lufs; }
double RmsOf(const LimitedFigures& f) { return f.rmsDb; }

struct Reach {
    double gainDb = 0.0;
    LimitedFigures figures;
    bool loudInPeaks = false;
};

// The gain from `low` up to at most `high` at which `figure` of the limited output reaches
// `target`, played on the model in half-decibel steps and then halved down to a hundredth
// (the figure grows with the gain). Each step must still add a quarter of a decibel per
// decibel: where the level is in the peaks themselves (short bursts, say), more gain would
// only flatten them.
Reach ReachTarget(const LimiterModel& model, double ceilingDb, Figure figure, double target, double low, double high) {
    Reach r;
    r.gainDb = low;
    r.figures = PlayLimiter(model, low, ceilingDb);
    while (figure(r.figures) < target - 0.005) {
        const double next = std::min(r.gainDb + 0.5, high);
        if (next <= r.gainDb + 1e-9) break;  // the most limiting allowed
        const LimitedFigures up = PlayLimiter(model, next, ceilingDb);
        if ((figure(up) - figure(r.figures)) / (next - r.gainDb) < 0.25) {
            r.loudInPeaks = true;
            break;
        }
        if (figure(up) < target) {
            r.gainDb = next;
            r.figures = up;
            continue;
        }
        double top = next;
        LimitedFigures atTop = up;
        while (top - r.gainDb > 0.01) {
            const double mid = 0.5 * (r.gainDb + top);
            const LimitedFigures f = PlayLimiter(model, mid, ceilingDb);
            if (figure(f) < target) {
                r.gainDb = mid;
                r.figures = f;
            } else {
                top = mid;
                atTop = f;
            }
        }
        r.gainDb = top;
        r.figures = atTop;
        break;
    }
    return r;
}

}  // namespace

namespace {
GainPlan PlanOutput(const LoudnessMeasure& m, const LimiterModel* model, int32_t preset, double targetLufs);
}  // namespace

double EncoderLevelDb(unsigned kbps, uint32_t outputRate) {
    // libmp3lame's bit-rate presets scale the input before encoding (against clipping in
    // decoders), by 0.95 up to 160 kbit/s (so at every MPEG-2 rate), 0.97 at 192, 0.98 at 224
    // and not from 256: measured here as the level of a decoded sine against its source.
    if (outputRate < 32000 || kbps <= 160) return -0.45;
    if (kbps <= 192) return -0.26;
    if (kbps <= 224) return -0.18;
    return 0.0;
}

GainPlan PlanLoudnessGain(const LoudnessMeasure& m, const LimiterModel* model, int32_t preset, double targetLufs,
                          double encoderLevelDb) {
    // Planned in the decoded output's terms (gain and ceiling as the listener gets them), then
    // the encoder's own level is made up in what the engine applies.
    GainPlan p = PlanOutput(m, model, preset, targetLufs);
    p.gainDb -= encoderLevelDb;
    p.ceilingDb -= encoderLevelDb;
    return p;
}

namespace {

GainPlan PlanOutput(const LoudnessMeasure& m, const LimiterModel* model, int32_t preset, double targetLufs) {
    GainPlan p;
    p.ceilingDb = LimiterCeilingDb(preset);
    if (m.silent) return p;
    const bool audiobook = preset == kLoudnessAudiobook;
    const Figure figure = audiobook ? RmsOf : LufsOf;
    const double target = audiobook ? kAudiobookRmsDb : targetLufs;
    // A gain that needs more limiting than kMaxLimitingDb would flatten the material: it stops
    // where the limiter has that much to do.
    const double highest = p.ceilingDb + kMaxLimitingDb - m.truePeakDb;
    // The gain that brings the figure to `goal`: the constant gain where the limiter does not
    // act, else played on the model so that what the limiting takes is made up.
    const auto limits = [&](double gainDb) { return model && m.truePeakDb + gainDb > p.ceilingDb; };
    const auto gainFor = [&](double goal) {
        Reach r;
        r.gainDb = std::min(goal - (audiobook ? m.rmsDb : m.lufs), highest);
        r.figures = Gained(m, r.gainDb);
        if (limits(r.gainDb)) r = ReachTarget(*model, p.ceilingDb, figure, goal, r.gainDb, highest);
        return r;
    };
    Reach r = gainFor(target);
    if (audiobook) {
        // Quiet stretches are not limited, so the noise floor rises with every decibel of gain.
        // Noise raised past the rule is worse than a quieter book: the gain gives way, down to
        // an RMS half a decibel inside the rule. Noisier material than that gets that RMS, the
        // least noise the rule allows, and the report says it is too noisy.
        const double margin = 0.5;
        const double noiseGain = kAudiobookNoiseFloorDb - margin - m.noiseFloorDb;
        if (r.gainDb > noiseGain) {
            const double quiet = r.gainDb;
            const Reach lowest = gainFor(kAudiobookRmsLowDb + margin);
            r = lowest;
            if (noiseGain > lowest.gainDb) {
                r.gainDb = noiseGain;
                r.figures = limits(noiseGain) ? PlayLimiter(*model, noiseGain, p.ceilingDb) : Gained(m, noiseGain);
            }
            p.shortDb = quiet - r.gainDb;
        }
    }
    p.gainDb = r.gainDb;
    p.figures = r.figures;
    p.loudInPeaks = r.loudInPeaks;
    p.shortDb = std::max(p.shortDb, target - figure(r.figures) >= 0.05 ? target - figure(r.figures) : 0.0);
    p.limitingDb = std::max(0.0, m.truePeakDb + p.gainDb - p.ceilingDb);
    return p;
}

}  // namespace

bool MeetsAudiobookRule(const LoudnessMeasure& m, std::string* why) {
    std::vector<const char*> misses;
    if (m.rmsDb < kAudiobookRmsLowDb) misses.push_back("too quiet");
    if (m.rmsDb > kAudiobookRmsHighDb) misses.push_back("too loud");
    if (m.samplePeakDb > kAudiobookPeakDb) misses.push_back("peaks too high");
    if (m.noiseFloorDb > kAudiobookNoiseFloorDb) misses.push_back("too noisy");
    if (why) {
        why->clear();
        for (size_t i = 0; i < misses.size(); ++i) {
            if (i > 0) *why += i + 1 == misses.size() ? " and " : ", ";
            *why += misses[i];
        }
    }
    return misses.empty();
}

}  // namespace velmora

namespace velmora {

namespace {

// The audiobook preset's report line.
std::string AudiobookLine(const std::string& path, const LimitedFigures& f) {
    LoudnessMeasure m;
    m.rmsDb = f.rmsDb;
    m.samplePeakDb = f.peakDb;
    m.noiseFloorDb = f.noiseFloorDb;
    std::string why;
    const bool meets = MeetsAudiobookRule(m, &why);
    return FormatText("%s: RMS %.1f dB, peak %.1f dB, noise floor %.0f dB: %s", path.c_str(), m.rmsDb,
                      m.samplePeakDb, m.noiseFloorDb,
                      meets ? "meets the audiobook rule" : (why + " for the audiobook rule").c_str());
}

}  // namespace

bool EvenOutLoudness(JoinEngine& engine, JoinRunState& run, CConversionTask& task) {
    const std::shared_ptr<JoinSink> sink = engine.sink;
    if (sink) sink->SetTitle("Measuring loudness");
    PostJoinMessage(engine, "Measuring loudness.", kMessageInfo);
    const int32_t preset = LoudnessPresetOf(engine.settings.loudnessPreset).preset;
    const bool audiobook = preset == kLoudnessAudiobook;
    const double target = std::clamp(LoudnessTargetLufs(engine.settings), kLoudnessTargetMin, kLoudnessTargetMax);
    const std::vector<CFileToBeJoin>& files = *task.files;
    uint64_t total = 0;
    for (const CFileToBeJoin& f : files) total += f.channels ? f.totalSamples / f.channels : 0;
    // The targets are what the decoded output measures.
    const double encoderLevel = EncoderLevelDb(BitrateKbps(engine.settings.bitrateIndex), task.outputRate);
    task.inputGain.assign(files.size(), 1.0f);
    task.inputCeiling.assign(files.size(),
                             static_cast<float>(std::pow(10.0, (LimiterCeilingDb(preset) - encoderLevel) / 20.0)));

    // Inputs are measured side by side, one per hardware thread (at most 8): each is decoded
    // on its own, and the pass is bound by the decoder and the meters, not the disk. Results
    // are reported here, in list order, as they come in.
    struct Slot {
        LoudnessMeasure measure;
        GainPlan plan;
        bool ok = false;
        std::string readError;
        AtomicValue<uint64_t> framesDone{0};
        AtomicValue<int32_t> done{0};
    };
    std::vector<Slot> slots(files.size());
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (;;) {
            const size_t i = next.fetch_add(1, std::memory_order_acq_rel);
            if (i >= slots.size() || !run.running) return;
            Slot& slot = slots[i];
            // The model lets the limiter's cost in loudness be made up without decoding the
            // input again; it goes once the gain is planned.
            LimiterModel model;
            model.weighted = !audiobook;
            slot.ok = MeasureLoudness(
                files[i].path, slot.measure,
                [&](uint64_t frames) {
                    while (run.paused && run.running) std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    slot.framesDone = frames;
                    return run.running != 0;
                },
                task.outputChannels, &slot.readError, &model);
            if (slot.ok && !slot.measure.silent)
                slot.plan = PlanLoudnessGain(slot.measure, &model, preset, target, encoderLevel);
            slot.done = 1;
        }
    };
    const unsigned hw = std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < std::min<size_t>(hw, files.size()); ++t) threads.emplace_back(worker);

    size_t reported = 0;
    uint32_t last = TickCount();
    while (reported < files.size() && run.running) {
        while (reported < files.size() && slots[reported].done) {
            const CFileToBeJoin& f = files[reported];
            const Slot& slot = slots[reported];
            if (!slot.readError.empty()) {
                // Measured on part of the input, the gain would be wrong: the join ends here.
                PostJoinMessage(engine, FormatText("Error reading %s: %s.", f.path.c_str(), slot.readError.c_str()),
                                kMessageError);
                run.running = 0;
                break;
            }
            if (!slot.ok || slot.measure.silent) {
                PostJoinMessage(engine, FormatText("%s: silence, no gain", f.path.c_str()), kMessageInfo);
            } else {
                const GainPlan& plan = slot.plan;
                task.inputGain[reported] = static_cast<float>(std::pow(10.0, plan.gainDb / 20.0));
                std::string line;
                if (audiobook) {
                    line = AudiobookLine(f.path, plan.figures);
                } else {
                    line = FormatText("%s: %.1f LUFS, gain %+.1f dB", f.path.c_str(), slot.measure.lufs, plan.gainDb);
                    if (plan.limitingDb >= 0.05) line += FormatText(", peaks limited by up to %.1f dB", plan.limitingDb);
                    if (plan.shortDb >= 0.05 && plan.loudInPeaks)
                        line += FormatText(", %.1f dB short of the target: its loudness is in peaks the limiter holds",
                                           plan.shortDb);
                    else if (plan.shortDb >= 0.05)
                        line += FormatText(", %.1f dB short of the target: more would need over %.0f dB of limiting",
                                           plan.shortDb, kMaxLimitingDb);
                }
                PostJoinMessage(engine, line, kMessageInfo);
            }
            ++reported;
            if (sink && reported < files.size()) sink->SetSource(files[reported].path);
        }
        const uint32_t now = TickCount();
        if (now - last > 100 && total > 0) {
            last = now;
            uint64_t frames = 0;
            for (const Slot& slot : slots) frames += slot.framesDone;
            const float percent = static_cast<float>(std::min(100.0, frames * 100.0 / total));
            PostJoinProgress(engine, percent, percent, false);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (std::thread& t : threads) t.join();
    if (!run.running) return false;
    PostJoinProgress(engine, 0.0f, 0.0f, false);
    if (sink) sink->SetTitle("Joining...");
    return true;
}

}  // namespace velmora
