// The Xing/Info header frame of an MP3 stream, with its table of contents and LAME extension:
// one writer for the encoder module (before the frames it encodes) and the copy join (before
// the frames it copies). Header-only: the module links nothing of the engine.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "lame_enc/info_frame.h"
#include "lame_enc/lame_crc16.h"

namespace velmora {

// Byte offsets of every `stride`-th frame, the stride doubling whenever the list is full, so
// the table of contents of any length comes from a few kilobytes.
class FrameOffsets {
public:
    void Add(uint64_t frame, uint64_t offset) {
        if (frame % stride_ != 0) return;
        if (offsets_.size() == kMax) {
            for (size_t i = 0; i < kMax / 2; ++i) offsets_[i] = offsets_[2 * i];
            offsets_.resize(kMax / 2);
            stride_ *= 2;
            if (frame % stride_ != 0) return;
        }
        offsets_.push_back(offset);
    }
    // The offset of `frame`, or of the nearest recorded frame before it: always a frame start.
    uint64_t At(uint64_t frame) const {
        const size_t i = std::min<size_t>(static_cast<size_t>(frame / stride_), offsets_.size() - 1);
        return offsets_.empty() ? 0 : offsets_[i];
    }

private:
    static constexpr size_t kMax = 4096;
    uint64_t stride_ = 1;
    std::vector<uint64_t> offsets_;
};

// A Layer III frame header, as far as the header frame and the frame walk need it.
struct Layer3Header {
    int versionBits = 0;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    int bitrateIndex = 0;
    int kbps = 0;
    uint32_t rate = 0;
    bool mono = false;
    uint32_t sideInfo = 0;  // bytes of side information after the header
    uint32_t length = 0;    // the whole frame, its padding slot included
};

inline constexpr int kLayer3Kbps[2][15] = {{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
                                           {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};

inline uint32_t Layer3FrameBytes(int versionBits, int kbps, uint32_t rate) {
    return rate == 0 ? 0 : static_cast<uint32_t>((versionBits == 3 ? 144 : 72) * kbps * 1000 / rate);
}

// False for anything but a Layer III header with a bit rate (free format has none).
inline bool ParseLayer3Header(const uint8_t* p, size_t n, Layer3Header& h) {
    if (n < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
    h.versionBits = (p[1] >> 3) & 3;
    h.bitrateIndex = p[2] >> 4;
    const int si = (p[2] >> 2) & 3;
    if (h.versionBits == 1 || ((p[1] >> 1) & 3) != 1 || h.bitrateIndex == 0 || h.bitrateIndex == 15 || si == 3)
        return false;
    static constexpr uint32_t kRates[] = {44100, 48000, 32000};
    h.rate = kRates[si] / (h.versionBits == 3 ? 1 : h.versionBits == 2 ? 2 : 4);
    h.kbps = kLayer3Kbps[h.versionBits == 3 ? 0 : 1][h.bitrateIndex];
    h.mono = (p[3] >> 6) == 3;
    h.sideInfo = h.versionBits == 3 ? (h.mono ? 17 : 32) : (h.mono ? 9 : 17);
    h.length = Layer3FrameBytes(h.versionBits, h.kbps, h.rate) + ((p[2] >> 1) & 1);
    return true;
}

// What the header frame says of the stream after it.
struct XingFields {
    bool constant = true;        // "Info" when every frame has one bit rate, else "Xing"
    uint64_t frames = 0;         // audio frames, the header frame not counted
    uint64_t streamBytes = 0;    // the header frame and the audio frames
    // Offsets of the audio frames from the first of them; null: an even table (constant rate).
    const FrameOffsets* offsets = nullptr;
    uint32_t quality = 0;        // the Xing quality field, 0 to 100 (0: unknown)
    char encoder[10] = "LAME3.100";
    uint8_t method = 0;          // the extension's bit-rate method: 1 CBR, 2 ABR, 4 VBR, 0 unknown
    uint8_t lowpass = 0;         // hundreds of Hz
    uint8_t kbps = 0;            // CBR: the rate; ABR: the mean; VBR: the minimum; 0: unknown
    int delay = 0;               // encoder delay and end padding, sample frames
    int padding = 0;
    uint16_t musicCrc = 0;       // of every audio frame after the header frame
};

// The header frame for a stream whose first audio frame starts with `first`: at that frame's
// bit rate when it holds the header (players read a constant rate from it), else at the lowest
// that does; without CRC, padding or private bit. Past 4 GiB the byte count is left out (see
// info_frame.h). Empty when `first` is no Layer III header.
inline std::vector<uint8_t> BuildXingFrame(const uint8_t first[4], const XingFields& x) {
    Layer3Header h;
    if (!ParseLayer3Header(first, 4, h)) return {};
    const uint32_t need = 4 + h.sideInfo + 4 + 4 + 4 + 4 + 100 + 4 + 36;
    const int row = h.versionBits == 3 ? 0 : 1;
    int index = h.bitrateIndex;
    for (int i = 1; Layer3FrameBytes(h.versionBits, kLayer3Kbps[row][index], h.rate) < need; ++i) {
        if (i > 14) return {};
        index = i;
    }
    std::vector<uint8_t> f(Layer3FrameBytes(h.versionBits, kLayer3Kbps[row][index], h.rate), 0);
    f[0] = 0xFF;
    f[1] = static_cast<uint8_t>(first[1] | 0x01);                     // no CRC
    f[2] = static_cast<uint8_t>((index << 4) | (first[2] & 0x0C));    // no padding, no private bit
    f[3] = first[3];
    size_t k = 4 + h.sideInfo;
    auto put32 = [&](uint32_t v) {
        f[k] = uint8_t(v >> 24), f[k + 1] = uint8_t(v >> 16), f[k + 2] = uint8_t(v >> 8), f[k + 3] = uint8_t(v);
        k += 4;
    };
    std::memcpy(&f[k], x.constant ? "Info" : "Xing", 4);
    k += 4;
    put32(0x0F);  // frames, bytes, table of contents, quality
    put32(static_cast<uint32_t>(std::min<uint64_t>(x.frames, 0xFFFFFFFFu)));
    put32(static_cast<uint32_t>(std::min<uint64_t>(x.streamBytes, 0xFFFFFFFFu)));
    // Entry i: where the frame i % of the way through starts, in 256ths of the stream.
    for (int i = 0; i < 100; ++i) {
        uint64_t toc = static_cast<uint64_t>(i) * 256 / 100;
        if (x.offsets) {
            const uint64_t at = x.frames > 0 ? f.size() + x.offsets->At(x.frames * uint64_t(i) / 100) : 0;
            toc = x.streamBytes ? std::min<uint64_t>(255, at * 256 / x.streamBytes) : 0;
        }
        f[k++] = static_cast<uint8_t>(toc);
    }
    put32(x.quality);
    uint8_t* e = &f[k];
    std::memcpy(e, x.encoder, 9);
    e[9] = static_cast<uint8_t>(x.method & 0x0F);  // revision 0
    e[10] = x.lowpass;
    e[20] = x.kbps;
    const int d = std::clamp(x.delay, 0, 4095), p = std::clamp(x.padding, 0, 4095);
    e[21] = static_cast<uint8_t>(d >> 4);
    e[22] = static_cast<uint8_t>(((d & 0x0F) << 4) | (p >> 8));
    e[23] = static_cast<uint8_t>(p & 0xFF);
    const uint32_t music = static_cast<uint32_t>(std::min<uint64_t>(x.streamBytes, 0xFFFFFFFFu));
    e[28] = uint8_t(music >> 24), e[29] = uint8_t(music >> 16), e[30] = uint8_t(music >> 8), e[31] = uint8_t(music);
    e[32] = uint8_t(x.musicCrc >> 8), e[33] = uint8_t(x.musicCrc);
    const uint16_t crc = LameCrc16(0, f.data(), k + 34);
    e[34] = uint8_t(crc >> 8), e[35] = uint8_t(crc);
    if (x.streamBytes > kXingByteCountMax) DropXingByteCount(f.data(), f.size(), 4 + h.sideInfo);
    return f;
}

}  // namespace velmora
