#include "engine/mpeg_frame.h"

#include <cstring>

namespace velmora {

namespace {

// [MPEG-1 or not][layer - 1][index]; index 0 is free format, 15 is reserved.
constexpr int kBitrates[2][3][15] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};

constexpr uint32_t kRates[3][3] = {{44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};

int VersionRow(int version) { return version == 1 ? 0 : version == 2 ? 1 : 2; }

uint32_t Be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

}  // namespace

uint32_t MpegFrameHeader::sideInfoSize() const {
    if (version == 1) return mode == 3 ? 17 : 32;
    return mode == 3 ? 9 : 17;
}

int MpegBitrate(int version, int layer, int index) {
    if (layer < 1 || layer > 3 || index < 0 || index > 14) return 0;
    return kBitrates[version == 1 ? 0 : 1][layer - 1][index];
}

int MpegBitrateIndex(int version, int layer, int kbps) {
    for (int i = 1; i <= 14; ++i)
        if (MpegBitrate(version, layer, i) == kbps) return i;
    return 0;
}

uint32_t MpegFrameLength(int version, int layer, int bitrateKbps, uint32_t sampleRate, bool padding) {
    if (bitrateKbps <= 0 || sampleRate == 0) return 0;
    const uint32_t bps = static_cast<uint32_t>(bitrateKbps) * 1000;
    if (layer == 1) return (12 * bps / sampleRate + (padding ? 1 : 0)) * 4;
    // Layer III of MPEG-2 and 2.5 has half as many samples per frame.
    const uint32_t factor = (layer == 3 && version != 1) ? 72 : 144;
    return factor * bps / sampleRate + (padding ? 1 : 0);
}

bool ParseMpegHeader(const uint8_t* p, size_t n, MpegFrameHeader& h) {
    if (n < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
    const int versionBits = (p[1] >> 3) & 3;
    const int layerBits = (p[1] >> 1) & 3;
    const int bitrateIndex = p[2] >> 4;
    const int rateIndex = (p[2] >> 2) & 3;
    if (versionBits == 1 || layerBits == 0 || bitrateIndex == 15 || rateIndex == 3) return false;
    h.version = versionBits == 3 ? 1 : versionBits == 2 ? 2 : 25;
    h.layer = 4 - layerBits;
    h.crc = (p[1] & 1) == 0;
    h.bitrateIndex = bitrateIndex;
    h.bitrateKbps = MpegBitrate(h.version, h.layer, bitrateIndex);
    h.rateIndex = rateIndex;
    h.sampleRate = kRates[VersionRow(h.version)][rateIndex];
    h.padding = ((p[2] >> 1) & 1) != 0;
    h.mode = p[3] >> 6;
    h.length = MpegFrameLength(h.version, h.layer, h.bitrateKbps, h.sampleRate, h.padding);
    h.samples = h.layer == 1 ? 384 : (h.layer == 3 && h.version != 1) ? 576 : 1152;
    return true;
}

void BuildMpegHeader(const MpegFrameHeader& h, uint8_t out[4]) {
    const int versionBits = h.version == 1 ? 3 : h.version == 2 ? 2 : 0;
    out[0] = 0xFF;
    out[1] = static_cast<uint8_t>(0xE0 | (versionBits << 3) | ((4 - h.layer) << 1) | 1);  // 1: no CRC
    out[2] = static_cast<uint8_t>((h.bitrateIndex << 4) | (h.rateIndex << 2) | (h.padding ? 2 : 0));
    out[3] = static_cast<uint8_t>(h.mode << 6);
}

int MainDataBegin(const uint8_t* frame, size_t n, const MpegFrameHeader& h) {
    const size_t at = 4 + (h.crc ? 2 : 0);
    if (h.layer != 3 || n < at + 2) return -1;
    if (h.version == 1) return (int(frame[at]) << 1) | (frame[at + 1] >> 7);
    return frame[at];
}

XingHeader ParseXingFrame(const uint8_t* frame, size_t n, const MpegFrameHeader& h) {
    XingHeader x;
    if (h.layer != 3) return x;
    if (n > h.length) n = h.length;
    // VBRI sits 32 bytes after the header, whatever the mode.
    if (n >= 4 + 32 + 26 && std::memcmp(frame + 36, "VBRI", 4) == 0) {
        x.present = true;
        x.id = "VBRI";
        x.bytes = Be32(frame + 36 + 10);
        x.frames = Be32(frame + 36 + 14);
        x.delay = (int(frame[36 + 6]) << 8) | frame[36 + 7];
        return x;
    }
    auto tagAt = [&](size_t at) {
        return n >= at + 8 && (std::memcmp(frame + at, "Xing", 4) == 0 || std::memcmp(frame + at, "Info", 4) == 0);
    };
    // After the CRC where the frame has one; but LAME writes it where it would be without the
    // CRC, over the side information's last two bytes, so that place counts too.
    size_t at = 4 + (h.crc ? 2 : 0) + h.sideInfoSize();
    if (!tagAt(at) && h.crc) at -= 2;
    if (!tagAt(at)) return x;
    const uint8_t* t = frame + at;
    x.present = true;
    x.id.assign(reinterpret_cast<const char*>(t), 4);
    const uint32_t flags = Be32(t + 4);
    size_t k = at + 8;
    if (flags & 1) {
        if (n < k + 4) return x;
        x.frames = Be32(frame + k);
        k += 4;
    }
    if (flags & 2) {
        if (n < k + 4) return x;
        x.bytes = Be32(frame + k);
        k += 4;
    }
    if (flags & 4) k += 100;
    if (flags & 8) k += 4;
    // The extension: a 9-byte encoder version, then at +21 the 12-bit delay and padding.
    if (n >= k + 24 && (std::memcmp(frame + k, "LAME", 4) == 0 || std::memcmp(frame + k, "Lavc", 4) == 0 ||
                        std::memcmp(frame + k, "Lavf", 4) == 0 || std::memcmp(frame + k, "L3.9", 4) == 0)) {
        const uint8_t* d = frame + k + 21;
        x.hasLame = true;
        x.delay = (int(d[0]) << 4) | (d[1] >> 4);
        x.padding = ((d[1] & 0x0F) << 8) | d[2];
    }
    return x;
}

}  // namespace velmora
