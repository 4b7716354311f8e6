// Times the engine's stages on their own, so a slow stage shows before a whole join does:
//  - the sample ring buffer between a writer and a reader thread (goal: 200 million samples/s,
//    far above any stage's rate, so the buffers never limit a join);
//  - the decoder stage on 60 s of 44.1 kHz stereo (goal: 100x real time: on two cores the
//    join must be bound by the encoder, which runs at a few tens of times real time);
//  - the conversion chain, 22.05 kHz mono to 44.1 kHz stereo (goal: 50x real time).
// Each prints its ratio to the goal (above 1 meets it).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <algorithm>
#include <vector>

#include "engine/converter.h"
#include "engine/decoder.h"
#include "engine/join_runner.h"
#include "engine/stream_info.h"
#include "support/mp3_fixtures.h"

using namespace velmora;

namespace {

constexpr double kRingGoalSamplesPerSecond = 200e6;
constexpr double kDecodeGoalRealtime = 100.0;
constexpr double kConvertGoalRealtime = 50.0;

// Drains a ring buffer on its own thread until told to stop and the buffer is empty.
class Drain {
public:
    explicit Drain(SampleRing& ring) : ring_(ring), thread_([this] { Run(); }) {}
    ~Drain() { Finish(); }
    uint64_t Finish() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return count_;
    }

private:
    void Run() {
        std::vector<int32_t> buf(8192);
        for (;;) {
            const bool last = stop_.load();
            const uint32_t n = ring_.Read(buf.data(), static_cast<uint32_t>(buf.size()), 0);
            count_ += n;
            if (n == 0) {
                if (last) return;
                std::this_thread::yield();
            }
        }
    }
    SampleRing& ring_;
    std::atomic<bool> stop_{false};
    uint64_t count_ = 0;
    std::thread thread_;
};

void BM_RingBufferTwoThreads(benchmark::State& state) {
    const uint32_t block = static_cast<uint32_t>(state.range(0));
    constexpr uint64_t kSamples = 100'000'000;
    std::vector<int32_t> data(block, 12345);
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        SampleRing ring(kSampleRingCapacity);
        Drain drain(ring);
        uint64_t written = 0;
        while (written < kSamples) {
            const uint32_t n = ring.Write(data.data(), block);
            if (n == 0) std::this_thread::yield();
            written += n;
        }
        benchmark::DoNotOptimize(drain.Finish());
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["ratio_to_goal"] =
        static_cast<double>(kSamples) * static_cast<double>(state.iterations()) / seconds / kRingGoalSamplesPerSecond;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kSamples));
}

struct Input {
    velmora::testing::TempDir dir;
    CFileToBeJoin file;
    Input() {
        velmora::testing::ToneSpec tone;
        tone.seconds = 60.0;
        const auto path = dir / "tone.mp3";
        velmora::testing::MakeToneMp3(path, tone);
        const StreamInfo info = ReadStreamInfo(path.string());
        file = {path.string(), info.sampleRate, info.channels, info.totalSamples};
    }
};

void BM_DecodeFile(benchmark::State& state) {
    static Input input;
    auto engine = std::make_shared<JoinEngine>();
    engine->activeRun->running = 1;
    CConversionTask task;
    task.currentFile = input.file.path;
    task.currentRate = input.file.sampleRate;
    task.currentChannels = input.file.channels;
    double seconds = 0;
    for (auto _ : state) {
        engine->decodedSamples.Reset();
        const auto start = std::chrono::steady_clock::now();
        Drain drain(engine->decodedSamples);
        DecodeFile(*engine, task);
        const uint64_t got = drain.Finish();
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (got != input.file.totalSamples) state.SkipWithError("sample count differs");
    }
    const double audio = 60.0 * static_cast<double>(state.iterations());
    state.counters["x_realtime"] = audio / seconds;
    state.counters["ratio_to_goal"] = audio / seconds / kDecodeGoalRealtime;
}

void BM_ConvertMonoHalfRateToStereo(benchmark::State& state) {
    constexpr size_t kFrames = 22050 * 60;
    std::vector<int32_t> pcm(kFrames);
    for (size_t i = 0; i < kFrames; ++i) pcm[i] = static_cast<int32_t>(1e9 * std::sin(2 * M_PI * 440.0 * i / 22050));
    auto engine = std::make_shared<JoinEngine>();
    engine->activeRun->running = 1;
    CConversionTask task;
    task.currentRate = 22050;
    task.currentChannels = 1;
    task.outputRate = 44100;
    task.outputChannels = 2;
    double seconds = 0;
    for (auto _ : state) {
        engine->decodedSamples.Reset();
        engine->convertedSamples.Reset();
        task.fileDecoding = 1;
        task.converting = 1;
        const auto start = std::chrono::steady_clock::now();
        Drain drain(engine->convertedSamples);
        std::thread chain([&] { ConvertFile(*engine, task); });
        size_t fed = 0;
        while (fed < pcm.size()) {
            const uint32_t n = engine->decodedSamples.Write(pcm.data() + fed,
                                                            static_cast<uint32_t>(std::min<size_t>(pcm.size() - fed, 8192)));
            if (n == 0) std::this_thread::yield();
            fed += n;
        }
        task.fileDecoding = 0;
        chain.join();
        benchmark::DoNotOptimize(drain.Finish());
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    const double audio = 60.0 * static_cast<double>(state.iterations());
    state.counters["x_realtime"] = audio / seconds;
    state.counters["ratio_to_goal"] = audio / seconds / kConvertGoalRealtime;
}

}  // namespace

BENCHMARK(BM_RingBufferTwoThreads)->Arg(2304)->Arg(8192)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_DecodeFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_ConvertMonoHalfRateToStereo)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("Goals: ring buffer %.0f M samples/s, decoder %.0fx and conversion %.0fx "
                "real time (ratio_to_goal >= 1 meets a goal).\n",
                kRingGoalSamplesPerSecond / 1e6, kDecodeGoalRealtime, kConvertGoalRealtime);
    return 0;
}
