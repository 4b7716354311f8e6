#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "settings/config_ini.h"
#include "settings/scoped_env.h"
#include "settings/settings_store.h"
#include "support/mp3_fixtures.h"

using namespace velmora;
using velmora::testing::ScopedEnv;
using velmora::testing::TempDir;
namespace fs = std::filesystem;

using velmora::testing::ReadFile;
using velmora::testing::WriteFile;

TEST(SettingsStore, FreshAccountCreatesTheDataFolderAndAnEmptyFile) {
    TempDir tmp;
    ScopedEnv env;
    velmora::testing::UseFreshAccount(env, tmp.path());
    // Two missing levels above the data folder.
    env.Set("XDG_CONFIG_HOME", (tmp.path() / "home/a/b/config").string());
    const fs::path data = tmp.path() / "home/a/b/config/Velmora";
    ASSERT_FALSE(fs::exists(tmp.path() / "home/a"));

    AppSettings s;
    const SettingsPreparation p = PrepareSettings(s);
    EXPECT_EQ(p.dataFolder, data.string());
    EXPECT_EQ(p.settingsFile, (data / "Config.ini").string());
    EXPECT_TRUE(fs::is_directory(data));
    ASSERT_TRUE(fs::exists(data / "Config.ini"));
    EXPECT_EQ(fs::file_size(data / "Config.ini"), 0u);
    EXPECT_TRUE(p.createFolderMessage.empty());
    EXPECT_TRUE(p.settingsFileCreated);
    EXPECT_FALSE(p.loaded);

    const std::string music = (tmp.path() / "home/Music/").string();
    EXPECT_EQ(s.outputFolder, music);
    EXPECT_EQ(s.defaultFileName, "Untitled");
    EXPECT_EQ(s.bitrateIndex, 11);
    EXPECT_EQ(s.askOutputPath, 0);
    EXPECT_EQ(s.lastFolder, "");

    ASSERT_TRUE(SaveSettings(s, p.settingsFile));
    EXPECT_EQ(ReadFile(data / "Config.ini"),
              "[OUTPUT]\n"
              "SameAsSrc=0\n"
              "DesDir=" + music + "\n"
              "LastDir=\n"
              "Name=Untitled\n"
              "BitrateMode=0\n"
              "VbrQuality=4\n"
              "Tags=1\n"
              "Chapters=1\n"
              "Copy=0\n"
              "Loudness=0\n"
              "LoudnessTarget=-16\n"
              "MaxPartMinutes=0\n"
              "LoudnessPreset=podcast\n"
              "Format=mp3\n"
              "AacBits=64\n"
              "[MP3]\n"
              "LameBits=11\n"
              "LameChannel=0\n"
              "Freq=0\n"
              "[FileList]\n"
              "NaturalSort=1\n"
              "OtherAudioFiles=1\n");
}

TEST(SettingsStore, ExistingEmptyFileGivesTheSameValuesAsAFreshStart) {
    TempDir tmp;
    ScopedEnv env;
    velmora::testing::UseFreshAccount(env, tmp.path());
    fs::create_directories(tmp.path() / "home/.config/Velmora");
    WriteFile(tmp.path() / "home/.config/Velmora/Config.ini", "");
    AppSettings s;
    s.bitrateIndex = 3;  // overwritten by the load
    s.defaultFileName = "changed";
    const SettingsPreparation p = PrepareSettings(s);
    EXPECT_TRUE(p.loaded);
    EXPECT_FALSE(p.settingsFileCreated);
    EXPECT_EQ(s.bitrateIndex, 11);
    EXPECT_EQ(s.defaultFileName, "Untitled");
    EXPECT_EQ(s.outputFolder, (tmp.path() / "home/Music/").string());
    // A file from before the tag keys: tags and a chapter per file.
    EXPECT_EQ(s.outputTags, 1);
    EXPECT_EQ(s.chapterMode, 1);
    EXPECT_EQ(s.copyFrames, 0);
    EXPECT_EQ(s.loudness, 0);
    EXPECT_EQ(s.loudnessTarget, -16);
    EXPECT_EQ(s.maxPartMinutes, 0);
    EXPECT_EQ(s.loudnessPreset, kLoudnessPodcast);
    EXPECT_EQ(s.naturalSort, 1);
    EXPECT_EQ(s.otherAudioFiles, 1);
}

TEST(SettingsStore, LoadReadsEveryKey) {
    TempDir tmp;
    const auto file = tmp / "Config.ini";
    WriteFile(file,
              "[mp3]\nlamebits=16\nLameChannel=3\nFreq=9\n"
              "[Output]\nSameAsSrc=1\nDesDir=/out/dir/\nLastDir=/music/last\nName=Joined \xC3\xA9\nTags=0\nChapters=2\nMaxPartMinutes=90\n"
              "[filelist]\nNaturalSort=0\nOtherAudioFiles=0\n");
    AppSettings s;
    ASSERT_TRUE(LoadSettings(s, file.string()));
    EXPECT_EQ(s.askOutputPath, 1);
    EXPECT_EQ(s.bitrateIndex, 16);
    EXPECT_EQ(s.channelModeIndex, 3);
    EXPECT_EQ(s.frequencyIndex, 9);
    EXPECT_EQ(s.outputFolder, "/out/dir/");
    EXPECT_EQ(s.lastFolder, "/music/last");
    EXPECT_EQ(s.defaultFileName, "Joined \xC3\xA9");
    EXPECT_EQ(s.outputTags, 0);
    EXPECT_EQ(s.chapterMode, 2);
    EXPECT_EQ(s.maxPartMinutes, 90);
    EXPECT_EQ(s.naturalSort, 0);
    EXPECT_EQ(s.otherAudioFiles, 0);
}

// A file from before M4B output reads as MP3; the format and AAC's rate then round-trip, and
// values this version does not know fall back to the defaults.
TEST(SettingsStore, OutputFormatReadsMp3FromAnOldFileAndRoundTrips) {
    TempDir tmp;
    const auto file = tmp / "Config.ini";
    WriteFile(file, "[OUTPUT]\nSameAsSrc=0\nLoudnessPreset=podcast\n[MP3]\nLameBits=11\n");
    AppSettings s;
    s.outputFormat = kFormatM4b;
    ASSERT_TRUE(LoadSettings(s, file.string()));
    EXPECT_EQ(s.outputFormat, kFormatMp3);
    EXPECT_EQ(s.aacBitrateKbps, 64);
    EXPECT_EQ(EncoderSummaryText(s), "  MP3:  CBR 128 kbps; Automatic Frequency; Automatic Channel;");

    s.outputFormat = kFormatM4b;
    s.aacBitrateKbps = 96;
    s.channelModeIndex = kChannelJointStereo;
    ASSERT_TRUE(SaveSettings(s, file.string()));
    const std::string text = ReadFile(file);
    // After the keys the file had and those written before them.
    EXPECT_NE(text.find("MaxPartMinutes=0\nFormat=m4b\nAacBits=96\n[MP3]"), std::string::npos) << text;
    AppSettings back;
    ASSERT_TRUE(LoadSettings(back, file.string()));
    EXPECT_EQ(back.outputFormat, kFormatM4b);
    EXPECT_EQ(back.aacBitrateKbps, 96);
    EXPECT_EQ(EncoderSummaryText(back), "  M4B: AAC 96 kbps; Automatic Frequency; Stereo;");

    WriteFile(file, "[Output]\nformat=M4B\nAacBits=100\n");
    ASSERT_TRUE(LoadSettings(back, file.string()));
    EXPECT_EQ(back.outputFormat, kFormatM4b);
    EXPECT_EQ(back.aacBitrateKbps, 64);
    WriteFile(file, "[Output]\nFormat=ogg\n");
    ASSERT_TRUE(LoadSettings(back, file.string()));
    EXPECT_EQ(back.outputFormat, kFormatMp3);
}

TEST(SettingsStore, LoudnessPresetsRoundTripAndAnOldTargetReadsAsCustom) {
    TempDir tmp;
    const auto file = tmp / "Config.ini";
    struct Case {
        const char* lines;  // the [OUTPUT] keys as a file has them
        int32_t preset;
        int32_t target;
    };
    for (const Case c : {Case{"Loudness=1\nLoudnessTarget=-19\n", kLoudnessCustom, -19},  // before the presets
                         Case{"Loudness=1\n", kLoudnessPodcast, -16},
                         Case{"LoudnessTarget=-12\nLoudnessPreset=Audiobook\n", kLoudnessAudiobook, -12},
                         Case{"LoudnessTarget=-20\nLoudnessPreset=broadcast\n", kLoudnessBroadcast, -20},
                         Case{"LoudnessTarget=-20\nLoudnessPreset=louder\n", kLoudnessCustom, -20}}) {
        SCOPED_TRACE(c.lines);
        WriteFile(file, std::string("[OUTPUT]\n") + c.lines);
        AppSettings s;
        ASSERT_TRUE(LoadSettings(s, file.string()));
        EXPECT_EQ(s.loudnessPreset, c.preset);
        EXPECT_EQ(s.loudnessTarget, c.target);
        EXPECT_EQ(LoudnessTargetLufs(s), c.preset == kLoudnessBroadcast ? -23 : c.target);
        ASSERT_TRUE(SaveSettings(s, file.string()));
        AppSettings back;
        ASSERT_TRUE(LoadSettings(back, file.string()));
        EXPECT_EQ(back.loudnessPreset, c.preset);
        EXPECT_EQ(back.loudnessTarget, c.target);
    }
}

TEST(SettingsStore, NumbersFollowedByLettersAndLettersAlone) {
    TempDir tmp;
    const auto file = tmp / "Config.ini";
    AppSettings s;
    WriteFile(file, "[MP3]\nLameBits=12abc\n");
    ASSERT_TRUE(LoadSettings(s, file.string()));
    EXPECT_EQ(s.bitrateIndex, 12);
    WriteFile(file, "[MP3]\nLameBits=abc\n");
    ASSERT_TRUE(LoadSettings(s, file.string()));
    EXPECT_EQ(s.bitrateIndex, 0);
    EXPECT_EQ(BitrateKbps(s.bitrateIndex), 8);
}

TEST(SettingsStore, IndexValuesAreHeldIn16BitsAndKeptAsRead) {
    TempDir tmp;
    const auto file = tmp / "Config.ini";
    WriteFile(file, "[MP3]\nLameBits=99\nFreq=-3\nLameChannel=65541\n");
    AppSettings s;
    ASSERT_TRUE(LoadSettings(s, file.string()));
    EXPECT_EQ(s.bitrateIndex, 99);
    EXPECT_EQ(s.frequencyIndex, -3);
    EXPECT_EQ(s.channelModeIndex, 5);  // 65541 held in 16 bits
    // Lookups fall back to the initial values.
    EXPECT_EQ(BitrateKbps(s.bitrateIndex), 128);
    EXPECT_EQ(FrequencyHz(s.frequencyIndex), 0u);
    EXPECT_STREQ(ChannelModeText(s.channelModeIndex), ChannelModeText(0));
    // Saving writes them back unchanged.
    ASSERT_TRUE(SaveSettings(s, file.string()));
    AppSettings again;
    ASSERT_TRUE(LoadSettings(again, file.string()));
    EXPECT_EQ(again.bitrateIndex, 99);
    EXPECT_EQ(again.frequencyIndex, -3);
    EXPECT_EQ(again.channelModeIndex, 5);
}

TEST(SettingsStore, OutOfRangeIndicesNeverReadOutsideATable) {
    for (int16_t v : {int16_t(-1), int16_t(17), int16_t(32767), int16_t(-32768), int16_t(10), int16_t(5)}) {
        AppSettings s;
        s.bitrateIndex = v;
        s.frequencyIndex = v;
        s.channelModeIndex = v;
        const int16_t b = ValidBitrateIndex(v), f = ValidFrequencyIndex(v), c = ValidChannelModeIndex(v);
        EXPECT_GE(b, 0);
        EXPECT_LT(static_cast<size_t>(b), BitrateTable.size());
        EXPECT_GE(f, 0);
        EXPECT_LT(static_cast<size_t>(f), FrequencyTable.size());
        EXPECT_GE(c, 0);
        EXPECT_LT(static_cast<size_t>(c), ChannelModeTable.size());
        EXPECT_NE(BitrateText(v), nullptr);
        EXPECT_NE(FrequencyText(v), nullptr);
        EXPECT_NE(ChannelModeText(v), nullptr);
        const std::string summary = EncoderSummaryText(s);
        EXPECT_EQ(summary.rfind("  MP3:  CBR ", 0), 0u) << summary;
    }
    EXPECT_EQ(ValidBitrateIndex(17), 11);
    EXPECT_EQ(ValidBitrateIndex(16), 16);
    EXPECT_EQ(ValidFrequencyIndex(10), 0);
    EXPECT_EQ(ValidFrequencyIndex(9), 9);
    EXPECT_EQ(ValidChannelModeIndex(5), 0);
    EXPECT_EQ(ValidChannelModeIndex(4), 4);
}

TEST(SettingsStore, LongStringsComeBackCutTo1023) {
    TempDir tmp;
    const auto file = tmp / "Config.ini";
    AppSettings s;
    s.defaultFileName = std::string(2000, 'n');
    s.outputFolder = "/" + std::string(1500, 'd') + "/";
    ASSERT_TRUE(SaveSettings(s, file.string()));
    AppSettings back;
    ASSERT_TRUE(LoadSettings(back, file.string()));
    EXPECT_EQ(back.defaultFileName, std::string(1023, 'n'));
    EXPECT_EQ(back.outputFolder.size(), 1023u);
}

TEST(SettingsStore, SaveKeepsAHandEditedFileInPlace) {
    TempDir tmp;
    const auto file = tmp / "Config.ini";
    WriteFile(file,
              "; written by hand\n"
              "[MP3]\n"
              "freq=1\n"
              "Custom=yes\n"
              "\n"
              "[Mine]\n"
              "A=1\n");
    AppSettings s;
    ASSERT_TRUE(LoadSettings(s, file.string()));
    EXPECT_EQ(s.frequencyIndex, 1);
    s.frequencyIndex = 4;
    s.outputFolder = "/o/";
    ASSERT_TRUE(SaveSettings(s, file.string()));
    EXPECT_EQ(ReadFile(file),
              "; written by hand\n"
              "[MP3]\n"
              "freq=4\n"
              "Custom=yes\n"
              "LameBits=11\n"
              "LameChannel=0\n"
              "\n"
              "[Mine]\n"
              "A=1\n"
              "[OUTPUT]\n"
              "SameAsSrc=0\n"
              "DesDir=/o/\n"
              "LastDir=\n"
              "Name=Untitled\n"
              "BitrateMode=0\n"
              "VbrQuality=4\n"
              "Tags=1\n"
              "Chapters=1\n"
              "Copy=0\n"
              "Loudness=0\n"
              "LoudnessTarget=-16\n"
              "MaxPartMinutes=0\n"
              "LoudnessPreset=podcast\n"
              "Format=mp3\n"
              "AacBits=64\n"
              "[FileList]\n"
              "NaturalSort=1\n"
              "OtherAudioFiles=1\n");
}

TEST(SettingsStore, DeletedFileLoadsEveryDefault) {
    TempDir tmp;
    ScopedEnv env;
    velmora::testing::UseFreshAccount(env, tmp.path());
    AppSettings s;
    s.askOutputPath = 1;
    s.bitrateIndex = 2;
    s.frequencyIndex = 3;
    s.channelModeIndex = 4;
    s.outputFolder = "/x/";
    s.lastFolder = "/y";
    s.defaultFileName = "z";
    ASSERT_TRUE(LoadSettings(s, (tmp / "gone.ini").string()));
    EXPECT_EQ(s.askOutputPath, 0);
    EXPECT_EQ(s.bitrateIndex, 11);
    EXPECT_EQ(s.frequencyIndex, 0);
    EXPECT_EQ(s.channelModeIndex, 0);
    EXPECT_EQ(s.outputFolder, (tmp.path() / "home/Music/").string());
    EXPECT_EQ(s.lastFolder, "");
    EXPECT_EQ(s.defaultFileName, "Untitled");
}

TEST(SettingsStore, UnreadableFileFailsTheLoadAndKeepsTheFields) {
    TempDir tmp;
    fs::create_directory(tmp / "Config.ini");
    AppSettings s;
    s.bitrateIndex = 5;
    std::string error;
    EXPECT_FALSE(LoadSettings(s, (tmp / "Config.ini").string(), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(s.bitrateIndex, 5);
    // And the save does not throw its content away either.
    EXPECT_FALSE(SaveSettings(s, (tmp / "Config.ini").string()));
    EXPECT_TRUE(fs::is_directory(tmp / "Config.ini"));
}

TEST(SettingsStore, SaveReportsAFileThatCannotBeWritten) {
    TempDir tmp;
    AppSettings s;
    std::string error;
    EXPECT_FALSE(SaveSettings(s, (tmp / "missing-folder" / "Config.ini").string(), &error));
    EXPECT_FALSE(error.empty());
}

TEST(SettingsStore, DataFolderThatCannotBeCreatedIsReported) {
    TempDir tmp;
    ScopedEnv env;
    velmora::testing::UseFreshAccount(env, tmp.path());
    WriteFile(tmp / "afile", "x");
    env.Set("XDG_CONFIG_HOME", (tmp.path() / "afile" / "config").string());
    AppSettings s;
    const SettingsPreparation p = PrepareSettings(s);
    EXPECT_EQ(p.createFolderMessage, "Fail to create folder " + (tmp.path() / "afile/config/Velmora").string() + " !!");
    EXPECT_TRUE(p.settingsFileFailed);
    EXPECT_FALSE(p.loaded);
    EXPECT_EQ(s.bitrateIndex, 11);
    EXPECT_EQ(s.outputFolder, (tmp.path() / "home/Music/").string());
}

TEST(SettingsStore, DefaultOutputFolderFollowsTheUserFolders) {
    TempDir tmp;
    ScopedEnv env;
    velmora::testing::UseFreshAccount(env, tmp.path());
    fs::create_directories(tmp.path() / "home/.config");
    WriteFile(tmp.path() / "home/.config/user-dirs.dirs", "XDG_MUSIC_DIR=\"$HOME/Tunes\"\n");
    EXPECT_EQ(DefaultOutputFolder(), (tmp.path() / "home/Tunes/").string());
}

TEST(SettingsStore, DataFolderAndSettingsFileFollowXdgConfigHome) {
    TempDir tmp;
    ScopedEnv env;
    velmora::testing::UseFreshAccount(env, tmp.path());
    EXPECT_EQ(DataFolder(), (tmp.path() / "home/.config/Velmora").string());
    EXPECT_EQ(SettingsFilePath(), (tmp.path() / "home/.config/Velmora/Config.ini").string());
    env.Set("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(DataFolder(), (tmp.path() / "home/.config/Velmora").string());
}

TEST(SettingsStore, ModuleFolderIsTheExecutablesFolder) {
    const std::string folder = ModuleFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_TRUE(fs::exists(fs::path(folder) / "settings_tests"));
}

TEST(EncoderSummary, DefaultsAndVariants) {
    AppSettings s;
    EXPECT_EQ(EncoderSummaryText(s), "  MP3:  CBR 128 kbps; Automatic Frequency; Automatic Channel;");
    s.frequencyIndex = 8;
    s.channelModeIndex = 2;
    EXPECT_EQ(EncoderSummaryText(s), "  MP3:  CBR 128 kbps; 44100 Hz; Stereo;");
    s.frequencyIndex = 1;
    s.bitrateIndex = 0;
    s.channelModeIndex = 4;
    EXPECT_EQ(EncoderSummaryText(s), "  MP3:  CBR   8 kbps;  8000 Hz; Dual Channel;");
    s.channelModeIndex = 7;  // no channel part for a value outside the modes
    EXPECT_EQ(EncoderSummaryText(s), "  MP3:  CBR   8 kbps;  8000 Hz;");
    s.channelModeIndex = 0;
    s.frequencyIndex = 0;
    SetBitrateChoice(s, kVbrChoiceFirst + 4);
    EXPECT_EQ(EncoderSummaryText(s), "  MP3:  VBR quality 4; Automatic Frequency; Automatic Channel;");
    SetBitrateChoice(s, kSameAsInputsChoice);
    EXPECT_EQ(EncoderSummaryText(s), "  MP3:  CBR same as the inputs; Automatic Frequency; Automatic Channel;");
    // The copy join and loudness are named when on; loudness re-encodes, so it alone is named.
    SetBitrateChoice(s, 11);
    s.copyFrames = 1;
    EXPECT_EQ(EncoderSummaryText(s), "  MP3:  CBR 128 kbps; Automatic Frequency; Automatic Channel; Copy join when the files allow;");
    s.loudness = 1;
    EXPECT_EQ(EncoderSummaryText(s), "  MP3:  CBR 128 kbps; Automatic Frequency; Automatic Channel; Loudness: podcast (-16 LUFS);");
    s.loudnessPreset = kLoudnessCustom;
    s.loudnessTarget = -19;
    EXPECT_EQ(EncoderSummaryText(s), "  MP3:  CBR 128 kbps; Automatic Frequency; Automatic Channel; Loudness: -19 LUFS;");
}

// The bit-rate mode has keys of its own: a file from before them reads its LameBits as it
// always did, and a file written now still gives an older program a constant rate.
TEST(SettingsStore, BitrateChoicesRoundTripAndAnOldFileReadsAsBefore) {
    TempDir tmp;
    const auto file = tmp / "Config.ini";
    WriteFile(file, "[MP3]\nLameBits=13\n");
    AppSettings old;
    old.bitrateMode = kBitrateVbr;  // overwritten by the load
    ASSERT_TRUE(LoadSettings(old, file.string()));
    EXPECT_EQ(old.bitrateMode, kBitrateConstant);
    EXPECT_EQ(BitrateChoiceOf(old), 13);
    EXPECT_EQ(EncoderSummaryText(old), "  MP3:  CBR 192 kbps; Automatic Frequency; Automatic Channel;");

    const struct { int choice; const char* text; } cases[] = {
        {0, "   8 kbits per second"},
        {16, " 320 kbits per second"},
        {kVbrChoiceFirst, "VBR, quality 0 (best)"},
        {kVbrChoiceFirst + 9, "VBR, quality 9"},
        {kSameAsInputsChoice, "Same as the inputs"},
    };
    for (const auto& c : cases) {
        AppSettings s = old;
        SetBitrateChoice(s, c.choice);
        ASSERT_TRUE(SaveSettings(s, file.string()));
        AppSettings back;
        ASSERT_TRUE(LoadSettings(back, file.string()));
        EXPECT_EQ(BitrateChoiceOf(back), c.choice);
        EXPECT_EQ(BitrateChoiceText(c.choice), c.text);
        // LameBits keeps the last constant rate chosen.
        EXPECT_EQ(back.bitrateIndex, c.choice < kVbrChoiceFirst ? c.choice : 13) << c.text;
    }
    // Hand-edited values: an unknown mode is the constant rate, a quality is brought into 0-9.
    WriteFile(file, "[MP3]\nLameBits=13\n[OUTPUT]\nBitrateMode=7\n");
    ASSERT_TRUE(LoadSettings(old, file.string()));
    EXPECT_EQ(BitrateChoiceOf(old), 13);
    WriteFile(file, "[OUTPUT]\nBitrateMode=1\nVbrQuality=15\n");
    ASSERT_TRUE(LoadSettings(old, file.string()));
    EXPECT_EQ(BitrateChoiceOf(old), kVbrChoiceFirst + 9);
}

// CreateFolderPath

TEST(CreateFolderPath, ThreeMissingLevelsAreCreated) {
    TempDir tmp;
    const fs::path target = tmp.path() / "one" / "two" / "three";
    EXPECT_TRUE(CreateFolderPath(target.string()));
    EXPECT_TRUE(fs::is_directory(target));
}

TEST(CreateFolderPath, TrailingSlashWorks) {
    TempDir tmp;
    const fs::path target = tmp.path() / "a" / "b";
    EXPECT_TRUE(CreateFolderPath(target.string() + "/"));
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_TRUE(CreateFolderPath(target.string() + "//"));
}

TEST(CreateFolderPath, ExistingFolderIsFine) {
    TempDir tmp;
    EXPECT_TRUE(CreateFolderPath(tmp.path().string()));
    EXPECT_TRUE(CreateFolderPath("/"));
}

TEST(CreateFolderPath, ExistingFileAsLastComponentCountsAsThere) {
    TempDir tmp;
    WriteFile(tmp / "file", "x");
    EXPECT_TRUE(CreateFolderPath((tmp / "file").string()));
    EXPECT_TRUE(fs::is_regular_file(tmp / "file"));
}

TEST(CreateFolderPath, PathBelowAFileFails) {
    TempDir tmp;
    WriteFile(tmp / "file", "x");
    EXPECT_FALSE(CreateFolderPath((tmp / "file" / "sub" / "deeper").string()));
    EXPECT_FALSE(CreateFolderPath((tmp / "file" / "sub").string()));
}

TEST(CreateFolderPath, ImpossibleRootFails) {
    // /proc takes no new folders, not even for root.
    EXPECT_FALSE(CreateFolderPath("/proc/velmora-no-such-root/a/b"));
    EXPECT_FALSE(CreateFolderPath(""));
}

TEST(CreateFolderPath, LongPathsBeyondTheOld260Limit) {
    TempDir tmp;
    fs::path target = tmp.path();
    for (int i = 0; i < 40; ++i)
        target /= "level-" + std::to_string(i) + "-abcdefghij";
    ASSERT_GT(target.string().size(), 600u);
    EXPECT_TRUE(CreateFolderPath(target.string()));
    EXPECT_TRUE(fs::is_directory(target));
}

TEST(CreateFolderPath, RelativePath) {
    TempDir tmp;
    const fs::path old = fs::current_path();
    fs::current_path(tmp.path());
    const bool made = CreateFolderPath("rel/x/y");
    fs::current_path(old);
    EXPECT_TRUE(made);
    EXPECT_TRUE(fs::is_directory(tmp.path() / "rel/x/y"));
}
