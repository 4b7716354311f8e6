#include "engine/encoder.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/join_sink.h"
#include "engine/output_tag.h"

namespace velmora {

using namespace bladeenc;

namespace {

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The texts name the file that is actually loaded.
constexpr const char* kLoadErrorLine = "Error loading lame_enc.so";
constexpr const char* kLoadErrorBox = "Error Loading Lame_enc.so";
constexpr const char* kInterfaceErrorLine = "Unable to get LAME interfaces";
constexpr const char* kInterfaceErrorBox = "Unable to Get LAME Interfaces";
constexpr const char* kWriteErrorLine = "Output file write error";

// A chunk must fit the ring buffer with room to spare, or the encoder would wait for more
// samples than the decoder can ever queue. The module's own figure is kept when it is sane.
constexpr uint32_t kMaxChunkSamples = kSampleRingCapacity / 4;

struct EncoderInterface {
    BeInitStreamFn init = nullptr;
    BeEncodeChunkFloatS16NIFn encode = nullptr;
    BeDeinitStreamFn deinit = nullptr;
    BeCloseStreamFn close = nullptr;
    BeWriteVBRHeaderFn writeVbrHeader = nullptr;
    BeWriteInfoTagFn writeInfoTag = nullptr;  // optional
};

template <typename Fn>
Fn Resolve(void* library, const char* name) {
    return reinterpret_cast<Fn>(dlsym(library, name));
}

// task.encoding is 1 from entry to exit, whichever way the stage ends.
class EncodingFlag {
public:
    explicit EncodingFlag(CConversionTask& task) : task_(task) { task_.encoding = 1; }
    ~EncodingFlag() { task_.encoding = 0; }
    EncodingFlag(const EncodingFlag&) = delete;
    EncodingFlag& operator=(const EncodingFlag&) = delete;

private:
    CConversionTask& task_;
};

void Fail(JoinEngine& engine, JoinRunState& run, std::string line) {
    PostJoinMessage(engine, std::move(line), kMessageError);
    run.running = 0;
}

void ReportProgress(JoinEngine& engine, const JoinRunState& run, const CConversionTask& task, bool final) {
    PostJoinProgress(engine, static_cast<float>(TaskPercent(run, task)), static_cast<float>(OverallPercent(run)),
                     final);
}

int Encode(JoinEngine& engine, JoinRunState& run, CConversionTask& task, const std::string& moduleFolder) {
    if (!task.encoderSource) throw std::logic_error("task without a sample source");
    // 1. The module stays loaded for the life of the process: it is never closed.
    const std::string modulePath = moduleFolder + "/" + kModuleFileName;
    void* library = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        Fail(engine, run, kLoadErrorLine);
        if (engine.sink) engine.sink->ShowMessageBox(kLoadErrorBox);
        return 0;
    }

    // 2.
    EncoderInterface be;
    be.init = Resolve<BeInitStreamFn>(library, "beInitStream");
    be.encode = Resolve<BeEncodeChunkFloatS16NIFn>(library, "beEncodeChunkFloatS16NI");
    be.deinit = Resolve<BeDeinitStreamFn>(library, "beDeinitStream");
    be.close = Resolve<BeCloseStreamFn>(library, "beCloseStream");
    be.writeVbrHeader = Resolve<BeWriteVBRHeaderFn>(library, "beWriteVBRHeader");
    be.writeInfoTag = Resolve<BeWriteInfoTagFn>(library, "beWriteInfoTag");
    if (!be.init || !be.encode || !be.deinit || !be.close || !be.writeVbrHeader) {
        Fail(engine, run, kInterfaceErrorLine);
        if (engine.sink) engine.sink->ShowMessageBox(kInterfaceErrorBox);
        return 0;
    }

    // 3.
    BE_CONFIG config = MakeEncoderConfig(task, engine.settings);
    const bool mono = config.LHV1.nMode == BE_MP3_MODE_MONO;

    // 4. Paths are UTF-8 here, the system's 8-bit encoding, so the path goes out as it is.
    FILE* file = std::fopen(task.outputPath.c_str(), "w+b");
    if (!file) {
        Fail(engine, run, FormatText("Error creating file %s", task.outputPath.c_str()));
        return 0;
    }

    // The tag's room comes before the first frame, so filling it later never moves the audio.
    if (task.tagReserve > 0) {
        if (!WriteTagPlaceholder(file, task.tagReserve)) {
            Fail(engine, run, kWriteErrorLine);
            std::fclose(file);
            return 0;
        }
        task.tagPlaced = 1;
    }

    // 5.
    uint32_t samplesPerChunk = 0;
    uint32_t outputBufferSize = 0;
    HBE_STREAM stream = 0;
    static const wchar_t kEmpty[] = L"";
    BE_ERR code = be.init(&config, &samplesPerChunk, &outputBufferSize, &stream, 0, 0, kEmpty, kEmpty, kEmpty,
                          kEmpty, kEmpty, kEmpty, kEmpty, 0, 0, 30, 5, 15160, 750);
    // A module that reports success without a usable chunk or buffer cannot be fed; it is
    // treated as a failed start rather than trusted with a zero-sized buffer.
    if (code == BE_ERR_SUCCESSFUL && (samplesPerChunk < (mono ? 1u : 2u) || outputBufferSize == 0)) {
        be.close(stream);
        code = BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    if (code != BE_ERR_SUCCESSFUL) {
        Fail(engine, run, FormatText("Error opening encoding stream (%lu)", static_cast<unsigned long>(code)));
        std::fclose(file);
        return 0;
    }

    // 6. Stereo chunks hold whole frames, and no chunk is larger than the ring can queue.
    uint32_t chunk = std::min(samplesPerChunk, kMaxChunkSamples);
    if (!mono) chunk &= ~1u;
    std::vector<uint8_t> mp3;
    std::vector<int32_t> pcm;
    std::vector<float> left;
    std::vector<float> right;
    SampleRing& source = *task.encoderSource;
    const uint32_t channels = mono ? 1 : 2;
    bool writeFailed = false;
    uint32_t last = TickCount();

    // 7.
    try {
        mp3.resize(outputBufferSize);
        pcm.resize(chunk);
        left.resize(mono ? chunk : chunk / 2);
        right.resize(mono ? 0 : chunk / 2);
        while (run.running) {
            if (run.paused) {
                SleepMs(100);
                continue;
            }
            const uint32_t now = TickCount();
            // Wrap-safe form of "now - 100 > last".
            if (now - last > 100) {
                last = now;
                ReportProgress(engine, run, task, false);
            }
            // The producers' flags are read before the fill level: once both are seen clear,
            // every sample they wrote is already counted, so none is left behind in the ring.
            const bool producing = task.decoding || task.converting;
            const uint32_t available = source.Used(0);
            uint32_t n;
            if (available >= chunk) {
                n = chunk;
            } else if (producing) {
                SleepMs(1);
                continue;
            } else {
                chunk = 0;
                n = available;
            }
            source.Read(pcm.data(), n, 0);
            const uint32_t frames = ScaleToFloat(pcm.data(), n, channels, left.data(), mono ? nullptr : right.data());
            uint32_t bytes = 0;
            if (frames > 0) {
                code = be.encode(stream, frames, left.data(), mono ? nullptr : right.data(), mp3.data(), &bytes);
                if (code != BE_ERR_SUCCESSFUL) {
                    Fail(engine, run, FormatText("beEncodeChunk() failed (%lu)", static_cast<unsigned long>(code)));
                    break;
                }
            }
            if (bytes > 0 && !writeFailed && std::fwrite(mp3.data(), 1, bytes, file) != bytes) {
                Fail(engine, run, kWriteErrorLine);
                writeFailed = true;
            }
            RecordEncodedSamples(run, task, n);
            if (chunk == 0) break;
        }
    } catch (...) {
        // The stream and the file are still open: finish them below, then report.
        be.close(stream);
        std::fclose(file);
        throw;
    }

    // 8.
    uint32_t bytes = 0;
    code = be.deinit(stream, mp3.data(), &bytes);
    if (code != BE_ERR_SUCCESSFUL) {
        Fail(engine, run, FormatText("beExitStream failed (%lu)", static_cast<unsigned long>(code)));
    } else if (bytes > 0 && !writeFailed && std::fwrite(mp3.data(), 1, bytes, file) != bytes) {
        Fail(engine, run, kWriteErrorLine);
        writeFailed = true;
    }
    // Buffered bytes reach the disk only here: a full disk must not pass for a finished file.
    if (!writeFailed && std::fflush(file) != 0) {
        Fail(engine, run, kWriteErrorLine);
        writeFailed = true;
    }

    // 9.
    be.close(stream);
    mp3 = {};
    pcm = {};
    left = {};
    right = {};
    if (std::fclose(file) != 0 && !writeFailed) {
        Fail(engine, run, kWriteErrorLine);
        writeFailed = true;
    }

    // 10.
    if (be.writeInfoTag)
        be.writeInfoTag(stream, task.outputPath.c_str());
    else
        be.writeVbrHeader(task.outputPath.c_str());

    // 11. The final report is handled before this thread goes on.
    ReportProgress(engine, run, task, true);

    // 12. An output that could not be written is not a finished file.
    return writeFailed ? 0 : 1;
}

}  // namespace

std::string ExecutableFolder() {
    static const std::string folder = [] {
        std::error_code ec;
        const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        return ec ? std::string(".") : exe.parent_path().string();
    }();
    return folder;
}

int32_t EncoderChannelMode(uint32_t outputChannels, int16_t channelModeIndex) {
    if (outputChannels == 1) return BE_MP3_MODE_MONO;
    switch (channelModeIndex) {
    case kChannelAutomatic: return BE_MP3_MODE_JSTEREO;
    case kChannelStereo: return BE_MP3_MODE_STEREO;
    case kChannelJointStereo: return BE_MP3_MODE_JSTEREO;
    case kChannelDual: return BE_MP3_MODE_DUALCHANNEL;
    default: return BE_MP3_MODE_JSTEREO;
    }
}

BE_CONFIG MakeEncoderConfig(const CConversionTask& task, const AppSettings& settings) {
    BE_CONFIG c;
    std::memset(&c, 0, sizeof c);
    c.dwConfig = BE_CONFIG_LAME;
    c.LHV1.dwStructVersion = CURRENT_STRUCT_VERSION;
    c.LHV1.dwStructSize = CURRENT_STRUCT_SIZE;
    c.LHV1.dwSampleRate = task.outputRate;
    c.LHV1.dwReSampleRate = 0;  // the engine converts; the encoder never resamples
    c.LHV1.nMode = EncoderChannelMode(task.outputChannels, settings.channelModeIndex);
    // Bounds-checked lookup; "same as the inputs" takes the rate the task chose.
    c.LHV1.dwBitrate = task.bitrateKbps ? task.bitrateKbps : BitrateKbps(settings.bitrateIndex);
    c.LHV1.nPreset = LQP_NOPRESET;
    c.LHV1.dwMpegVersion = MPEG1;
    c.LHV1.dwPsyModel = 0;
    c.LHV1.dwEmphasis = 0;
    c.LHV1.bPrivate = 0;
    c.LHV1.bCRC = 0;
    c.LHV1.bCopyright = 0;
    c.LHV1.bOriginal = 0;
    c.LHV1.bWriteVBRHeader = 1;
    c.LHV1.bEnableVBR = 0;
    c.LHV1.bNoRes = 1;
    c.LHV1.bStrictIso = 0;
    c.LHV1.nQuality = MakeQuality(9);
    if (settings.bitrateMode == kBitrateVbr) {
        // libmp3lame's own bounds; its VBR needs the psychoacoustic model and raises the
        // algorithm quality 9 to 7 itself (same bytes at -q 9 and -q 7), so 9 stays.
        c.LHV1.bEnableVBR = 1;
        c.LHV1.nVBRQuality = std::clamp(settings.vbrQuality, 0, 9);
        c.LHV1.dwBitrate = 0;
    }
    return c;
}

uint32_t ScaleToFloat(const int32_t* samples, uint32_t n, uint32_t channels, float* left, float* right) {
    // 2^-16 maps the decoder's 32-bit full scale onto the +-32768 range the interface takes.
    constexpr float kScale = 0x1p-16f;
    if (channels == 1) {
        for (uint32_t i = 0; i < n; ++i) left[i] = static_cast<float>(samples[i]) * kScale;
        return n;
    }
    const uint32_t frames = n / 2;
    for (uint32_t i = 0; i < frames; ++i) {
        left[i] = static_cast<float>(samples[2 * i]) * kScale;
        right[i] = static_cast<float>(samples[2 * i + 1]) * kScale;
    }
    return frames;
}

int EncodeTaskWithModule(JoinEngine& engine, CConversionTask& task, const std::string& moduleFolder) {
    EncodingFlag flag(task);
    if (task.outputKind != kOutputKindMp3) return 0;
    const std::shared_ptr<JoinRunState> runOwner = engine.activeRun;
    JoinRunState& run = *runOwner;
    try {
        return Encode(engine, run, task, moduleFolder);
    } catch (...) {
        run.running = 0;
        PostJoinMessage(engine, FormatText("An error occurred while encoding %s", task.outputPath.c_str()),
                        kMessageError);
        return 0;
    }
}

std::string EncoderModuleFolder() {
    // The module beside the executable (the build tree); failing that, where an installed tree
    // keeps it, <prefix>/lib/velmora beside <prefix>/bin. Without either, the executable's
    // folder is named in the load error.
    std::string folder = ExecutableFolder();
    std::error_code ec;
    if (!std::filesystem::exists(folder + "/" + kModuleFileName, ec)) {
        const std::string installed = folder + "/../lib/velmora";
        if (std::filesystem::exists(installed + "/" + kModuleFileName, ec)) folder = installed;
    }
    return folder;
}

int EncodeTask(JoinEngine& engine, CConversionTask& task) { return EncodeTaskWithModule(engine, task, EncoderModuleFolder()); }

}  // namespace velmora
