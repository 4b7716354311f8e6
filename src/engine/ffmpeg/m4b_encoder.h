// The module's M4B writer (m4b_encoder.cpp), behind FfmpegModule::OpenM4bEncoder.
#pragma once

#include "engine/ffmpeg_module.h"

namespace velmora {

std::unique_ptr<FfmpegEncoder> OpenM4bEncoder(const M4bOutputFormat& format, std::string& error, bool& createFailed);

}  // namespace velmora
