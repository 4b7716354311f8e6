#include "engine/join_runner.h"

#include <mpg123.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "engine/bitrate_choice.h"
#include "engine/converter.h"
#include "engine/copy_join.h"
#include "engine/decoder.h"
#include "engine/loudness.h"
#include "engine/output_tag.h"

namespace velmora {

namespace {

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// Waits for a worker for at most `waitMs` of unpaused time: a user who pauses near the end of
// a task holds the encoder on purpose, and that must not count as a worker that hangs.
bool WaitUnpaused(const JoinRunState& run, const WorkerSlot& slot, uint32_t waitMs) {
    constexpr uint32_t kStepMs = 20;
    uint32_t counted = 0;
    for (;;) {
        if (WaitForWorker(slot, std::min(kStepMs, waitMs - counted))) return true;
        if (run.paused && run.running) continue;
        counted += std::min(kStepMs, waitMs - counted);
        if (counted >= waitMs) return false;
    }
}

// Waits for a task's worker at the end of the task. Threads cannot be terminated here, so a
// worker that is still busy after the wait is told to stop (running cleared: it ends at its
// next poll, and the encoder still closes a valid file) and waited for once more. One that
// still has not ended is left to itself; it owns what it touches, and since the run is
// stopped no later task resets or shares the ring buffers it may still use.
void AwaitTaskWorker(JoinRunState& run, const WorkerSlot& slot, uint32_t waitMs) {
    if (WaitUnpaused(run, slot, waitMs)) return;
    run.running = 0;
    WaitForWorker(slot, waitMs);
}

// An existing output is replaced only by a join that ends OK: until then the join writes a
// temporary file beside it (a rename within one folder is atomic), so a join that fails
// half-way, on a full disk say, never costs the old file. A link is followed: the file it
// points to is the one replaced, as writing through it would have done.
struct Replacement {
    std::string target;  // the file replaced at the end; empty: nothing is replaced
    std::string temporary;
};

Replacement PlanReplacement(const std::string& output) {
    Replacement r;
    std::error_code ec;
    namespace fs = std::filesystem;
    if (!fs::exists(fs::symlink_status(output, ec))) return r;
    const fs::path target = fs::is_symlink(fs::symlink_status(output, ec)) ? fs::canonical(output, ec) : fs::path(output);
    if (ec || !fs::is_regular_file(target, ec)) return r;
    r.target = target.string();
    const std::string stem = (target.parent_path() / ("." + target.filename().string() + ".velmora-")).string();
    for (unsigned long n = static_cast<unsigned long>(::getpid());; ++n) {
        r.temporary = stem + std::to_string(n) + ".part";
        if (!fs::exists(fs::symlink_status(r.temporary, ec))) return r;
    }
}

// After the task: an OK join takes the old file's place (and its permissions); a cancelled one
// is kept under the next free name, which is returned; a failed one is removed. The old file
// is untouched unless the join ended OK.
std::string SettleReplacement(JoinEngine& engine, JoinRunState& run, const Replacement& r) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (run.running) {
        const fs::perms mode = fs::status(r.target, ec).permissions();
        if (!ec) fs::permissions(r.temporary, mode, ec);
        if (::rename(r.temporary.c_str(), r.target.c_str()) == 0) return {};
        const int error = errno;
        run.running = 0;
        PostJoinMessage(engine, FormatText("Could not replace %s: %s. The joined file is %s.", r.target.c_str(),
                                           std::strerror(error), r.temporary.c_str()),
                        kMessageError);
        return {};
    }
    if (run.stopped && fs::exists(r.temporary, ec)) {
        const std::string kept = UniqueOutputPath(r.target);
        if (::rename(r.temporary.c_str(), kept.c_str()) == 0) {
            PostJoinMessage(engine, FormatText("The old file was kept; what was joined is in %s.", kept.c_str()),
                            kMessageInfo);
            return kept;
        }
    }
    fs::remove(r.temporary, ec);
    return {};
}

// ---- a series of books: each book one or more tasks of the run ----

std::string TaskTitle(const CConversionTask& task) {
    if (task.bookNumber <= 0) return "Joining...";
    return FormatText("Joining... Book %d of %d", task.bookNumber, task.bookCount);
}

// What a book that will not be written any more still counted leaves the overall total, so
// the bar keeps its meaning for the books after it. The job thread is the total's one writer
// while the run goes.
void DropFromTotal(JoinRunState& run, uint64_t samples) {
    const uint64_t total = run.overallSamplesTotal.load();
    run.overallSamplesTotal = total - std::min(total, samples);
}

// Before a task: a book's block starts with its name. False when the task is not run: an
// earlier task of its book failed, its inputs could not be read (reported here as the book's
// failure), or the run was cancelled while a failed book was being settled.
bool BeginBookTask(JoinEngine& engine, JoinRunState& run, size_t index) {
    run.TakeFirstTaskError();  // a late line of an earlier task is not this one's reason
    const CConversionTask& task = run.tasks[index];
    if (task.bookNumber <= 0) return true;
    if (run.stopped) {
        run.running = 0;
        return false;
    }
    if (!run.failedBooks.empty() && run.failedBooks.back().number == task.bookNumber) {
        DropFromTotal(run, task.totalSamples);
        return false;
    }
    if (index == 0 || run.tasks[index - 1].bookNumber != task.bookNumber)
        PostJoinMessage(engine, FormatText("Book %d of %d: %s", task.bookNumber, task.bookCount, task.bookName.c_str()),
                        kMessageInfo);
    if (task.bookError.empty()) return true;
    PostJoinMessage(engine, task.bookError, kMessageError);
    PostJoinMessage(engine, "Joining status: ERROR.", kMessageError);
    run.failedBooks.push_back({task.bookNumber, task.bookName, task.bookError});
    DropFromTotal(run, task.totalSamples);
    return false;
}

// After a task, before its status line. A task that ended OK adds its output to the record.
// A book that failed by itself (not cancelled) is recorded with the task's first error line
// and its half-written output removed (among complete books it would pass for one, and a
// second run gets the plain name back). True when the series goes on after the status line:
// only once every worker of the failed task has ended, as a worker left running still uses
// the ring buffers the next task would reset.
bool SettleBookTask(JoinEngine& engine, JoinRunState& run, const CConversionTask& task, const std::string& output) {
    std::string firstError = run.TakeFirstTaskError();
    if (run.running) {
        run.joinedOutputs.push_back(output);
        return false;
    }
    if (task.bookNumber <= 0 || run.stopped) return false;
    if (firstError.empty()) firstError = "the join failed";
    run.failedBooks.push_back({task.bookNumber, task.bookName, firstError});
    DropFromTotal(run, task.totalSamples - std::min(task.totalSamples, run.taskSamplesDone.load()));
    if (!WaitForWorker(run.encoderThread, 0) || !WaitForWorker(run.conversionThread, 0)) return false;
    // From the settings, the output was made under a free name by this task: nobody else's.
    // A part stays, as parts of a single join do: the log names it as cut short.
    if (engine.settings.askOutputPath == 0 && task.partCount == 0) {
        std::error_code ec;
        std::filesystem::remove(output, ec);
    }
    return true;
}

// The next book starts after a failed one. A cancel between the failure and here wins: it
// sets stopped before it clears running, so with the fence one of the two sides sees the other.
void ResumeSeries(JoinRunState& run) {
    run.running = 1;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (run.stopped) run.running = 0;
}

// The end of a series: "5 joined, 1 failed: NAME (reason)". False when a book failed: the run
// then ends as failed, with the good books complete and kept.
bool ReportBooks(JoinEngine& engine, const JoinRunState& run) {
    int32_t count = 0;
    for (const CConversionTask& t : run.tasks) count = std::max(count, t.bookCount);
    if (count == 0) return true;
    const size_t failed = run.failedBooks.size();
    std::string line = FormatText("%zu joined, %zu failed", static_cast<size_t>(count) - failed, failed);
    for (size_t i = 0; i < failed; ++i)
        line += (i == 0 ? ": " : "; ") + run.failedBooks[i].name + " (" + run.failedBooks[i].reason + ")";
    PostJoinMessage(engine, line + (failed == 0 ? "." : ""), failed == 0 ? kMessageInfo : kMessageError);
    return failed == 0;
}

}  // namespace

JoinEngine::JoinEngine() {
    static std::once_flag once;
    std::call_once(once, [] { mpg123_init(); });
    mpg123Handle = mpg123_new(nullptr, nullptr);
    // The library's own warnings about damaged frames would only clutter a terminal; the
    // engine reports what matters through its log lines. No resync limit: damaged data of
    // any length is skipped and the rest of the input still decodes.
    if (mpg123Handle) {
        mpg123_param(mpg123Handle, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
        mpg123_param(mpg123Handle, MPG123_RESYNC_LIMIT, -1, 0);
    }
}

JoinEngine::~JoinEngine() {
    if (mpg123Handle) mpg123_delete(mpg123Handle);
}

int DecodeAllFiles(const std::shared_ptr<JoinEngine>& engine,
                   const std::shared_ptr<CConversionTask>& task) {
    const std::shared_ptr<JoinRunState> runOwner = engine->activeRun;
    JoinRunState& run = *runOwner;
    int result = 0;
    try {
        engine->currentTask.store(task.get(), std::memory_order_release);
        task->decoding = 1;
        run.conversionThread.store(nullptr);
        task->encoderSource = task->needsConversion ? &engine->convertedSamples : &engine->decodedSamples;
        task->inputSamples.assign(task->files ? task->files->size() : 0, AtomicValue<uint64_t>(0));

        if (engine->encodeTask) {
            run.encoderThread.store(WorkerThread::Start([engine, task, runOwner] {
                int ok = 0;
                try {
                    ok = engine->encodeTask(*engine, *task);
                } catch (...) {
                    runOwner->running = 0;
                    PostJoinMessage(*engine, FormatText("An error occurred while encoding %s", task->outputPath.c_str()),
                                    kMessageError);
                    task->encoding = 0;
                }
                // An encoder that gives up without stopping the run (an output kind it does not
                // write, say) would leave the decoder waiting forever on a full buffer.
                if (ok == 0) runOwner->running = 0;
            }));
        } else {
            run.encoderThread.store(nullptr);
        }

        const std::shared_ptr<FileList> files = task->files;
        for (size_t i = 0; files && i < files->size() && run.running; ++i) {
            const CFileToBeJoin& input = (*files)[i];
            if (i > 0 && task->needsConversion) {
                if (std::shared_ptr<WorkerThread> previous = run.conversionThread.load()) previous->WaitForever();
            }
            task->currentFile = input.path;
            task->currentInput = static_cast<int32_t>(i);
            if (const std::shared_ptr<JoinSink> sink = engine->sink) sink->SetSource(input.path);
            task->currentRate = input.sampleRate;
            task->currentChannels = input.channels;
            task->fileDecoding = 1;
            if (task->needsConversion) {
                task->converting = 1;
                run.conversionThread.store(WorkerThread::Start([engine, task, runOwner, path = input.path] {
                    bool ok = false;
                    try {
                        ok = ConvertFile(*engine, *task, runOwner) != 0;
                    } catch (...) {
                        task->converting = 0;
                    }
                    // A chain that could not be built or ended before its input did would leave
                    // the decoder waiting on a full buffer and the encoder on an empty one.
                    if (!ok && runOwner->running) {
                        runOwner->running = 0;
                        PostJoinMessage(*engine, FormatText("An error occurred while converting %s", path.c_str()),
                                        kMessageError);
                    }
                }));
            }
            result = DecodeFile(*engine, *task);
            task->fileDecoding = 0;
            if (result == kDecodeFailed) {  // reported: audio was lost, the run ends here
                result = 0;
                break;
            }
            if (result == kDecodeNoAudio && input.totalSamples == 0) {
                result = 1;  // empty when it was listed, and still empty: nothing is lost
            } else if (result == kDecodeNoAudio) {
                // Readable when it was listed, but nothing to decode now (deleted, replaced,
                // emptied): the join goes on with the rest and ends as failed.
                task->inputsMissing = 1;
                PostJoinMessage(*engine, FormatText("No audio could be decoded from %s.", input.path.c_str()),
                                kMessageError);
                result = 1;
            }
        }
    } catch (...) {
        run.running = 0;
        PostJoinMessage(*engine, FormatText("An error occurred while decoding %s", task->currentFile.c_str()),
                        kMessageError);
        result = 0;
    }
    task->decoding = 0;
    task->fileDecoding = 0;
    return result;
}

void RunJoinJob(std::shared_ptr<JoinEngine> engine) {
    const std::shared_ptr<JoinRunState> runOwner = engine->activeRun;
    JoinRunState& run = *runOwner;
    // Held for the whole job, so the receiver object outlives every call made on it here.
    const std::shared_ptr<JoinSink> sinkOwner = engine->sink;
    JoinSink* sink = sinkOwner.get();
    try {
        // Lets the dialog appear before work starts; a cancel meanwhile is seen within 10 ms.
        for (uint32_t slept = 0; slept < engine->startDelayMs && run.running; slept += 10)
            SleepMs(std::min<uint32_t>(10, engine->startDelayMs - slept));
        run.jobStartTick = TickCount();
        run.jobPausedAtStart = PausedMsSoFar(run, run.jobStartTick.load());
        run.currentTaskIndex = 0;
        for (const std::string& line : run.prefaceLines) PostJoinMessage(*engine, line, kMessageInfo);

        while (static_cast<size_t>(run.currentTaskIndex.load()) < run.tasks.size() && run.running) {
            if (!BeginBookTask(*engine, run, static_cast<size_t>(run.currentTaskIndex.load()))) {
                run.currentTaskIndex = run.currentTaskIndex.load() + 1;
                continue;
            }
            const uint32_t taskStart = TickCount();
            const uint32_t pausedAtTaskStart = PausedMsSoFar(run, taskStart);
            if (sink) sink->SetTitle(TaskTitle(run.tasks[static_cast<size_t>(run.currentTaskIndex.load())]));

            auto copy = std::make_shared<CConversionTask>(run.tasks[static_cast<size_t>(run.currentTaskIndex.load())]);
            if (engine->settings.askOutputPath == 0 && FileExists(copy->outputPath))
                copy->outputPath = UniqueOutputPath(copy->outputPath);
            if (sink) sink->SetDestination(copy->outputPath);

            PostJoinMessage(*engine, "Start a new joining task.", kMessageInfo);
            PostJoinMessage(*engine, FormatText("Destination: %s.", copy->outputPath.c_str()), kMessageInfo);
            if (!copy->partNote.empty()) PostJoinMessage(*engine, copy->partNote, kMessageInfo);
            const std::string shownPath = copy->outputPath;  // before a temporary name replaces it

            run.taskSamplesDone = 0;
            run.taskSecondsDone = 0.0f;
            run.taskStartTick = TickCount();
            run.taskPausedAtStart = PausedMsSoFar(run, run.taskStartTick.load());
            engine->decodedSamples.Reset();
            engine->convertedSamples.Reset();
            // A copy join takes the inputs' own format; the output tag is planned for it.
            CopyPlan plan;
            bool copying = false;
            const bool loudness = engine->settings.loudness != 0;
            // MP3 frames cannot go into an M4B: it is always encoded.
            const bool m4b = copy->outputKind == kOutputKindM4b;
            if (m4b && engine->settings.copyFrames != 0)
                PostJoinMessage(*engine, "A copy join does not apply to an M4B output: the join encodes.", kMessageInfo);
            if (loudness && engine->settings.copyFrames != 0 && !m4b)
                PostJoinMessage(*engine, "Even loudness changes the audio: the join re-encodes instead of copying.",
                                kMessageInfo);
            if (loudness && !EvenOutLoudness(*engine, run, *copy)) run.running = 0;
            if (engine->settings.copyFrames != 0 && !loudness && !m4b && run.running) {
                std::string whyNot;
                copying = PlanCopyJoin(*copy, plan, whyNot);
                PostJoinMessage(*engine, copying ? std::string("Copying the audio frames (no re-encoding).") : whyNot,
                                kMessageInfo);
            }
            if (copying) {
                const MpegFrameHeader& like = plan.inputs.front().first;
                const uint64_t total = plan.frames * like.samples * like.channels();
                run.overallSamplesTotal = run.overallSamplesTotal.load() - std::min(run.overallSamplesTotal.load(),
                                                                                    copy->totalSamples) + total;
                copy->totalSamples = total;
                copy->outputRate = like.sampleRate;
                copy->outputChannels = like.channels();
                copy->needsConversion = 0;
                copy->inputSamples.assign(copy->files->size(), AtomicValue<uint64_t>(0));
            }
            // The inputs' own rate, unless their frames are copied as they are.
            if (!copying && !m4b && run.running && engine->settings.bitrateMode == kBitrateSameAsInputs)
                PostJoinMessage(*engine, ChooseSameAsInputsBitrate(*copy, engine->settings), kMessageInfo);
            PrepareOutputTag(*copy);
            // After the tag is planned: the tag's title comes from the output's own name.
            const Replacement replacement = PlanReplacement(copy->outputPath);
            if (!replacement.target.empty()) copy->outputPath = replacement.temporary;

            // A run stopped while measuring writes nothing.
            const int r = !run.running ? 0 : copying ? CopyAllFiles(*engine, *copy, plan) : DecodeAllFiles(engine, copy);
            if (r == 0) run.running = 0;

            if (copy->needsConversion) AwaitTaskWorker(run, run.conversionThread, engine->workerWaitMs);
            AwaitTaskWorker(run, run.encoderThread, engine->workerWaitMs);
            // The tag goes in once nothing else writes the file or counts its inputs; a
            // cancelled join's tag covers what was written; a failed join whose output is about to
            // be removed gets none.
            const bool discarded =
                !replacement.target.empty() && (!run.running || copy->inputsMissing) && !run.stopped;
            if (copy->tagPlaced && !discarded && WaitForWorker(run.encoderThread, 0) &&
                WaitForWorker(run.conversionThread, 0))
                FinishOutputTag(*engine, run, *copy);
            // The output keeps what was joined, but a join that left an input out has failed.
            if (copy->inputsMissing) run.running = 0;
            // A worker still writing the temporary file keeps it.
            std::string keptPath = replacement.target.empty() ? copy->outputPath : std::string();
            if (!replacement.target.empty() && WaitForWorker(run.encoderThread, 0) &&
                WaitForWorker(run.conversionThread, 0))
                keptPath = SettleReplacement(*engine, run, replacement);
            if (run.stopped && !keptPath.empty() && FileExists(keptPath))
                run.cutShort = {keptPath, copy->SecondsOf(run.taskSamplesDone.load()), copy->SecondsOf(copy->totalSamples)};
            const bool nextBook =
                SettleBookTask(*engine, run, *copy, replacement.target.empty() ? copy->outputPath : replacement.target);

            if (run.running) {
                const float elapsed = static_cast<float>(WorkingMs(run, taskStart, pausedAtTaskStart, TickCount())) / 1000.0f;
                // A task shorter than the clock's step has no measurable speed.
                const float speed = elapsed > 0 ? run.taskSecondsDone.load() / elapsed : 0.0f;
                PostJoinMessage(*engine, FormatText("Time elapsed %.2f secs, speed %.2fx.", elapsed, speed),
                                kMessageInfo);
                PostJoinMessage(*engine, "Joining status: OK.", kMessageInfo);
            } else {
                // The parts before this one are complete files; this one holds what was joined.
                if (copy->partCount > 0)
                    PostJoinMessage(*engine, FormatText("Part %d of %d was cut short: %s.", copy->partNumber,
                                                        copy->partCount, shownPath.c_str()),
                                    kMessageError);
                PostJoinMessage(*engine, "Joining status: ERROR.", kMessageError);
            }
            if (nextBook) ResumeSeries(run);

            // The list goes with the task; workers that may still hold the copy never read it.
            if (copy->files) copy->files->clear();
            copy->files.reset();
            engine->currentTask.store(nullptr, std::memory_order_release);
            copy.reset();
            run.currentTaskIndex = run.currentTaskIndex.load() + 1;
        }

        if (run.running) {
            if (run.tasks.size() > 1) {
                const float elapsed =
                    static_cast<float>(WorkingMs(run, run.jobStartTick, run.jobPausedAtStart, TickCount())) / 1000.0f;
                const float speed = elapsed > 0 ? run.overallSecondsDone.load() / elapsed : 0.0f;
                PostJoinMessage(*engine, std::string(99, '-'), kMessageInfo);
                PostJoinMessage(*engine, FormatText("Total time elapsed %.2f secs, overall speed %.2fx.", elapsed, speed),
                                kMessageInfo);
            }
            if (ReportBooks(*engine, run)) {
                if (sink) sink->Done();
                return;
            }
            run.running = 0;
        }
    } catch (...) {
        // Only resource exhaustion gets here; the run ends as failed.
        run.running = 0;
        PostJoinMessage(*engine, "An error occurred while joining.", kMessageError);
    }
    // However the run ended without finishing, the receiver learns that it is over.
    if (sink) sink->Failed();
}

std::shared_ptr<WorkerThread> StartJoinRun(const std::shared_ptr<JoinEngine>& engine) {
    const std::shared_ptr<JoinRunState> run = engine->activeRun;
    if (run->WorkerStillRunning()) return nullptr;
    run->ResetForRun();
    run->threadsStarted = 1;
    PostJoinProgress(*engine, 0.0f, 0.0f, false);
    run->running = 1;
    std::shared_ptr<WorkerThread> job = WorkerThread::Start([engine] { RunJoinJob(engine); });
    run->jobThread.store(job);
    return job;
}

bool StopJoinWorkers(JoinRunState& run, uint32_t milliseconds) {
    bool all = WaitForWorker(run.conversionThread, milliseconds);
    all = WaitForWorker(run.encoderThread, milliseconds) && all;
    all = WaitForWorker(run.jobThread, milliseconds) && all;
    return all;
}

}  // namespace velmora
