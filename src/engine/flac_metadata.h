// FLAC's STREAMINFO and Vorbis comment, read by a small parser of our own for the file list:
// TagLib's FLAC reader builds an object per block and a map of wide strings per comment, most of
// a list's time for a folder of FLAC files. It reads a plain FLAC file (the stream marker first,
// no ID3 tag before or after it) the way TagLib's reader does, down to which comment counts;
// whatever is out of the ordinary (a damaged block, a comment that is not UTF-8, a picture among
// the comments) it declines, and the caller reads the file through TagLib as before.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

class MediaFile;

struct FlacComment {
    std::string name;   // as written, ASCII letters in upper case
    std::string value;  // UTF-8, up to its first NUL, never empty
};

struct FlacMetadata {
    uint32_t sampleRate = 0;     // Hz, never 0
    uint32_t channels = 0;       // 1 to 8
    uint64_t sampleFrames = 0;   // per channel, never 0
    int64_t audioStart = 0;      // where the frames start, after the last metadata block
    int lengthMs = 0;            // as TagLib gives it: rounded, never 0
    int bitrateKbps = 0;         // the frames' bytes over the length, as TagLib gives it
    // The first Vorbis comment block's fields in their order, those TagLib leaves out (no
    // '=', an empty value, a name outside ASCII 0x20-0x7D) left out here too.
    std::vector<FlacComment> comments;

    // The value of the first field named `upperName` (upper case), or null.
    const std::string* First(const char* upperName) const;
};

// Reads `file` (opened, its head read by MediaFile's FLAC policy) into `out`. False when the
// file is not plain FLAC or anything in it is out of the ordinary; `out` is then unspecified.
bool ReadFlacMetadata(MediaFile& file, FlacMetadata& out);

// Parses a VORBIS_COMMENT block's body (`size` bytes) into `comments`. False when the block is
// damaged (a length running past its end, a count it cannot hold) or holds what only TagLib
// reads the way it does: a value or name that is not strict UTF-8 or holds a NUL in its name,
// a picture.
bool ParseVorbisComment(const unsigned char* data, size_t size, std::vector<FlacComment>& comments);

}  // namespace velmora
