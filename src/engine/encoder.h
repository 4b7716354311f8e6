// The encoder stage: the body of a task's encoder thread. Reads the task's PCM from its
// encoderSource and writes the output through one of two sinks: an MP3 encoded by the encoder
// module lame_enc.so (loaded at run time from the executable's folder) with its Info header, or
// an M4B (AAC in MP4) written by the FFmpeg module velmora_ffmpeg.so.
#pragma once

#include <cstdint>
#include <string>

#include "engine/join_runner.h"
#include "lame_enc/bladeenc.h"
#include "settings/app_settings.h"

namespace velmora {

// 1 when the output file was finished, 0 otherwise. Sets task.encoding on entry and clears it
// on exit; only kOutputKindMp3 and kOutputKindM4b are encoded.
int EncodeTask(JoinEngine& engine, CConversionTask& task);

// The same with the module taken from `moduleFolder` instead of the executable's folder
// (tests use it to try missing and broken modules).
int EncodeTaskWithModule(JoinEngine& engine, CConversionTask& task, const std::string& moduleFolder);

// Where EncodeTask loads lame_enc.so from.
std::string EncoderModuleFolder();

// The folder of the running executable (from /proc/self/exe), without a trailing "/".
std::string ExecutableFolder();

// nMode of the record: mono for a one-channel output, otherwise by the channel mode setting.
int32_t EncoderChannelMode(uint32_t outputChannels, int16_t channelModeIndex);

// The configuration record for a task: zero-filled, then the fields the program sets.
bladeenc::BE_CONFIG MakeEncoderConfig(const CConversionTask& task, const AppSettings& settings);

// Scales n interleaved 32-bit samples by 2^-16 into float arrays: mono into `left` (n frames),
// stereo de-interleaved into `left` and `right` (n / 2 frames, rounded down). Returns the frames.
uint32_t ScaleToFloat(const int32_t* samples, uint32_t n, uint32_t channels, float* left, float* right);

}  // namespace velmora
