// Inputs in the formats other than MPEG audio, made by the ffmpeg program in the tests' own
// temporary folders: a tone with the tags ffmpeg writes for each container.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace velmora::testing {

struct FfmpegTone {
    int rate = 44100;
    int channels = 2;
    double seconds = 1.0;
    int hz = 440;
    // Metadata keys as ffmpeg names them ("title", "artist", "album", "track", ...).
    std::vector<std::pair<std::string, std::string>> tags = {};
    // An image attached as the cover (.flac, .m4a), when not empty.
    std::filesystem::path cover = {};
};

// Writes `path` in the format its extension names (.wav PCM, .flac, .ogg Vorbis, .opus,
// .m4a AAC, .wma WMA v2). False when ffmpeg fails or is missing.
bool MakeToneWithFfmpeg(const std::filesystem::path& path, const FfmpegTone& tone);

}  // namespace velmora::testing
