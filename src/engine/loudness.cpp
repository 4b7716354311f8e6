#include "engine/loudness.h"

#include <ebur128.h>
#include <mpg123.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <vector>
#include <chrono>
#include <thread>

#include "engine/join_runner.h"
#include "engine/join_sink.h"
#include "engine/join_task.h"

namespace velmora {

namespace {
constexpr size_t kHistory = TruePeakMeter::kTapsPerPhase - 1;
constexpr size_t kChunkFrames = 4096;

// Eight running maxima side by side, so that the loop vectorises.
float MaxAbs(const float* v, size_t n, float start) {
    float lanes[8] = {start, start, start, start, start, start, start, start};
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (size_t l = 0; l < 8; ++l) {
            const float a = std::fabs(v[i + l]);
            lanes[l] = a > lanes[l] ? a : lanes[l];
        }
    for (; i < n; ++i) lanes[0] = std::max(lanes[0], std::fabs(v[i]));
    return *std::max_element(lanes, lanes + 8);
}
}  // namespace

TruePeakMeter::TruePeakMeter(unsigned channels) : channels_(channels), lines_(channels), sums_(kChunkFrames) {
    // Prototype: 49 taps, h[j] = sinc((j - 24) / 4) * Hann(j); phase p takes taps 4k + p.
    constexpr double kPi = 3.14159265358979323846;
    for (int p = 1; p <= 3; ++p)
        for (int k = 0; k < kTapsPerPhase; ++k) {
            const int j = 4 * k + p;
            const double m = (j - 24) / 4.0;
            const double window = 0.5 * (1.0 - std::cos(2.0 * kPi * j / 48.0));
            phases_[static_cast<size_t>(p - 1)][static_cast<size_t>(k)] =
                static_cast<float>(std::sin(kPi * m) / (kPi * m) * window);
        }
    for (auto& line : lines_) line.assign(kHistory + kChunkFrames, 0.0f);
}

void TruePeakMeter::Add(const float* interleaved, size_t frames) {
    // No in-between value can exceed the largest of the twelve samples it is made of times the
    // sum of its phase's tap magnitudes: where that bound stays under the peak found so far,
    // the filter is skipped. Most of a programme's blocks are well below its peak.
    float overshoot = 0.0f;
    for (const auto& taps : phases_) {
        float sum = 0.0f;
        for (float t : taps) sum += std::fabs(t);
        overshoot = std::max(overshoot, sum);
    }
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
                if (MaxAbs(line + b, m + kHistory, 0.0f) * overshoot <= peak) continue;
                for (const auto& taps : phases_) {
                    std::fill(sums, sums + m, 0.0f);
                    for (size_t k = 0; k < taps.size(); ++k) {
                        const float coef = taps[k];
                        const float* src = line + kHistory + b - k;
                        for (size_t i = 0; i < m; ++i) sums[i] += coef * src[i];
                    }
                    peak = MaxAbs(sums, m, peak);
                }
            }
            peak_ = peak;
            std::copy(line + n, line + n + kHistory, line);
        }
        interleaved += n * channels_;
        frames -= n;
    }
}

bool MeasureLoudness(const std::string& path, LoudnessMeasure& m,
                     const std::function<bool(uint64_t framesDone)>& progress, unsigned outputChannels) {
    m = {};
    std::unique_ptr<mpg123_handle, void (*)(mpg123_handle*)> handle(mpg123_new(nullptr, nullptr), [](mpg123_handle* h) {
        if (h) {
            mpg123_close(h);
            mpg123_delete(h);
        }
    });
    if (!handle) return false;
    mpg123_param(handle.get(), MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    // The conversion averages the channels of a stereo input for a mono output; so does this.
    if (outputChannels == 1) mpg123_param(handle.get(), MPG123_ADD_FLAGS, MPG123_MONO_MIX, 0);
    // Float at whatever rate and channel count the file has: the measure is the file's own,
    // before any conversion.
    mpg123_format_none(handle.get());
    static const long kRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
    for (long r : kRates) mpg123_format(handle.get(), r, MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32);
    if (mpg123_open(handle.get(), path.c_str()) != MPG123_OK) return false;
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    if (mpg123_getformat(handle.get(), &rate, &channels, &encoding) != MPG123_OK || rate <= 0 || channels < 1)
        return false;
    std::unique_ptr<ebur128_state, void (*)(ebur128_state*)> state(
        ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate),
                     EBUR128_MODE_I),
        [](ebur128_state* s) { ebur128_destroy(&s); });
    if (!state) return false;
    // A mono input joined into stereo plays on both sides: louder by 3 dB than alone.
    if (channels == 1 && outputChannels == 2) ebur128_set_channel(state.get(), 0, EBUR128_DUAL_MONO);
    TruePeakMeter truePeak(static_cast<unsigned>(channels));
    std::vector<float> block(mpg123_outblock(handle.get()) / sizeof(float) + 1);
    uint64_t frames = 0;
    for (;;) {
        size_t done = 0;
        const int r = mpg123_read(handle.get(), reinterpret_cast<unsigned char*>(block.data()),
                                  block.size() * sizeof(float), &done);
        const size_t n = done / sizeof(float) / static_cast<size_t>(channels);
        if (n > 0 && ebur128_add_frames_float(state.get(), block.data(), n) != EBUR128_SUCCESS) return false;
        truePeak.Add(block.data(), n);
        frames += n;
        if (progress && !progress(frames)) return false;
        if (r != MPG123_OK) break;
    }
    if (frames == 0) return false;
    double lufs = 0;
    if (ebur128_loudness_global(state.get(), &lufs) == EBUR128_SUCCESS && std::isfinite(lufs)) {
        m.silent = false;
        m.lufs = lufs;
    }
    const double peak = truePeak.Peak();
    m.truePeakDb = peak > 0 ? 20.0 * std::log10(peak) : -200.0;
    return true;
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
                task.outputChannels);
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
