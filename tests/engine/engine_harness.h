// Helpers for engine tests: inputs measured the way the file list measures them, a stand-in
// encoder that drains the task's source into memory, reference decodes, and a run driver.
#pragma once

#include <gtest/gtest.h>
#include <mpg123.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/join_runner.h"
#include "engine/join_sink.h"
#include "engine/stream_info.h"
#include "support/mp3_fixtures.h"

namespace velmora::enginetest {

using velmora::testing::TempDir;
using velmora::testing::ToneSpec;

// Makes a tone MP3 and measures it as the file list would.
inline CFileToBeJoin MakeInput(const TempDir& dir, const std::string& name, const ToneSpec& tone) {
    const auto path = dir / name;
    EXPECT_TRUE(velmora::testing::MakeToneMp3(path, tone)) << name;
    const StreamInfo info = ReadStreamInfo(path.string());
    EXPECT_TRUE(info.readable) << name << ": " << info.message;
    return CFileToBeJoin{path.string(), info.sampleRate, info.channels, info.totalSamples};
}

// Decodes a whole file at a forced format, as the decoder stage does, into 32-bit samples.
inline std::vector<int32_t> ReferenceDecode(const std::string& path, long rate, int channels) {
    std::vector<int32_t> out;
    mpg123_handle* mh = mpg123_new(nullptr, nullptr);
    if (!mh) return out;
    mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    mpg123_format_none(mh);
    mpg123_format(mh, rate, channels, MPG123_ENC_SIGNED_32);
    if (mpg123_open(mh, path.c_str()) == MPG123_OK) {
        long r;
        int c, e;
        mpg123_getformat(mh, &r, &c, &e);
        std::vector<int32_t> buf(16384);
        for (;;) {
            size_t done = 0;
            const int err = mpg123_read(mh, reinterpret_cast<unsigned char*>(buf.data()), buf.size() * 4, &done);
            out.insert(out.end(), buf.begin(), buf.begin() + static_cast<long>(done / 4));
            if (err != MPG123_OK) break;
        }
        mpg123_close(mh);
    }
    mpg123_delete(mh);
    return out;
}

// What the stand-in encoder took from its source, one entry per task.
struct CollectedPcm {
    std::vector<std::vector<int32_t>> tasks;
    std::atomic<int> started{0};
};

// A stand-in for the encoder thread body: drains task.encoderSource in chunks by the
// end-of-input rule (the flags are read before the fill level, so the last pass sees every
// sample written before the flags were cleared) and counts progress like the encoder.
inline EncodeFunction CollectingEncoder(std::shared_ptr<CollectedPcm> out, uint32_t chunk = 2304) {
    return [out, chunk](JoinEngine& engine, CConversionTask& task) -> int {
        task.encoding = 1;
        out->tasks.emplace_back();
        out->started.fetch_add(1);
        std::vector<int32_t>& pcm = out->tasks.back();
        std::vector<int32_t> buf(chunk);
        const std::shared_ptr<JoinRunState> run = engine.activeRun;
        while (run->running) {
            if (run->paused) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            const bool more = task.decoding || task.converting;
            const uint32_t available = task.encoderSource->Used(0);
            uint32_t n = chunk;
            bool last = false;
            if (available < chunk) {
                if (more) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
                n = available;
                last = true;
            }
            task.encoderSource->Read(buf.data(), n, 0);
            pcm.insert(pcm.end(), buf.begin(), buf.begin() + n);
            RecordEncodedSamples(*run, task, n);
            if (last) break;
        }
        task.encoding = 0;
        return 1;
    };
}

inline std::shared_ptr<JoinEngine> MakeEngine(std::shared_ptr<JoinEventQueue> queue,
                                              std::shared_ptr<CollectedPcm> pcm) {
    auto engine = std::make_shared<JoinEngine>();
    engine->sink = std::move(queue);
    if (pcm) engine->encodeTask = CollectingEncoder(std::move(pcm));
    return engine;
}

// A task of `inputs` prepared with `settings`, writing `outputPath`.
inline CConversionTask MakeTask(const std::vector<CFileToBeJoin>& inputs, const AppSettings& settings,
                                const std::string& outputPath) {
    CConversionTask task;
    *task.files = inputs;
    task.outputPath = outputPath;
    task.outputKind = kOutputKindMp3;
    PrepareTask(task, settings);
    return task;
}

inline void AddTask(JoinEngine& engine, CConversionTask task) {
    engine.activeRun->overallSamplesTotal.Add(task.totalSamples);
    engine.activeRun->tasks.push_back(std::move(task));
}

// Starts the run and waits for its job thread; false when it did not end in time.
inline bool RunToEnd(const std::shared_ptr<JoinEngine>& engine, uint32_t timeoutMs = 60000) {
    std::shared_ptr<WorkerThread> job = StartJoinRun(engine);
    if (!job) return false;
    return job->Wait(timeoutMs);
}

inline std::vector<std::string> MessageTexts(const std::vector<JoinEvent>& events) {
    std::vector<std::string> texts;
    for (const JoinEvent& e : events)
        if (e.type == JoinEvent::Type::Message) texts.push_back(e.text);
    return texts;
}

inline bool HasDone(const std::vector<JoinEvent>& events) {
    for (const JoinEvent& e : events)
        if (e.type == JoinEvent::Type::Done) return true;
    return false;
}

// Polls `condition` every millisecond for at most `timeoutMs`.
template <typename F>
bool WaitUntil(F condition, uint32_t timeoutMs = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace velmora::enginetest
