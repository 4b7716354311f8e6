// Shared pieces of the encoder and end-to-end tests: finding the encoder module and its test
// stand-ins, a headless engine with an event queue, and reading what the engine reported.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/audio_source.h"
#include "engine/encoder.h"
#include "engine/join_runner.h"
#include "engine/join_sink.h"
#include "engine/stream_info.h"
#include "support/mp3_fixtures.h"

// A partial build without the module layer cannot run these tests; say so instead of failing.
#ifdef VELMORA_WITHOUT_ENCODER_MODULE
#define REQUIRE_ENCODER_MODULE() GTEST_SKIP() << "built without the lame_enc layer"
#else
#define REQUIRE_ENCODER_MODULE() \
    ASSERT_TRUE(std::filesystem::exists(std::filesystem::path(velmora::ExecutableFolder()) / "lame_enc.so"))
#endif

namespace velmora::testing {

// A folder under `dir` holding the stand-in module of the given kind as "lame_enc.so".
inline std::string StubModuleFolder(const TempDir& dir, const std::string& kind) {
    const std::filesystem::path folder = dir / ("module-" + kind);
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(std::filesystem::path(ExecutableFolder()) / ("lame_enc_stub_" + kind + ".so"),
                               folder / "lame_enc.so", std::filesystem::copy_options::overwrite_existing);
    return folder.string();
}

inline std::vector<std::string> ReadLines(const std::filesystem::path& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

inline std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Everything a run reported, split by kind.
struct Reports {
    std::vector<JoinEvent> all;
    std::vector<std::string> lines;         // every log line
    std::vector<std::string> errorLines;    // kind 2 only
    std::vector<std::string> boxes;
    std::vector<JoinEvent> progress;
    int done = 0;

    explicit Reports(std::vector<JoinEvent> events) : all(std::move(events)) {
        for (const JoinEvent& e : all) {
            switch (e.type) {
            case JoinEvent::Type::Message:
                lines.push_back(e.text);
                if (e.kind == kMessageError) errorLines.push_back(e.text);
                break;
            case JoinEvent::Type::MessageBox: boxes.push_back(e.text); break;
            case JoinEvent::Type::Progress: progress.push_back(e); break;
            case JoinEvent::Type::Done: ++done; break;
            default: break;
            }
        }
    }
    bool HasLine(const std::string& text) const {
        for (const auto& l : lines)
            if (l == text) return true;
        return false;
    }
};

// Joins `paths`, each measured as the file list measures it, into `output` as the only task of
// the engine's run, and waits for the run to end. `beforeStart` runs just before the join
// starts, `during` once it has started.
inline Reports RunJoinOf(const std::shared_ptr<JoinEngine>& engine, JoinEventQueue& sink,
                         const std::vector<std::string>& paths, const std::string& output,
                         const std::function<void()>& beforeStart = {},
                         const std::function<void(JoinRunState&)>& during = {}) {
    CConversionTask task;
    for (const std::string& p : paths) {
        if (IsMpegAudioFile(p)) {
            const StreamInfo info = ReadStreamInfo(p);
            task.files->push_back(CFileToBeJoin{p, info.sampleRate, info.channels, info.totalSamples, {}});
        } else {
            const AudioFileInfo info = ProbeAudioFile(p);
            task.files->push_back(CFileToBeJoin{p, info.sampleRate, info.channels, info.totalSamples, {}});
        }
    }
    task.outputKind = OutputKindOf(engine->settings);
    task.outputPath = output;
    PrepareTask(task, engine->settings);
    engine->activeRun->tasks.clear();
    engine->activeRun->overallSamplesTotal = task.totalSamples;
    engine->activeRun->tasks.push_back(task);
    if (beforeStart) beforeStart();
    std::shared_ptr<WorkerThread> job = StartJoinRun(engine);
    EXPECT_TRUE(job);
    if (!job) return Reports({});
    if (during) during(*engine->activeRun);
    EXPECT_TRUE(job->Wait(60000));
    EXPECT_TRUE(StopJoinWorkers(*engine->activeRun, 10000));
    return Reports(sink.TakeAll());
}

// An engine whose reports go to a queue; the run starts at once (no start delay).
inline std::shared_ptr<JoinEngine> MakeHeadlessEngine(std::shared_ptr<JoinEventQueue>& sink) {
    auto engine = std::make_shared<JoinEngine>();
    sink = std::make_shared<JoinEventQueue>(false);
    engine->sink = sink;
    engine->startDelayMs = 0;
    return engine;
}

}  // namespace velmora::testing
