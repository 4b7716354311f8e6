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
    int32_t outputKind = 0;                // kOutputKindMp3 or kOutputKindM4b; nothing else encodes
    uint32_t outputRate = 0;
    uint32_t outputChannels = 0;
    uint64_t totalSamples = 0;             // expected output samples over all channels
    uint32_t bitrateKbps = 0;              // "same as the inputs": the rate chosen at the start; 0: the settings'
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
    // A part of a book cut to a maximum length (0: the whole book), and a line the log gets
    // when the part starts (a chapter longer than the limit), empty: none.
    int32_t partNumber = 0;
    int32_t partCount = 0;
    std::string partNote;
    // One book of a series run ("Join Each Subfolder", --each-folder): its number from 1 and
    // the series' count (0: not a book), and its name for the log and the end line. A book
    // whose inputs could not be read carries the reason in bookError: the job reports it in
    // the book's place and writes nothing for it.
    int32_t bookNumber = 0;
    int32_t bookCount = 0;
    std::string bookName;
    std::string bookError;
    std::vector<float> inputCeiling;

    // Duration of n samples in the output format, in seconds (0 for an unset format).
    float SecondsOf(uint64_t n) const;
};

inline constexpr int32_t kOutputKindMp3 = 2;  // MP3 through lame_enc.so
inline constexpr int32_t kOutputKindM4b = 3;  // AAC in MP4 through the FFmpeg module
inline int32_t OutputKindOf(const AppSettings& s) { return s.outputFormat == kFormatM4b ? kOutputKindM4b : kOutputKindMp3; }

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
    // Paused time counts as no work: the pauses ended so far, and when the current one began
    // (while `paused` is set). One writer, the one who pauses (SetPaused). The job and the task
    // record how much had passed paused when they started.
    AtomicValue<uint32_t> pausedMs;
    AtomicValue<uint32_t> pauseStartTick;
    AtomicValue<uint32_t> jobPausedAtStart;
    AtomicValue<uint32_t> taskPausedAtStart;
    AtomicValue<int32_t> currentTaskIndex;
    std::vector<CConversionTask> tasks;  // filled before the run starts; not resized during it
    // Log lines the job posts before its first task (what a search for books left out).
    std::vector<std::string> prefaceLines;
    // Written by the job thread only, read once it has ended: the outputs of the tasks that
    // ended OK, in order, and the books that failed.
    struct FailedBook {
        int32_t number = 0;
        std::string name;
        std::string reason;
    };
    std::vector<std::string> joinedOutputs;
    std::vector<FailedBook> failedBooks;
    // A cancel that cut a task short: the file that keeps what was joined, with how many
    // seconds it holds of the task's whole length. Empty path: no cancel kept a file.
    struct CutShort {
        std::string path;
        double seconds = 0;
        double totalSeconds = 0;
    };
    CutShort cutShort;
    // The first error line of the current task, the reason a failed book gives. Set once by
    // whichever thread reports first (a compare-exchange, so no lock on the audio path), taken
    // by the job thread when the task ends. Owned: null or a string from new.
    std::atomic<std::string*> firstTaskError{nullptr};
    WorkerSlot jobThread;
    WorkerSlot encoderThread;
    WorkerSlot conversionThread;

    JoinRunState() = default;
    ~JoinRunState();
    // Clears the flags (running included), the progress counters and what the last run
    // recorded (outputs, failed books) for a new run.
    void ResetForRun();
    // The task's first error line, taken (empty when none was reported).
    std::string TakeFirstTaskError();
    // A worker of an earlier run has not ended yet: it still uses the ring buffers, so no
    // new run may start over it.
    bool WorkerStillRunning() const;

    JoinRunState(const JoinRunState&) = delete;
    JoinRunState& operator=(const JoinRunState&) = delete;
};

// Puts `tasks` into `run` with the overall total of their samples, and `preface` as the log's
// first lines.
void SetRunTasks(JoinRunState& run, std::vector<CConversionTask> tasks, std::vector<std::string> preface = {});

// Fills currentRate, currentChannels, outputRate, outputChannels, totalSamples and
// needsConversion of a task whose `files` list is complete.
void PrepareTask(CConversionTask& task, const AppSettings& settings);
// The output format part of PrepareTask: sets outputRate, outputChannels, totalSamples and
// needsConversion for the given format.
void SetTaskOutput(CConversionTask& task, uint32_t rate, uint32_t channels);

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

// Pauses or resumes the run, keeping the paused time (nothing changes when it already is so).
void SetPaused(JoinRunState& run, bool paused);
// All the time the run has spent paused up to `now`, the current pause included.
uint32_t PausedMsSoFar(const JoinRunState& run, uint32_t now);
// Milliseconds of work from `startTick` (when `pausedAtStart` had passed paused) to `now`.
uint32_t WorkingMs(const JoinRunState& run, uint32_t startTick, uint32_t pausedAtStart, uint32_t now);

}  // namespace velmora
