#include "engine/loudness.h"

#include <mpg123.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <type_traits>
#include <vector>
#include <chrono>
#include <thread>

#include "engine/audio_source.h"
#include "engine/join_runner.h"
#include "engine/join_sink.h"
#include "engine/join_task.h"
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

void LoudnessMeter::Add(const float* interleaved, size_t frames) {
    const double absoluteGate = std::pow(10.0, (-70.0 + 0.691) / 10.0);
    while (frames > 0) {
        const size_t n = std::min(frames, framesPer100ms_ - inPiece_);
        KWeight(interleaved, n, channels_ == 2, coefs_, state_);
        interleaved += n * channels_;
        frames -= n;
        inPiece_ += n;
        if (inPiece_ < framesPer100ms_) break;
        const double piece = (state_[6][0] + state_[6][1]) * weight_;
        state_[6][0] = state_[6][1] = 0.0;
        inPiece_ = 0;
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

// The meters over one input, as the join will play it (see MeasureLoudness).
bool MeasureBlocks(const FloatReader& read, long rate, unsigned channels, unsigned outputChannels,
                   LoudnessMeasure& m, const std::function<bool(uint64_t framesDone)>& progress) {
    // A mono input joined into stereo plays on both sides: louder by 3 dB than alone.
    LoudnessMeter loudness(channels, rate, channels == 1 && outputChannels == 2);
    TruePeakMeter truePeak(channels);
    std::vector<float> block(4096 * channels);
    uint64_t frames = 0;
    for (;;) {
        const size_t n = read(block.data(), 4096);
        loudness.Add(block.data(), n);
        truePeak.Add(block.data(), n);
        frames += n;
        if (progress && !progress(frames)) return false;
        if (n == 0) break;
    }
    if (frames == 0) return false;
    double lufs = 0;
    if (loudness.Integrated(lufs) && std::isfinite(lufs)) {
        m.silent = false;
        m.lufs = lufs;
    }
    const double peak = truePeak.Peak();
    m.truePeakDb = peak > 0 ? 20.0 * std::log10(peak) : -200.0;
    return true;
}

bool MeasureMpegAudio(const std::string& path, LoudnessMeasure& m,
                      const std::function<bool(uint64_t framesDone)>& progress, unsigned outputChannels,
                      std::string* readError) {
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
    const bool ok = MeasureBlocks(read, rate, static_cast<unsigned>(channels), outputChannels, m, progress);
    if (file.failed()) {
        if (readError) *readError = file.errorText();
        return false;
    }
    return ok;
}

bool MeasureOtherAudio(const std::string& path, LoudnessMeasure& m,
                       const std::function<bool(uint64_t framesDone)>& progress, unsigned outputChannels,
                       std::string* readError) {
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
                                  m, progress);
    if (source.failed()) {
        if (readError) *readError = source.error();
        return false;
    }
    return ok;
}

}  // namespace

bool MeasureLoudness(const std::string& path, LoudnessMeasure& m,
                     const std::function<bool(uint64_t framesDone)>& progress, unsigned outputChannels,
                     std::string* readError) {
    m = {};
    if (readError) readError->clear();
    return IsMpegAudioFile(path) ? MeasureMpegAudio(path, m, progress, outputChannels, readError)
                                 : MeasureOtherAudio(path, m, progress, outputChannels, readError);
}

double LoudnessGainDb(const LoudnessMeasure& m, double target) {
    if (m.silent) return 0.0;
    return std::min(target - m.lufs, kTruePeakCeilingDb - m.truePeakDb);
}

}  // namespace velmora

namespace velmora {

bool EvenOutLoudness(JoinEngine& engine, JoinRunState& run, CConversionTask& task) {
    const std::shared_ptr<JoinSink> sink = engine.sink;
    if (sink) sink->SetTitle("Measuring loudness");
    PostJoinMessage(engine, "Measuring loudness.", kMessageInfo);
    const double target = std::clamp(engine.settings.loudnessTarget, kLoudnessTargetMin, kLoudnessTargetMax);
    const std::vector<CFileToBeJoin>& files = *task.files;
    uint64_t total = 0;
    for (const CFileToBeJoin& f : files) total += f.channels ? f.totalSamples / f.channels : 0;
    task.inputGain.assign(files.size(), 1.0f);

    // Inputs are measured side by side, one per hardware thread (at most 8): each is decoded
    // on its own, and the pass is bound by the decoder and the meters, not the disk. Results
    // are reported here, in list order, as they come in.
    struct Slot {
        LoudnessMeasure measure;
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
            slot.ok = MeasureLoudness(
                files[i].path, slot.measure,
                [&](uint64_t frames) {
                    while (run.paused && run.running) std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    slot.framesDone = frames;
                    return run.running != 0;
                },
                task.outputChannels, &slot.readError);
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
                const double gain = LoudnessGainDb(slot.measure, target);
                task.inputGain[reported] = static_cast<float>(std::pow(10.0, gain / 20.0));
                PostJoinMessage(engine, FormatText("%s: %.1f LUFS, gain %+.1f dB", f.path.c_str(), slot.measure.lufs, gain),
                                kMessageInfo);
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
