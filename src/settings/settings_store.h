// The settings store: "Config.ini" in the per-user data folder, read into and written from
// the AppSettings record, and the folder helpers around it. This layer reports failures to
// its caller; the message boxes belong to the window code.
#pragma once

#include <string>

#include "settings/app_settings.h"

namespace velmora {

// Texts the window code shows for the failures reported here.
inline constexpr const char* kCreateFolderFailedFormat = "Fail to create folder %s !!";
inline constexpr const char* kLoadSettingsFailedText = "An Error Occurred while loading settings!";
inline constexpr const char* kSaveSettingsFailedText = "An error occurred while saving settings!";

// Section and key names of "Config.ini".
namespace ini {
inline constexpr const char* kOutputSection = "OUTPUT";
inline constexpr const char* kMp3Section = "MP3";
inline constexpr const char* kSameAsSrc = "SameAsSrc";
inline constexpr const char* kDesDir = "DesDir";
inline constexpr const char* kLastDir = "LastDir";
inline constexpr const char* kName = "Name";
inline constexpr const char* kLameBits = "LameBits";
inline constexpr const char* kLameChannel = "LameChannel";
inline constexpr const char* kFreq = "Freq";
// Beyond the seven keys above, in the output section after them; absent keys read the defaults.
inline constexpr const char* kBitrateMode = "BitrateMode";
inline constexpr const char* kVbrQuality = "VbrQuality";
inline constexpr const char* kTags = "Tags";
inline constexpr const char* kChapters = "Chapters";
inline constexpr const char* kCopy = "Copy";
inline constexpr const char* kLoudness = "Loudness";
inline constexpr const char* kLoudnessTarget = "LoudnessTarget";
inline constexpr const char* kMaxPartMinutes = "MaxPartMinutes";
inline constexpr const char* kFormat = "Format";            // "mp3" or "m4b"
inline constexpr const char* kAacBits = "AacBits";          // kbit/s of an M4B output
inline constexpr const char* kLoudnessPreset = "LoudnessPreset";  // a LoudnessPresetTable name
// The file list's own keys, in a section of their own after the others.
inline constexpr const char* kFileListSection = "FileList";
inline constexpr const char* kNaturalSort = "NaturalSort";
inline constexpr const char* kOtherAudioFiles = "OtherAudioFiles";
}  // namespace ini

// The folder of the running executable, without a trailing "/".
std::string ModuleFolder();
// $XDG_CONFIG_HOME/Velmora (default ~/.config/Velmora), without a trailing "/".
std::string DataFolder();
// DataFolder() + "/Config.ini".
std::string SettingsFilePath();

// The user's music folder, else the desktop folder, else $HOME/Music, with a trailing "/".
std::string DefaultOutputFolder();

// Creates `path` and every missing folder above it. True when a folder (or, as the last
// component, a file) of that name exists at the end; false when some part of the path
// cannot be made (a missing root, a file in the middle, no permission). No length limit
// beyond what the file system takes.
bool CreateFolderPath(const std::string& path);

// Reads `file` into `s`, each key in turn, a missing key (or file) giving the key's default.
// False (with a description in `error`) when the file exists but cannot be read; the fields
// keep their previous values then.
bool LoadSettings(AppSettings& s, const std::string& file, std::string* error = nullptr);
inline bool LoadSettings(AppSettings& s) { return LoadSettings(s, SettingsFilePath()); }

// Writes the seven keys of `s` into `file` ("OUTPUT" before "MP3" in a new file), keeping
// every other line of the file. The file is replaced as a whole. Unlike the private-profile
// writes this stands in for, a failed write is reported: false, with a description in `error`.
bool SaveSettings(const AppSettings& s, const std::string& file, std::string* error = nullptr);
inline bool SaveSettings(const AppSettings& s) { return SaveSettings(s, SettingsFilePath()); }

// The start-up preparation of the folders and the settings file, in its order:
// outputFolder <- DefaultOutputFolder(); create the data folder when missing; then read the
// settings file when it exists, else create it empty and keep the initial values.
struct SettingsPreparation {
    std::string moduleFolder;
    std::string dataFolder;
    std::string settingsFile;
    // Set when the data folder is missing and cannot be created: the "Fail to create
    // folder %s !!" text with the folder filled in. Start-up goes on.
    std::string createFolderMessage;
    bool loaded = false;            // the settings file existed and was read
    bool loadFailed = false;        // it existed but could not be read (kLoadSettingsFailedText)
    bool settingsFileCreated = false;
    // The empty settings file could not be created. Start-up goes on with the initial values;
    // the save at close tries again and reports its own failure.
    bool settingsFileFailed = false;
    std::string error;              // description of the last failure, for logs
};
SettingsPreparation PrepareSettings(AppSettings& s);

// The encoder summary of the status bar: "  MP3:  CBR 128 kbps; Automatic Frequency;
// Automatic Channel;" and its variants.
std::string EncoderSummaryText(const AppSettings& s);

// "Fail to create folder %s !!" with `folder` in place of %s.
std::string CreateFolderFailedText(const std::string& folder);

}  // namespace velmora
