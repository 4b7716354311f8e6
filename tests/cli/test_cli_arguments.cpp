#include <gtest/gtest.h>

#include <optional>
#include <regex>

#include "cli/cli_commands.h"
#include "cli/cli_process.h"
#include "settings/app_settings.h"
#include "support/mp3_fixtures.h"

using namespace velmora::cli;
using velmora::testing::CliRun;
using velmora::testing::RunCliProcess;
using velmora::testing::TempDir;

TEST(CliValues, BitratesFromTheTableOnly) {
    EXPECT_EQ(BitrateIndexForKbps("8"), 0);
    EXPECT_EQ(BitrateIndexForKbps("128"), 11);
    EXPECT_EQ(BitrateIndexForKbps("320"), 16);
    EXPECT_FALSE(BitrateIndexForKbps("144"));
    EXPECT_FALSE(BitrateIndexForKbps("128k"));
    EXPECT_FALSE(BitrateIndexForKbps("-128"));
    EXPECT_FALSE(BitrateIndexForKbps(""));
    EXPECT_FALSE(BitrateIndexForKbps("99999999999999"));
}

TEST(CliValues, FrequenciesFromTheTableOrAuto) {
    EXPECT_EQ(FrequencyIndexForText("auto"), 0);
    EXPECT_EQ(FrequencyIndexForText("8000"), 1);
    EXPECT_EQ(FrequencyIndexForText("44100"), 8);
    EXPECT_EQ(FrequencyIndexForText("48000"), 9);
    EXPECT_FALSE(FrequencyIndexForText("0"));
    EXPECT_FALSE(FrequencyIndexForText("44000"));
    EXPECT_FALSE(FrequencyIndexForText("Auto"));
}

TEST(CliValues, ChannelModeNames) {
    EXPECT_EQ(ChannelModeIndexForName("auto"), 0);
    EXPECT_EQ(ChannelModeIndexForName("mono"), 1);
    EXPECT_EQ(ChannelModeIndexForName("stereo"), 2);
    EXPECT_EQ(ChannelModeIndexForName("joint"), 3);
    EXPECT_EQ(ChannelModeIndexForName("dual"), 4);
    EXPECT_FALSE(ChannelModeIndexForName("quad"));
}

TEST(CliJoinArguments, AllOptionsInBothSpellings) {
    auto r = ParseJoinArguments({"-o", "out.mp3", "--bitrate", "192", "--frequency=48000", "--channels", "joint",
                                 "--quiet", "a.mp3", "b.mp3", "--overwrite", "c.mp3"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.output, "out.mp3");
    EXPECT_EQ(r.options.bitrateChoice, 13);
    EXPECT_EQ(r.options.frequencyIndex, 9);
    EXPECT_EQ(r.options.channelModeIndex, 3);
    EXPECT_TRUE(r.options.quiet);
    EXPECT_TRUE(r.options.overwrite);
    EXPECT_EQ(r.options.inputs, (std::vector<std::string>{"a.mp3", "b.mp3", "c.mp3"}));

    auto attached = ParseJoinArguments({"-oout.mp3", "--bitrate=64", "x", "y"});
    ASSERT_TRUE(attached.ok);
    EXPECT_EQ(attached.options.output, "out.mp3");
    EXPECT_EQ(attached.options.bitrateChoice, 7);
    EXPECT_FALSE(attached.options.frequencyIndex);
}

TEST(CliJoinArguments, BitrateSameAndVbrAreItemsOfTheBitrateListAndTheLastCounts) {
    const struct { std::vector<std::string> args; std::optional<int> choice; } cases[] = {
        {{"--bitrate", "same"}, velmora::kSameAsInputsChoice},
        {{"--vbr", "0"}, velmora::kVbrChoiceFirst},
        {{"--vbr=9"}, velmora::kVbrChoiceFirst + 9},
        {{"--bitrate", "128", "--vbr", "3"}, velmora::kVbrChoiceFirst + 3},
        {{"--vbr", "3", "--bitrate=same"}, velmora::kSameAsInputsChoice},
        {{"--vbr", "10"}, std::nullopt},
        {{"--vbr", "best"}, std::nullopt},
        {{"--bitrate", "Same"}, std::nullopt},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"a.mp3", "b.mp3"});
        const auto r = ParseJoinArguments(args);
        EXPECT_EQ(r.ok ? r.options.bitrateChoice : std::nullopt, c.choice) << c.args.back() << ": " << r.error;
    }
}

TEST(CliJoinArguments, DoubleDashEndsOptions) {
    auto r = ParseJoinArguments({"--", "-weird.mp3", "--quiet"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_FALSE(r.options.quiet);
    EXPECT_EQ(r.options.inputs, (std::vector<std::string>{"-weird.mp3", "--quiet"}));
}

TEST(CliJoinArguments, Errors) {
    EXPECT_FALSE(ParseJoinArguments({"a.mp3"}).ok);
    EXPECT_EQ(ParseJoinArguments({"a.mp3"}).error, "At Lease 2 Files are Required to Perform a Joining Task!");
    EXPECT_FALSE(ParseJoinArguments({}).ok);
    EXPECT_FALSE(ParseJoinArguments({"a", "b", "-o"}).ok);
    EXPECT_FALSE(ParseJoinArguments({"a", "b", "--bitrate", "100"}).ok);
    EXPECT_FALSE(ParseJoinArguments({"a", "b", "--frequency", "1"}).ok);
    EXPECT_FALSE(ParseJoinArguments({"a", "b", "--channels", "surround"}).ok);
    EXPECT_FALSE(ParseJoinArguments({"a", "b", "--fast"}).ok);
    EXPECT_FALSE(ParseJoinArguments({"a", "b", "--quiet=yes"}).ok);
    EXPECT_FALSE(ParseJoinArguments({"a", "b", "--overwrite"}).ok);  // only with -o
    EXPECT_FALSE(ParseJoinArguments({"a", "b", "-o", ""}).ok);
    EXPECT_TRUE(ParseJoinArguments({"--help"}).ok);
    EXPECT_TRUE(ParseJoinArguments({"--help"}).options.help);
}

TEST(CliJoinArguments, LoudnessTakesAPresetOrATarget) {
    struct Case {
        std::vector<std::string> args;
        int32_t preset;  // -1: refused
        int target;
    };
    const Case cases[] = {
        {{"--loudness", "a", "b"}, velmora::kLoudnessPodcast, -16},  // "a" is an input, not a choice
        {{"--loudness", "audiobook", "a", "b"}, velmora::kLoudnessAudiobook, -16},
        {{"--loudness=broadcast", "a", "b"}, velmora::kLoudnessBroadcast, -16},
        {{"--loudness", "podcast", "a", "b"}, velmora::kLoudnessPodcast, -16},
        {{"--loudness", "-20", "a", "b"}, velmora::kLoudnessCustom, -20},
        {{"a", "b", "--loudness=-30"}, velmora::kLoudnessCustom, -30},
        {{"a", "b", "--loudness", "-31"}, -1, 0},
        {{"a", "b", "--loudness", "-9"}, -1, 0},
        {{"a", "b", "--loudness", "20"}, -1, 0},
        {{"a", "b", "--loudness=custom"}, -1, 0},
        {{"a", "b", "--loudness=louder"}, -1, 0},
    };
    for (const Case& c : cases) {
        const JoinParse r = ParseJoinArguments(c.args);
        SCOPED_TRACE(::testing::PrintToString(c.args));
        ASSERT_EQ(r.ok, c.preset >= 0) << r.error;
        if (!r.ok) {
            EXPECT_EQ(r.error.rfind("--loudness takes podcast, audiobook, broadcast or a target from -30 to -10 LUFS, not '", 0), 0u)
                << r.error;
            continue;
        }
        EXPECT_EQ(r.options.loudness, c.preset);
        if (c.preset == velmora::kLoudnessCustom) {
            EXPECT_EQ(r.options.loudnessTarget, c.target);
        }
        EXPECT_EQ(r.options.inputs, (std::vector<std::string>{"a", "b"}));
    }
}

TEST(CliFormatting, LogLinesAreNumberedAndTimed) {
    EXPECT_EQ(FormatLogLine(1, 9, 5, 7, "Start a new joining task."), "001 09:05:07 Start a new joining task.");
    EXPECT_EQ(FormatLogLine(1234, 23, 59, 59, "x"), "1234 23:59:59 x");
}

TEST(CliFormatting, Durations) {
    EXPECT_EQ(FormatDuration(0), "00:00:00");
    EXPECT_EQ(FormatDuration(59.99), "00:00:59");
    EXPECT_EQ(FormatDuration(3661), "01:01:01");
    EXPECT_EQ(FormatDuration(360000), "100:00:00");
    EXPECT_EQ(FormatDuration(-5), "00:00:00");
}

TEST(CliFormatting, ProgressBarIsClamped) {
    EXPECT_EQ(FormatProgressBar(50, 2.5, 12, 10), "[#####-----]  50.00%    2.50x  ETA 00:00:12");
    EXPECT_EQ(FormatProgressBar(130, 1, 0, 4), "[####] 100.00%    1.00x  ETA 00:00:00");
    EXPECT_EQ(FormatProgressBar(-3, 0, 0, 4), "[----]   0.00%    0.00x  ETA 00:00:00");
}

// The program itself: the dispatch and argument errors.

TEST(CliProgram, NoArgumentsShowUsageWithStatus2) {
    TempDir tmp;
    auto r = RunCliProcess(CliRun{{}, tmp.path()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("usage: velmora-cli"), std::string::npos);
}

TEST(CliProgram, UnknownCommandIsStatus2) {
    TempDir tmp;
    auto r = RunCliProcess(CliRun{{"merge", "a", "b"}, tmp.path()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown command 'merge'"), std::string::npos);
}

TEST(CliProgram, HelpAndVersion) {
    TempDir tmp;
    auto help = RunCliProcess(CliRun{{"--help"}, tmp.path()});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("join"), std::string::npos);
    EXPECT_NE(help.out.find("settings"), std::string::npos);
    auto version = RunCliProcess(CliRun{{"--version"}, tmp.path()});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_search(version.out, std::regex(R"(^velmora-cli \d+\.\d+\.\d+)")));
    auto joinHelp = RunCliProcess(CliRun{{"join", "--help"}, tmp.path()});
    EXPECT_EQ(joinHelp.status, 0);
    EXPECT_NE(joinHelp.out.find("usage: velmora-cli join"), std::string::npos);
}

TEST(CliProgram, JoinArgumentErrorsGiveStatus2AndTheUsageLine) {
    TempDir tmp;
    const std::vector<std::vector<std::string>> bad = {
        {"join"},
        {"join", "only-one.mp3"},
        {"join", "a.mp3", "b.mp3", "--bitrate", "100"},
        {"join", "a.mp3", "b.mp3", "--frequency", "44000"},
        {"join", "a.mp3", "b.mp3", "--channels", "quad"},
        {"join", "a.mp3", "b.mp3", "-o"},
        {"join", "a.mp3", "b.mp3", "--nope"},
    };
    for (const auto& args : bad) {
        auto r = RunCliProcess(CliRun{args, tmp.path()});
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_NE(r.err.find("usage: velmora-cli join"), std::string::npos) << r.err;
    }
    // Nothing was created on the way: no settings folder, no output.
    EXPECT_FALSE(std::filesystem::exists(tmp.path() / ".config"));
    EXPECT_FALSE(std::filesystem::exists(tmp.path() / "Music"));
}
