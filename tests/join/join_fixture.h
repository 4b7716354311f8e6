// Real joins for the dialog tests: generated tone MP3s, a task prepared as the Join command
// prepares it, the engine with the real encoder module.
#pragma once

#include "engine/join_runner.h"
#include "join/taskbar_progress.h"
#include "support/mp3_fixtures.h"

#include <filesystem>
#include <memory>
#include <vector>

namespace velmora::testing {

struct JoinInput {
    std::filesystem::path path;
    double seconds;
    int rate = 44100;
    int channels = 2;
    double frequency = 440;
};

// Makes the inputs (real MP3 files; a path ending in ".bad.mp3" is
// listed but not made, as a file deleted after it was listed) and a
// task writing `output`. Returns false when an input cannot be made.
bool MakeJoinTask(const std::vector<JoinInput>& inputs, const std::filesystem::path& output,
                  CConversionTask& task, const AppSettings& settings = {});

// A fresh engine that encodes with the encoder module, run set up with `task`.
std::shared_ptr<JoinEngine> MakeJoinEngine(const CConversionTask& task, uint32_t startDelayMs = 500);

// Keeps every state and value the progress dialog gives the taskbar.
struct RecordingTaskbar : TaskbarProgress {
    std::vector<State> states;
    std::vector<std::pair<uint64_t, uint64_t>> values;
    void SetProgressState(State s) override { states.push_back(s); }
    void SetProgressValue(uint64_t c, uint64_t t) override { values.emplace_back(c, t); }
};

// Gives an existing engine a fresh task list for its next run.
void ResetRun(JoinEngine& engine, const CConversionTask& task);

}  // namespace velmora::testing
