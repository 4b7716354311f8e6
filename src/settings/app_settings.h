// The process-wide settings record and its value tables. Plain C++: every layer,
// the engine included, reads these without pulling in Qt or any I/O.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora {

// What evening out the loudness aims at. The LUFS presets bring each input's integrated
// loudness to their target and hold its true peaks at -1 dBTP; the audiobook preset aims at the
// stores' rule (RMS -23 to -18 dBFS, peaks at or below -3 dBFS, noise floor at or below -60 dBFS).
enum LoudnessPreset : int32_t {
    kLoudnessCustom = 0,
    kLoudnessPodcast = 1,
    kLoudnessAudiobook = 2,
    kLoudnessBroadcast = 3,
};

struct AppSettings {
    int32_t askOutputPath = 0;        // 1: ask for the output path at every join
    std::string outputFolder;         // ends with "/"; DefaultOutputFolder() when unset
    std::string lastFolder;           // folder the tree selects at start-up
    std::string defaultFileName = "Untitled";
    int16_t bitrateIndex = 11;        // BitrateTable, 11 = 128 kbit/s
    int16_t channelModeIndex = 0;     // ChannelModeTable, 0 = automatic
    int16_t frequencyIndex = 0;       // FrequencyTable, 0 = automatic
    int32_t bitrateMode = 0;          // BitrateMode; bitrateIndex stays the constant rate
    int32_t vbrQuality = 4;           // kBitrateVbr: 0 (best) to 9
    int32_t outputTags = 1;           // 1: carry the inputs' tags and cover into the output
    int32_t chapterMode = 1;          // 1: a chapter per file, 2: per title, 0: none
    int32_t copyFrames = 0;           // 1: copy the audio frames when the inputs allow it
    int32_t loudness = 0;             // 1: even out the inputs' loudness
    int32_t loudnessPreset = kLoudnessPodcast;  // what evening out aims at
    int32_t loudnessTarget = -16;     // LUFS, -30 to -10: the Custom preset's target
    int32_t maxPartMinutes = 0;       // split the output into parts of at most this long; 0: one file
    int32_t naturalSort = 1;          // 1: runs of digits in names sort by their value
    int32_t otherAudioFiles = 1;      // 1: loads take WAV, FLAC, Ogg, Opus, M4A, AAC, WMA too; 0: MP3 only
    int32_t outputFormat = 0;         // OutputFormat: MP3, or an M4B audiobook (AAC)
    int32_t aacBitrateKbps = 64;      // an M4B's bit rate, one of AacBitrateTable
};

enum OutputFormat : int32_t {
    kFormatMp3 = 0,
    kFormatM4b = 1,
};

// The bit rates of an M4B (kbit/s), in the order of the Options list. AAC-LC at 32 kbit/s
// still carries speech well; past 256 it gains nothing audible.
inline constexpr std::array<uint16_t, 13> AacBitrateTable{{32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256}};
inline constexpr int32_t kDefaultAacBitrate = 64;
// A rate of the table; anything else (a hand-edited file) becomes the default.
int32_t ValidAacBitrate(int32_t kbps);
// The output file's extension for the settings' format: ".mp3" or ".m4b".
const char* OutputExtension(const AppSettings& s);

struct LoudnessPresetEntry {
    const char* text;  // the Options list's item
    const char* name;  // "Config.ini" and the command line
    int32_t preset;
    int32_t lufs;      // the target of a LUFS preset; 0 for the others
};

// In the order of the Options list.
inline constexpr std::array<LoudnessPresetEntry, 4> LoudnessPresetTable{{
    {"Podcast (-16 LUFS, -1 dBTP)", "podcast", kLoudnessPodcast, -16},
    {"Audiobook (RMS -20 dB, peaks -3 dB)", "audiobook", kLoudnessAudiobook, 0},
    {"Broadcast (-23 LUFS, -1 dBTP)", "broadcast", kLoudnessBroadcast, -23},
    {"Custom", "custom", kLoudnessCustom, 0},
}};

// The table entry of a stored preset; an unknown value counts as Custom.
const LoudnessPresetEntry& LoudnessPresetOf(int32_t preset);
// The integrated loudness a LUFS preset aims at (Custom: the settings' own target).
int32_t LoudnessTargetLufs(const AppSettings& s);

// Initial values of the three index fields; a table lookup falls back to them.
// The product's name: the title of every message box without a title of its own. (The
// executable's name, which keys the profile and the single-instance lock, may differ in case.)
inline constexpr char kProductName[] = "Velmora";

inline constexpr int32_t kMaxPartMinutesLimit = 999 * 60 + 59;

inline constexpr int16_t kDefaultBitrateIndex = 11;
inline constexpr int16_t kDefaultChannelModeIndex = 0;
inline constexpr int16_t kDefaultFrequencyIndex = 0;

enum ChannelMode : int16_t {
    kChannelAutomatic = 0,
    kChannelMono = 1,
    kChannelStereo = 2,
    kChannelJointStereo = 3,
    kChannelDual = 4,
};

struct FrequencyEntry { const char* text; uint32_t hz; };
struct ChannelModeEntry { const char* text; };
struct BitrateEntry { const char* text; uint16_t kbps; };

// The item texts keep their leading blanks: they line the numbers up in the Options lists.
inline constexpr std::array<FrequencyEntry, 10> FrequencyTable{{
    {" Automatic (Fastest & Optimal Way, Recommended)", 0},
    {"   8000 Hertz", 8000},
    {" 11025 Hertz", 11025},
    {" 12000 Hertz", 12000},
    {" 16000 Hertz", 16000},
    {" 22050 Hertz", 22050},
    {" 24000 Hertz", 24000},
    {" 32000 Hertz", 32000},
    {" 44100 Hertz", 44100},
    {" 48000 Hertz", 48000},
}};

inline constexpr std::array<ChannelModeEntry, 5> ChannelModeTable{{
    {" Automatic (Fastest & Optimal Way, Recommended)"},
    {" Mono"},
    {" Stereo"},
    {" Joint Stereo"},
    {" Dual Channel"},
}};

inline constexpr std::array<BitrateEntry, 17> BitrateTable{{
    {"   8 kbits per second", 8},   {"  16 kbits per second", 16},  {"  24 kbits per second", 24},
    {"  32 kbits per second", 32},  {"  40 kbits per second", 40},  {"  48 kbits per second", 48},
    {"  56 kbits per second", 56},  {"  64 kbits per second", 64},  {"  80 kbits per second", 80},
    {"  96 kbits per second", 96},  {" 112 kbits per second", 112}, {" 128 kbits per second", 128},
    {" 160 kbits per second", 160}, {" 192 kbits per second", 192}, {" 224 kbits per second", 224},
    {" 256 kbits per second", 256}, {" 320 kbits per second", 320},
}};

// How the output's bit rate is chosen. An old "Config.ini" has no mode: constant, at the
// stored index, as before.
enum BitrateMode : int32_t {
    kBitrateConstant = 0,      // BitrateTable[bitrateIndex]
    kBitrateVbr = 1,           // VBR at vbrQuality
    kBitrateSameAsInputs = 2,  // constant, at the highest rate among the inputs
};
inline constexpr int32_t kDefaultVbrQuality = 4;

// The items of the bit-rate list (Options): the constant rates of BitrateTable, then VBR at
// quality 0 to 9, then "Same as the inputs".
inline constexpr int kVbrChoiceFirst = static_cast<int>(BitrateTable.size());
inline constexpr int kSameAsInputsChoice = kVbrChoiceFirst + 10;
inline constexpr int kBitrateChoiceCount = kSameAsInputsChoice + 1;
std::string BitrateChoiceText(int choice);
// The item the settings stand for; -1 for a constant index outside its table (the list then
// shows no selection, and keeps the stored values).
int BitrateChoiceOf(const AppSettings& s);
// Sets mode, quality or index for an item; an item outside the list changes nothing.
void SetBitrateChoice(AppSettings& s, int choice);

// A hand-edited "Config.ini" may hold any 16-bit index. The values are kept as read, but
// every lookup goes through these accessors, which map an index outside its table to the
// field's initial value, so no lookup ever reads outside a table.
int16_t ValidBitrateIndex(int16_t index);
int16_t ValidChannelModeIndex(int16_t index);
int16_t ValidFrequencyIndex(int16_t index);

uint16_t BitrateKbps(int16_t bitrateIndex);
uint32_t FrequencyHz(int16_t frequencyIndex);          // 0 = automatic
const char* BitrateText(int16_t bitrateIndex);
const char* FrequencyText(int16_t frequencyIndex);
const char* ChannelModeText(int16_t channelModeIndex);

}  // namespace velmora
