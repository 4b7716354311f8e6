// The decoder stage: one input MP3 into decodedSamples.
#pragma once

#include "engine/join_runner.h"

namespace velmora {

// Decodes task.currentFile at (currentRate, currentChannels) into engine.decodedSamples on the
// engine's mpg123 handle. 1 when the input was read to its end (or the run was stopped), 0 after
// it has reported an error that ends the run, kDecodeNoAudio when the input could not be opened
// or gave no audio while the run went on (the caller names the file; the run may go on).
inline constexpr int kDecodeNoAudio = 2;
// The input could not be read to its end (a read error, a file that shrank, a decoder error
// after audio was given): reported, and the join ends as failed, since audio was lost.
inline constexpr int kDecodeFailed = 3;
int DecodeFile(JoinEngine& engine, CConversionTask& task);

}  // namespace velmora
