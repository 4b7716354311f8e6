// The decoder stage: one input MP3 into decodedSamples.
#pragma once

#include "engine/join_runner.h"

namespace velmora {

// Decodes task.currentFile at (currentRate, currentChannels) into engine.decodedSamples on the
// engine's mpg123 handle. 1 when the input was read to its end (or the run was stopped), 0 after
// it has reported an error.
int DecodeFile(JoinEngine& engine, CConversionTask& task);

}  // namespace velmora
