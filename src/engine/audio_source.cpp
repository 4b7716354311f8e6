#include "engine/audio_source.h"

#include <dlfcn.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "engine/encoder.h"
#include "engine/ffmpeg_module.h"
#include "engine/media_file.h"

// FFmpeg itself is in velmora_ffmpeg.so (ffmpeg/ffmpeg_module.cpp), loaded on the first file
// that needs it; this side opens the files and forwards.

namespace velmora {

namespace {

constexpr const char* kLoadError = "Error loading velmora_ffmpeg.so";

// The module, loaded once for the life of the process (never closed), beside the executable
// or where an installed tree keeps it; null when it cannot be loaded.
void* ModuleLibrary() {
    static std::once_flag once;
    static void* library = nullptr;
    std::call_once(once, [] {
        const std::string folder = ExecutableFolder();
        std::error_code ec;
        std::string path = folder + "/" + kFfmpegModuleFileName;
        if (!std::filesystem::exists(path, ec)) {
            const std::string installed = folder + "/../lib/velmora/" + kFfmpegModuleFileName;
            if (std::filesystem::exists(installed, ec)) path = installed;
        }
        library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    });
    return library;
}

FfmpegModule* Module() {
    static std::once_flag once;
    static FfmpegModule* module = nullptr;
    std::call_once(once, [] {
        void* library = ModuleLibrary();
        if (!library) return;
        auto entry = reinterpret_cast<FfmpegModuleEntryFn>(dlsym(library, kFfmpegModuleEntry));
        if (entry) module = entry(kFfmpegModuleVersion);
    });
    return module;
}

class MediaFileInput final : public FfmpegInput {
public:
    // Over `file`, opened from `path` by the caller (or left closed); with `open`, opened here
    // when `path` names a regular file.
    MediaFileInput(const std::string& path, MediaFile& file, bool open = true)
        : file_(file), regular_(file.isOpen() || IsRegularFile(path)) {
        if (open && regular_) file_.Open(path);
    }
    bool isOpen() const override { return file_.isOpen(); }
    bool regularFile() const override { return regular_; }
    int64_t size() const override { return file_.size(); }
    size_t Read(int64_t offset, void* into, size_t count) override { return file_.Read(offset, into, count); }
    size_t ReadSome(int64_t offset, void* into, size_t count) override { return file_.ReadSome(offset, into, count); }
    bool failed() const override { return file_.failed(); }

private:
    MediaFile& file_;
    bool regular_;
};

AudioFileInfo NoModule(const std::string& path) {
    AudioFileInfo info;
    info.message = "Trouble with " + path + ": " + kLoadError;
    return info;
}

}  // namespace

std::string FfmpegVersion() {
    void* library = ModuleLibrary();
    auto version = library ? reinterpret_cast<const char* (*)()>(dlsym(library, kFfmpegVersionEntry)) : nullptr;
    return version ? version() : std::string();
}

FfmpegModule* LoadFfmpegModule() { return Module(); }

bool HasMpegAudioExtension(const std::string& path) {
    // Asked once per listed file: the name's end is compared in place.
    auto endsWith = [&](const char* ext) {
        const size_t n = std::strlen(ext);
        if (path.size() <= n || path[path.size() - n - 1] == '/') return false;
        for (size_t i = 0; i < n; ++i)
            if (std::tolower(static_cast<unsigned char>(path[path.size() - n + i])) != ext[i]) return false;
        return true;
    };
    return endsWith(".mp3") || endsWith(".mp2") || endsWith(".mpga");
}

bool IsMpegAudioFile(const std::string& path) {
    if (HasMpegAudioExtension(path)) return true;
    FfmpegModule* module = Module();
    if (!module) return false;
    MediaFile file;
    MediaFileInput input(path, file);
    return input.isOpen() && module->IsMpegAudio(path, input);
}

AudioFileInfo ProbeAudioFile(const std::string& path) {
    FfmpegModule* module = Module();
    if (!module) return NoModule(path);
    MediaFile file;
    MediaFileInput input(path, file);
    return module->Probe(path, input, false);
}

AudioFileInfo ProbeAudioFile(const std::string& path, MediaFile& file) {
    FfmpegModule* module = Module();
    if (!module) return NoModule(path);
    MediaFileInput input(path, file, false);
    return module->Probe(path, input, true);
}

bool ReadAudioChapters(const std::string& path, std::vector<ChapterEntry>& chapters, std::string& error) {
    chapters.clear();
    FfmpegModule* module = Module();
    if (!module) {
        error = kLoadError;
        return false;
    }
    MediaFile file;
    MediaFileInput input(path, file);
    return module->ReadChapters(path, input, chapters, error);
}

struct FfmpegAudioSource::State {
    MediaFile file;
    std::unique_ptr<MediaFileInput> input;
    std::unique_ptr<FfmpegDecoder> decoder;  // before `input` goes
    bool failed = false;
    std::string error;

    ~State() { decoder.reset(); }
};

FfmpegAudioSource::FfmpegAudioSource() : s_(std::make_unique<State>()) {}
FfmpegAudioSource::~FfmpegAudioSource() = default;

bool FfmpegAudioSource::Open(const std::string& path) {
    s_ = std::make_unique<State>();
    State& s = *s_;
    FfmpegModule* module = Module();
    if (!module) {
        s.error = kLoadError;
        return false;
    }
    s.input = std::make_unique<MediaFileInput>(path, s.file);
    s.decoder = module->OpenDecoder(path, *s.input, s.error, s.failed);
    return s.decoder != nullptr;
}

uint32_t FfmpegAudioSource::sampleRate() const { return s_->decoder ? s_->decoder->sampleRate() : 0; }
uint32_t FfmpegAudioSource::channels() const { return s_->decoder ? s_->decoder->channels() : 0; }
size_t FfmpegAudioSource::Read(int32_t* out, size_t maxSamples) {
    return s_->decoder ? s_->decoder->Read(out, maxSamples) : 0;
}
bool FfmpegAudioSource::damaged() const { return s_->decoder && s_->decoder->damaged(); }
bool FfmpegAudioSource::failed() const { return s_->decoder ? s_->decoder->failed() : s_->failed; }
const std::string& FfmpegAudioSource::error() const { return s_->decoder ? s_->decoder->error() : s_->error; }

}  // namespace velmora
