#include <gtest/gtest.h>

#include <cstring>

#include "settings/app_settings.h"

using namespace velmora;

TEST(AppSettings, InitialValues) {
    AppSettings s;
    EXPECT_EQ(s.askOutputPath, 0);
    EXPECT_EQ(s.defaultFileName, "Untitled");
    EXPECT_EQ(s.bitrateIndex, 11);
    EXPECT_EQ(BitrateKbps(s.bitrateIndex), 128);
    EXPECT_EQ(s.channelModeIndex, 0);
    EXPECT_EQ(s.frequencyIndex, 0);
}

TEST(AppSettings, TablesHoldTheirValues) {
    EXPECT_EQ(BitrateTable.size(), 17u);
    EXPECT_EQ(BitrateKbps(0), 8);
    EXPECT_EQ(BitrateKbps(16), 320);
    EXPECT_EQ(FrequencyHz(0), 0u);
    EXPECT_EQ(FrequencyHz(1), 8000u);
    EXPECT_EQ(FrequencyHz(9), 48000u);
    EXPECT_STREQ(FrequencyText(1), "   8000 Hertz");
    EXPECT_STREQ(ChannelModeText(3), " Joint Stereo");
    EXPECT_STREQ(BitrateText(11), " 128 kbits per second");
}

// Hand-edited files may hold any 16-bit index; lookups fall back to the initial values.
TEST(AppSettings, OutOfRangeIndicesFallBack) {
    for (int16_t bad : {int16_t(-1), int16_t(17), int16_t(32767), int16_t(-32768)}) {
        EXPECT_EQ(BitrateKbps(bad), 128) << bad;
        EXPECT_STREQ(BitrateText(bad), " 128 kbits per second");
        EXPECT_EQ(ValidChannelModeIndex(bad), 0) << bad;
        EXPECT_EQ(FrequencyHz(bad), 0u) << bad;
        EXPECT_EQ(std::strlen(ChannelModeText(bad)) > 0, true);
        EXPECT_STREQ(FrequencyText(bad), FrequencyTable[0].text);
    }
    EXPECT_EQ(ValidFrequencyIndex(10), 0);
    EXPECT_EQ(ValidFrequencyIndex(9), 9);
    EXPECT_EQ(ValidChannelModeIndex(5), 0);
    EXPECT_EQ(ValidChannelModeIndex(4), 4);
}

#include "support/mp3_fixtures.h"

// The shared fixtures are what every engine test stands on: check they round-trip.
TEST(TestSupport, ToneRoundTripsThroughLameAndMpg123) {
    velmora::testing::TempDir dir;
    velmora::testing::ToneSpec toneSpec;
    toneSpec.rate = 22050;
    toneSpec.channels = 1;
    toneSpec.seconds = 1.5;
    toneSpec.frequency = 500;
    toneSpec.kbps = 64;
    ASSERT_TRUE(velmora::testing::MakeToneMp3(dir / "t.mp3", toneSpec));
    auto d = velmora::testing::DecodeMp3(dir / "t.mp3");
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rate, 22050);
    EXPECT_EQ(d.channels, 1);
    EXPECT_EQ(d.frames(), 33075u);  // gapless: exactly 1.5 s
    EXPECT_NEAR(velmora::testing::EstimateFrequency(d, 2000, 20000), 500.0, 10.0);
}
