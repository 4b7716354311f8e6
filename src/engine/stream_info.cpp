#include "engine/stream_info.h"

#include "engine/media_file.h"

#include <mpg123.h>

#include <memory>
#include <mutex>

namespace velmora {

std::string StreamTroubleMessage(const char* decoderText) {
    return std::string("Trouble with mpg123: ") + (decoderText ? decoderText : "");
}

mpg123_handle* NewStreamInfoHandle(bool quiet) {
    static std::once_flag once;
    std::call_once(once, [] { mpg123_init(); });  // a no-op on current libraries
    int error = MPG123_OK;
    mpg123_handle* h = mpg123_new(nullptr, &error);
    if (!h)
        return nullptr;
    if (quiet)
        mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET, 0.0);
    return h;
}

StreamInfo ReadStreamInfo(mpg123_handle* handle, const std::string& path) {
    MediaFile file(path);
    return ReadStreamInfo(handle, file);
}

StreamInfo ReadStreamInfo(mpg123_handle* handle, MediaFile& file) {
    StreamInfo info;
    if (!handle) {
        info.message = StreamTroubleMessage("no decoder handle");
        return info;
    }
    if (!file.isOpen()) {
        // What the decoder says of a file it cannot open itself.
        info.message = StreamTroubleMessage(mpg123_plain_strerror(MPG123_BAD_FILE));
        return info;
    }
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    DecoderSource source{&file};
    if (OpenOnDecoder(handle, source) &&
        mpg123_getformat(handle, &rate, &channels, &encoding) == MPG123_OK && rate > 0 && channels > 0) {
        // The decoder's own figure, from the Info header or estimated from the file size;
        // nothing is decoded or scanned. A negative answer means it has no figure to give:
        // the file still decodes, so it counts as readable with no known length.
        const off_t length = mpg123_length(handle);
        info.readable = true;
        info.sampleRate = static_cast<uint32_t>(rate);
        info.channels = static_cast<uint32_t>(channels);
        info.totalSamples = length > 0 ? static_cast<uint64_t>(length) * info.channels : 0;
        info.duration = static_cast<double>(info.totalSamples) /
                        (static_cast<double>(info.sampleRate) * static_cast<double>(info.channels));
        // The frames' own rate for a stream the decoder knows as constant (no VBR or ABR
        // header): a size-based estimate would count tags and headers too.
        mpg123_frameinfo frame{};
        if (mpg123_info(handle, &frame) == MPG123_OK && frame.vbr == MPG123_CBR && frame.bitrate > 0)
            info.constantKbps = frame.bitrate;
    } else {
        info.message = StreamTroubleMessage(mpg123_strerror(handle));
    }
    mpg123_close(handle);
    return info;
}

StreamInfo ReadStreamInfo(const std::string& path) {
    std::unique_ptr<mpg123_handle, decltype(&mpg123_delete)> h(NewStreamInfoHandle(true), &mpg123_delete);
    return ReadStreamInfo(h.get(), path);
}

}  // namespace velmora
