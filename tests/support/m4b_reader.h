// Reads an M4B back as the players would, through FFmpeg's libraries: container, codec, the
// decoded samples (edit list applied), the chapters and the tags.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace velmora::testing {

struct M4bChapter {
    double start = 0;  // seconds
    double end = 0;
    std::string title;
};

struct ReadM4b {
    bool ok = false;
    std::string error;
    std::string container;  // the demuxer's name ("mov,mp4,m4a,3gp,3g2,mj2")
    std::string codec;      // "aac"
    int profile = -1;       // FF_PROFILE_AAC_LOW (1) for LC
    int rate = 0;
    int channels = 0;
    int64_t indexFrames = 0;       // the audio stream's length as the index gives it
    std::vector<int16_t> samples;  // decoded, interleaved
    std::vector<M4bChapter> chapters;
    std::map<std::string, std::string> tags;  // the container's metadata, FFmpeg's key names
    size_t frames() const { return channels ? samples.size() / static_cast<size_t>(channels) : 0; }
};

ReadM4b ReadM4bFile(const std::filesystem::path& path);

// Dominant frequency (Hz) of a stretch of channel 0, by counting zero crossings.
double M4bFrequency(const ReadM4b& m, size_t firstFrame, size_t frameCount);

}  // namespace velmora::testing
