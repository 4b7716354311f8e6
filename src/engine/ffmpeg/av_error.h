// FFmpeg's text for one of its error codes, as the module's messages quote it.
#pragma once

extern "C" {
#include <libavutil/error.h>
}

#include <string>

namespace velmora {

inline std::string AvErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(code, text, sizeof text) < 0) return "Unknown error";
    return text;
}

}  // namespace velmora
