// The configuration record's layout: it travels as raw bytes into the module, so every field
// must sit at its published offset.
#include "lame_enc/bladeenc.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace velmora::bladeenc;

namespace {

template <typename T>
size_t OffsetInRecord(const BE_CONFIG& c, const T& field) {
    return static_cast<size_t>(reinterpret_cast<const uint8_t*>(&field) - reinterpret_cast<const uint8_t*>(&c));
}

TEST(BeConfig, IsPacked331Bytes) {
    EXPECT_EQ(sizeof(BE_CONFIG), 331u);
    EXPECT_EQ(alignof(BE_CONFIG), 1u);
}

TEST(BeConfig, FieldOffsets) {
    BE_CONFIG c{};
    const auto& l = c.LHV1;
    EXPECT_EQ(OffsetInRecord(c, c.dwConfig), 0u);
    EXPECT_EQ(OffsetInRecord(c, l.dwStructVersion), 4u);
    EXPECT_EQ(OffsetInRecord(c, l.dwStructSize), 8u);
    EXPECT_EQ(OffsetInRecord(c, l.dwSampleRate), 12u);
    EXPECT_EQ(OffsetInRecord(c, l.dwReSampleRate), 16u);
    EXPECT_EQ(OffsetInRecord(c, l.nMode), 20u);
    EXPECT_EQ(OffsetInRecord(c, l.dwBitrate), 24u);
    EXPECT_EQ(OffsetInRecord(c, l.dwMaxBitrate), 28u);
    EXPECT_EQ(OffsetInRecord(c, l.nPreset), 32u);
    EXPECT_EQ(OffsetInRecord(c, l.dwMpegVersion), 36u);
    EXPECT_EQ(OffsetInRecord(c, l.dwPsyModel), 40u);
    EXPECT_EQ(OffsetInRecord(c, l.dwEmphasis), 44u);
    EXPECT_EQ(OffsetInRecord(c, l.bPrivate), 48u);
    EXPECT_EQ(OffsetInRecord(c, l.bCRC), 52u);
    EXPECT_EQ(OffsetInRecord(c, l.bCopyright), 56u);
    EXPECT_EQ(OffsetInRecord(c, l.bOriginal), 60u);
    EXPECT_EQ(OffsetInRecord(c, l.bWriteVBRHeader), 64u);
    EXPECT_EQ(OffsetInRecord(c, l.bEnableVBR), 68u);
    EXPECT_EQ(OffsetInRecord(c, l.nVBRQuality), 72u);
    EXPECT_EQ(OffsetInRecord(c, l.dwVbrAbr_bps), 76u);
    EXPECT_EQ(OffsetInRecord(c, l.nVbrMethod), 80u);
    EXPECT_EQ(OffsetInRecord(c, l.bNoRes), 84u);
    EXPECT_EQ(OffsetInRecord(c, l.bStrictIso), 88u);
    EXPECT_EQ(OffsetInRecord(c, l.nQuality), 92u);
    EXPECT_EQ(OffsetInRecord(c, l.btReserved), 94u);
    EXPECT_EQ(sizeof(l.btReserved), 237u);
}

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
