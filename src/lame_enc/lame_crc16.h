// CRC-16 as the LAME extension of the Info frame uses it (polynomial 0x8005, reflected), over
// the extension itself and over every audio byte of the stream. Header-only: the encoder
// module writes it and links nothing of the engine, whose copy join writes it too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velmora {

// Table k gives the CRC of a byte followed by k zero bytes.
inline constexpr std::array<std::array<uint16_t, 256>, 8> kLameCrc16Tables = [] {
    std::array<std::array<uint16_t, 256>, 8> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned c = i;
        for (int b = 0; b < 8; ++b) c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
        t[0][i] = static_cast<uint16_t>(c);
    }
    for (size_t k = 1; k < 8; ++k)
        for (unsigned i = 0; i < 256; ++i)
            t[k][i] = static_cast<uint16_t>((t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF]);
    return t;
}();

// Eight bytes a step ("slicing by 8"): both writers run it over every byte they write, and a
// byte at a time it was most of a copy join's time.
inline uint16_t LameCrc16(uint16_t crc, const uint8_t* data, size_t n) {
    const auto& t = kLameCrc16Tables;
    for (; n >= 8; n -= 8, data += 8) {
        crc = static_cast<uint16_t>(crc ^ (data[0] | (data[1] << 8)));
        crc = static_cast<uint16_t>(t[7][crc & 0xFF] ^ t[6][crc >> 8] ^ t[5][data[2]] ^ t[4][data[3]] ^
                                    t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]]);
    }
    for (; n > 0; --n, ++data) crc = static_cast<uint16_t>((crc >> 8) ^ t[0][(crc ^ *data) & 0xFF]);
    return crc;
}

}  // namespace velmora
