// lame_enc.so: the BladeEnc-style entry points over libmp3lame.
//
// A stream is a libmp3lame context behind an opaque handle. The call order is
// beInitStream, beEncodeChunkFloatS16NI..., beDeinitStream (flush), beCloseStream, and then,
// on the closed file, beWriteInfoTag (or beWriteVBRHeader for the most recently closed
// stream). The module keeps the final Info/LAME frame of a closed stream, not the whole
// libmp3lame context, so a caller that never asks for the header loses only a few bytes.

#include "lame_enc/bladeenc.h"
#include "lame_enc/lame_crc16.h"
#include "lame_enc/segment_encoder.h"
#include "lame_enc/xing_frame.h"

#include <lame/lame.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

using namespace velmora::bladeenc;

namespace {

struct Stream {
    lame_global_flags* gf = nullptr;  // null once the stream is closed
    uint32_t channels = 0;
    uint32_t framesPerChunk = 0;
    uint32_t outputBufferSize = 0;  // what the caller provides
    uint32_t lameBufferSize = 0;    // what libmp3lame may fill of it
    bool wantTag = false;
    bool flushed = false;
    std::vector<uint8_t> tag;  // the final Info frame, taken when the stream closes

    // libmp3lame leaves the Info frame out when the stream's own frames are too small to hold
    // it (low bit rates). The module then writes one of its own, at a bit rate large enough,
    // so every output still carries its length and its encoder delay and padding. A VBR stream
    // always gets the module's own (see beInitStream).
    bool vbr = false;
    bool lameWritesTag = false;
    bool firstOutputSeen = false;
    bool ownTag = false;
    uint8_t firstHeader[4] = {};   // of the first audio frame: the header frame is made like it
    uint32_t ownFrameSize = 0;
    uint64_t audioBytes = 0;       // bytes after the Info frame
    uint16_t audioCrc = 0;
    uint64_t streamBytes = 0;      // every byte of the stream, the Info frame included
    // The audio frames as written, for the header frame's counts and table of contents.
    velmora::FrameOffsets offsets;
    uint64_t framesSeen = 0;
    uint64_t nextFrameAt = 0;      // where the next frame's header starts, in audio bytes
    uint8_t tail[3] = {};          // the last audio bytes, for a header split between two calls
    bool walkLost = false;

    // Several encoder threads (the reservoir off): segments encoded side by
    // side. Null: the single libmp3lame stream.
    std::unique_ptr<velmora::lame_module::SegmentEncoder> parallel;

    ~Stream() {
        parallel.reset();
        if (gf) lame_close(gf);
    }
};

// Streams open at once. Generous for a program that encodes one output at a time, and a
// bound on what a caller that forgets to close can hold.
constexpr size_t kMaxOpenStreams = 64;
// Closed streams still waiting for their header call; older ones are forgotten.
constexpr size_t kMaxClosedStreams = 16;
// Larger than any MPEG audio frame.
constexpr uint32_t kMaxFrameBytes = 2880;

struct Registry {
    std::mutex mutex;
    std::map<HBE_STREAM, std::unique_ptr<Stream>> open;
    std::map<HBE_STREAM, std::unique_ptr<Stream>> closed;
    std::deque<HBE_STREAM> closedOrder;
    HBE_STREAM next = 1;
    std::vector<uint8_t> lastTag;  // for beWriteVBRHeader, which names no stream
    bool haveLastTag = false;
};

Registry& registry() {
    static Registry r;
    return r;
}

// The caller owns the use of a stream between init and close; the lock only guards the table.
Stream* FindOpen(HBE_STREAM handle) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.open.find(handle);
    return it == r.open.end() ? nullptr : it->second.get();
}

bool IsMpegRate(uint32_t hz) {
    static constexpr std::array<uint32_t, 9> rates{8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
    for (uint32_t r : rates)
        if (r == hz) return true;
    return false;
}

// Size of an ID3v2 tag at the start of the file (0 when there is none).
long Id3v2Size(const uint8_t* h, size_t n) {
    if (n < 10 || std::memcmp(h, "ID3", 3) != 0) return 0;
    if ((h[6] | h[7] | h[8] | h[9]) & 0x80) return 0;  // not a synchsafe size: not a tag
    long size = (long(h[6]) << 21) | (long(h[7]) << 14) | (long(h[8]) << 7) | long(h[9]);
    size += 10;
    if (h[5] & 0x10) size += 10;  // footer present
    return size;
}

// Writes the Info frame over the empty frame libmp3lame put at the start of the audio.
// The file is checked first: the place must hold a frame header and room for the whole
// frame, so a wrong path never gets a frame written into the middle of unrelated data.
BE_ERR WriteTagFrame(const char* path, const std::vector<uint8_t>& tag) {
    if (!path) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (tag.empty()) return BE_ERR_SUCCESSFUL;  // no header was asked for
    FILE* f = std::fopen(path, "r+b");
    if (!f) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    BE_ERR result = BE_ERR_INVALID_FORMAT;
    uint8_t head[10] = {};
    const size_t got = std::fread(head, 1, sizeof head, f);
    const long offset = Id3v2Size(head, got);
    uint8_t sync[4] = {};
    if (std::fseek(f, 0, SEEK_END) == 0) {
        const long size = std::ftell(f);
        if (size >= offset + static_cast<long>(tag.size()) && std::fseek(f, offset, SEEK_SET) == 0 &&
            std::fread(sync, 1, 4, f) == 4 && sync[0] == 0xFF && (sync[1] & 0xE0) == 0xE0 &&
            std::fseek(f, offset, SEEK_SET) == 0) {
            if (std::fwrite(tag.data(), 1, tag.size(), f) == tag.size() && std::fflush(f) == 0)
                result = BE_ERR_SUCCESSFUL;
        }
    }
    if (std::fclose(f) != 0) result = BE_ERR_INVALID_FORMAT;
    return result;
}

// The Info frame's contents: "Info", four fields, then the LAME extension.
constexpr size_t kInfoBodySize = 120;
constexpr size_t kLameExtensionSize = 36;

// libmp3lame's own rule: it writes the Info frame at the stream's bit rate, and only when
// that frame holds the side information and the whole Info contents.
bool LameWritesTag(lame_global_flags* gf) {
    const bool mpeg1 = lame_get_version(gf) == 1;
    const bool mono = lame_get_num_channels(gf) == 1 || lame_get_mode(gf) == MONO;
    const size_t sideInfo = 4 + (mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17)) + (lame_get_error_protection(gf) ? 2 : 0);
    const int rate = lame_get_out_samplerate(gf);
    if (rate <= 0) return false;
    const size_t frame = static_cast<size_t>((mpeg1 ? 144000 : 72000) * lame_get_brate(gf) / rate);
    return frame >= sideInfo + kInfoBodySize + kLameExtensionSize && frame <= kMaxFrameBytes;
}

// Follows the frames through the audio bytes the stream writes, n bytes at p.
void TrackAudio(Stream& s, const uint8_t* p, uint32_t n) {
    s.audioCrc = velmora::LameCrc16(s.audioCrc, p, n);
    const uint64_t begin = s.audioBytes, end = begin + n;
    while (!s.walkLost && s.nextFrameAt + 4 <= end) {
        uint8_t h[4];
        for (uint64_t i = 0; i < 4; ++i) {
            const uint64_t at = s.nextFrameAt + i;
            h[i] = at >= begin ? p[at - begin] : s.tail[at + 3 - begin];
        }
        velmora::Layer3Header frame;
        if (!velmora::ParseLayer3Header(h, 4, frame)) {
            s.walkLost = true;  // never from libmp3lame; the header then falls back to its counts
            break;
        }
        s.offsets.Add(s.framesSeen++, s.nextFrameAt);
        s.nextFrameAt += frame.length;
    }
    for (uint32_t i = n > 3 ? n - 3 : 0; i < n; ++i) {
        s.tail[0] = s.tail[1];
        s.tail[1] = s.tail[2];
        s.tail[2] = p[i];
    }
    s.audioBytes = end;
}

// Called with every piece of output before it goes to the caller. The first piece decides
// whether libmp3lame writes the Info frame; when it does not, the module's placeholder frame
// goes in front of the audio (the caller's buffer has room for it).
void NoteOutput(Stream& s, uint8_t* output, uint32_t& bytes) {
    if (bytes == 0) return;
    if (!s.firstOutputSeen) {
        s.firstOutputSeen = true;
        const std::vector<uint8_t> frame =
            s.wantTag && !s.lameWritesTag && bytes >= 4 ? velmora::BuildXingFrame(output, {}) : std::vector<uint8_t>{};
        if (!frame.empty()) {
            s.ownTag = true;
            std::memcpy(s.firstHeader, output, 4);
            s.ownFrameSize = static_cast<uint32_t>(frame.size());
            std::memmove(output + s.ownFrameSize, output, bytes);
            // An empty frame, as libmp3lame's own placeholder: silence to a player, should the
            // header never be written.
            std::memset(output, 0, s.ownFrameSize);
            std::memcpy(output, frame.data(), 4);
            TrackAudio(s, output + s.ownFrameSize, bytes);
            bytes += s.ownFrameSize;
            s.streamBytes += bytes;
            return;
        }
    }
    if (s.ownTag) TrackAudio(s, output, bytes);
    s.streamBytes += bytes;
}

// The extension's bit-rate method for libmp3lame's modes.
uint8_t LameMethod(vbr_mode mode) {
    switch (mode) {
    case vbr_off: return 1;
    case vbr_abr: return 2;
    case vbr_rh: return 3;
    case vbr_mt: return 5;
    default: return 4;  // vbr_mtrh, libmp3lame's default VBR
    }
}

// The module's own Info (or, for VBR, Xing) frame, filled in once the stream has been flushed.
std::vector<uint8_t> MakeOwnTag(const Stream& s) {
    // The frames as they were written; should the walk have lost them, the encoders' count and
    // an even table of contents.
    const bool walked = !s.walkLost && s.nextFrameAt == s.audioBytes;
    const uint64_t encoded =
        s.parallel ? s.parallel->frames() : static_cast<uint64_t>(std::max(0, lame_get_frameNum(s.gf)));
    velmora::XingFields x;
    x.constant = !s.vbr;
    x.frames = walked ? s.framesSeen : encoded;
    x.streamBytes = s.audioBytes + s.ownFrameSize;
    x.offsets = walked ? &s.offsets : nullptr;
    // Xing's quality scale: 100 - 10 x the VBR quality, as libmp3lame gives its -V; CBR by its
    // algorithm quality.
    x.quality = static_cast<uint32_t>(std::clamp(100 - 10 * (s.vbr ? lame_get_VBR_q(s.gf) : lame_get_quality(s.gf)), 0, 100));
    std::snprintf(x.encoder, sizeof x.encoder, "LAME%s", get_lame_short_version());
    x.method = LameMethod(lame_get_VBR(s.gf));
    x.lowpass = static_cast<uint8_t>(std::clamp(lame_get_lowpassfreq(s.gf) / 100, 0, 255));
    x.kbps = static_cast<uint8_t>(std::clamp(s.vbr ? lame_get_VBR_min_bitrate_kbps(s.gf) : lame_get_brate(s.gf), 0, 255));
    x.delay = lame_get_encoder_delay(s.gf);
    // Segments: what the frames hold beyond the delay and the samples fed is the padding.
    x.padding = s.parallel ? static_cast<int>(std::clamp<int64_t>(
                                 static_cast<int64_t>(x.frames) * lame_get_framesize(s.gf) - x.delay -
                                     static_cast<int64_t>(s.parallel->samplesIn()),
                                 0, 4095))
                           : lame_get_encoder_padding(s.gf);
    x.musicCrc = s.audioCrc;
    std::vector<uint8_t> frame = velmora::BuildXingFrame(s.firstHeader, x);
    // Made from the same first header as the placeholder, so of its size.
    if (frame.size() != s.ownFrameSize) frame.clear();
    return frame;
}

// Past 4 GiB the frame's byte count cannot be written (see info_frame.h).
std::vector<uint8_t> FitByteCount(const Stream& s, std::vector<uint8_t> tag) {
    velmora::Layer3Header h;
    if (s.streamBytes > velmora::kXingByteCountMax && velmora::ParseLayer3Header(tag.data(), tag.size(), h))
        velmora::DropXingByteCount(tag.data(), tag.size(), 4 + h.sideInfo);
    return tag;
}

std::vector<uint8_t> TakeTag(const Stream& s) {
    if (s.ownTag) return MakeOwnTag(s);  // its byte count fitted by the writer
    lame_global_flags* gf = s.gf;
    std::vector<uint8_t> tag(2880);  // larger than any MPEG audio frame
    size_t n = lame_get_lametag_frame(gf, tag.data(), tag.size());
    if (n > tag.size()) {
        tag.resize(n);
        n = lame_get_lametag_frame(gf, tag.data(), tag.size());
        if (n > tag.size()) n = 0;
    }
    tag.resize(n);
    return FitByteCount(s, std::move(tag));
}

// Maps the record onto libmp3lame. Returns 0 or an error code; on success gf is ready.
BE_ERR Configure(lame_global_flags* gf, const BE_CONFIG& c) {
    const auto& l = c.LHV1;
    if (!IsMpegRate(l.dwSampleRate)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (l.dwReSampleRate != 0 && !IsMpegRate(l.dwReSampleRate)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    MPEG_mode mode;
    switch (l.nMode) {
    case BE_MP3_MODE_STEREO: mode = STEREO; break;
    case BE_MP3_MODE_JSTEREO: mode = JOINT_STEREO; break;
    case BE_MP3_MODE_DUALCHANNEL: mode = DUAL_CHANNEL; break;
    case BE_MP3_MODE_MONO: mode = MONO; break;
    default: return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    const int channels = mode == MONO ? 1 : 2;
    lame_set_in_samplerate(gf, static_cast<int>(l.dwSampleRate));
    lame_set_out_samplerate(gf, static_cast<int>(l.dwReSampleRate ? l.dwReSampleRate : l.dwSampleRate));
    lame_set_num_channels(gf, channels);
    lame_set_mode(gf, mode);

    if (l.bEnableVBR) {
        // ABR when a mean rate is given, else VBR of the given quality (the program's VBR
        // choices), between the two bit rates when they are given.
        if (l.dwVbrAbr_bps > 0) {
            lame_set_VBR(gf, vbr_abr);
            lame_set_VBR_mean_bitrate_kbps(gf, static_cast<int>(l.dwVbrAbr_bps / 1000));
        } else {
            lame_set_VBR(gf, vbr_default);
            lame_set_VBR_q(gf, l.nVBRQuality < 0 ? 0 : l.nVBRQuality > 9 ? 9 : l.nVBRQuality);
        }
        if (l.dwBitrate) lame_set_VBR_min_bitrate_kbps(gf, static_cast<int>(l.dwBitrate));
        if (l.dwMaxBitrate) lame_set_VBR_max_bitrate_kbps(gf, static_cast<int>(l.dwMaxBitrate));
    } else {
        if (l.dwBitrate == 0 || l.dwBitrate > 320) return BE_ERR_INVALID_FORMAT_PARAMETERS;
        lame_set_VBR(gf, vbr_off);
        lame_set_brate(gf, static_cast<int>(l.dwBitrate));
    }
    // The quality byte counts only with its check byte; otherwise libmp3lame's default stays.
    const uint8_t q = l.nQuality & 0xFF;
    if ((l.nQuality >> 8) == static_cast<uint8_t>(~q) && q <= 9) lame_set_quality(gf, q);
    // Presets (nPreset) are not offered: the record's explicit fields are what counts.
    lame_set_disable_reservoir(gf, l.bNoRes ? 1 : 0);
    lame_set_strict_ISO(gf, l.bStrictIso ? 1 : 0);
    lame_set_error_protection(gf, l.bCRC ? 1 : 0);
    lame_set_copyright(gf, l.bCopyright ? 1 : 0);
    lame_set_original(gf, l.bOriginal ? 1 : 0);
    lame_set_extension(gf, l.bPrivate ? 1 : 0);
    lame_set_emphasis(gf, static_cast<int>(l.dwEmphasis <= 3 ? l.dwEmphasis : 0));
    lame_set_bWriteVbrTag(gf, l.bWriteVBRHeader ? 1 : 0);
    lame_set_write_id3tag_automatic(gf, 0);  // the output holds audio only
    if (lame_init_params(gf) < 0) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    return BE_ERR_SUCCESSFUL;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) BE_ERR beInitStream(
    BE_CONFIG* config, uint32_t* samplesPerChunk, uint32_t* outputBufferSize, HBE_STREAM* stream, uint32_t,
    uint32_t, const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*,
    const wchar_t*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {
    if (!config || !samplesPerChunk || !outputBufferSize || !stream) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (config->dwConfig != BE_CONFIG_LAME) return BE_ERR_INVALID_FORMAT;
    if (config->LHV1.dwStructVersion < CURRENT_STRUCT_VERSION || config->LHV1.dwStructSize < CURRENT_STRUCT_SIZE)
        return BE_ERR_INVALID_FORMAT;

    auto s = std::make_unique<Stream>();
    s->gf = lame_init();
    if (!s->gf) return BE_ERR_NO_MORE_HANDLES;
    // VBR: the header frame is always the module's own, on one thread as on several, with a
    // table of contents from the frames as written. libmp3lame's own table is coarse (sampled
    // positions, bit rates summed for bytes), and a segment's encoder sees only its segment.
    s->vbr = config->LHV1.bEnableVBR != 0;
    s->wantTag = config->LHV1.bWriteVBRHeader != 0;
    BE_CONFIG own = *config;
    if (s->vbr) own.LHV1.bWriteVBRHeader = 0;
    if (BE_ERR e = Configure(s->gf, own); e != BE_ERR_SUCCESSFUL) return e;
    s->channels = static_cast<uint32_t>(lame_get_num_channels(s->gf));
    s->framesPerChunk = static_cast<uint32_t>(lame_get_framesize(s->gf));
    // libmp3lame's own worst case for one call (1.25 bytes per frame plus 7200), and room for
    // an Info frame of the module's own in front of the first output.
    s->lameBufferSize = s->framesPerChunk * 5 / 4 + 7200;
    s->outputBufferSize = s->lameBufferSize + kMaxFrameBytes;
    s->lameWritesTag = s->wantTag && !s->vbr && LameWritesTag(s->gf);

    // Segments need frames that stand alone (reservoir off); one thread is the single stream
    // as it always was. VBR too: measured with libmp3lame 3.100 on 60 s of a chord with pink
    // noise and of noise bursts over it, the reservoir off leaves the noise where it was (SNR
    // 28.43 / 20.66 / 17.07 dB at -V0 / -V4 / -V0 against 28.43 / 20.66 / 17.29 with it):
    // VBR sizes each frame to its own masking threshold, the reservoir only moves bits between
    // frames. It costs bytes, -1 % to +9 % (+8.8 % at -V0 and +9.0 % at -V4 on the chord), not
    // quality, so VBR keeps every core.
    const uint32_t threads = velmora::lame_module::EncoderThreads();
    if (threads > 1 && config->LHV1.bNoRes) {
        BE_CONFIG segment = *config;
        segment.LHV1.bWriteVBRHeader = 0;  // the stream's one header is the module's own
        const bool mpeg1 = lame_get_version(s->gf) == 1;
        // A VBR frame may take the version's top rate.
        const int topKbps = s->vbr ? (mpeg1 ? 320 : 160) : lame_get_brate(s->gf);
        const uint32_t maxFrame =
            static_cast<uint32_t>((mpeg1 ? 144000 : 72000) * topKbps / lame_get_out_samplerate(s->gf) + 1);
        s->parallel = std::make_unique<velmora::lame_module::SegmentEncoder>(
            [segment] {
                lame_global_flags* gf = lame_init();
                if (gf && Configure(gf, segment) != BE_ERR_SUCCESSFUL) {
                    lame_close(gf);
                    gf = nullptr;
                }
                return gf;
            },
            s->channels, threads, s->framesPerChunk, maxFrame);
        s->lameWritesTag = false;
        s->lameBufferSize = std::max(s->lameBufferSize, s->parallel->OutputCapacity());
        s->outputBufferSize = s->lameBufferSize + kMaxFrameBytes;
    }

    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.open.size() >= kMaxOpenStreams) return BE_ERR_NO_MORE_HANDLES;
    const HBE_STREAM handle = r.next++;
    *samplesPerChunk = s->framesPerChunk * s->channels;
    *outputBufferSize = s->outputBufferSize;
    *stream = handle;
    r.open.emplace(handle, std::move(s));
    return BE_ERR_SUCCESSFUL;
}

__attribute__((visibility("default"))) BE_ERR beEncodeChunkFloatS16NI(HBE_STREAM stream, uint32_t frames,
                                                                      const float* left, const float* right,
                                                                      uint8_t* output, uint32_t* outputBytes) {
    Stream* s = FindOpen(stream);
    if (!s || s->flushed) return BE_ERR_INVALID_HANDLE;
    if (!outputBytes || !output) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    *outputBytes = 0;
    if (frames == 0) return BE_ERR_SUCCESSFUL;
    if (!left || (s->channels == 2 && !right)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    // The output buffer is outputBufferSize bytes; a call of more than one chunk may need more.
    if (frames > s->framesPerChunk) return BE_ERR_BUFFER_TOO_SMALL;
    if (s->parallel) {
        uint32_t bytes = 0;
        if (!s->parallel->Encode(left, s->channels == 2 ? right : left, frames, output, s->lameBufferSize, bytes))
            return BE_ERR_INVALID_FORMAT_PARAMETERS;
        NoteOutput(*s, output, bytes);
        *outputBytes = bytes;
        return BE_ERR_SUCCESSFUL;
    }
    const int n = lame_encode_buffer_float(s->gf, left, s->channels == 2 ? right : left, static_cast<int>(frames),
                                           output, static_cast<int>(s->lameBufferSize));
    if (n == -1) return BE_ERR_BUFFER_TOO_SMALL;
    if (n < 0) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    uint32_t bytes = static_cast<uint32_t>(n);
    NoteOutput(*s, output, bytes);
    *outputBytes = bytes;
    return BE_ERR_SUCCESSFUL;
}

__attribute__((visibility("default"))) BE_ERR beDeinitStream(HBE_STREAM stream, uint8_t* output,
                                                             uint32_t* outputBytes) {
    Stream* s = FindOpen(stream);
    if (!s || s->flushed) return BE_ERR_INVALID_HANDLE;
    if (!outputBytes || !output) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    *outputBytes = 0;
    if (s->parallel) {
        s->flushed = true;
        uint32_t bytes = 0;
        const bool ok = s->parallel->Flush(output, s->lameBufferSize, bytes);
        NoteOutput(*s, output, bytes);
        *outputBytes = bytes;
        return ok ? BE_ERR_SUCCESSFUL : BE_ERR_BUFFER_TOO_SMALL;
    }
    const int n = lame_encode_flush(s->gf, output, static_cast<int>(s->lameBufferSize));
    s->flushed = true;
    if (n == -1) return BE_ERR_BUFFER_TOO_SMALL;
    if (n < 0) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    uint32_t bytes = static_cast<uint32_t>(n);
    NoteOutput(*s, output, bytes);
    *outputBytes = bytes;
    return BE_ERR_SUCCESSFUL;
}

__attribute__((visibility("default"))) BE_ERR beCloseStream(HBE_STREAM stream) {
    Registry& r = registry();
    std::unique_ptr<Stream> s;
    {
        std::lock_guard lock(r.mutex);
        auto it = r.open.find(stream);
        if (it == r.open.end()) return BE_ERR_INVALID_HANDLE;
        s = std::move(it->second);
        r.open.erase(it);
    }
    if (s->wantTag) s->tag = TakeTag(*s);
    lame_close(s->gf);
    s->gf = nullptr;
    if (!s->wantTag) return BE_ERR_SUCCESSFUL;

    std::lock_guard lock(r.mutex);
    r.lastTag = s->tag;
    r.haveLastTag = true;
    r.closed.emplace(stream, std::move(s));
    r.closedOrder.push_back(stream);
    while (r.closedOrder.size() > kMaxClosedStreams) {
        r.closed.erase(r.closedOrder.front());
        r.closedOrder.pop_front();
    }
    return BE_ERR_SUCCESSFUL;
}

__attribute__((visibility("default"))) BE_ERR beWriteInfoTag(HBE_STREAM stream, const char* path) {
    Registry& r = registry();
    std::unique_ptr<Stream> s;
    {
        std::lock_guard lock(r.mutex);
        auto it = r.closed.find(stream);
        if (it != r.closed.end()) {
            s = std::move(it->second);
            r.closed.erase(it);
            std::erase(r.closedOrder, stream);
        }
    }
    if (!s) {
        // A stream still open: flushed or not, its header is taken now and the stream ends.
        if (!FindOpen(stream)) return BE_ERR_INVALID_HANDLE;
        {
            std::lock_guard lock(r.mutex);
            auto it = r.open.find(stream);
            if (it == r.open.end()) return BE_ERR_INVALID_HANDLE;
            s = std::move(it->second);
            r.open.erase(it);
        }
        if (s->wantTag) s->tag = TakeTag(*s);
    }
    return WriteTagFrame(path, s->tag);
}

__attribute__((visibility("default"))) void beVersion(BE_VERSION* version) {
    if (!version) return;
    *version = BE_VERSION{};
    version->byDLLMajorVersion = 1;
    version->byDLLMinorVersion = 0;
    // The LAME library this module runs with.
    lame_version_t lame{};
    get_lame_version_numerical(&lame);
    version->byMajorVersion = static_cast<uint8_t>(lame.major);
    version->byMinorVersion = static_cast<uint8_t>(lame.minor);
    version->byAlphaLevel = static_cast<uint8_t>(lame.alpha);
    version->byBetaLevel = static_cast<uint8_t>(lame.beta);
    std::snprintf(version->zHomepage, sizeof version->zHomepage, "%s", get_lame_url());
}

__attribute__((visibility("default"))) BE_ERR beWriteVBRHeader(const char* path) {
    Registry& r = registry();
    std::vector<uint8_t> tag;
    {
        std::lock_guard lock(r.mutex);
        if (!r.haveLastTag) return BE_ERR_INVALID_HANDLE;  // no stream has been closed yet
        tag = r.lastTag;
    }
    return WriteTagFrame(path, tag);
}

}  // extern "C"
