// Tag and stream fixtures for the file-list tests: APE tags written byte by byte (so empty
// items and empty tags can be made), and an MP3 whose Xing header claims a long stream.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace velmora::testing {

// Appends an APE tag (footer, with a header for version 2000) holding the items in order.
// Values are UTF-8 bytes.
bool AppendApeTag(const std::filesystem::path& path, const std::vector<std::pair<std::string, std::string>>& items,
                  uint32_t version = 2000);

// Writes an MPEG-1 Layer III 44.1 kHz stereo stream of `realFrames` silent 128 kbit/s frames
// behind a Xing frame that claims `claimedFrames` frames.
bool WriteXingStream(const std::filesystem::path& path, uint32_t claimedFrames, int realFrames);

bool WriteBytes(const std::filesystem::path& path, const std::string& bytes);

// Encodes `seconds` of a stereo tone with libmp3lame: constant `kbps` (with CRC-protected
// frames when `crc`), or VBR of quality 2 when `vbr`. LAME's Info/Xing header is written.
bool EncodeLameTone(const std::filesystem::path& path, int rate, int kbps, bool crc, bool vbr, double seconds = 3.0);

}  // namespace velmora::testing
