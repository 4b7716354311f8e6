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

#include "engine/ffmpeg_module.h"
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
constexpr const char* kFfmpegLoadErrorLine = "Error loading velmora_ffmpeg.so";

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

// The output the encoder stage writes: the MP3 through lame_enc.so or the M4B through the FFmpeg
// module. The stage around it (reading the ring, pause, progress, the end-of-input rule) is one
// for both. A sink reports its own failures (log line, run stopped).
class OutputSink {
public:
    virtual ~OutputSink() = default;
    // Samples per write over all channels: whole sample frames, at most kMaxChunkSamples.
    virtual uint32_t chunkSamples() const = 0;
    // What became of a chunk: written; refused by the encoder (not counted, the file is still
    // ended as usual); or counted but not written (the output is not a finished file). The
    // stage stops feeding the sink after anything but kWritten.
    enum Result { kWritten, kEncoderFailed, kWriteFailed };
    virtual Result Write(const int32_t* samples, uint32_t n) = 0;
    // Ends the file, also after a cancel or a failed write. True when it is complete.
    virtual bool Finish() = 0;
};

class Mp3Sink final : public OutputSink {
public:
    Mp3Sink(JoinEngine& engine, JoinRunState& run, CConversionTask& task) : engine_(engine), run_(run), task_(task) {}
    ~Mp3Sink() override {
        // Left early (an exception): the stream and the file are still open.
        if (stream_) be_.close(stream_);
        if (file_) std::fclose(file_);
    }

    bool Open(const std::string& moduleFolder) {
        // 1. The module stays loaded for the life of the process: it is never closed.
        const std::string modulePath = moduleFolder + "/" + kModuleFileName;
        void* library = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            Fail(engine_, run_, kLoadErrorLine);
            if (engine_.sink) engine_.sink->ShowMessageBox(kLoadErrorBox);
            return false;
        }

        // 2.
        be_.init = Resolve<BeInitStreamFn>(library, "beInitStream");
        be_.encode = Resolve<BeEncodeChunkFloatS16NIFn>(library, "beEncodeChunkFloatS16NI");
        be_.deinit = Resolve<BeDeinitStreamFn>(library, "beDeinitStream");
        be_.close = Resolve<BeCloseStreamFn>(library, "beCloseStream");
        be_.writeVbrHeader = Resolve<BeWriteVBRHeaderFn>(library, "beWriteVBRHeader");
        be_.writeInfoTag = Resolve<BeWriteInfoTagFn>(library, "beWriteInfoTag");
        if (!be_.init || !be_.encode || !be_.deinit || !be_.close || !be_.writeVbrHeader) {
            Fail(engine_, run_, kInterfaceErrorLine);
            if (engine_.sink) engine_.sink->ShowMessageBox(kInterfaceErrorBox);
            return false;
        }

        // 3.
        BE_CONFIG config = MakeEncoderConfig(task_, engine_.settings);
        mono_ = config.LHV1.nMode == BE_MP3_MODE_MONO;

        // 4. Paths are UTF-8 here, the system's 8-bit encoding, so the path goes out as it is.
        file_ = std::fopen(task_.outputPath.c_str(), "w+b");
        if (!file_) {
            Fail(engine_, run_, FormatText("Error creating file %s", task_.outputPath.c_str()));
            return false;
        }

        // The tag's room comes before the first frame, so filling it later never moves the audio.
        if (task_.tagReserve > 0) {
            if (!WriteTagPlaceholder(file_, task_.tagReserve)) {
                Fail(engine_, run_, kWriteErrorLine);
                return false;
            }
            task_.tagPlaced = 1;
        }

        // 5.
        uint32_t samplesPerChunk = 0;
        uint32_t outputBufferSize = 0;
        HBE_STREAM stream = 0;
        static const wchar_t kEmpty[] = L"";
        BE_ERR code = be_.init(&config, &samplesPerChunk, &outputBufferSize, &stream, 0, 0, kEmpty, kEmpty, kEmpty,
                               kEmpty, kEmpty, kEmpty, kEmpty, 0, 0, 30, 5, 15160, 750);
        // A module that reports success without a usable chunk or buffer cannot be fed; it is
        // treated as a failed start rather than trusted with a zero-sized buffer.
        if (code == BE_ERR_SUCCESSFUL && (samplesPerChunk < (mono_ ? 1u : 2u) || outputBufferSize == 0)) {
            be_.close(stream);
            code = BE_ERR_INVALID_FORMAT_PARAMETERS;
        }
        if (code != BE_ERR_SUCCESSFUL) {
            Fail(engine_, run_, FormatText("Error opening encoding stream (%lu)", static_cast<unsigned long>(code)));
            return false;
        }
        stream_ = stream;

        // 6. Stereo chunks hold whole frames, and no chunk is larger than the ring can queue.
        chunk_ = std::min(samplesPerChunk, kMaxChunkSamples);
        if (!mono_) chunk_ &= ~1u;
        mp3_.resize(outputBufferSize);
        left_.resize(mono_ ? chunk_ : chunk_ / 2);
        right_.resize(mono_ ? 0 : chunk_ / 2);
        return true;
    }

    uint32_t chunkSamples() const override { return chunk_; }

    Result Write(const int32_t* samples, uint32_t n) override {
        const uint32_t frames = ScaleToFloat(samples, n, mono_ ? 1 : 2, left_.data(), mono_ ? nullptr : right_.data());
        uint32_t bytes = 0;
        if (frames > 0) {
            const BE_ERR code = be_.encode(stream_, frames, left_.data(), mono_ ? nullptr : right_.data(), mp3_.data(), &bytes);
            if (code != BE_ERR_SUCCESSFUL) {
                Fail(engine_, run_, FormatText("beEncodeChunk() failed (%lu)", static_cast<unsigned long>(code)));
                return kEncoderFailed;
            }
        }
        if (bytes > 0 && !writeFailed_ && std::fwrite(mp3_.data(), 1, bytes, file_) != bytes) {
            Fail(engine_, run_, kWriteErrorLine);
            writeFailed_ = true;
        }
        return writeFailed_ ? kWriteFailed : kWritten;
    }

    bool Finish() override {
        // 8.
        uint32_t bytes = 0;
        const BE_ERR code = be_.deinit(stream_, mp3_.data(), &bytes);
        if (code != BE_ERR_SUCCESSFUL) {
            Fail(engine_, run_, FormatText("beExitStream failed (%lu)", static_cast<unsigned long>(code)));
        } else if (bytes > 0 && !writeFailed_ && std::fwrite(mp3_.data(), 1, bytes, file_) != bytes) {
            Fail(engine_, run_, kWriteErrorLine);
            writeFailed_ = true;
        }
        // Buffered bytes reach the disk only here: a full disk must not pass for a finished file.
        if (!writeFailed_ && std::fflush(file_) != 0) {
            Fail(engine_, run_, kWriteErrorLine);
            writeFailed_ = true;
        }

        // 9.
        const HBE_STREAM stream = stream_;
        be_.close(stream_);
        stream_ = 0;
        mp3_ = {};
        left_ = {};
        right_ = {};
        const int closed = std::fclose(file_);
        file_ = nullptr;
        if (closed != 0 && !writeFailed_) {
            Fail(engine_, run_, kWriteErrorLine);
            writeFailed_ = true;
        }

        // 10.
        if (be_.writeInfoTag)
            be_.writeInfoTag(stream, task_.outputPath.c_str());
        else
            be_.writeVbrHeader(task_.outputPath.c_str());
        // An output that could not be written is not a finished file.
        return !writeFailed_;
    }

private:
    JoinEngine& engine_;
    JoinRunState& run_;
    CConversionTask& task_;
    EncoderInterface be_;
    HBE_STREAM stream_ = 0;
    std::FILE* file_ = nullptr;
    bool mono_ = false;
    bool writeFailed_ = false;
    uint32_t chunk_ = 0;
    std::vector<uint8_t> mp3_;
    std::vector<float> left_;
    std::vector<float> right_;
};

// AAC in an MP4 (the audiobook M4B): tags and cover go in at the start, the chapters with the
// index once the output's length is known, also when the join was cancelled.
class M4bSink final : public OutputSink {
public:
    M4bSink(JoinEngine& engine, JoinRunState& run, CConversionTask& task) : engine_(engine), run_(run), task_(task) {}

    bool Open() {
        FfmpegModule* module = LoadFfmpegModule();
        if (!module) {
            Fail(engine_, run_, kFfmpegLoadErrorLine);
            return false;
        }
        M4bOutputFormat format;
        format.path = task_.outputPath;
        format.rate = task_.outputRate;
        format.channels = task_.outputChannels;
        format.bitrateKbps = static_cast<uint32_t>(ValidAacBitrate(engine_.settings.aacBitrateKbps));
        if (task_.tagContent && task_.tagContent->tags) {
            // MP4 text is UTF-8 as written: a value given in another encoding (a title typed on
            // the command line, say) keeps its readable part, as in an MP3's tag.
            tags_ = *task_.tagContent;
            for (std::string* text : {&tags_.title, &tags_.artist, &tags_.albumArtist, &tags_.album, &tags_.year,
                                      &tags_.genre, &tags_.comment, &tags_.track})
                *text = ValidUtf8Text(*text);
            format.tags = &tags_;
        }
        std::string error;
        bool createFailed = false;
        encoder_ = module->OpenM4bEncoder(format, error, createFailed);
        if (!encoder_) {
            Fail(engine_, run_,
                 createFailed ? FormatText("Error creating file %s", task_.outputPath.c_str())
                              : FormatText("Error opening the AAC encoder: %s", error.c_str()));
            return false;
        }
        if (format.tags && !encoder_->coverNote().empty())
            PostJoinMessage(engine_, FormatText("The cover is %s: left out.", encoder_->coverNote().c_str()),
                            kMessageInfo);
        // Whole sample frames, four AAC frames' worth: the encoder buffers its own frames, so the
        // size only sets how often the ring is polled.
        const uint32_t channels = task_.outputChannels == 1 ? 1 : 2;
        chunk_ = std::min<uint32_t>(4096, kMaxChunkSamples / channels) * channels;
        return true;
    }

    uint32_t chunkSamples() const override { return chunk_; }

    Result Write(const int32_t* samples, uint32_t n) override {
        if (encoder_->Write(samples, n)) return kWritten;
        Fail(engine_, run_, kWriteErrorLine);
        return kWriteFailed;
    }

    bool Finish() override {
        // A failed write was reported; the file is removed or kept as cut short by the job.
        if (!encoder_->error().empty()) return false;
        size_t dropped = 0;
        OutputTagContent content = task_.tagContent ? *task_.tagContent : OutputTagContent{};
        content.chapters = FinalChapters(run_, task_, &dropped);
        if (!encoder_->Finish(content.chapters)) {
            Fail(engine_, run_, kWriteErrorLine);
            return false;
        }
        if (task_.tagContent && task_.tagRequest) ReportOutputTag(engine_, task_, content, dropped);
        return true;
    }

private:
    JoinEngine& engine_;
    JoinRunState& run_;
    CConversionTask& task_;
    std::unique_ptr<FfmpegEncoder> encoder_;
    OutputTagContent tags_;
    uint32_t chunk_ = 0;
};

int Encode(JoinEngine& engine, JoinRunState& run, CConversionTask& task, OutputSink& sink) {
    if (!task.encoderSource) throw std::logic_error("task without a sample source");
    uint32_t chunk = sink.chunkSamples();
    std::vector<int32_t> pcm(chunk);
    SampleRing& source = *task.encoderSource;
    bool writeFailed = false;
    uint32_t last = TickCount();

    // 7.
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
        const OutputSink::Result result = sink.Write(pcm.data(), n);
        if (result == OutputSink::kEncoderFailed) break;
        writeFailed = result == OutputSink::kWriteFailed;
        RecordEncodedSamples(run, task, n);
        if (chunk == 0 || writeFailed) break;
    }
    pcm = {};

    const bool finished = sink.Finish();

    // 11. The final report is handled before this thread goes on.
    ReportProgress(engine, run, task, true);

    // 12. An output that could not be written is not a finished file.
    return finished && !writeFailed ? 1 : 0;
}

int EncodeWith(JoinEngine& engine, JoinRunState& run, CConversionTask& task, const std::string& moduleFolder) {
    if (task.outputKind == kOutputKindM4b) {
        M4bSink sink(engine, run, task);
        return sink.Open() ? Encode(engine, run, task, sink) : 0;
    }
    Mp3Sink sink(engine, run, task);
    return sink.Open(moduleFolder) ? Encode(engine, run, task, sink) : 0;
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
    if (task.outputKind != kOutputKindMp3 && task.outputKind != kOutputKindM4b) return 0;
    const std::shared_ptr<JoinRunState> runOwner = engine.activeRun;
    JoinRunState& run = *runOwner;
    try {
        return EncodeWith(engine, run, task, moduleFolder);
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
