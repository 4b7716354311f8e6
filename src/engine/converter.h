// The conversion stage: a libsox effects chain per input, from decodedSamples into
// convertedSamples, changing the channel count ("channels") and then the rate ("rate").
#pragma once

#include <sox.h>

#include "engine/join_runner.h"

namespace velmora {

// Body of a conversion thread: builds, runs and deletes the chain for the task's current
// input, then clears task.converting. Returns 1.
// Runs the chain for the current input. 1 when it ran to the end of its input (or the run was
// stopped), 0 when it could not be built or ended early. It polls `run` (default: the engine's
// run when it starts).
int ConvertFile(JoinEngine& engine, CConversionTask& task, std::shared_ptr<JoinRunState> run = nullptr);

// The chain's own source and sink effects (exposed for tests).
int InputDrain(sox_effect_t* effect, sox_sample_t* output, size_t* count);
int OutputFlow(sox_effect_t* effect, const sox_sample_t* input, sox_sample_t* output,
               size_t* inputCount, size_t* outputCount);

// Calls sox_init() once per process; the "rate" effect needs the library set up.
void EnsureSoxInitialised();

}  // namespace velmora
