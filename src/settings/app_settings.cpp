#include "settings/app_settings.h"

namespace velmora {

namespace {
template <typename Table>
int16_t Clamp(int16_t index, const Table& table, int16_t fallback) {
    return (index >= 0 && static_cast<size_t>(index) < table.size()) ? index : fallback;
}
}  // namespace

int16_t ValidBitrateIndex(int16_t index) { return Clamp(index, BitrateTable, kDefaultBitrateIndex); }
int16_t ValidChannelModeIndex(int16_t index) { return Clamp(index, ChannelModeTable, kDefaultChannelModeIndex); }
int16_t ValidFrequencyIndex(int16_t index) { return Clamp(index, FrequencyTable, kDefaultFrequencyIndex); }

uint16_t BitrateKbps(int16_t i) { return BitrateTable[ValidBitrateIndex(i)].kbps; }
uint32_t FrequencyHz(int16_t i) { return FrequencyTable[ValidFrequencyIndex(i)].hz; }
const char* BitrateText(int16_t i) { return BitrateTable[ValidBitrateIndex(i)].text; }
const char* FrequencyText(int16_t i) { return FrequencyTable[ValidFrequencyIndex(i)].text; }
const char* ChannelModeText(int16_t i) { return ChannelModeTable[ValidChannelModeIndex(i)].text; }

std::string BitrateChoiceText(int choice) {
    if (choice >= 0 && choice < kVbrChoiceFirst) return BitrateTable[static_cast<size_t>(choice)].text;
    if (choice == kVbrChoiceFirst) return "VBR, quality 0 (best)";
    if (choice > kVbrChoiceFirst && choice < kSameAsInputsChoice)
        return "VBR, quality " + std::to_string(choice - kVbrChoiceFirst);
    if (choice == kSameAsInputsChoice) return "Same as the inputs";
    return {};
}

int BitrateChoiceOf(const AppSettings& s) {
    if (s.bitrateMode == kBitrateVbr) return kVbrChoiceFirst + s.vbrQuality;
    if (s.bitrateMode == kBitrateSameAsInputs) return kSameAsInputsChoice;
    return ValidBitrateIndex(s.bitrateIndex) == s.bitrateIndex ? s.bitrateIndex : -1;
}

void SetBitrateChoice(AppSettings& s, int choice) {
    if (choice < 0 || choice >= kBitrateChoiceCount) return;
    if (choice < kVbrChoiceFirst) {
        s.bitrateMode = kBitrateConstant;
        s.bitrateIndex = static_cast<int16_t>(choice);
    } else if (choice < kSameAsInputsChoice) {
        s.bitrateMode = kBitrateVbr;
        s.vbrQuality = choice - kVbrChoiceFirst;
    } else {
        s.bitrateMode = kBitrateSameAsInputs;
    }
}

const LoudnessPresetEntry& LoudnessPresetOf(int32_t preset) {
    for (const LoudnessPresetEntry& e : LoudnessPresetTable)
        if (e.preset == preset) return e;
    return LoudnessPresetTable.back();
}

int32_t LoudnessTargetLufs(const AppSettings& s) {
    const LoudnessPresetEntry& e = LoudnessPresetOf(s.loudnessPreset);
    return e.lufs != 0 ? e.lufs : s.loudnessTarget;
}

int32_t ValidAacBitrate(int32_t kbps) {
    for (uint16_t k : AacBitrateTable)
        if (k == kbps) return kbps;
    return kDefaultAacBitrate;
}

const char* OutputExtension(const AppSettings& s) { return s.outputFormat == kFormatM4b ? ".m4b" : ".mp3"; }

}  // namespace velmora
