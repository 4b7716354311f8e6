// Test inputs made on the spot: sine-tone MP3s encoded with libmp3lame, and a decoder that
// reads any MP3 back with libmpg123, so tests can compare sample counts and content.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velmora::testing {

struct ToneSpec {
    int rate = 44100;
    int channels = 2;
    double seconds = 1.0;
    double frequency = 440.0;  // Hz of the tone (right channel gets 1.5x for stereo)
    int kbps = 128;
    bool infoTag = true;       // write the Xing/Info header (gives mpg123 the exact length)
    int vbrQuality = -1;       // 0..9: variable bit rate at that quality instead of kbps
    double amplitude = 12000;  // peak of the tone, of 32767
    double burstEvery = 0;     // > 0: the tone sounds only burstOn seconds of every so many
    double burstOn = 0.01;
};

// Encodes a tone to `path`. Returns false (with a message on stderr) when encoding fails.
bool MakeToneMp3(const std::filesystem::path& path, const ToneSpec& toneSpec);

// Speech-like material, interleaved floats at full scale 1.0, as peaky as a voice: syllables of
// the harmonics of a gliding pitch shaped by two formants, with a plosive click at some
// onsets, short gaps between syllables and longer pauses between phrases, all over a noise bed
// `noiseDb` under full scale. The loudest moments are near full scale;
// the same seed gives the same material.
std::vector<float> SpeechLike(int rate, int channels, double seconds, unsigned seed, double noiseDb = -80.0);

// Encodes interleaved floats (clipped to full scale, as a 16-bit recording would be) as a CBR
// MP3 with an Info header.
bool EncodeMp3(const std::filesystem::path& path, const std::vector<float>& interleaved, int rate, int channels,
               int kbps = 128);

struct DecodedMp3 {
    bool ok = false;
    long rate = 0;
    int channels = 0;
    std::vector<int16_t> samples;  // interleaved
    size_t frames() const { return channels ? samples.size() / channels : 0; }
};

// Decodes a whole file to 16-bit PCM at its own rate and channel count (gapless on).
DecodedMp3 DecodeMp3(const std::filesystem::path& path);

// Dominant frequency (Hz) of a mono/left-channel stretch, by counting zero crossings.
double EstimateFrequency(const DecodedMp3& d, size_t firstFrame, size_t frameCount, int channel = 0);

// A fresh temporary folder, removed with everything in it when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// A whole file as bytes ("" when it cannot be read), and a file written with exactly `text`.
std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& text);

}  // namespace velmora::testing
