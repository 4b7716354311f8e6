// The boundary between the engine and velmora_ffmpeg.so, the module that holds every use of
// FFmpeg's libraries. The programs do not link FFmpeg: its libraries (some 135 shared objects
// with their dependencies) cost a tenth of a second of every start, which a list or join of MP3
// files alone never needs. The engine loads the module on the first file that is not MPEG audio
// (audio_source.cpp). Engine and module are built together, so the boundary is plain C++
// (virtual calls, standard types); the module calls nothing of the engine's by name, it only
// reads the engine's open file through FfmpegInput.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/audio_source.h"
#include "engine/output_tag.h"

namespace velmora {

// A file the engine opened (MediaFile): every byte the module reads comes through here, so the
// engine's file layer (one descriptor, read failures told from the end, the tests' read hook)
// stays the only reader.
class FfmpegInput {
public:
    virtual bool isOpen() const = 0;
    // When not open: whether the path named a regular file (a failed open, not a folder).
    virtual bool regularFile() const = 0;
    virtual int64_t size() const = 0;
    virtual size_t Read(int64_t offset, void* into, size_t count) = 0;
    virtual size_t ReadSome(int64_t offset, void* into, size_t count) = 0;
    virtual bool failed() const = 0;

protected:
    ~FfmpegInput() = default;
};

// FfmpegAudioSource's work; it keeps reading its FfmpegInput, which must outlive it.
class FfmpegDecoder {
public:
    virtual ~FfmpegDecoder() = default;
    virtual uint32_t sampleRate() const = 0;
    virtual uint32_t channels() const = 0;
    virtual size_t Read(int32_t* out, size_t maxSamples) = 0;
    virtual bool damaged() const = 0;
    virtual bool failed() const = 0;
    virtual const std::string& error() const = 0;
};

// What an M4B output is made of: AAC-LC at `bitrateKbps` in the iPod flavour of the MP4
// container, with the tags and cover of `tags` (text fields, cover; its chapters are given at
// the end, when the output's length is known).
struct M4bOutputFormat {
    std::string path;  // UTF-8, created or truncated
    uint32_t rate = 0;
    uint32_t channels = 0;  // 1 or 2
    uint32_t bitrateKbps = 64;
    const OutputTagContent* tags = nullptr;  // null: no tags and no cover
};

// An M4B being written: interleaved 32-bit samples in, AAC out. Not thread-safe: one thread
// (the encoder stage) drives it from Open to Finish.
class FfmpegEncoder {
public:
    virtual ~FfmpegEncoder() = default;
    // n samples over all channels (a multiple of the channel count). False once a write failed
    // (error() says why); nothing more is written then.
    virtual bool Write(const int32_t* samples, size_t n) = 0;
    // Encodes what is still buffered and writes the index (chapters, in output sample frames,
    // and the index moved to the front). Also after a cancel: the file then holds what was
    // written. False when anything failed; the encoder is done either way.
    virtual bool Finish(const std::vector<Chapter>& chapters) = 0;
    virtual const std::string& error() const = 0;
    // What the cover could not be (not JPEG or PNG): the cover was left out. Empty: none.
    virtual const std::string& coverNote() const = 0;
};

class FfmpegModule {
public:
    // The answers of the engine's functions of the same names (audio_source.h).
    virtual bool IsMpegAudio(const std::string& path, FfmpegInput& input) = 0;
    virtual AudioFileInfo Probe(const std::string& path, FfmpegInput& input, bool stopAtMpeg) = 0;
    virtual bool ReadChapters(const std::string& path, FfmpegInput& input, std::vector<ChapterEntry>& chapters,
                              std::string& error) = 0;
    // Null when the file cannot be decoded: `error` says why, `failed` when a read failed.
    virtual std::unique_ptr<FfmpegDecoder> OpenDecoder(const std::string& path, FfmpegInput& input,
                                                       std::string& error, bool& failed) = 0;
    // Null when the output cannot be created or the encoder not started: `error` says why, and
    // `createFailed` when it was the file itself.
    virtual std::unique_ptr<FfmpegEncoder> OpenM4bEncoder(const M4bOutputFormat& format, std::string& error,
                                                          bool& createFailed) = 0;

protected:
    ~FfmpegModule() = default;
};

constexpr const char* kFfmpegModuleFileName = "velmora_ffmpeg.so";
// extern "C" FfmpegModule* VelmoraFfmpegModule(int version): null when the module was built
// for another version of this boundary.
constexpr const char* kFfmpegModuleEntry = "VelmoraFfmpegModule";
constexpr int kFfmpegModuleVersion = 2;
// extern "C" const char* VelmoraFfmpegVersion(): the FFmpeg release the module runs with.
constexpr const char* kFfmpegVersionEntry = "VelmoraFfmpegVersion";
using FfmpegModuleEntryFn = FfmpegModule* (*)(int version);

// The engine's copy of the module, loaded on first use and kept; null when it cannot be loaded.
FfmpegModule* LoadFfmpegModule();

}  // namespace velmora
