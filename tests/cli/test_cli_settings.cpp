#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cli/cli_process.h"
#include "support/mp3_fixtures.h"

using velmora::testing::CliRun;
using velmora::testing::ReadWholeFile;
using velmora::testing::RunCliProcess;
using velmora::testing::TempDir;
namespace fs = std::filesystem;

TEST(CliSettings, FreshAccountShowsTheInitialValuesAndWritesNothing) {
    TempDir tmp;
    auto r = RunCliProcess(CliRun{{"settings"}, tmp.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "  MP3:  CBR 128 kbps; Automatic Frequency; Automatic Channel;\n"
              "[OUTPUT]\n"
              "SameAsSrc=0\n"
              "DesDir=" + (tmp.path() / "Music/").string() + "\n"
              "LastDir=\n"
              "Name=Untitled\n"
              "[MP3]\n"
              "LameBits=11\n"
              "LameChannel=0\n"
              "Freq=0\n");
    // The program only reads the settings: no data folder, no Config.ini.
    EXPECT_FALSE(fs::exists(tmp.path() / ".config"));
}

TEST(CliSettings, ShowsTheValuesOfConfigIniAndLeavesItUntouched) {
    TempDir tmp;
    fs::create_directories(tmp.path() / ".config/Velmora");
    const fs::path ini = tmp.path() / ".config/Velmora/Config.ini";
    const std::string text =
        "; mine\n[mp3]\nLameBits=13\nlamechannel=2\nFreq=8\n[OUTPUT]\nSameAsSrc=1\nDesDir=/data/out/\n"
        "LastDir=/data/in\nName=Mix tape\n";
    std::ofstream(ini, std::ios::binary) << text;
    auto r = RunCliProcess(CliRun{{"settings"}, tmp.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "  MP3:  CBR 192 kbps; 44100 Hz; Stereo;\n"
              "[OUTPUT]\n"
              "SameAsSrc=1\n"
              "DesDir=/data/out/\n"
              "LastDir=/data/in\n"
              "Name=Mix tape\n"
              "[MP3]\n"
              "LameBits=13\n"
              "LameChannel=2\n"
              "Freq=8\n");
    EXPECT_EQ(ReadWholeFile(ini), text);
}

TEST(CliSettings, OutOfRangeValuesAreShownAsReadAndSummarisedSafely) {
    TempDir tmp;
    fs::create_directories(tmp.path() / ".config/Velmora");
    std::ofstream(tmp.path() / ".config/Velmora/Config.ini") << "[MP3]\nLameBits=99\nFreq=-3\nLameChannel=12abc\n";
    auto r = RunCliProcess(CliRun{{"settings"}, tmp.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "  MP3:  CBR 128 kbps; Automatic Frequency;");
    EXPECT_NE(r.out.find("LameBits=99\n"), std::string::npos);
    EXPECT_NE(r.out.find("Freq=-3\n"), std::string::npos);
    EXPECT_NE(r.out.find("LameChannel=12\n"), std::string::npos);
}

TEST(CliSettings, UnreadableSettingsFileFails) {
    TempDir tmp;
    fs::create_directories(tmp.path() / ".config/Velmora/Config.ini");  // a folder in its place
    auto r = RunCliProcess(CliRun{{"settings"}, tmp.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("An Error Occurred while loading settings!"), std::string::npos);
}

TEST(CliSettings, ExtraArgumentsAreStatus2) {
    TempDir tmp;
    auto r = RunCliProcess(CliRun{{"settings", "--all"}, tmp.path()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("usage: velmora-cli settings"), std::string::npos);
}
