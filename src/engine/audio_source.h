// Inputs that are not MPEG audio (WAV, FLAC, Ogg Vorbis, Opus, M4A/AAC, WMA) are read through
// FFmpeg's libraries; MPEG audio stays on libmpg123, with its exact gapless handling. This is
// the FFmpeg side: what a file is (for the file list and the join's plan) and its samples (for
// the join's decoder and the loudness pass), as interleaved 32-bit integers at the file's own
// rate and channel count, so that rate and channel conversion stay in the libsox chain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

class MediaFile;
struct ChapterEntry;

// True when `path`'s extension says MPEG audio (.mp3, .mp2, .mpga): such a file goes to
// libmpg123 without asking FFmpeg.
bool HasMpegAudioExtension(const std::string& path);
// The FFmpeg release velmora_ffmpeg.so runs with (loading the module); empty without it.
std::string FfmpegVersion();

// True when `path` is read by libmpg123: its extension says MPEG audio (.mp3, .mp2, .mpga), or
// it has another and FFmpeg's probe takes it for MPEG audio. Every other file goes to FFmpeg.
bool IsMpegAudioFile(const std::string& path);

// What FFmpeg says of a file: its first audio stream, without decoding it through.
struct AudioFileInfo {
    bool readable = false;
    std::string message;       // when not readable: "Trouble with <path>: <library's message>"
    std::string typeName;      // the Type column: "WAV", "FLAC", "OGG", "OPUS", "M4A", "WMA", ...
    uint32_t sampleRate = 0;   // Hz
    uint32_t channels = 0;     // 1 or 2 (more are mixed down to 2 when decoded)
    uint64_t totalSamples = 0; // length per channel x channels, as the container gives it
    double duration = 0;       // seconds
    int bitrateKbps = 0;       // the stream's (or the container's) bit rate, 0 when unknown
    // Only from the probe of an open file: FFmpeg's probe took its bytes for MPEG audio, and
    // nothing else is filled (libmpg123 reads such a file).
    bool mpegAudio = false;
    bool lossless = false;     // a lossless codec or PCM (WAV, FLAC, ALAC, ...)
};
AudioFileInfo ProbeAudioFile(const std::string& path);
// The same over a file the caller opened (`file`, opened from `path`, or left closed when
// `path` is no regular file), so that whatever else reads the file (the file list's tag
// reader) reads the same open. One probe also answers IsMpegAudioFile: MPEG audio stops it
// there with `mpegAudio` set.
AudioFileInfo ProbeAudioFile(const std::string& path, MediaFile& file);

// The chapters FFmpeg reads in a file that is not MPEG audio: an MP4/M4A/M4B chapter track or
// Nero chapter list, Ogg and FLAC CHAPTERnn comments, Matroska chapters. In the order of their
// starts; a chapter without an end ends where the next starts (the last at the file's end).
// False, with `error` (the library's message), when the file cannot be read as audio; an empty
// list when it has no chapters.
bool ReadAudioChapters(const std::string& path, std::vector<ChapterEntry>& chapters, std::string& error);

// A file decoded through FFmpeg, packet by packet, on the caller's thread. Encoder delay and
// padding are trimmed as the libraries report them (edit lists, pre-skip, exact lengths).
class FfmpegAudioSource {
public:
    FfmpegAudioSource();
    ~FfmpegAudioSource();
    FfmpegAudioSource(const FfmpegAudioSource&) = delete;
    FfmpegAudioSource& operator=(const FfmpegAudioSource&) = delete;

    // Opens `path` (a regular file only). False with error() set ("the library's message").
    bool Open(const std::string& path);
    uint32_t sampleRate() const;
    uint32_t channels() const;  // 1 or 2
    // Up to `maxSamples` interleaved samples (a multiple of channels()); 0 at the end or after
    // an error that ends the file (failed() then tells which).
    size_t Read(int32_t* out, size_t maxSamples);
    // Packets that could not be decoded were left out (the rest still decodes).
    bool damaged() const;
    // The file could not be read to its end: error() says why. After damaged() alone, error()
    // holds the library's message for the last packet left out.
    bool failed() const;
    const std::string& error() const;

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace velmora
