#include "engine/mp4_audio_config.h"

#include <cstring>
#include <vector>

#include "engine/media_file.h"

namespace velmora {

namespace {

struct Box {
    char type[4];
    size_t body = 0;  // offset of the contents in the buffer
    size_t end = 0;
};

uint32_t Be32(const unsigned char* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// The first child box of `type` between `from` and `to`.
bool FindBox(const std::vector<unsigned char>& buf, size_t from, size_t to, const char* type, Box& out) {
    size_t at = from;
    while (at + 8 <= to) {
        uint64_t size = Be32(&buf[at]);
        size_t header = 8;
        if (size == 1) {
            if (at + 16 > to) return false;
            size = uint64_t(Be32(&buf[at + 8])) << 32 | Be32(&buf[at + 12]);
            header = 16;
        } else if (size == 0) {
            size = to - at;
        }
        if (size < header || size > to - at) return false;
        if (std::memcmp(&buf[at + 4], type, 4) == 0) {
            std::memcpy(out.type, type, 4);
            out.body = at + header;
            out.end = at + static_cast<size_t>(size);
            return true;
        }
        at += static_cast<size_t>(size);
    }
    return false;
}

// An MPEG-4 descriptor's length: up to four bytes of seven bits each.
bool DescriptorLength(const std::vector<unsigned char>& buf, size_t& at, size_t end, size_t& length) {
    length = 0;
    for (int i = 0; i < 4; ++i) {
        if (at >= end) return false;
        const unsigned char b = buf[at++];
        length = length << 7 | (b & 0x7F);
        if (!(b & 0x80)) return at + length <= end;
    }
    return false;
}

bool ParseEsds(const std::vector<unsigned char>& buf, size_t at, size_t end, Mp4AacConfig& config) {
    at += 4;  // version and flags
    size_t length = 0;
    if (at >= end || buf[at++] != 0x03 || !DescriptorLength(buf, at, end, length) || at + 3 > end) return false;
    const unsigned char flags = buf[at + 2];
    at += 3;
    if (flags & 0x80) at += 2;
    if (flags & 0x40) {
        if (at >= end) return false;
        at += 1 + buf[at];
    }
    if (flags & 0x20) at += 2;
    if (at >= end || buf[at++] != 0x04 || !DescriptorLength(buf, at, end, length) || length < 13) return false;
    if (buf[at] != 0x40) return false;  // MPEG-4 audio
    at += 13;
    if (at >= end || buf[at++] != 0x05 || !DescriptorLength(buf, at, end, length) || length < 2) return false;
    // AudioSpecificConfig: object type (5 bits, 31 escapes to 6 more), rate index (4 bits, 15
    // escapes to 24 bits of rate), channel configuration (4 bits).
    uint64_t bits = 0;
    const size_t take = std::min<size_t>(length, 7);
    for (size_t i = 0; i < 7; ++i) bits = bits << 8 | (i < take ? buf[at + i] : 0);
    int pos = 56;
    auto read = [&](int n) {
        pos -= n;
        return static_cast<int>((bits >> pos) & ((1u << n) - 1));
    };
    int type = read(5);
    if (type == 31) type = 32 + read(6);
    static const int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                 22050, 16000, 12000, 11025, 8000,  7350};
    const int index = read(4);
    int rate = 0;
    if (index == 15) {
        rate = read(24);
    } else if (index < 13) {
        rate = kRates[index];
    }
    config.objectType = type;
    config.sampleRate = rate;
    config.channelConfig = read(4);
    return rate > 0;
}

}  // namespace

bool ReadMp4AacConfig(MediaFile& file, Mp4AacConfig& config) {
    // The index (moov) among the top-level boxes; its headers and the index are in memory.
    int64_t at = 0;
    int64_t moovAt = -1;
    uint64_t moovSize = 0;
    while (at + 8 <= file.size()) {
        unsigned char h[16];
        if (file.Read(at, h, 8) != 8) return false;
        uint64_t size = Be32(h);
        if (size == 1) {
            if (file.Read(at + 8, h + 8, 8) != 8) return false;
            size = uint64_t(Be32(h + 8)) << 32 | Be32(h + 12);
        } else if (size == 0) {
            size = static_cast<uint64_t>(file.size() - at);
        }
        if (size < 8) return false;
        if (std::memcmp(h + 4, "moov", 4) == 0) {
            moovAt = at;
            moovSize = size;
            break;
        }
        at += static_cast<int64_t>(size);
    }
    if (moovAt < 0 || moovSize > MediaFile::kMaxMetadataBytes) return false;
    std::vector<unsigned char> buf(moovSize);
    if (file.Read(moovAt, buf.data(), buf.size()) != buf.size()) return false;
    Box moov;
    if (!FindBox(buf, 0, buf.size(), "moov", moov)) return false;
    // The first track whose handler is sound, as TagLib takes it.
    for (size_t from = moov.body;;) {
        Box trak, mdia, hdlr, minf, stbl, stsd;
        if (!FindBox(buf, from, moov.end, "trak", trak)) return false;
        from = trak.end;
        if (!FindBox(buf, trak.body, trak.end, "mdia", mdia) || !FindBox(buf, mdia.body, mdia.end, "hdlr", hdlr)) continue;
        if (hdlr.body + 12 > hdlr.end || std::memcmp(&buf[hdlr.body + 8], "soun", 4) != 0) continue;
        if (!FindBox(buf, mdia.body, mdia.end, "minf", minf) || !FindBox(buf, minf.body, minf.end, "stbl", stbl) ||
            !FindBox(buf, stbl.body, stbl.end, "stsd", stsd))
            return false;
        Box mp4a, esds;
        if (!FindBox(buf, stsd.body + 8, stsd.end, "mp4a", mp4a) || mp4a.body + 28 > mp4a.end) return false;
        // QuickTime's sound description versions 1 and 2 add fields before the child boxes.
        const int version = buf[mp4a.body + 8] << 8 | buf[mp4a.body + 9];
        const size_t children = mp4a.body + 28 + (version == 1 ? 16 : version == 2 ? 36 : 0);
        if (children > mp4a.end || !FindBox(buf, children, mp4a.end, "esds", esds)) return false;
        return ParseEsds(buf, esds.body, esds.end, config);
    }
}

}  // namespace velmora
