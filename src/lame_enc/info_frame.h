// The Xing/Info frame of a stream longer than 4 GiB. Its byte count is a 32-bit field: a
// saturated or wrapped count would make players compute a wrong length and seek to wrong
// places, so the count is left out, its flag cleared, and readers take the length from the
// frame count. Header-only: the encoder module and the copy join both write such frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lame_enc/lame_crc16.h"

namespace velmora {

inline constexpr uint64_t kXingByteCountMax = 0xFFFFFFFFu;

// `frame` holds n bytes and its "Xing" or "Info" tag at `tagAt`. Removes the byte count (the
// fields after it move up four bytes, zeros fill the end), and in a LAME extension sets the
// music length to 0 (unknown: it is a 32-bit byte count too) and computes its CRC again.
// False, with the frame untouched, when there is no byte count or the frame is too short.
inline bool DropXingByteCount(uint8_t* frame, size_t n, size_t tagAt) {
    if (n < tagAt + 8 || (std::memcmp(frame + tagAt, "Xing", 4) != 0 && std::memcmp(frame + tagAt, "Info", 4) != 0))
        return false;
    uint8_t* flags = frame + tagAt + 4;
    if ((flags[3] & 0x02) == 0) return false;
    const size_t countAt = tagAt + 8 + ((flags[3] & 0x01) ? 4 : 0);
    if (n < countAt + 4) return false;
    std::memmove(frame + countAt, frame + countAt + 4, n - countAt - 4);
    std::memset(frame + n - 4, 0, 4);
    flags[3] = static_cast<uint8_t>(flags[3] & ~0x02);
    const size_t ext = countAt + ((flags[3] & 0x04) ? 100 : 0) + ((flags[3] & 0x08) ? 4 : 0);
    if (n >= ext + 36 && (std::memcmp(frame + ext, "LAME", 4) == 0 || std::memcmp(frame + ext, "Lavc", 4) == 0 ||
                          std::memcmp(frame + ext, "Lavf", 4) == 0)) {
        std::memset(frame + ext + 28, 0, 4);
        const uint16_t crc = LameCrc16(0, frame, ext + 34);
        frame[ext + 34] = static_cast<uint8_t>(crc >> 8);
        frame[ext + 35] = static_cast<uint8_t>(crc & 0xFF);
    }
    return true;
}

}  // namespace velmora
