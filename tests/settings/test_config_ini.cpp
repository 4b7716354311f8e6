#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "settings/config_ini.h"
#include "support/mp3_fixtures.h"

using namespace velmora;
using velmora::testing::TempDir;

using velmora::testing::ReadFile;
using velmora::testing::WriteFile;

TEST(ProfileInt, DecimalNumberAtTheStart) {
    EXPECT_EQ(ProfileIntFromText("12"), 12);
    EXPECT_EQ(ProfileIntFromText("12abc"), 12);
    EXPECT_EQ(ProfileIntFromText("abc"), 0);
    EXPECT_EQ(ProfileIntFromText(""), 0);
    EXPECT_EQ(ProfileIntFromText("-3"), -3);
    EXPECT_EQ(ProfileIntFromText("+7x"), 7);
    EXPECT_EQ(ProfileIntFromText("  42"), 42);
    EXPECT_EQ(ProfileIntFromText("-"), 0);
    EXPECT_EQ(ProfileIntFromText("0x10"), 0);
    EXPECT_EQ(ProfileIntFromText("99999999999999999999"), INT32_MAX);
    EXPECT_EQ(ProfileIntFromText("-99999999999999999999"), INT32_MIN);
    EXPECT_EQ(ProfileIntFromText("-2147483648"), INT32_MIN);
}

TEST(ConfigIni, NamesMatchWithoutRegardToCase) {
    auto ini = ConfigIni::Parse("[output]\nsameassrc=1\nNAME=Mix\n[Mp3]\nlAmEbItS=13\n");
    EXPECT_EQ(ini.GetInt("OUTPUT", "SameAsSrc", 0), 1);
    EXPECT_EQ(ini.GetString("OUTPUT", "Name", "Untitled"), "Mix");
    EXPECT_EQ(ini.GetInt("MP3", "LameBits", 11), 13);
}

TEST(ConfigIni, MissingKeysAndSectionsGiveTheFallback) {
    auto ini = ConfigIni::Parse("[OUTPUT]\nName=x\n");
    EXPECT_EQ(ini.GetInt("MP3", "LameBits", 11), 11);
    EXPECT_EQ(ini.GetInt("OUTPUT", "SameAsSrc", 0), 0);
    EXPECT_EQ(ini.GetString("OUTPUT", "LastDir", ""), "");
    EXPECT_FALSE(ini.Value("OUTPUT", "LastDir").has_value());
    auto empty = ConfigIni::Parse("");
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(empty.GetString("OUTPUT", "Name", "Untitled"), "Untitled");
}

TEST(ConfigIni, KeysOutsideTheirSectionAreNotFound) {
    // A key before any section header, or in another section, is not the one asked for.
    auto ini = ConfigIni::Parse("Name=before\n[MP3]\nName=mp3\n[OUTPUT]\nDesDir=/d/\n");
    EXPECT_FALSE(ini.Value("OUTPUT", "Name").has_value());
    EXPECT_EQ(ini.GetString("MP3", "Name", ""), "mp3");
}

TEST(ConfigIni, FirstMatchingSectionAndKeyWin) {
    auto ini = ConfigIni::Parse("[MP3]\nFreq=1\nfreq=2\n[mp3]\nFreq=3\n");
    EXPECT_EQ(ini.GetInt("MP3", "Freq", 0), 1);
}

TEST(ConfigIni, ValuesAreTrimmedAndQuotesDropped) {
    auto ini = ConfigIni::Parse("[ OUTPUT ]\r\n  Name  =  My Mix  \r\nDesDir=\"  /spaced/  \"\r\n");
    EXPECT_EQ(ini.GetString("OUTPUT", "Name", ""), "My Mix");
    EXPECT_EQ(ini.GetString("OUTPUT", "DesDir", ""), "  /spaced/  ");
}

TEST(ConfigIni, ValuesThatReadingWouldChangeRoundTripExactly) {
    ConfigIni ini;
    const std::string values[] = {"  lead", "trail\t", "\"quoted\"", "a=b=c", "[not a section]", ";x", "ü/ñ/日本"};
    int i = 0;
    for (const auto& v : values)
        ini.SetString("S", "k" + std::to_string(i++), v);
    auto back = ConfigIni::Parse(ini.Serialize());
    i = 0;
    for (const auto& v : values)
        EXPECT_EQ(back.GetString("S", "k" + std::to_string(i++), "?"), v);
}

TEST(ConfigIni, LineBreaksInAValueCannotInjectKeysOrSections) {
    ConfigIni ini;
    ini.SetString("OUTPUT", "Name", "evil\n[MP3]\nLameBits=0");
    auto back = ConfigIni::Parse(ini.Serialize());
    EXPECT_EQ(back.GetString("OUTPUT", "Name", ""), "evil");
    EXPECT_FALSE(back.Value("MP3", "LameBits").has_value());
}

TEST(ConfigIni, StringsComeBackCutTo1023Characters) {
    const std::string longText(2000, 'x');
    ConfigIni ini;
    ini.SetString("OUTPUT", "Name", longText);
    EXPECT_EQ(ini.Value("OUTPUT", "Name")->size(), 2000u);  // stored whole
    EXPECT_EQ(ini.GetString("OUTPUT", "Name", ""), std::string(1023, 'x'));
    // Characters, not bytes: a two-byte character is never split.
    std::string wide;
    for (int i = 0; i < 1500; ++i)
        wide += "\xC3\xA9";  // é
    ini.SetString("OUTPUT", "Wide", wide);
    EXPECT_EQ(ini.GetString("OUTPUT", "Wide", ""), wide.substr(0, 2 * 1023));
    // The fallback is cut the same way.
    EXPECT_EQ(ini.GetString("OUTPUT", "Missing", longText).size(), 1023u);
}

TEST(ConfigIni, NewSectionsAndKeysAreAppendedExistingOnesKeepTheirPlace) {
    ConfigIni ini;
    ini.SetInt("OUTPUT", "SameAsSrc", 0);
    ini.SetString("OUTPUT", "Name", "Untitled");
    ini.SetInt("MP3", "LameBits", 11);
    EXPECT_EQ(ini.Serialize(), "[OUTPUT]\nSameAsSrc=0\nName=Untitled\n[MP3]\nLameBits=11\n");
    ini.SetString("OUTPUT", "DesDir", "/music/");
    ini.SetInt("OUTPUT", "SameAsSrc", 1);
    EXPECT_EQ(ini.Serialize(), "[OUTPUT]\nSameAsSrc=1\nName=Untitled\nDesDir=/music/\n[MP3]\nLameBits=11\n");
}

TEST(ConfigIni, HandEditedFileKeepsCommentsBlankLinesAndUnknownEntries) {
    const std::string original =
        "; my settings\n"
        "\n"
        "[Extra]\n"
        "Keep=me\n"
        "\n"
        "[output]\n"
        "# note\n"
        "desdir = /old/\n"
        "Other=1\n"
        "\n"
        "[MP3]\n"
        "Freq=8\n";
    auto ini = ConfigIni::Parse(original);
    ini.SetString("OUTPUT", "DesDir", "/new/");
    ini.SetString("OUTPUT", "Name", "Mix");
    ini.SetInt("MP3", "Freq", 9);
    EXPECT_EQ(ini.Serialize(),
              "; my settings\n"
              "\n"
              "[Extra]\n"
              "Keep=me\n"
              "\n"
              "[output]\n"
              "# note\n"
              "desdir=/new/\n"
              "Other=1\n"
              "Name=Mix\n"
              "\n"
              "[MP3]\n"
              "Freq=9\n");
}

TEST(ConfigIni, OddLinesAreKeptAndIgnored) {
    auto ini = ConfigIni::Parse("[OUTPUT\nName=unclosed\nnoequals\n=novalue\n[]\nName=x\n");
    // "[OUTPUT" without "]" still opens the section.
    EXPECT_EQ(ini.GetString("OUTPUT", "Name", ""), "unclosed");
    EXPECT_EQ(ini.Serialize(), "[OUTPUT\nName=unclosed\nnoequals\n=novalue\n[]\nName=x\n");
}

TEST(ConfigIniFile, MissingFileReadsAsEmpty) {
    TempDir tmp;
    std::string error;
    auto ini = LoadConfigIni((tmp / "none.ini").string(), &error);
    ASSERT_TRUE(ini.has_value());
    EXPECT_TRUE(ini->empty());
    EXPECT_TRUE(error.empty());
}

TEST(ConfigIniFile, UnreadableFileIsAnError) {
    TempDir tmp;
    std::filesystem::create_directory(tmp / "Config.ini");  // a folder where the file should be
    std::string error;
    EXPECT_FALSE(LoadConfigIni((tmp / "Config.ini").string(), &error).has_value());
    EXPECT_FALSE(error.empty());
}

TEST(ConfigIniFile, SaveReplacesTheWholeFileAndLeavesNoTemporaryFiles) {
    TempDir tmp;
    const auto path = tmp / "Config.ini";
    WriteFile(path, "[MP3]\r\nFreq=2\r\n");
    ::chmod(path.c_str(), 0600);
    auto ini = LoadConfigIni(path.string());
    ASSERT_TRUE(ini);
    ini->SetInt("MP3", "Freq", 3);
    ASSERT_TRUE(SaveConfigIni(path.string(), *ini));
    EXPECT_EQ(ReadFile(path), "[MP3]\nFreq=3\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // permissions of the replaced file kept
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(tmp.path())) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1);
}

TEST(ConfigIniFile, FailedSaveLeavesTheOldFileWhole) {
    TempDir tmp;
    const auto path = tmp / "sub" / "Config.ini";
    ConfigIni ini;
    ini.SetInt("MP3", "Freq", 3);
    std::string error;
    // The folder does not exist: nothing can be written, and the failure is reported.
    EXPECT_FALSE(SaveConfigIni(path.string(), ini, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(ConfigIniFile, SaveBelowAFileFailsAndLeavesTheFileAlone) {
    TempDir tmp;
    const auto path = tmp / "Config.ini";
    WriteFile(path, "[MP3]\nFreq=2\n");
    ConfigIni ini;
    ini.SetInt("MP3", "Freq", 5);
    // A path whose folder part is a file cannot take the temporary file of a save.
    EXPECT_FALSE(SaveConfigIni((path / "x.ini").string(), ini));
    EXPECT_EQ(ReadFile(path), "[MP3]\nFreq=2\n");
}

TEST(ConfigIni, StrayCarriageReturnsBeforeALineEndReadTheSameAfterARewrite) {
    auto ini = ConfigIni::Parse("[MP3]\r\r\nFreq=4\r\r\n");
    EXPECT_EQ(ini.GetInt("MP3", "Freq", 0), 4);
    const std::string once = ini.Serialize();
    EXPECT_EQ(once, "[MP3]\nFreq=4\n");
    EXPECT_EQ(ConfigIni::Parse(once).Serialize(), once);
}
