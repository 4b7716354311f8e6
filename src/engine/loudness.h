// Even loudness: each input's integrated loudness (EBU R128 / ITU-R BS.1770) and true peak,
// measured with the decoder before the join, and the one constant gain that brings it to the
// target without letting its true peak rise above -1 dBTP.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace velmora {

inline constexpr int kLoudnessTargetDefault = -16;
inline constexpr int kLoudnessTargetMin = -30;
inline constexpr int kLoudnessTargetMax = -10;
inline constexpr double kTruePeakCeilingDb = -1.0;

struct LoudnessMeasure {
    bool silent = true;       // no gated loudness (silence, or nothing decoded)
    double lufs = 0.0;        // integrated loudness when not silent
    double truePeakDb = -200; // dBTP, the highest of the channels
};

// Decodes `path` at its own format and measures it; `progress` gets the sample frames done so
// far and returns false to stop (then the result is false too). False when nothing could be
// decoded or the measurement could not be set up.
bool MeasureLoudness(const std::string& path, LoudnessMeasure& m,
                     const std::function<bool(uint64_t framesDone)>& progress);

// The gain in dB for `target` LUFS, lowered so that the true peak stays at or below -1 dBTP;
// 0 for a silent input.
double LoudnessGainDb(const LoudnessMeasure& m, double target);

struct CConversionTask;
struct JoinEngine;
struct JoinRunState;

// Job thread, before a task's workers start: measures every input ("Measuring loudness" with
// its own progress, one log line per input) and sets the task's per-input gains for the
// settings' target. False when the run was stopped meanwhile.
bool EvenOutLoudness(JoinEngine& engine, JoinRunState& run, CConversionTask& task);

}  // namespace velmora
