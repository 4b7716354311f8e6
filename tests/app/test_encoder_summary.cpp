#include <gtest/gtest.h>

#include "app/encoder_summary.h"

using namespace velmora;

TEST(EncoderSummary, Defaults) {
    AppSettings s;
    EXPECT_EQ(EncoderSummaryText(s).toStdString(), "  MP3:  CBR 128 kbps; Automatic Frequency; Automatic Channel;");
}

TEST(EncoderSummary, FixedFrequencyAndStereo) {
    AppSettings s;
    s.frequencyIndex = 8;
    s.channelModeIndex = 2;
    EXPECT_EQ(EncoderSummaryText(s).toStdString(), "  MP3:  CBR 128 kbps; 44100 Hz; Stereo;");
}

TEST(EncoderSummary, RatePaddedToFivePlacesAndBitrateToThree) {
    AppSettings s;
    s.frequencyIndex = 1;
    s.bitrateIndex = 0;
    s.channelModeIndex = 1;
    EXPECT_EQ(EncoderSummaryText(s).toStdString(), "  MP3:  CBR   8 kbps;  8000 Hz; Mono;");
    s.bitrateIndex = 16;
    s.channelModeIndex = 3;
    s.frequencyIndex = 9;
    EXPECT_EQ(EncoderSummaryText(s).toStdString(), "  MP3:  CBR 320 kbps; 48000 Hz; Joint Stereo;");
    s.channelModeIndex = 4;
    EXPECT_EQ(EncoderSummaryText(s).toStdString(), "  MP3:  CBR 320 kbps; 48000 Hz; Dual Channel;");
}

TEST(EncoderSummary, OutOfRangeIndicesNameTheValuesAJoinUses) {
    AppSettings s;
    s.bitrateIndex = 99;
    s.frequencyIndex = -3;
    s.channelModeIndex = 32767;
    EXPECT_EQ(EncoderSummaryText(s).toStdString(), "  MP3:  CBR 128 kbps; Automatic Frequency; Automatic Channel;");
    s.bitrateIndex = -32768;
    s.frequencyIndex = 10;
    s.channelModeIndex = 5;
    EXPECT_EQ(EncoderSummaryText(s).toStdString(), "  MP3:  CBR 128 kbps; Automatic Frequency; Automatic Channel;");
}
