#include "settings/settings_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QStandardPaths>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "settings/config_ini.h"

namespace velmora {

namespace {

std::string WithTrailingSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string ModuleFolder() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return {};
    return exe.parent_path().string();
}

std::string DataFolder() {
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return QDir(config).filePath(QStringLiteral("Velmora")).toStdString();
}

std::string SettingsFilePath() { return DataFolder() + "/Config.ini"; }

std::string DefaultOutputFolder() {
    for (auto location : {QStandardPaths::MusicLocation, QStandardPaths::DesktopLocation}) {
        const QString folder = QStandardPaths::writableLocation(location);
        if (!folder.isEmpty())
            return WithTrailingSlash(folder.toStdString());
    }
    return WithTrailingSlash(QDir::homePath().toStdString() + "/Music");
}

// Works like the folder creation it replaces: try the whole path; when a parent is missing,
// step back one component at a time until a prefix can be made, then walk forward again.
// Unlike a fixed 260-character buffer, any length the file system accepts works.
bool CreateFolderPath(const std::string& path) {
    std::string buf = path;
    while (buf.size() > 1 && buf.back() == '/')
        buf.pop_back();  // "a/b/" is the folder "a/b"
    if (buf.empty())
        return false;

    size_t mark = buf.size();
    bool steppedForward = false;
    // Each component is tried at most twice (once going back, once going forward).
    const size_t limit = 2 * static_cast<size_t>(std::count(buf.begin(), buf.end(), '/')) + 4;
    for (size_t attempt = 0; attempt < limit; ++attempt) {
        const std::string prefix = buf.substr(0, mark);
        if (::mkdir(prefix.c_str(), 0777) == 0 || errno == EEXIST) {
            if (mark == buf.size())
                return true;
            mark = buf.find('/', mark + 1);
            if (mark == std::string::npos)
                mark = buf.size();
            steppedForward = true;
            continue;
        }
        if (errno != ENOENT)
            return false;  // a file in the middle, no permission, name too long, ...
        // The parent was there a moment ago and still the child cannot be made: the
        // file system will not hold this path (a pseudo file system, a dangling link).
        if (steppedForward)
            return false;
        if (mark == 0)
            return false;
        const size_t slash = buf.rfind('/', mark - 1);
        if (slash == std::string::npos || slash == 0)
            return false;  // nothing above that could be created: the root is missing
        mark = slash;
    }
    return false;
}

bool LoadSettings(AppSettings& s, const std::string& file, std::string* error) {
    const auto loaded = LoadConfigIni(file, error);
    if (!loaded)
        return false;
    const ConfigIni& cfg = *loaded;
    // The index fields are 16-bit: a value read is held in 16 bits, whatever the file says.
    // Values outside the tables are kept as read; every lookup goes through the
    // bounds-checked accessors of app_settings.h.
    s.askOutputPath = cfg.GetInt(ini::kOutputSection, ini::kSameAsSrc, 0);
    s.bitrateIndex = static_cast<int16_t>(cfg.GetInt(ini::kMp3Section, ini::kLameBits, kDefaultBitrateIndex));
    s.channelModeIndex =
        static_cast<int16_t>(cfg.GetInt(ini::kMp3Section, ini::kLameChannel, kDefaultChannelModeIndex));
    s.frequencyIndex = static_cast<int16_t>(cfg.GetInt(ini::kMp3Section, ini::kFreq, kDefaultFrequencyIndex));
    // A file without the mode (an older one) or with one unknown: the constant rate of LameBits.
    s.bitrateMode = cfg.GetInt(ini::kOutputSection, ini::kBitrateMode, kBitrateConstant);
    if (s.bitrateMode != kBitrateVbr && s.bitrateMode != kBitrateSameAsInputs) s.bitrateMode = kBitrateConstant;
    s.vbrQuality = std::clamp(cfg.GetInt(ini::kOutputSection, ini::kVbrQuality, kDefaultVbrQuality), 0, 9);
    s.outputFolder = cfg.GetString(ini::kOutputSection, ini::kDesDir, DefaultOutputFolder());
    s.lastFolder = cfg.GetString(ini::kOutputSection, ini::kLastDir, "");
    s.defaultFileName = cfg.GetString(ini::kOutputSection, ini::kName, "Untitled");
    s.outputTags = cfg.GetInt(ini::kOutputSection, ini::kTags, 1) != 0 ? 1 : 0;
    s.chapterMode = cfg.GetInt(ini::kOutputSection, ini::kChapters, 1);
    s.copyFrames = cfg.GetInt(ini::kOutputSection, ini::kCopy, 0) != 0 ? 1 : 0;
    s.loudness = cfg.GetInt(ini::kOutputSection, ini::kLoudness, 0) != 0 ? 1 : 0;
    // A target outside the allowed range is brought to its nearest end.
    s.loudnessTarget = std::clamp(cfg.GetInt(ini::kOutputSection, ini::kLoudnessTarget, -16), -30, -10);
    // Parts longer than 999 h cannot be asked for in the dialog; a negative value means none.
    s.maxPartMinutes = std::clamp(cfg.GetInt(ini::kOutputSection, ini::kMaxPartMinutes, 0), 0, kMaxPartMinutesLimit);
    // A file from before the presets that has a target meant that target: it reads as Custom.
    // A name this version does not know keeps the user's target too.
    const std::string absent = "\x01";
    std::string preset = cfg.GetString(ini::kOutputSection, ini::kLoudnessPreset, absent);
    for (char& c : preset) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const bool hadTarget = cfg.GetString(ini::kOutputSection, ini::kLoudnessTarget, absent) != absent;
    s.loudnessPreset = preset == absent && !hadTarget ? kLoudnessPodcast : kLoudnessCustom;
    for (const LoudnessPresetEntry& e : LoudnessPresetTable)
        if (preset == e.name) s.loudnessPreset = e.preset;
    // A file from before M4B output, or a name this version does not know: MP3, as before.
    std::string format = cfg.GetString(ini::kOutputSection, ini::kFormat, "mp3");
    for (char& c : format) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    s.outputFormat = format == "m4b" ? kFormatM4b : kFormatMp3;
    s.aacBitrateKbps = ValidAacBitrate(cfg.GetInt(ini::kOutputSection, ini::kAacBits, kDefaultAacBitrate));
    s.naturalSort = cfg.GetInt(ini::kFileListSection, ini::kNaturalSort, 1) != 0 ? 1 : 0;
    s.otherAudioFiles = cfg.GetInt(ini::kFileListSection, ini::kOtherAudioFiles, 1) != 0 ? 1 : 0;
    return true;
}

bool SaveSettings(const AppSettings& s, const std::string& file, std::string* error) {
    // The other lines of the file stay; a file that exists but cannot be read is not
    // replaced, since that would throw those lines away.
    auto cfg = LoadConfigIni(file, error);
    if (!cfg)
        return false;
    cfg->SetInt(ini::kOutputSection, ini::kSameAsSrc, s.askOutputPath);
    cfg->SetString(ini::kOutputSection, ini::kDesDir, s.outputFolder);
    cfg->SetString(ini::kOutputSection, ini::kLastDir, s.lastFolder);
    cfg->SetString(ini::kOutputSection, ini::kName, s.defaultFileName);
    cfg->SetInt(ini::kMp3Section, ini::kLameBits, s.bitrateIndex);
    cfg->SetInt(ini::kMp3Section, ini::kLameChannel, s.channelModeIndex);
    cfg->SetInt(ini::kMp3Section, ini::kFreq, s.frequencyIndex);
    cfg->SetInt(ini::kOutputSection, ini::kBitrateMode, s.bitrateMode);
    cfg->SetInt(ini::kOutputSection, ini::kVbrQuality, s.vbrQuality);
    cfg->SetInt(ini::kOutputSection, ini::kTags, s.outputTags);
    cfg->SetInt(ini::kOutputSection, ini::kChapters, s.chapterMode);
    cfg->SetInt(ini::kOutputSection, ini::kCopy, s.copyFrames);
    cfg->SetInt(ini::kOutputSection, ini::kLoudness, s.loudness);
    cfg->SetInt(ini::kOutputSection, ini::kLoudnessTarget, s.loudnessTarget);
    cfg->SetInt(ini::kOutputSection, ini::kMaxPartMinutes, s.maxPartMinutes);
    cfg->SetString(ini::kOutputSection, ini::kLoudnessPreset, LoudnessPresetOf(s.loudnessPreset).name);
    cfg->SetString(ini::kOutputSection, ini::kFormat, s.outputFormat == kFormatM4b ? "m4b" : "mp3");
    cfg->SetInt(ini::kOutputSection, ini::kAacBits, ValidAacBitrate(s.aacBitrateKbps));
    cfg->SetInt(ini::kFileListSection, ini::kNaturalSort, s.naturalSort);
    cfg->SetInt(ini::kFileListSection, ini::kOtherAudioFiles, s.otherAudioFiles);
    return SaveConfigIni(file, *cfg, error);
}

std::string CreateFolderFailedText(const std::string& folder) {
    std::string text = kCreateFolderFailedFormat;
    text.replace(text.find("%s"), 2, folder);
    return text;
}

SettingsPreparation PrepareSettings(AppSettings& s) {
    SettingsPreparation p;
    p.moduleFolder = ModuleFolder();
    s.outputFolder = DefaultOutputFolder();
    p.dataFolder = DataFolder();
    p.settingsFile = p.dataFolder + "/Config.ini";
    if (!IsFolder(p.dataFolder) && !CreateFolderPath(p.dataFolder)) {
        p.createFolderMessage = CreateFolderFailedText(p.dataFolder);
        p.error = p.dataFolder + ": " + std::strerror(errno);
    }
    if (Exists(p.settingsFile)) {
        p.loaded = LoadSettings(s, p.settingsFile, &p.error);
        p.loadFailed = !p.loaded;
        return p;
    }
    // First start: an empty settings file, and the record keeps its initial values.
    if (FILE* f = std::fopen(p.settingsFile.c_str(), "wb")) {
        p.settingsFileCreated = std::fclose(f) == 0;
        p.settingsFileFailed = !p.settingsFileCreated;
    } else {
        p.settingsFileFailed = true;
        p.error = p.settingsFile + ": " + std::strerror(errno);
    }
    return p;
}

std::string EncoderSummaryText(const AppSettings& s) {
    char bitrate[48];
    if (s.bitrateMode == kBitrateVbr)
        std::snprintf(bitrate, sizeof bitrate, "VBR quality %d;", static_cast<int>(s.vbrQuality));
    else if (s.bitrateMode == kBitrateSameAsInputs)
        std::snprintf(bitrate, sizeof bitrate, "CBR same as the inputs;");
    else
        std::snprintf(bitrate, sizeof bitrate, "CBR %3u kbps;", static_cast<unsigned>(BitrateKbps(s.bitrateIndex)));
    char rate[96];
    const uint32_t hz = FrequencyHz(s.frequencyIndex);
    // An out-of-range frequency index falls back to automatic, as every lookup does.
    if (hz == 0)
        std::snprintf(rate, sizeof rate, "%s Automatic Frequency;", bitrate);
    else
        std::snprintf(rate, sizeof rate, "%s %5u Hz;", bitrate, static_cast<unsigned>(hz));
    static constexpr const char* kChannelParts[] = {" Automatic Channel;", " Mono;", " Stereo;", " Joint Stereo;",
                                                    " Dual Channel;"};
    // An M4B is AAC at its own rate; AAC has no joint or dual channel mode, such a choice
    // encodes as stereo.
    std::string text;
    if (s.outputFormat == kFormatM4b) {
        char aac[160];
        std::snprintf(aac, sizeof aac, "  M4B: AAC %d kbps;%s", static_cast<int>(ValidAacBitrate(s.aacBitrateKbps)),
                      std::strchr(rate, ';') + 1);
        text = aac;
        if (s.channelModeIndex >= 0 && s.channelModeIndex < 5)
            text += kChannelParts[std::min<int>(s.channelModeIndex, kChannelStereo)];
    } else {
        text = std::string("  ") + "MP3:  " + rate;
        if (s.channelModeIndex >= 0 && s.channelModeIndex < 5)
            text += kChannelParts[s.channelModeIndex];
    }
    // What else shapes the output: loudness re-encodes, so the copy join (MP3 only) is named
    // only without it.
    if (s.loudness != 0) {
        switch (s.loudnessPreset) {
            case kLoudnessPodcast: text += " Loudness: podcast (-16 LUFS);"; break;
            case kLoudnessAudiobook: text += " Loudness: audiobook rule;"; break;
            case kLoudnessBroadcast: text += " Loudness: broadcast (-23 LUFS);"; break;
            default: text += " Loudness: " + std::to_string(s.loudnessTarget) + " LUFS;"; break;
        }
    } else if (s.copyFrames != 0 && s.outputFormat != kFormatM4b) {
        text += " Copy join when the files allow;";
    }
    return text;
}

}  // namespace velmora
