// The copy join: when every input is MPEG Layer III of one version, rate and channel count,
// their audio frames are copied as they are, behind one fresh Xing/Info header with a LAME
// extension for the whole stream. No decoding, no encoding, no loss.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/mpeg_frame.h"

namespace velmora {

struct CConversionTask;
struct JoinEngine;

// What the first pass learnt of one input.
struct CopyInput {
    std::string path;
    MpegFrameHeader first;     // the first audio frame
    uint64_t frames = 0;       // audio frames (the header frame not counted)
    uint64_t bytes = 0;        // their bytes
    int delay = 0;             // from the input's own LAME extension, 0 without one
    int padding = 0;
    bool damaged = false;      // data that was no frame was left out
    bool sameBitrate = true;   // every frame at the first frame's bit rate
};

struct CopyPlan {
    std::vector<CopyInput> inputs;
    uint64_t frames = 0;
    uint64_t bytes = 0;
};

// Reads every input of the task. True with the plan when their frames can be copied; false
// with the log line that says why the join re-encodes instead.
bool PlanCopyJoin(const CConversionTask& task, CopyPlan& plan, std::string& whyNot);

// Job thread: writes the task's output from the plan (the tag's room first, when one is
// reserved). 1 when every frame was copied; 0 when the run was stopped or a write failed (the
// output is then a valid, shorter file). Keeps the run's progress and the task's per-input
// sample counts as an encoder would.
int CopyAllFiles(JoinEngine& engine, CConversionTask& task, const CopyPlan& plan);

// The frames of one file as the copy sees them, for tests and the fuzz target: calls `frame`
// with each audio frame's bytes. Returns what the first pass returns for it.
CopyInput WalkMp3Frames(const uint8_t* data, size_t size,
                        const std::function<void(const uint8_t*, const MpegFrameHeader&)>& frame);

}  // namespace velmora
