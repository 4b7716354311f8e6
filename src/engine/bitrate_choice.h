// "Same as the inputs": the output's constant bit rate taken from the inputs' own, when a
// task starts (the inputs are read then, as the join reads them).
#pragma once

#include <cstdint>
#include <string>

#include "engine/join_task.h"
#include "settings/app_settings.h"

namespace velmora {

// What an input's bit rate counts for: a constant-rate MPEG stream's rate, a VBR or ABR one's
// average, another lossy format's rate as FFmpeg gives it. 0 for a lossless or PCM input
// (it would drive the output to the top of the table for nothing) and one that gives none.
int InputBitrateKbps(const std::string& path);

// The smallest rate of the table of the MPEG version that `outputRate` is encoded in
// (32-320 kbps at 32 kHz and above, 8-160 below) at or above `kbps`; the table's top above it.
uint32_t RoundUpToBitrateTable(int kbps, uint32_t outputRate);

// Sets task.bitrateKbps from the highest rate among the inputs (the task's output rate
// prepared), or from the constant rate of the settings when no input has one; returns the
// log line that says which.
std::string ChooseSameAsInputsBitrate(CConversionTask& task, const AppSettings& settings);

}  // namespace velmora
