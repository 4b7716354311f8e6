#include "tag_fixtures.h"

#include <lame/lame.h>

#include <cmath>
#include <cstdio>
#include <fstream>

namespace velmora::testing {

namespace {

void PutLe32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void PutBe32(std::string& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((v >> (8 * (3 - i))) & 0xFF);
}

std::string ApeHeaderOrFooter(uint32_t version, uint32_t tagSize, uint32_t itemCount, bool isHeader, bool hasHeader) {
    std::string out = "APETAGEX";
    PutLe32(out, version);
    PutLe32(out, tagSize);
    PutLe32(out, itemCount);
    uint32_t flags = 0;
    if (hasHeader) flags |= 0x80000000u;
    if (isHeader) flags |= 0x20000000u;
    PutLe32(out, flags);
    out.append(8, '\0');
    return out;
}

}  // namespace

bool WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

bool AppendApeTag(const std::filesystem::path& path, const std::vector<std::pair<std::string, std::string>>& items,
                  uint32_t version) {
    std::string body;
    for (const auto& [key, value] : items) {
        PutLe32(body, static_cast<uint32_t>(value.size()));
        PutLe32(body, 0);  // UTF-8 text item
        body += key;
        body.push_back('\0');
        body += value;
    }
    const bool hasHeader = version >= 2000;
    const uint32_t tagSize = static_cast<uint32_t>(body.size() + 32);
    std::string tag;
    if (hasHeader) tag += ApeHeaderOrFooter(version, tagSize, static_cast<uint32_t>(items.size()), true, true);
    tag += body;
    tag += ApeHeaderOrFooter(version, tagSize, static_cast<uint32_t>(items.size()), false, hasHeader);
    std::ofstream f(path, std::ios::binary | std::ios::app);
    f.write(tag.data(), static_cast<std::streamsize>(tag.size()));
    return static_cast<bool>(f);
}

namespace {

// The CRC-16 the LAME tag carries over the first 190 bytes of its frame.
uint16_t LameCrc16(const std::string& bytes, size_t count) {
    uint16_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= static_cast<unsigned char>(bytes[i]);
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

}  // namespace

bool WriteXingStream(const std::filesystem::path& path, uint32_t claimedFrames, int realFrames) {
    // 128 kbit/s, 44.1 kHz, no padding: 144 * 128000 / 44100 = 417 bytes per frame.
    const size_t frameSize = 417;
    std::string frame(frameSize, '\0');
    frame[0] = static_cast<char>(0xFF);
    frame[1] = static_cast<char>(0xFB);  // MPEG-1, Layer III, no CRC
    frame[2] = static_cast<char>(0x90);  // 128 kbit/s, 44.1 kHz
    frame[3] = static_cast<char>(0x00);  // stereo
    std::string info = frame;
    size_t at = 4 + 32;  // after the stereo side information
    info.replace(at, 4, "Info");
    PutBe32(info, at + 4, 0xF);  // frames, bytes, table of contents, quality
    PutBe32(info, at + 8, claimedFrames);
    PutBe32(info, at + 12, static_cast<uint32_t>(frameSize * (realFrames + 1)));
    for (int i = 0; i < 100; ++i) info[at + 16 + i] = static_cast<char>(i * 256 / 100);
    PutBe32(info, at + 116, 50);
    // LAME extension: the decoder's length is frames x 1152 less delay and padding.
    at += 120;
    info.replace(at, 9, "LAME3.100");
    info[at + 9] = 0x01;  // revision 0, CBR
    // Encoder delay 576 and padding 576 (12 bits each).
    info[at + 21] = static_cast<char>(576 >> 4);
    info[at + 22] = static_cast<char>(((576 & 0xF) << 4) | (576 >> 8));
    info[at + 23] = static_cast<char>(576 & 0xFF);
    const uint16_t crc = LameCrc16(info, 190);
    info[190] = static_cast<char>(crc >> 8);
    info[191] = static_cast<char>(crc & 0xFF);
    std::string bytes = info;
    for (int i = 0; i < realFrames; ++i) bytes += frame;
    return WriteBytes(path, bytes);
}

bool EncodeLameTone(const std::filesystem::path& path, int rate, int kbps, bool crc, bool vbr, double seconds) {
    lame_global_flags* gf = lame_init();
    if (!gf) return false;
    lame_set_in_samplerate(gf, rate);
    lame_set_out_samplerate(gf, rate);
    lame_set_num_channels(gf, 2);
    lame_set_error_protection(gf, crc ? 1 : 0);
    if (vbr) {
        lame_set_VBR(gf, vbr_default);
        lame_set_VBR_q(gf, 2);
    } else {
        lame_set_VBR(gf, vbr_off);
        lame_set_brate(gf, kbps);
    }
    lame_set_bWriteVbrTag(gf, 1);
    FILE* f = lame_init_params(gf) < 0 ? nullptr : std::fopen(path.c_str(), "w+b");
    bool ok = f != nullptr;
    const int frames = static_cast<int>(seconds * rate);
    std::vector<short> left(frames), right(frames);
    for (int i = 0; i < frames; ++i) {
        // A tone that sweeps upwards, so a VBR encoder varies its frames' sizes.
        const double t = static_cast<double>(i) / rate;
        left[i] = static_cast<short>(12000.0 * std::sin(2 * M_PI * (300.0 + 1500.0 * t) * t));
        right[i] = static_cast<short>(9000.0 * std::sin(2 * M_PI * 660.0 * t));
    }
    std::vector<unsigned char> out(static_cast<size_t>(frames) * 5 / 4 + 7200);
    if (ok) {
        const int bytes = lame_encode_buffer(gf, left.data(), right.data(), frames, out.data(), static_cast<int>(out.size()));
        ok = bytes >= 0 && std::fwrite(out.data(), 1, bytes, f) == static_cast<size_t>(bytes);
    }
    if (ok) {
        const int bytes = lame_encode_flush(gf, out.data(), static_cast<int>(out.size()));
        ok = bytes >= 0 && std::fwrite(out.data(), 1, bytes, f) == static_cast<size_t>(bytes);
    }
    if (ok) lame_mp3_tags_fid(gf, f);
    if (f) std::fclose(f);
    lame_close(gf);
    return ok;
}

}  // namespace velmora::testing
