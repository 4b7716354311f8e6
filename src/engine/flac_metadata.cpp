#include "engine/flac_metadata.h"

#include "engine/media_file.h"

#include <cstring>

namespace velmora {

namespace {

constexpr int kStreamInfo = 0;
constexpr int kPadding = 1;
constexpr int kSeekTable = 3;
constexpr int kVorbisComment = 4;
constexpr size_t kStreamInfoBytes = 34;

uint32_t Le32(const unsigned char* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

uint32_t Be32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing past U+10FFFF. TagLib
// empties a text that its converter rejects; any text this accepts, that converter accepts too.
bool IsStrictUtf8(const unsigned char* s, size_t n) {
    size_t i = 0;
    while (i < n) {
        const unsigned char b = s[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        size_t more;
        unsigned char lo = 0x80, hi = 0xBF;  // the bounds of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            more = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            more = 2;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            more = 3;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (n - i <= more) return false;
        if (s[i + 1] < lo || s[i + 1] > hi) return false;
        for (size_t k = 2; k <= more; ++k)
            if ((s[i + k] & 0xC0) != 0x80) return false;
        i += more + 1;
    }
    return true;
}

bool NameIs(const unsigned char* name, size_t n, const char* upper) {
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = name[i];
        const unsigned char u = (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
        if (upper[i] == '\0' || u != static_cast<unsigned char>(upper[i])) return false;
    }
    return upper[n] == '\0';
}

}  // namespace

const std::string* FlacMetadata::First(const char* upperName) const {
    for (const FlacComment& c : comments)
        if (c.name == upperName) return &c.value;
    return nullptr;
}

bool ParseVorbisComment(const unsigned char* data, size_t size, std::vector<FlacComment>& comments) {
    comments.clear();
    // The vendor string, the field count, then each field as a length and "NAME=value". Every
    // length is checked against what is left before it is used.
    if (size < 8) return false;
    const size_t vendor = Le32(data);
    if (vendor > size - 8) return false;
    size_t at = 4 + vendor;
    const uint32_t count = Le32(data + at);
    at += 4;
    if (count > (size - at) / 4) return false;
    comments.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (size - at < 4) return false;
        const size_t length = Le32(data + at);
        at += 4;
        if (length > size - at) return false;
        const unsigned char* entry = data + at;
        at += length;
        const void* sep = std::memchr(entry, '=', length);
        if (!sep || sep == entry) continue;  // TagLib drops a field without a name
        const size_t nameLength = static_cast<size_t>(static_cast<const unsigned char*>(sep) - entry);
        bool keep = true;
        for (size_t k = 0; k < nameLength; ++k) {
            // TagLib cuts a name at a NUL before it checks it: left to TagLib.
            if (entry[k] == 0) return false;
            if (entry[k] < 0x20 || entry[k] > 0x7D) keep = false;
        }
        if (!keep) continue;
        // Pictures in comments TagLib takes out of the fields, or not, by whether they decode.
        if (NameIs(entry, nameLength, "METADATA_BLOCK_PICTURE") || NameIs(entry, nameLength, "COVERART")) return false;
        const unsigned char* value = entry + nameLength + 1;
        const size_t valueLength = length - nameLength - 1;
        if (!IsStrictUtf8(value, valueLength)) return false;
        // A value ends at its first NUL, as in TagLib; an empty one is no field.
        const void* nul = std::memchr(value, 0, valueLength);
        const size_t shown = nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - value) : valueLength;
        if (shown == 0) continue;
        FlacComment& c = comments.emplace_back();
        c.name.assign(reinterpret_cast<const char*>(entry), nameLength);
        for (char& ch : c.name)
            if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
        c.value.assign(reinterpret_cast<const char*>(value), shown);
    }
    return true;
}

bool ReadFlacMetadata(MediaFile& file, FlacMetadata& out) {
    out = FlacMetadata();
    const int64_t size = file.size();
    unsigned char marker[4];
    if (!file.isOpen() || file.Read(0, marker, 4) != 4 || std::memcmp(marker, "fLaC", 4) != 0) return false;
    // An ID3v1 tag at the end: TagLib reads it as well, and counts it out of the stream.
    unsigned char id3v1[3];
    if (size >= 128 && (file.Read(size - 128, id3v1, 3) != 3 || std::memcmp(id3v1, "TAG", 3) == 0)) return false;

    std::vector<unsigned char> comment;
    bool haveComment = false;
    int64_t at = 4;
    for (int blocks = 0;; ++blocks) {
        // As many blocks as MediaFile reads; more is a damaged file.
        if (blocks == 1024) return false;
        unsigned char h[4];
        if (size - at < 4 || file.Read(at, h, 4) != 4) return false;
        const int type = h[0] & 0x7F;
        const bool last = (h[0] & 0x80) != 0;
        const int64_t length = (int64_t(h[1]) << 16) | (int64_t(h[2]) << 8) | h[3];
        at += 4;
        // Each block lies wholly in the file (TagLib reads each), STREAMINFO comes first and
        // only once in the expected size, and only padding or a seek table may be empty.
        if (length > size - at) return false;
        if ((blocks == 0) != (type == kStreamInfo)) return false;
        if (length == 0 && type != kPadding && type != kSeekTable) return false;
        if (type == kStreamInfo) {
            unsigned char s[kStreamInfoBytes];
            if (length != static_cast<int64_t>(kStreamInfoBytes) || file.Read(at, s, sizeof s) != sizeof s) return false;
            const uint32_t flags = Be32(s + 10);
            out.sampleRate = flags >> 12;
            out.channels = ((flags >> 9) & 7) + 1;
            out.sampleFrames = (uint64_t(flags & 0xF) << 32) | Be32(s + 14);
        } else if (type == kVorbisComment && !haveComment) {
            // The first comment block counts; TagLib ignores the others.
            haveComment = true;
            comment.resize(static_cast<size_t>(length));
            if (file.Read(at, comment.data(), comment.size()) != comment.size()) return false;
        }
        at += length;
        if (last) break;
    }
    if (file.failed()) return false;
    if (haveComment && !ParseVorbisComment(comment.data(), comment.size(), out.comments)) return false;
    if (out.sampleRate == 0 || out.sampleFrames == 0) return false;
    out.audioStart = at;
    // TagLib's figures, to the same rounding: the length in milliseconds, and the bit rate over
    // the bytes after the metadata.
    // A figure an int cannot hold (a stream of weeks, or a few samples at a high rate before
    // megabytes) TagLib's own conversion leaves undefined: such files stay with TagLib.
    const double length = static_cast<double>(out.sampleFrames) * 1000.0 / out.sampleRate;
    const double kbps = static_cast<double>(size - at) * 8.0 / length;
    constexpr double kIntLimit = 2147483647.0;
    if (!(length + 0.5 >= 1.0 && length + 0.5 < kIntLimit && kbps + 0.5 < kIntLimit)) return false;
    out.lengthMs = static_cast<int>(length + 0.5);
    out.bitrateKbps = static_cast<int>(kbps + 0.5);
    return true;
}

}  // namespace velmora
