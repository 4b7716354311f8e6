#include "engine/stream_info.h"

#include "engine/media_file.h"
#include "engine/mpeg_frame.h"

#include <mpg123.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace velmora {

namespace {

// What a stream's header frame (Xing, Info or VBRI) says of its audio bytes, and how many are
// there: from that frame to the end of the file, an ID3v1 tag left out (its encoder counts
// neither the ID3v2 tag before the frames nor the ID3v1 tag after them). Zero claimed bytes
// when there is no such frame or it gives no byte count.
struct HeaderFrameBytes {
    uint64_t claimed = 0;
    uint64_t present = 0;
};

HeaderFrameBytes ReadHeaderFrameBytes(MediaFile& file) {
    HeaderFrameBytes out;
    // The header frame is the first frame, right after an ID3v2 tag (size from its header).
    int64_t start = 0;
    unsigned char id3[10];
    if (file.Read(0, id3, sizeof id3) == sizeof id3 && std::memcmp(id3, "ID3", 3) == 0 &&
        ((id3[6] | id3[7] | id3[8] | id3[9]) & 0x80) == 0)
        start = 10 + ((int64_t(id3[6]) << 21) | (int64_t(id3[7]) << 14) | (int64_t(id3[8]) << 7) | id3[9]) +
                ((id3[5] & 0x10) ? 10 : 0);
    // A little junk before the first sync is skipped, as the decoder skips it; the largest
    // frame (2881 bytes) fits after any sync found in the first 4 KiB.
    constexpr size_t kSyncSearch = 4096;
    std::vector<uint8_t> bytes(kSyncSearch + 2881);
    bytes.resize(file.Read(start, bytes.data(), bytes.size()));
    for (size_t at = 0; at < kSyncSearch && at + 4 <= bytes.size(); ++at) {
        MpegFrameHeader h;
        if (!ParseMpegHeader(bytes.data() + at, bytes.size() - at, h)) continue;
        const XingHeader x = ParseXingFrame(bytes.data() + at, bytes.size() - at, h);
        if (!x.present || x.bytes == 0) return out;
        int64_t end = file.size();
        unsigned char tag[3];
        if (end - 128 >= start && file.Read(end - 128, tag, 3) == 3 && std::memcmp(tag, "TAG", 3) == 0) end -= 128;
        out.claimed = x.bytes;
        out.present = static_cast<uint64_t>(std::max<int64_t>(0, end - start - static_cast<int64_t>(at)));
        return out;
    }
    return out;
}

// The frames' own bit rate of a constant-bit-rate stream. A free-format stream has no rate in
// its headers (index 0); its frames are all of one size, give or take a padding slot, so the
// size gives the rate: bytes × 8 × rate / samples per frame, rounded to whole kbps.
int ConstantKbps(const mpg123_frameinfo& frame) {
    if (frame.vbr != MPG123_CBR) return 0;
    if (frame.bitrate > 0) return frame.bitrate;
    if (frame.framesize <= 0 || frame.rate <= 0) return 0;
    const int samplesPerFrame =
        frame.layer == 1 ? 384 : (frame.layer == 3 && frame.version != MPG123_1_0) ? 576 : 1152;
    return static_cast<int>(std::lround(static_cast<double>(frame.framesize) * 8.0 * static_cast<double>(frame.rate) /
                                        samplesPerFrame / 1000.0));
}

}  // namespace

std::string StreamTroubleMessage(const char* decoderText) {
    return std::string("Trouble with mpg123: ") + (decoderText ? decoderText : "");
}

std::string DecoderFailureText(mpg123_handle* handle, int result) {
    // The end of the stream before a first frame is not an error of its own: a fresh handle
    // then holds the code the library sets for a read that ends without a frame, 18.
    if (result == MPG123_DONE) return StreamTroubleMessage(mpg123_plain_strerror(MPG123_ERR_READER));
    return StreamTroubleMessage(handle ? mpg123_strerror(handle) : "no decoder handle");
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
    // Resync past damaged data of any length, not only the library's default 1 KiB.
    mpg123_param(h, MPG123_RESYNC_LIMIT, -1, 0.0);
    return h;
}

StreamInfo ReadStreamInfo(mpg123_handle* handle, const std::string& path) {
    MediaFile file;
    file.Open(path);  // a regular file only
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
    int result = OpenOnDecoder(handle, source) ? MPG123_OK : MPG123_ERR;
    if (result == MPG123_OK) result = mpg123_getformat(handle, &rate, &channels, &encoding);
    if (result == MPG123_OK && rate > 0 && channels > 0) {
        // The decoder's own figure, from the Info header or estimated from the file size;
        // nothing is decoded or scanned. A negative answer means it has no figure to give:
        // the file still decodes, so it counts as readable with no known length.
        off_t length = mpg123_length(handle);
        // A header frame describes the file as its encoder wrote it; a file cut short since
        // keeps the header but not all of the frames. When the header counts more bytes than
        // are there, the audio present is that share of the length: the frames of a
        // constant-bit-rate stream are all of one size, and for VBR the share of bytes is the
        // best figure there is without decoding. A file with more bytes than counted (tags
        // after the frames, say) keeps the header's exact length.
        HeaderFrameBytes bytes;
        if (length > 0) {
            bytes = ReadHeaderFrameBytes(file);
            if (bytes.claimed > bytes.present)
                length = static_cast<off_t>(static_cast<long double>(length) * static_cast<long double>(bytes.present) /
                                            static_cast<long double>(bytes.claimed));
        }
        info.readable = true;
        info.sampleRate = static_cast<uint32_t>(rate);
        info.channels = static_cast<uint32_t>(channels);
        info.totalSamples = length > 0 ? static_cast<uint64_t>(length) * info.channels : 0;
        info.duration = static_cast<double>(info.totalSamples) /
                        (static_cast<double>(info.sampleRate) * static_cast<double>(info.channels));
        // The frames' own rate for a stream the decoder knows as constant (no VBR or ABR
        // header): a size-based estimate would count tags and headers too.
        mpg123_frameinfo frame{};
        if (mpg123_info(handle, &frame) == MPG123_OK) {
            info.constantKbps = ConstantKbps(frame);
            info.layer = frame.layer;
        }
        // A VBR stream's average over the bytes its header frame counts (those still there).
        const uint64_t audioBytes = std::min(bytes.claimed, bytes.present);
        info.averageKbps = info.constantKbps > 0 ? info.constantKbps
                           : info.duration > 0   ? static_cast<int>(std::lround(audioBytes * 8 / info.duration / 1000))
                                                 : 0;
    } else {
        info.message = DecoderFailureText(handle, result == MPG123_OK ? MPG123_ERR : result);
    }
    mpg123_close(handle);
    return info;
}

StreamInfo ReadStreamInfo(const std::string& path) {
    std::unique_ptr<mpg123_handle, decltype(&mpg123_delete)> h(NewStreamInfoHandle(true), &mpg123_delete);
    return ReadStreamInfo(h.get(), path);
}

}  // namespace velmora
