#include "engine/decoder.h"

#include <mpg123.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <functional>
#include <thread>

#include "engine/audio_source.h"
#include "engine/copy_join.h"
#include "engine/limiter.h"
#include "engine/media_file.h"
#include "engine/stream_info.h"

namespace velmora {

namespace {

struct PumpRead {
    uint32_t samples = 0;  // written to the block
    bool more = false;     // false: the input has ended (or failed)
};

// The loop both decoders share: reads blocks from `read` into engine.decodedSamples with back
// pressure, applies the input's gain and counts what the encoder gets, until the input ends
// or the run is stopped. `granule`: reads come in multiples of it (the channel count for a
// source that only gives whole sample frames). Returns the samples written.
uint64_t PumpSamples(JoinEngine& engine, CConversionTask& task, uint32_t blockSamples, uint32_t granule,
                     const std::function<PumpRead(int32_t* block, uint32_t want)>& read) {
    const std::shared_ptr<JoinRunState> runOwner = engine.activeRun;
    const JoinRunState& run = *runOwner;
    blockSamples = std::max(blockSamples - blockSamples % granule, granule);
    std::unique_ptr<int32_t[]> block(new int32_t[blockSamples]);
    SampleRing& out = engine.decodedSamples;
    uint64_t written = 0;
    // Unconverted, what the decoder writes is what the encoder gets of this input.
    const size_t input = static_cast<size_t>(task.currentInput.load());
    AtomicValue<uint64_t>* given =
        !task.needsConversion && input < task.inputSamples.size() ? &task.inputSamples[input] : nullptr;
    // Even loudness: one multiply per sample on the way out, before any conversion (the
    // conversion is linear, so the gain is the same there), then the limiter that holds the
    // peaks; it runs at the input's rate and channel count and starts afresh with each input.
    const float gain = input < task.inputGain.size() ? task.inputGain[input] : 1.0f;
    std::unique_ptr<PeakLimiter<int32_t>> limiter;
    if (input < task.inputCeiling.size() && task.inputCeiling[input] > 0.0f)
        limiter = std::make_unique<PeakLimiter<int32_t>>(task.currentChannels.load(), task.currentRate.load(), gain,
                                                         task.inputCeiling[input]);

    while (run.running) {
        // Back pressure: never read more than the buffer can take now. When less than a whole
        // block is free, take just what fits (the decoder keeps the rest of its frame), so a
        // stalled consumer finds the buffer filled to its last usable slot.
        const uint32_t free = out.Free();
        uint32_t want = free < blockSamples ? free : blockSamples;
        want -= want % granule;
        if (want == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        const PumpRead got = read(block.get(), want);
        uint32_t ready = got.samples;
        if (limiter) {
            ready = static_cast<uint32_t>(limiter->Process(block.get(), got.samples));  // never more than came in
        } else if (gain != 1.0f) {
            int32_t* s = block.get();
            for (size_t i = 0; i < got.samples; ++i) {
                const double v = static_cast<double>(s[i]) * gain;
                s[i] = static_cast<int32_t>(std::clamp(v, -2147483648.0, 2147483647.0));
            }
        }
        const uint32_t n = out.Write(block.get(), ready);
        written += n;
        if (given) given->Add(n);
        if (!got.more) break;
    }
    // What the limiter still holds of the input's end, into whatever room the buffer has.
    while (limiter && limiter->Held() > 0 && run.running) {
        const size_t n = limiter->Flush(block.get(), std::min<uint32_t>(out.Free(), blockSamples));
        if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        out.Write(block.get(), static_cast<uint32_t>(n));
        written += n;
        if (given) given->Add(n);
    }
    return written;
}

// An input that is not MPEG audio, through FFmpeg's libraries.
int DecodeOtherFile(JoinEngine& engine, CConversionTask& task) {
    const std::shared_ptr<JoinRunState> runOwner = engine.activeRun;
    const JoinRunState& run = *runOwner;
    const char* path = task.currentFile.c_str();
    FfmpegAudioSource source;
    if (!source.Open(task.currentFile)) {
        if (source.failed()) {
            PostJoinMessage(engine, FormatText("Error reading %s: %s.", path, source.error().c_str()), kMessageError);
            return kDecodeFailed;
        }
        PostJoinMessage(engine, FormatText("Trouble with %s: %s", path, source.error().c_str()), kMessageError);
        return kDecodeNoAudio;
    }
    // The list measured it at this rate and channel count; the chain was built for them.
    if (source.sampleRate() != task.currentRate.load() || source.channels() != task.currentChannels.load()) {
        PostJoinMessage(engine, "Invalid Format!", kMessageError);
        return 0;
    }
    constexpr uint32_t kBlockSamples = 8192;
    const uint64_t written =
        PumpSamples(engine, task, kBlockSamples, source.channels(), [&](int32_t* block, uint32_t want) {
            const size_t n = source.Read(block, want);
            return PumpRead{static_cast<uint32_t>(n), n > 0};
        });
    if (!run.running) return 1;
    // Whatever was joined of it, an input that could not be read to its end has lost audio.
    if (source.failed()) {
        PostJoinMessage(engine, FormatText("Error reading %s: %s.", path, source.error().c_str()), kMessageError);
        return kDecodeFailed;
    }
    if (written == 0) {
        const std::string why = source.error().empty() ? "no audio" : source.error();
        PostJoinMessage(engine, FormatText("Trouble with %s: %s", path, why.c_str()), kMessageError);
        return kDecodeNoAudio;
    }
    if (source.damaged())
        PostJoinMessage(engine, FormatText("Trouble with %s: damaged data left out.", path), kMessageError);
    return 1;
}

}  // namespace

int DecodeFile(JoinEngine& engine, CConversionTask& task) {
    if (!IsMpegAudioFile(task.currentFile)) return DecodeOtherFile(engine, task);
    mpg123_handle* handle = engine.mpg123Handle;
    const std::shared_ptr<JoinRunState> runOwner = engine.activeRun;
    const JoinRunState& run = *runOwner;
    const long rate = static_cast<long>(task.currentRate.load());
    const int channels = static_cast<int>(task.currentChannels.load());

    if (!handle) {
        PostJoinMessage(engine, "Trouble with mpg123: no decoder handle", kMessageError);
        return 0;
    }
    mpg123_format_none(handle);
    // Only 1 and 2 are channel counts the library knows; anything else is an invalid format,
    // not a request for some other layout.
    if ((channels != MPG123_MONO && channels != MPG123_STEREO) ||
        mpg123_format(handle, rate, channels, MPG123_ENC_SIGNED_32) != MPG123_OK) {
        PostJoinMessage(engine, "Invalid Format!", kMessageError);
        return 0;
    }
    if (mpg123_format_support(handle, rate, MPG123_ENC_SIGNED_32) == 0) {
        PostJoinMessage(engine, "Invalid Format!", kMessageError);
        return 0;
    }
    // Through the engine's file layer: a pipe or device is never opened for reading, and a
    // read that fails or finds the file shrunk is told apart from its end.
    MediaFile file(task.currentFile);
    DecoderSource source{&file};
    if (!file.isOpen()) {
        PostJoinMessage(engine, FormatText("Trouble with mpg123: %s", mpg123_plain_strerror(MPG123_BAD_FILE)),
                        kMessageError);
        return kDecodeNoAudio;
    }
    // Reads the first frame and takes the new-format notice, so the first read returns OK. A
    // file with no frame gets the message the file list gives it.
    long gotRate = 0;
    int gotChannels = 0;
    int gotEncoding = 0;
    const int opened = OpenOnDecoder(handle, source) ? mpg123_getformat(handle, &gotRate, &gotChannels, &gotEncoding)
                                                     : MPG123_ERR;
    if (opened != MPG123_OK) {
        PostJoinMessage(engine, DecoderFailureText(handle, opened), kMessageError);
        mpg123_close(handle);
        return kDecodeNoAudio;
    }

    const size_t blockBytes = mpg123_outblock(handle);
    int r = MPG123_OK;
    const uint64_t written = PumpSamples(engine, task, static_cast<uint32_t>(blockBytes / sizeof(int32_t)), 1,
                                         [&](int32_t* block, uint32_t want) {
                                             size_t done = 0;
                                             r = mpg123_read(handle, reinterpret_cast<unsigned char*>(block),
                                                             static_cast<size_t>(want) * sizeof(int32_t), &done);
                                             // The decoder resyncs past damaged data by itself (no
                                             // resync limit); anything else it returns ends this
                                             // input, and the checks below say why.
                                             return PumpRead{static_cast<uint32_t>(done / sizeof(int32_t)),
                                                             r == MPG123_OK};
                                         });
    const std::string decoderText = r == MPG123_ERR ? mpg123_strerror(handle) : "";
    mpg123_close(handle);
    if (!run.running) return 1;

    const char* path = task.currentFile.c_str();
    // Whatever was joined of it, an input that could not be read to its end has lost audio.
    if (file.failed()) {
        PostJoinMessage(engine, FormatText("Error reading %s: %s.", path, file.errorText().c_str()), kMessageError);
        return kDecodeFailed;
    }
    if (written == 0) return kDecodeNoAudio;
    if (r == MPG123_ERR) {
        PostJoinMessage(engine, FormatText("Trouble with %s: %s.", path, decoderText.c_str()), kMessageError);
        return kDecodeFailed;
    }
    // The decoder says nothing of what it skipped; the frame walk the copy join uses does.
    if (HasDamagedData(file)) {
        if (file.failed()) {
            PostJoinMessage(engine, FormatText("Error reading %s: %s.", path, file.errorText().c_str()), kMessageError);
            return kDecodeFailed;
        }
        PostJoinMessage(engine, FormatText("Trouble with %s: damaged data left out.", path), kMessageError);
    }
    return 1;
}

}  // namespace velmora
