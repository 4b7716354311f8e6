// The model of one join: its inputs, its task record, and the state of a run.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/output_tag.h"
#include "engine/ring_buffer.h"
#include "engine/worker_thread.h"
#include "settings/app_settings.h"

namespace velmora {

// One machine word shared between engine threads: written by one side, polled by the other.
// Stores are release, loads acquire. Copying takes a snapshot (task copies carry their flags).
template <typename T>
class AtomicValue {
public:
    AtomicValue(T v = T{}) : v_(v) {}  // NOLINT: implicit by design, reads like the plain field
    AtomicValue(const AtomicValue& o) : v_(o.load()) {}
    AtomicValue& operator=(const AtomicValue& o) {
        store(o.load());
        return *this;
    }
    AtomicValue& operator=(T v) {
        store(v);
        return *this;
    }
    operator T() const { return load(); }  // NOLINT
    T load() const { return v_.load(std::memory_order_acquire); }
    void store(T v) { v_.store(v, std::memory_order_release); }
    // Only for values with a single writer (the counters): read, add, publish.
    void Add(T d) { store(load() + d); }

private:
    std::atomic<T> v_;
};

// One input of a task, as the file list measured it.
struct CFileToBeJoin {
    std::string path;           // full path, UTF-8
    uint32_t sampleRate = 0;    // Hz
    uint32_t channels = 0;      // 1 or 2
    uint64_t totalSamples = 0;  // decoded length over all channels
    InputTags tags{};           // as the file list read them; carried into the output's tag
};

using FileList = std::vector<CFileToBeJoin>;

// One join job. A copy copies every field but shares `files` (the copy points at the same list).
struct CConversionTask {
    std::string currentFile;               // input being decoded
    AtomicValue<uint32_t> currentRate;     // before the run: highest input rate; then the current one
    AtomicValue<uint32_t> currentChannels; // before the run: highest input count; then the current one
    std::shared_ptr<FileList> files = std::make_shared<FileList>();
    std::string outputPath;                // MP3 to write, UTF-8
    int32_t outputKind = 0;                // 2 = MP3 through the encoder module; nothing else encodes
    uint32_t outputRate = 0;
    uint32_t outputChannels = 0;
    uint64_t totalSamples = 0;             // expected output samples over all channels
    int32_t needsConversion = 0;
    AtomicValue<int32_t> decoding;         // the decode loop of this task runs
    AtomicValue<int32_t> encoding;         // the encoder thread of this task runs
    AtomicValue<int32_t> converting;       // a conversion chain of this task runs
    AtomicValue<int32_t> fileDecoding;     // the decoder is producing the current input
    AtomicValue<int32_t> inputsMissing;    // an input gave no audio at join time
    SampleRing* encoderSource = nullptr;   // what the encoder reads
    // The output's tag: what to write (null: a bare MP3), what was gathered for it, and the
    // room the encoder reserves before the first frame (0: none).
    std::shared_ptr<const OutputTagRequest> tagRequest;
    std::shared_ptr<const OutputTagContent> tagContent;
    uint32_t tagReserve = 0;
    AtomicValue<int32_t> tagPlaced;  // the encoder wrote the reserved room
    // The input being produced, and what each input gave the encoder (over all channels, in
    // the output format): the chapters' positions. Each count has one writer, the thread
    // that produces that input.
    AtomicValue<int32_t> currentInput;
    std::vector<AtomicValue<uint64_t>> inputSamples;
    // Even loudness: the linear gain of each input (empty: none), and the ceiling (linear, full
    // scale 1) of the limiter after it (empty or 0: gain alone); set before the workers start.
    std::vector<float> inputGain;
    std::vector<float> inputCeiling;

    // Duration of n samples in the output format, in seconds (0 for an unset format).
    float SecondsOf(uint64_t n) const;
};

inline constexpr int32_t kOutputKindMp3 = 2;

// The state of one join run: flags, counters, tasks and the current worker threads.
// Workers hold it by shared ownership, so a worker left behind after a timed-out wait never
// touches freed memory.
struct JoinRunState {
    AtomicValue<int32_t> running;
    AtomicValue<int32_t> paused;
    AtomicValue<int32_t> stopped;
    AtomicValue<int32_t> threadsStarted;
    AtomicValue<uint64_t> overallSamplesDone;
    AtomicValue<uint64_t> taskSamplesDone;
    AtomicValue<uint64_t> overallSamplesTotal;
    AtomicValue<float> overallSecondsDone;
    AtomicValue<float> taskSecondsDone;
    AtomicValue<uint32_t> jobStartTick;
    AtomicValue<uint32_t> taskStartTick;
    AtomicValue<int32_t> currentTaskIndex;
    std::vector<CConversionTask> tasks;  // filled before the run starts; not resized during it
    WorkerSlot jobThread;
    WorkerSlot encoderThread;
    WorkerSlot conversionThread;

    JoinRunState() = default;
    // Clears the flags (running included) and the progress counters for a new run.
    void ResetForRun();
    // A worker of an earlier run has not ended yet: it still uses the ring buffers, so no
    // new run may start over it.
    bool WorkerStillRunning() const;

    JoinRunState(const JoinRunState&) = delete;
    JoinRunState& operator=(const JoinRunState&) = delete;
};

// Fills currentRate, currentChannels, outputRate, outputChannels, totalSamples and
// needsConversion of a task whose `files` list is complete.
void PrepareTask(CConversionTask& task, const AppSettings& settings);

// The first "<stem> (n)<ext>" (n = 2, 3, …) at which no file exists.
std::string UniqueOutputPath(const std::string& path);

// Progress arithmetic of the encoder: after a chunk of n samples.
void RecordEncodedSamples(JoinRunState& run, const CConversionTask& task, uint64_t n);
// taskSamplesDone × 100 ÷ the task's totalSamples (0 when the total is 0); not clamped.
double TaskPercent(const JoinRunState& run, const CConversionTask& task);
// overallSamplesDone × 100 ÷ overallSamplesTotal (0 when the total is 0); not clamped.
double OverallPercent(const JoinRunState& run);

// A monotonic millisecond clock, 32-bit, wrapping; differences are taken in unsigned arithmetic.
uint32_t TickCount();

}  // namespace velmora
