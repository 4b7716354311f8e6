// Times the engine's stages on their own, so a slow stage shows before a whole join does:
//  - the sample ring buffer between a writer and a reader thread (goal: 200 million samples/s,
//    far above any stage's rate, so the buffers never limit a join);
//  - the decoder stage on 60 s of 44.1 kHz stereo (goal: 100x real time: on two cores the
//    join must be bound by the encoder, which runs at a few tens of times real time);
//  - the conversion chain, 22.05 kHz mono to 44.1 kHz stereo (goal: 50x real time);
//  - the encoder module alone on 8 minutes of 44.1 kHz stereo at 128 kbit/s (join_bench's
//    inputs together), with 1, 2, 4 ...
//    encoder threads up to the machine's: its speed-up apart from the decoder, which shares
//    the cores in a whole join;
//  - the output tag step of a 1-hour join of 100 inputs, the last with a 1 MB cover: gather,
//    reserve, then fill 100 chapters (goal: under 50 ms, and only the tag's bytes written).
// Each prints its ratio to the goal (above 1 meets it).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <algorithm>
#include <vector>

#include "engine/converter.h"
#include "engine/decoder.h"
#include "engine/encoder.h"
#include "engine/join_runner.h"
#include "engine/output_tag.h"
#include "engine/stream_info.h"
#include "lame_enc/module_loader.h"
#include "support/mp3_fixtures.h"

using namespace velmora;

namespace {

constexpr double kRingGoalSamplesPerSecond = 200e6;
constexpr double kDecodeGoalRealtime = 100.0;
constexpr double kConvertGoalRealtime = 50.0;
constexpr double kTagStepGoalMs = 50.0;

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


void BM_OutputTagStep(benchmark::State& state) {
    namespace fs = std::filesystem;
    testing::TempDir dir;
    testing::ToneSpec tone;
    tone.seconds = 0.2;
    const fs::path input = dir / "in.mp3";
    if (!testing::MakeToneMp3(input, tone)) {
        state.SkipWithError("no input");
        return;
    }
    // The last input carries the cover: every input's tag is looked at.
    const fs::path covered = dir / "covered.mp3";
    {
        std::vector<char> cover(1 << 20, 'c');
        cover[0] = char(0xFF), cover[1] = char(0xD8), cover[2] = char(0xFF);
        std::string bytes = testing::ReadFile(input);
        // An ID3v2.3 tag with one APIC frame, written by hand to keep the bench free of TagLib.
        std::string frame = std::string("\0image/jpeg\0\x03\0", 14) + std::string(cover.begin(), cover.end());
        auto be32 = [](uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
        std::string body = "APIC" + be32(uint32_t(frame.size())) + std::string(2, '\0') + frame;
        uint32_t n = uint32_t(body.size());
        std::string header = std::string("ID3\x03\0\0", 6) +
                             std::string{char((n >> 21) & 0x7F), char((n >> 14) & 0x7F), char((n >> 7) & 0x7F), char(n & 0x7F)};
        testing::WriteFile(covered, header + body + bytes);
    }
    CConversionTask task;
    task.outputRate = 44100;
    task.outputChannels = 2;
    task.outputPath = (dir / "out.mp3").string();
    constexpr int kInputs = 100;
    constexpr uint64_t kPerInput = 36ull * 44100 * 2;  // 36 s: one hour in all
    for (int i = 0; i < kInputs; ++i) {
        CFileToBeJoin f{(i + 1 == kInputs ? covered : input).string(), 44100, 2, kPerInput, {}};
        f.tags.title = "Chapter " + std::to_string(i + 1);
        f.tags.album = "A Long Book";
        task.files->push_back(f);
    }
    task.tagRequest = std::make_shared<OutputTagRequest>();
    task.inputSamples.assign(kInputs, AtomicValue<uint64_t>(kPerInput));
    auto engine = std::make_shared<JoinEngine>();
    JoinRunState& run = *engine->activeRun;
    run.taskSamplesDone = kPerInput * kInputs;
    double ms = 0;
    uintmax_t reserved = 0;
    for (auto _ : state) {
        state.PauseTiming();
        {
            // The room and an hour of stand-in audio (57 MB at 128 kbit/s), as the encoder leaves it.
            std::FILE* out = std::fopen(task.outputPath.c_str(), "wb");
            PrepareOutputTag(task);
            WriteTagPlaceholder(out, task.tagReserve);
            std::vector<char> audio(1 << 20, 0x55);
            for (int i = 0; i < 55; ++i) std::fwrite(audio.data(), 1, audio.size(), out);
            std::fclose(out);
        }
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        PrepareOutputTag(task);
        FinishOutputTag(*engine, run, task);
        ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        reserved = task.tagReserve;
    }
    std::vector<ChapterEntry> chapters;
    ReadChapters(task.outputPath, chapters);
    const double perStep = ms / static_cast<double>(state.iterations());
    state.counters["ms"] = perStep;
    state.counters["chapters"] = static_cast<double>(chapters.size());
    state.counters["written_MB"] = static_cast<double>(reserved) / 1048576.0;
    state.counters["file_MB"] = static_cast<double>(fs::file_size(task.outputPath)) / 1048576.0;
    state.counters["ratio_to_goal"] = kTagStepGoalMs / perStep;
}

// Encodes through lame_enc.so as the encoder stage does, VELMORA_ENCODER_THREADS = range(0).
void BM_EncoderModule(benchmark::State& state) {
    static double oneThread = 0;
    const testing::EncoderModule module;
    if (!module.handle) {
        state.SkipWithError("lame_enc.so is missing beside the benchmark");
        return;
    }
    constexpr uint32_t kRate = 44100;
    constexpr double kSeconds = 480;
    std::vector<float> left(static_cast<size_t>(kRate * kSeconds)), right(left.size());
    uint32_t noise = 1;
    for (size_t i = 0; i < left.size(); ++i) {
        noise = noise * 1664525u + 1013904223u;
        const double tone = 8000 * std::sin(2 * M_PI * 330 * i / kRate) + 4000 * std::sin(2 * M_PI * 495 * i / kRate);
        left[i] = static_cast<float>(tone + ((noise >> 16) & 1023) - 512);
        right[i] = static_cast<float>(0.8 * tone - ((noise >> 8) & 511) + 256);
    }
    CConversionTask task;
    task.outputRate = kRate;
    task.outputChannels = 2;
    const AppSettings settings;  // 128 kbit/s, joint stereo, the program's record
    ::setenv("VELMORA_ENCODER_THREADS", std::to_string(state.range(0)).c_str(), 1);
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        bladeenc::BE_CONFIG config = MakeEncoderConfig(task, settings);
        uint32_t samples = 0, size = 0;
        bladeenc::HBE_STREAM stream = 0;
        if (module.Init(&config, &samples, &size, &stream) != bladeenc::BE_ERR_SUCCESSFUL) {
            state.SkipWithError("beInitStream failed");
            break;
        }
        std::vector<uint8_t> out(size);
        uint64_t total = 0;
        uint32_t bytes = 0;
        for (size_t at = 0; at < left.size(); at += samples / 2) {
            const auto n = static_cast<uint32_t>(std::min<size_t>(samples / 2, left.size() - at));
            module.encode(stream, n, &left[at], &right[at], out.data(), &bytes);
            total += bytes;
        }
        module.deinit(stream, out.data(), &bytes);
        module.close(stream);
        benchmark::DoNotOptimize(total + bytes);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    ::unsetenv("VELMORA_ENCODER_THREADS");
    const double each = seconds / static_cast<double>(state.iterations());
    if (state.range(0) == 1) oneThread = each;
    state.counters["realtime"] = kSeconds / each;
    if (oneThread > 0) state.counters["speedup"] = oneThread / each;
}

void EncoderThreadCounts(benchmark::internal::Benchmark* b) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned t = 1; t <= std::min(cores, 16u); t *= 2) b->Arg(t);
}

}  // namespace

BENCHMARK(BM_EncoderModule)->Apply(EncoderThreadCounts)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_RingBufferTwoThreads)->Arg(2304)->Arg(8192)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_DecodeFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_ConvertMonoHalfRateToStereo)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_OutputTagStep)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("Goals: ring buffer %.0f M samples/s, decoder %.0fx and conversion %.0fx "
                "real time, tag step under %.0f ms (ratio_to_goal >= 1 meets a goal).\n",
                kRingGoalSamplesPerSecond / 1e6, kDecodeGoalRealtime, kConvertGoalRealtime, kTagStepGoalMs);
    return 0;
}
