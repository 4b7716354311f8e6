// The job thread of a join run and the engine context it works in.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "engine/join_sink.h"
#include "engine/join_task.h"
#include "engine/ring_buffer.h"
#include "engine/worker_thread.h"
#include "settings/app_settings.h"

struct mpg123_handle_struct;

namespace velmora {

struct JoinEngine;

// The body of a task's encoder thread: reads task.encoderSource, returns 1 when the output
// file was finished. The engine supplies EncodeTask (engine/encoder.h); tests may supply a
// consumer of their own. It must set task.encoding on entry and clear it on exit, and follow
// the end-of-input rule: wait while its source lacks data and task.decoding or
// task.converting is set; once both are clear, take the rest and finish.
using EncodeFunction = std::function<int(JoinEngine&, CConversionTask&)>;

// The process-wide objects of the engine, gathered in one context. Worker threads hold it by
// shared ownership (see RunJoinJob), so it lives until the last of them has ended.
struct JoinEngine {
    JoinEngine();
    ~JoinEngine();
    JoinEngine(const JoinEngine&) = delete;
    JoinEngine& operator=(const JoinEngine&) = delete;

    std::shared_ptr<JoinRunState> activeRun = std::make_shared<JoinRunState>();
    std::atomic<CConversionTask*> currentTask{nullptr};  // the task being decoded
    SampleRing decodedSamples{kSampleRingCapacity};
    SampleRing convertedSamples{kSampleRingCapacity};
    mpg123_handle_struct* mpg123Handle = nullptr;         // the joining handle, job thread only
    std::shared_ptr<JoinSink> sink;                       // may be null: reports are dropped
    AppSettings settings;                                 // the values the engine reads
    EncodeFunction encodeTask;                            // empty: no encoder thread is started
    uint32_t startDelayMs = 500;                          // lets the dialog appear before work
    uint32_t workerWaitMs = 10000;                        // wait for a task's workers at its end
};

// Body of the job thread: runs every task of engine->activeRun in order.
void RunJoinJob(std::shared_ptr<JoinEngine> engine);

// Runs on the job thread: starts the encoder, decodes every input (each through its own
// conversion thread when the task needs conversion). 1 when the last input decoded.
int DecodeAllFiles(const std::shared_ptr<JoinEngine>& engine,
                   const std::shared_ptr<CConversionTask>& task);

// What the progress dialog does when it opens: resets the run's flags and counters (keeping
// overallSamplesTotal and the tasks), reports progress (0, 0), sets running and starts the job
// thread, which it stores in jobThread and returns.
std::shared_ptr<WorkerThread> StartJoinRun(const std::shared_ptr<JoinEngine>& engine);

// Cancel helper: waits for the conversion, encoder and job threads, in that order, each at most
// `milliseconds`. True when all of them have ended. Does not touch the flags.
bool StopJoinWorkers(JoinRunState& run, uint32_t milliseconds);

}  // namespace velmora
