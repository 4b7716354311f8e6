#include "engine/join_task.h"

#include <chrono>
#include <filesystem>
#include <system_error>

namespace velmora {

void JoinRunState::ResetForRun() {
    running = 0;
    paused = 0;
    stopped = 0;
    pausedMs = 0;
    pauseStartTick = 0;
    jobPausedAtStart = 0;
    taskPausedAtStart = 0;
    overallSamplesDone = 0;
    taskSamplesDone = 0;
    overallSecondsDone = 0.0f;
    taskSecondsDone = 0.0f;
    currentTaskIndex = 0;
    joinedOutputs.clear();
    failedBooks.clear();
    cutShort = {};
    TakeFirstTaskError();
}

JoinRunState::~JoinRunState() { delete firstTaskError.load(std::memory_order_acquire); }

std::string JoinRunState::TakeFirstTaskError() {
    std::unique_ptr<std::string> taken(firstTaskError.exchange(nullptr, std::memory_order_acq_rel));
    return taken ? std::move(*taken) : std::string();
}

bool JoinRunState::WorkerStillRunning() const {
    for (const WorkerSlot* slot : {&jobThread, &encoderThread, &conversionThread}) {
        std::shared_ptr<WorkerThread> w = slot->load();
        if (w && !w->Finished()) return true;
    }
    return false;
}

float CConversionTask::SecondsOf(uint64_t n) const {
    const double perSecond = static_cast<double>(outputChannels) * static_cast<double>(outputRate);
    // A task without an output format has no duration; never divide by zero.
    if (perSecond <= 0) return 0.0f;
    return static_cast<float>(static_cast<double>(n) / perSecond);
}

void PrepareTask(CConversionTask& task, const AppSettings& settings) {
    const FileList& files = *task.files;

    uint32_t highestRate = 0;
    uint32_t highestChannels = 0;
    for (const CFileToBeJoin& f : files) {
        if (f.sampleRate > highestRate) highestRate = f.sampleRate;
        if (f.channels > highestChannels) highestChannels = f.channels;
    }
    task.currentRate = highestRate;
    task.currentChannels = highestChannels;

    // A list without inputs (or with a channel count of 0) would give 0 output channels and a
    // division by zero below; the output is at least mono.
    const int16_t mode = settings.channelModeIndex;
    if (mode == kChannelAutomatic) {
        task.outputChannels = highestChannels < 2 ? (highestChannels == 0 ? 1 : highestChannels) : 2;
    } else if (mode == kChannelMono) {
        task.outputChannels = 1;
    } else {
        task.outputChannels = 2;
    }

    // An index outside the table falls back to Automatic through the checked accessor.
    const uint32_t chosen = FrequencyHz(settings.frequencyIndex);
    if (chosen == 0) {
        task.outputRate = 48000;
        for (size_t i = 1; i < FrequencyTable.size(); ++i) {
            if (FrequencyTable[i].hz >= highestRate) {
                task.outputRate = FrequencyTable[i].hz;
                break;
            }
        }
    } else {
        task.outputRate = chosen;
    }

    SetTaskOutput(task, task.outputRate, task.outputChannels);

    auto request = std::make_shared<OutputTagRequest>();
    request->tags = settings.outputTags != 0;
    // A hand-edited value outside the three modes reads as the default.
    request->chapters = settings.chapterMode == kChaptersNone || settings.chapterMode == kChaptersPerTitle
                            ? settings.chapterMode
                            : kChaptersPerFile;
    task.tagRequest = request;
}

void SetTaskOutput(CConversionTask& task, uint32_t rate, uint32_t channels) {
    const FileList& files = *task.files;
    task.outputRate = rate;
    task.outputChannels = channels;
    const uint32_t outPerSecond = task.outputRate * task.outputChannels;
    double total = 0;
    uint64_t totalSamples = 0;
    bool differs = false;
    for (const CFileToBeJoin& f : files) {
        if (f.sampleRate != task.outputRate || f.channels != task.outputChannels) differs = true;
        // An input without a measured format adds nothing rather than an infinite length.
        if (f.channels == 0 || f.sampleRate == 0) continue;
        const double factor = static_cast<double>(outPerSecond) /
                              (static_cast<double>(f.channels) * static_cast<double>(f.sampleRate));
        total = static_cast<double>(totalSamples) + factor * static_cast<double>(f.totalSamples);
        totalSamples = static_cast<uint64_t>(total);
    }
    // A whole number of frames: rounded down to a multiple of the channel count.
    totalSamples -= totalSamples % task.outputChannels;
    task.totalSamples = totalSamples;
    task.needsConversion = differs ? 1 : 0;
}

std::string UniqueOutputPath(const std::string& path) {
    // Only a "." in the file name starts the extension; one in a folder name does not.
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const std::string stem = hasExtension ? path.substr(0, dot) : path;
    const std::string extension = hasExtension ? path.substr(dot) : std::string();
    for (unsigned long n = 2;; ++n) {
        std::string candidate = stem + " (" + std::to_string(n) + ")" + extension;
        // symlink_status: a dangling link counts as taken, so nothing is written through it.
        std::error_code ec;
        if (!std::filesystem::exists(std::filesystem::symlink_status(candidate, ec))) return candidate;
    }
}

void RecordEncodedSamples(JoinRunState& run, const CConversionTask& task, uint64_t n) {
    run.taskSamplesDone.Add(n);
    run.overallSamplesDone.Add(n);
    const float s = task.SecondsOf(n);
    run.overallSecondsDone.Add(s);
    run.taskSecondsDone.Add(s);
}

double TaskPercent(const JoinRunState& run, const CConversionTask& task) {
    if (task.totalSamples == 0) return 0.0;
    return static_cast<double>(run.taskSamplesDone.load()) * 100.0 / static_cast<double>(task.totalSamples);
}

double OverallPercent(const JoinRunState& run) {
    const uint64_t total = run.overallSamplesTotal.load();
    if (total == 0) return 0.0;
    return static_cast<double>(run.overallSamplesDone.load()) * 100.0 / static_cast<double>(total);
}

uint32_t TickCount() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SetPaused(JoinRunState& run, bool paused) {
    if ((run.paused != 0) == paused) return;
    const uint32_t now = TickCount();
    if (paused) {
        run.pauseStartTick = now;  // before the flag: a reader that sees the pause sees its start
        run.paused = 1;
    } else {
        run.pausedMs = run.pausedMs.load() + (now - run.pauseStartTick.load());
        run.paused = 0;
    }
}

uint32_t PausedMsSoFar(const JoinRunState& run, uint32_t now) {
    const uint32_t ended = run.pausedMs.load();
    return run.paused ? ended + (now - run.pauseStartTick.load()) : ended;
}

uint32_t WorkingMs(const JoinRunState& run, uint32_t startTick, uint32_t pausedAtStart, uint32_t now) {
    const uint32_t all = now - startTick;
    const uint32_t paused = PausedMsSoFar(run, now) - pausedAtStart;
    return paused < all ? all - paused : 0;
}

void SetRunTasks(JoinRunState& run, std::vector<CConversionTask> tasks, std::vector<std::string> preface) {
    uint64_t total = 0;
    for (const CConversionTask& t : tasks) total += t.totalSamples;
    run.tasks = std::move(tasks);
    run.prefaceLines = std::move(preface);
    run.overallSamplesTotal = total;
}

}  // namespace velmora
