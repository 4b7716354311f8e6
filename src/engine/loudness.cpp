#include "engine/loudness.h"

#include <ebur128.h>
#include <mpg123.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>
#include <chrono>
#include <thread>

#include "engine/join_runner.h"
#include "engine/join_sink.h"
#include "engine/join_task.h"

namespace velmora {

bool MeasureLoudness(const std::string& path, LoudnessMeasure& m,
                     const std::function<bool(uint64_t framesDone)>& progress) {
    m = {};
    std::unique_ptr<mpg123_handle, void (*)(mpg123_handle*)> handle(mpg123_new(nullptr, nullptr), [](mpg123_handle* h) {
        if (h) {
            mpg123_close(h);
            mpg123_delete(h);
        }
    });
    if (!handle) return false;
    mpg123_param(handle.get(), MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    // Signed 32-bit at whatever rate and channel count the file has: the measure is the
    // file's own, before any conversion.
    mpg123_format_none(handle.get());
    static const long kRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
    for (long r : kRates) mpg123_format(handle.get(), r, MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_32);
    if (mpg123_open(handle.get(), path.c_str()) != MPG123_OK) return false;
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    if (mpg123_getformat(handle.get(), &rate, &channels, &encoding) != MPG123_OK || rate <= 0 || channels < 1)
        return false;
    std::unique_ptr<ebur128_state, void (*)(ebur128_state*)> state(
        ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate),
                     EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK),
        [](ebur128_state* s) { ebur128_destroy(&s); });
    if (!state) return false;
    std::vector<int32_t> block(mpg123_outblock(handle.get()) / sizeof(int32_t) + 1);
    uint64_t frames = 0;
    for (;;) {
        size_t done = 0;
        const int r = mpg123_read(handle.get(), reinterpret_cast<unsigned char*>(block.data()),
                                  block.size() * sizeof(int32_t), &done);
        const size_t n = done / sizeof(int32_t) / static_cast<size_t>(channels);
        if (n > 0 && ebur128_add_frames_int(state.get(), reinterpret_cast<const int*>(block.data()), n) != EBUR128_SUCCESS)
            return false;
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
    double peak = 0;
    for (int c = 0; c < channels; ++c) {
        double p = 0;
        if (ebur128_true_peak(state.get(), static_cast<unsigned>(c), &p) == EBUR128_SUCCESS) peak = std::max(peak, p);
    }
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
    uint64_t total = 0;
    for (const CFileToBeJoin& f : *task.files) total += f.channels ? f.totalSamples / f.channels : 0;
    uint64_t before = 0;
    uint32_t last = TickCount();
    task.inputGain.assign(task.files->size(), 1.0f);
    for (size_t i = 0; i < task.files->size(); ++i) {
        const CFileToBeJoin& f = (*task.files)[i];
        if (sink) sink->SetSource(f.path);
        LoudnessMeasure m;
        const bool ok = MeasureLoudness(f.path, m, [&](uint64_t done) {
            while (run.paused && run.running) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const uint32_t now = TickCount();
            if (now - last > 100 && total > 0) {
                last = now;
                const float percent = static_cast<float>(std::min(100.0, (before + done) * 100.0 / total));
                PostJoinProgress(engine, percent, percent, false);
            }
            return run.running != 0;
        });
        if (!run.running) return false;
        before += f.channels ? f.totalSamples / f.channels : 0;
        if (!ok || m.silent) {
            PostJoinMessage(engine, FormatText("%s: silence, no gain", f.path.c_str()), kMessageInfo);
            continue;
        }
        const double gain = LoudnessGainDb(m, target);
        task.inputGain[i] = static_cast<float>(std::pow(10.0, gain / 20.0));
        PostJoinMessage(engine, FormatText("%s: %.1f LUFS, gain %+.1f dB", f.path.c_str(), m.lufs, gain), kMessageInfo);
    }
    PostJoinProgress(engine, 0.0f, 0.0f, false);
    if (sink) sink->SetTitle("Joining...");
    return true;
}

}  // namespace velmora
