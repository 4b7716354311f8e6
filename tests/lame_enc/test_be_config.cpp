// The configuration record travels as raw bytes into the module.
#include "lame_enc/bladeenc.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace velmora::bladeenc;

namespace {

// The size and every field offset are compile-time checks beside the record; what the
// compiler cannot see is the byte order of the values as the module reads them.

TEST(BeConfig, FieldsAreLittleEndianBytes) {
    BE_CONFIG c;
    std::memset(&c, 0, sizeof c);
    c.dwConfig = BE_CONFIG_LAME;
    c.LHV1.dwStructSize = 331;
    c.LHV1.nPreset = LQP_NOPRESET;
    c.LHV1.nQuality = MakeQuality(9);
    const auto* b = reinterpret_cast<const uint8_t*>(&c);
    EXPECT_EQ(b[0], 0x00);
    EXPECT_EQ(b[1], 0x01);  // 256
    EXPECT_EQ(b[8], 331 & 0xFF);
    EXPECT_EQ(b[9], 331 >> 8);
    for (int i = 32; i < 36; ++i) EXPECT_EQ(b[i], 0xFF) << i;  // -1
    EXPECT_EQ(b[92], 0x09);
    EXPECT_EQ(b[93], 0xF6);
}

TEST(BeConfig, QualityCarriesItsComplement) {
    EXPECT_EQ(MakeQuality(9), 0xF609);
    EXPECT_EQ(MakeQuality(0), 0xFF00);
    EXPECT_EQ(MakeQuality(5), 0xFA05);
}

}  // namespace
