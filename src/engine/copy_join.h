// The copy join: when every input is MPEG Layer III of one version, rate and channel count,
// their audio frames are copied as they are, behind one fresh Xing/Info header with a LAME
// extension for the whole stream. No decoding, no encoding, no loss.
#pragma once

#include <cstdint>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/mpeg_frame.h"
#include "lame_enc/xing_frame.h"  // FrameOffsets and the header frame writer

namespace velmora {

struct CConversionTask;
struct JoinEngine;
class MediaFile;

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

// The header frame of the whole stream: Info when every frame has one bit rate, Xing
// otherwise, with frame and byte counts (no byte count past 4 GiB), a table of contents from
// `offsets` (byte offsets of the audio frames, the header frame not counted) and a LAME
// extension with the delay, padding, music length (the stream's bytes) and CRC.
std::vector<uint8_t> BuildHeaderFrame(const MpegFrameHeader& like, bool constant, uint64_t frames,
                                      uint64_t streamBytes, const FrameOffsets* offsets, int delay, int padding,
                                      uint16_t musicCrc);

// Reads every input of the task. True with the plan when their frames can be copied; false
// with the log line that says why the join re-encodes instead.
bool PlanCopyJoin(const CConversionTask& task, CopyPlan& plan, std::string& whyNot);

// Job thread: writes the task's output from the plan (the tag's room first, when one is
// reserved). 1 when every frame was copied; 0 when the run was stopped or a write failed (the
// output is then a valid, shorter file). Keeps the run's progress and the task's per-input
// sample counts as an encoder would.
int CopyAllFiles(JoinEngine& engine, CConversionTask& task, const CopyPlan& plan);

// Whether a walk of the file's frames finds data that is no frame between them (what a
// decoder resyncs past). A read that fails meanwhile leaves file.failed() set.
bool HasDamagedData(MediaFile& file);

// The frames of one file as the copy sees them, for tests and the fuzz target: calls `frame`
// with each audio frame's bytes. Returns what the first pass returns for it.
// With `plan`, only frames of its version, layer, rate and channel count, as the copy takes them.
CopyInput WalkMp3Frames(const uint8_t* data, size_t size,
                        const std::function<void(const uint8_t*, const MpegFrameHeader&)>& frame,
                        const MpegFrameHeader* plan = nullptr);

}  // namespace velmora
