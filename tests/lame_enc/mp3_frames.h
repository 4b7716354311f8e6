// A small MPEG audio frame walker for tests: reads a file written by the encoder module and
// reports its frames, their headers and the Info/Xing header of the first frame, so tests can
// check what the file claims against what it holds.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace velmora::testing {

struct Mp3Frame {
    size_t offset = 0;
    size_t length = 0;
    int version = 0;      // 1 = MPEG-1, 2 = MPEG-2, 25 = MPEG-2.5
    int layer = 0;        // 3 for Layer III
    int kbps = 0;
    int rate = 0;
    int mode = 0;         // header mode bits: 0 stereo, 1 joint, 2 dual, 3 mono
    bool crc = false;
    unsigned mainDataBegin = 0;
};

struct Mp3File {
    bool ok = false;             // every byte after the leading ID3v2 tag belongs to a frame
    size_t tagBytes = 0;         // the ID3v2 tag before the first frame (0: none)
    std::vector<Mp3Frame> frames;
    std::vector<uint8_t> bytes;
    // Info/Xing header in the first frame
    bool hasInfo = false;
    std::string infoId;          // "Info" (constant bit rate) or "Xing"
    uint32_t infoFrames = 0;     // audio frames after the header frame
    uint32_t infoBytes = 0;      // bytes of the whole stream, header frame included
    std::vector<uint8_t> toc;    // the 100-entry table of contents, when given
    int encoderDelay = -1;       // from the LAME extension
    int encoderPadding = -1;
    bool lameTagCrcOk = false;   // the LAME extension's own checksum matches its frame
    bool musicCrcOk = false;     // its checksum of the audio frames after it matches them
    size_t audioBytes() const { return bytes.size() - tagBytes; }
};

// CRC-16 with the reflected polynomial 0x8005, as the LAME extension stores it.
inline uint16_t LameCrc16(const uint8_t* data, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

inline bool ParseFrameHeader(const uint8_t* p, size_t avail, Mp3Frame& f) {
    if (avail < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
    const int v = (p[1] >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
    const int l = (p[1] >> 1) & 3;  // 1: layer III
    if (v == 1 || l != 1) return false;
    f.version = v == 3 ? 1 : v == 2 ? 2 : 25;
    f.layer = 3;
    f.crc = (p[1] & 1) == 0;
    const int bi = p[2] >> 4, si = (p[2] >> 2) & 3, pad = (p[2] >> 1) & 1;
    if (bi == 0 || bi == 15 || si == 3) return false;
    static const int kbps1[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static const int kbps2[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    static const int rates1[] = {44100, 48000, 32000};
    f.kbps = f.version == 1 ? kbps1[bi] : kbps2[bi];
    f.rate = rates1[si] / (f.version == 1 ? 1 : f.version == 2 ? 2 : 4);
    f.mode = p[3] >> 6;
    const int perFrame = f.version == 1 ? 144 : 72;
    f.length = static_cast<size_t>(perFrame * f.kbps * 1000 / f.rate + pad);
    const size_t side = 4 + (f.crc ? 2 : 0);
    if (avail > side + 1) {
        f.mainDataBegin = f.version == 1 ? ((unsigned(p[side]) << 1) | (p[side + 1] >> 7)) : p[side];
    }
    return true;
}

inline uint32_t BigEndian32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

inline Mp3File ReadMp3File(const std::filesystem::path& path) {
    Mp3File m;
    std::ifstream in(path, std::ios::binary);
    if (!in) return m;
    m.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    size_t pos = 0;
    const uint8_t* b = m.bytes.data();
    if (m.bytes.size() >= 10 && std::memcmp(b, "ID3", 3) == 0 && !((b[6] | b[7] | b[8] | b[9]) & 0x80)) {
        m.tagBytes = 10 + ((size_t(b[6]) << 21) | (size_t(b[7]) << 14) | (size_t(b[8]) << 7) | b[9]);
        pos = m.tagBytes;
    }
    while (pos < m.bytes.size()) {
        Mp3Frame f;
        f.offset = pos;
        if (!ParseFrameHeader(m.bytes.data() + pos, m.bytes.size() - pos, f)) return m;
        if (pos + f.length > m.bytes.size()) return m;
        m.frames.push_back(f);
        pos += f.length;
    }
    m.ok = true;
    if (!m.frames.empty()) {
        const Mp3Frame& f = m.frames[0];
        const size_t sideInfo = f.version == 1 ? (f.mode == 3 ? 17 : 32) : (f.mode == 3 ? 9 : 17);
        const size_t at = f.offset + 4 + (f.crc ? 2 : 0) + sideInfo;
        if (at + 16 <= f.offset + f.length) {
            const uint8_t* t = m.bytes.data() + at;
            if (std::memcmp(t, "Info", 4) == 0 || std::memcmp(t, "Xing", 4) == 0) {
                m.hasInfo = true;
                m.infoId.assign(reinterpret_cast<const char*>(t), 4);
                const uint32_t flags = BigEndian32(t + 4);
                size_t k = 8;
                if (flags & 1) { m.infoFrames = BigEndian32(t + k); k += 4; }
                if (flags & 2) { m.infoBytes = BigEndian32(t + k); k += 4; }
                if (flags & 4) {
                    m.toc.assign(t + k, t + k + 100);
                    k += 100;
                }
                if (flags & 8) k += 4;
                // LAME extension: 9-byte version, then at +21 the 24-bit delay/padding pair.
                if (at + k + 36 <= f.offset + f.length && std::memcmp(t + k, "LAME", 4) == 0) {
                    const uint8_t* d = t + k + 21;
                    m.encoderDelay = (d[0] << 4) | (d[1] >> 4);
                    m.encoderPadding = ((d[1] & 0x0F) << 8) | d[2];
                    const uint8_t* crcAt = t + k + 34;
                    const size_t covered = static_cast<size_t>(crcAt - (m.bytes.data() + f.offset));
                    m.lameTagCrcOk = LameCrc16(m.bytes.data() + f.offset, covered) == ((crcAt[0] << 8) | crcAt[1]);
                    const uint8_t* musicAt = t + k + 32;
                    const size_t from = f.offset + f.length;
                    const size_t to = m.frames.back().offset + m.frames.back().length;
                    m.musicCrcOk = LameCrc16(m.bytes.data() + from, to - from) == ((musicAt[0] << 8) | musicAt[1]);
                }
            }
        }
    }
    return m;
}

// Samples per channel in one Layer III frame.
inline int SamplesPerFrame(const Mp3Frame& f) { return f.version == 1 ? 1152 : 576; }

}  // namespace velmora::testing
