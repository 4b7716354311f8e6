#include <gtest/gtest.h>

#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>

#include "cli/cli_commands.h"
#include "cli/cli_process.h"
#include "engine/stream_info.h"
#include "support/m4b_reader.h"
#include "support/mp3_fixtures.h"

using velmora::ReadStreamInfo;
using velmora::testing::CliResult;
using velmora::testing::CliRun;
using velmora::testing::DecodeMp3;
using velmora::testing::EstimateFrequency;
using velmora::testing::MakeToneMp3;
using velmora::testing::ReadM4b;
using velmora::testing::ReadM4bFile;
using velmora::testing::ReadWholeFile;
using velmora::testing::RunCliProcess;
using velmora::testing::TempDir;
using velmora::testing::ToneSpec;
namespace fs = std::filesystem;

namespace {

class CliJoin : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = tmp_.path() / "home";
        fs::create_directories(home_);
        in_ = tmp_.path() / "in";
        fs::create_directories(in_);
    }
    fs::path Tone(const std::string& name, ToneSpec toneSpec) {
        const fs::path p = in_ / name;
        EXPECT_TRUE(MakeToneMp3(p, toneSpec));
        return p;
    }
    CliResult RunCommand(std::vector<std::string> args) { return RunCliProcess(CliRun{std::move(args), home_, tmp_.path()}); }
    CliResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), "join");
        return RunCommand(std::move(args));
    }
    void WriteConfig(const std::string& text) {
        fs::create_directories(home_ / ".config/Velmora");
        std::ofstream(home_ / ".config/Velmora/Config.ini", std::ios::binary) << text;
    }

    TempDir tmp_;
    fs::path home_;
    fs::path in_;
};

size_t Frames(const fs::path& p) { return DecodeMp3(p).frames(); }

}  // namespace

TEST_F(CliJoin, TwoInputsOfOneFormatJoinSampleExactlyInOrder) {
    const auto a = Tone("a.mp3", {44100, 2, 1.5, 440.0, 128, true});
    const auto b = Tone("b.mp3", {44100, 2, 1.0, 1320.0, 128, true});
    const fs::path out = tmp_.path() / "out.mp3";
    auto r = Run({"-o", out.string(), a.string(), b.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, out.string() + "\n");

    const auto decoded = DecodeMp3(out);
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.rate, 44100);
    EXPECT_EQ(decoded.channels, 2);
    EXPECT_EQ(decoded.frames(), Frames(a) + Frames(b));
    EXPECT_EQ(decoded.frames(), 66150u + 44100u);
    // The first input's tone first, then the second's.
    EXPECT_NEAR(EstimateFrequency(decoded, 10000, 40000), 440.0, 15.0);
    EXPECT_NEAR(EstimateFrequency(decoded, 76000, 30000), 1320.0, 30.0);
    // Its Info header gives the true length.
    const auto info = ReadStreamInfo(out.string());
    ASSERT_TRUE(info.readable);
    EXPECT_EQ(info.totalSamples, decoded.samples.size());

    // The log: numbered, timed lines, ending with OK and the finish line.
    const std::regex first(R"(^001 \d\d:\d\d:\d\d Start a new joining task\.\n002 \d\d:\d\d:\d\d Destination: )");
    EXPECT_TRUE(std::regex_search(r.err, first)) << r.err;
    EXPECT_NE(r.err.find("Joining status: OK."), std::string::npos);
    EXPECT_NE(r.err.find("Finished joining, all done ^_^"), std::string::npos);
    EXPECT_EQ(r.err.find("\r"), std::string::npos);  // no progress bar when stderr is not a terminal
}

TEST_F(CliJoin, QuietPrintsNoInformationLines) {
    const auto a = Tone("a.mp3", {44100, 2, 0.5, 440.0, 128, true});
    const auto b = Tone("b.mp3", {44100, 2, 0.5, 660.0, 128, true});
    auto r = Run({"--quiet", "-o", (tmp_.path() / "q.mp3").string(), a.string(), b.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Frames(tmp_.path() / "q.mp3"), 44100u);
}

TEST_F(CliJoin, WithoutOutputTheSettingsPathIsUsedAndNeverOverwritten) {
    const auto a = Tone("a.mp3", {44100, 2, 0.5, 440.0, 128, true});
    const auto b = Tone("b.mp3", {44100, 2, 0.5, 660.0, 128, true});
    auto first = Run({a.string(), b.string()});
    ASSERT_EQ(first.status, 0) << first.err;
    const fs::path untitled = home_ / "Music/Untitled.mp3";
    EXPECT_EQ(first.out, untitled.string() + "\n");
    ASSERT_TRUE(fs::exists(untitled));
    const std::string firstBytes = ReadWholeFile(untitled);

    auto second = Run({b.string(), a.string()});
    ASSERT_EQ(second.status, 0) << second.err;
    const fs::path numbered = home_ / "Music/Untitled (2).mp3";
    EXPECT_EQ(second.out, numbered.string() + "\n");
    EXPECT_TRUE(fs::exists(numbered));
    EXPECT_EQ(ReadWholeFile(untitled), firstBytes);
    EXPECT_EQ(Frames(numbered), 44100u);
    // The settings file is read, never written.
    EXPECT_FALSE(fs::exists(home_ / ".config/Velmora/Config.ini"));
}

TEST_F(CliJoin, SettingsFromConfigIniChooseFolderNameAndFormat) {
    const auto a = Tone("a.mp3", {44100, 2, 1.0, 440.0, 128, true});
    const auto b = Tone("b.mp3", {44100, 2, 1.0, 660.0, 128, true});
    const fs::path outFolder = tmp_.path() / "made/by/join";
    const std::string config = "[OUTPUT]\nDesDir=" + outFolder.string() + "/\nName=Mix\n[MP3]\nLameBits=13\nLameChannel=1\nFreq=9\n";
    WriteConfig(config);
    auto r = Run({a.string(), b.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const fs::path out = outFolder / "Mix.mp3";
    ASSERT_TRUE(fs::exists(out)) << r.err;  // the missing folders were created
    const auto decoded = DecodeMp3(out);
    EXPECT_EQ(decoded.rate, 48000);
    EXPECT_EQ(decoded.channels, 1);
    // 2 s of 44.1 kHz resampled to 48 kHz: within a frame per converted input.
    EXPECT_NEAR(static_cast<double>(decoded.frames()), 96000.0, 2 * 1152.0);
    // 192 kbit/s for about two seconds.
    EXPECT_NEAR(static_cast<double>(fs::file_size(out)), 2.0 * 192000 / 8, 4000.0);
    EXPECT_EQ(ReadWholeFile(home_ / ".config/Velmora/Config.ini"), config);
}

TEST_F(CliJoin, OptionsOverrideTheSettings) {
    WriteConfig("[MP3]\nLameBits=16\nFreq=9\nLameChannel=2\n");
    const auto a = Tone("a.mp3", {44100, 2, 1.0, 440.0, 128, true});
    const auto b = Tone("b.mp3", {22050, 1, 1.0, 660.0, 64, true});
    const fs::path out = tmp_.path() / "o.mp3";
    auto r = Run({"--bitrate", "64", "--frequency", "22050", "--channels", "mono", "-o", out.string(), a.string(),
                  b.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto decoded = DecodeMp3(out);
    EXPECT_EQ(decoded.rate, 22050);
    EXPECT_EQ(decoded.channels, 1);
    EXPECT_NEAR(static_cast<double>(decoded.frames()), 44100.0, 2 * 1152.0);
    EXPECT_NEAR(static_cast<double>(fs::file_size(out)), 2.0 * 64000 / 8, 2000.0);
}

TEST_F(CliJoin, VbrAndTheInputsOwnBitRate) {
    const auto a = Tone("a.mp3", {44100, 2, 1.0, 440.0, 64, true});
    const auto b = Tone("b.mp3", {44100, 2, 1.0, 660.0, 160, true});
    const fs::path out = tmp_.path() / "o.mp3";
    auto same = Run({"--bitrate", "same", "-o", out.string(), a.string(), b.string()});
    ASSERT_EQ(same.status, 0) << same.err;
    EXPECT_NE(same.err.find("Bit rate: 160 kbps, the highest among the inputs."), std::string::npos) << same.err;
    EXPECT_NEAR(static_cast<double>(fs::file_size(out)), 2.0 * 160000 / 8, 4000.0);
    auto vbr = Run({"--vbr", "2", "--overwrite", "-o", out.string(), a.string(), b.string()});
    ASSERT_EQ(vbr.status, 0) << vbr.err;
    const std::string bytes = ReadWholeFile(out);
    EXPECT_NE(bytes.find("Xing"), std::string::npos);  // a VBR header, not "Info"
    EXPECT_NEAR(static_cast<double>(DecodeMp3(out).frames()), 88200.0, 1152.0);
}

TEST_F(CliJoin, AutomaticFormatFollowsTheInputs) {
    const auto a = Tone("a.mp3", {22050, 1, 1.0, 440.0, 64, true});
    const auto b = Tone("b.mp3", {44100, 2, 1.0, 660.0, 128, true});
    const fs::path out = tmp_.path() / "auto.mp3";
    auto r = Run({"--frequency", "auto", "--channels", "auto", "-o", out.string(), a.string(), b.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto decoded = DecodeMp3(out);
    EXPECT_EQ(decoded.rate, 44100);
    EXPECT_EQ(decoded.channels, 2);
    EXPECT_NEAR(static_cast<double>(decoded.frames()), 88200.0, 1152.0);
}

TEST_F(CliJoin, ExistingOutputIsRefusedWithoutOverwrite) {
    const auto a = Tone("a.mp3", {44100, 2, 0.5, 440.0, 128, true});
    const auto b = Tone("b.mp3", {44100, 2, 0.5, 660.0, 128, true});
    const fs::path out = tmp_.path() / "exists.mp3";
    std::ofstream(out) << "precious";
    auto refused = Run({"-o", out.string(), a.string(), b.string()});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("--overwrite"), std::string::npos);
    EXPECT_EQ(ReadWholeFile(out), "precious");

    auto replaced = Run({"--overwrite", "-o", out.string(), a.string(), b.string()});
    ASSERT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(Frames(out), 44100u);
}

// The disk fills up half-way (a file size limit stands in for it): the join fails, in either
// format, and the file it was to replace is still there, with no temporary file left beside it.
TEST_F(CliJoin, AFailedOverwriteLeavesTheOldFile) {
    const auto a = Tone("a.mp3", {44100, 2, 4.0, 440.0, 128, true});
    const auto b = Tone("b.mp3", {44100, 2, 4.0, 660.0, 128, true});
    for (const std::string format : {"mp3", "m4b"}) {
        SCOPED_TRACE(format);
        const fs::path out = tmp_.path() / ("book." + format);
        const std::string old(2000, 'p');
        std::ofstream(out, std::ios::binary) << old;
        const auto before = std::distance(fs::directory_iterator(tmp_.path()), fs::directory_iterator());
        // Writes past 32 KiB fail with EFBIG (the signal that would end the program is ignored).
        CliRun run({"-c", "trap '' XFSZ; ulimit -f 64; exec \"$0\" \"$@\"", velmora::testing::CliExecutable().string(),
                    "join", "--format", format, "--bitrate", "128", "--overwrite", "-o", out.string(), a.string(),
                    b.string()},
                   home_, tmp_.path());
        run.executable = "/bin/sh";
        const CliResult r = RunCliProcess(run);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("Output file write error"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Joining status: ERROR."), std::string::npos) << r.err;
        EXPECT_EQ(ReadWholeFile(out), old);
        EXPECT_EQ(std::distance(fs::directory_iterator(tmp_.path()), fs::directory_iterator()), before);
    }
}

// A folder of MP3 parts into an audiobook, read back through FFmpeg's libraries and through the
// program's own chapters and list commands.
TEST_F(CliJoin, AFolderOfPartsBecomesAnM4bWithItsChapters) {
    size_t frames[3];
    const char* names[] = {"01 Arrival.mp3", "02 Storm.mp3", "03 Home.mp3"};
    for (int i = 0; i < 3; ++i) frames[i] = Frames(Tone(names[i], {44100, 2, 0.8 + 0.3 * i, 440.0 + 220 * i, 128, true}));

    // No -o: the settings' folder and name, with the format's extension.
    // A title that is not UTF-8 keeps its readable part.
    const CliResult r = Run({"--format", "m4b", "--bitrate", "48", "--title", "Bad \xff title", in_.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const fs::path out = r.out.substr(0, r.out.size() - 1);
    EXPECT_EQ(out.extension(), ".m4b") << r.out;
    const ReadM4b m = ReadM4bFile(out);
    ASSERT_TRUE(m.ok) << m.error;
    EXPECT_EQ(m.codec, "aac");
    EXPECT_EQ(m.tags.at("title"), "Bad \xEF\xBF\xBD title");
    EXPECT_EQ(static_cast<size_t>(m.indexFrames), frames[0] + frames[1] + frames[2]);
    ASSERT_EQ(m.chapters.size(), 3u);
    EXPECT_EQ(m.chapters[1].title, "Storm");
    EXPECT_NEAR(m.chapters[2].start, static_cast<double>(frames[0] + frames[1]) / 44100.0, 0.001);

    // The program reads its own output back: chapters and properties.
    const CliResult chapters = RunCommand({"chapters", out.string()});
    ASSERT_EQ(chapters.status, 0) << chapters.err;
    EXPECT_EQ(chapters.out.substr(0, chapters.out.find('\n')), "00:00:00.000\t00:00:00.800\tArrival");
    const CliResult list = RunCommand({"list", out.string()});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("\tM4B\t"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("44100 Hz\t2 (Stereo)\t"), std::string::npos) << list.out;

    // MP3-only choices are refused for an M4B, with nothing written.
    const fs::path other = tmp_.path() / "other.m4b";
    const CliResult refused = Run({"--format", "m4b", "--bitrate", "320", "-o", other.string(), in_.string()});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("32 40 48"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(other));
}

// --dry-run prints what the join would write and writes nothing; the real join then writes
// the very chapters it printed. A bad chapters file is refused with its line, nothing written.
TEST_F(CliJoin, ADryRunPrintsThePlanTheJoinThenWrites) {
    const auto a = Tone("01 - Opening.mp3", {44100, 2, 0.7, 440.0, 128, true});
    const auto b = Tone("02 - Middle.mp3", {44100, 2, 0.9, 550.0, 128, true});
    const auto c = Tone("03 - End.mp3", {44100, 2, 0.6, 660.0, 128, true});
    const fs::path out = tmp_.path() / "book.mp3";
    const std::vector<std::string> args{"--title", "The Book", "-o", out.string(), a.string(), b.string(), c.string()};
    std::vector<std::string> dry = args;
    dry.insert(dry.begin(), "--dry-run");
    const CliResult planned = Run(dry);
    ASSERT_EQ(planned.status, 0) << planned.err;
    EXPECT_FALSE(fs::exists(out));
    EXPECT_NE(planned.out.find("Output: " + out.string() + "\n"), std::string::npos) << planned.out;
    EXPECT_NE(planned.out.find("Title: The Book\n"), std::string::npos) << planned.out;
    const size_t at = planned.out.find("Chapters: 3\n");
    ASSERT_NE(at, std::string::npos) << planned.out;
    EXPECT_NE(planned.out.find("\tOpening\n", at), std::string::npos) << "track numbers left out";
    // Named after the title, in the settings' output folder; "/" cannot be in a name.
    const CliResult named = Run({"--dry-run", "--name-from-title", "--title", "A/B", a.string(), b.string()});
    ASSERT_EQ(named.status, 0) << named.err;
    EXPECT_NE(named.out.find("/A_B.mp3\n"), std::string::npos) << named.out;
    EXPECT_NE(Run({"--name-from-title", "-o", out.string(), a.string(), b.string()}).status, 0);

    ASSERT_EQ(Run(args).status, 0);
    const CliResult written = RunCliProcess(CliRun{{"chapters", out.string()}, home_, tmp_.path()});
    ASSERT_EQ(written.status, 0) << written.err;
    EXPECT_EQ(planned.out.substr(at + std::string("Chapters: 3\n").size()), written.out);

    const fs::path chapters = tmp_.path() / "chapters.txt";
    std::ofstream(chapters) << "00:00:00.000 One\n00:00:01.000 Two\n0:00:00.500 Back\n";
    const fs::path other = tmp_.path() / "other.mp3";
    const CliResult refused = Run({"--chapters-from", chapters.string(), "-o", other.string(), a.string(), b.string()});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("line 3: its time does not come after the one before."), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(other));
}

// Other formats bring their tags and covers: a FLAC's title, artist and picture and an M4A's
// title become the chapters, the carried artist and the output's cover.
TEST_F(CliJoin, TagsAndCoverComeFromOtherFormats) {
    const fs::path png = tmp_.path() / "cover.png";
    const fs::path flac = in_ / "a.flac";
    const fs::path m4a = in_ / "b.m4a";
    const std::string ffmpeg = "ffmpeg -nostdin -loglevel error -y ";
    ASSERT_EQ(std::system((ffmpeg + "-f lavfi -i color=c=red:s=32x32 -frames:v 1 '" + png.string() + "'").c_str()), 0);
    ASSERT_EQ(std::system((ffmpeg + "-f lavfi -i sine=frequency=440:duration=1 -i '" + png.string() +
                           "' -map 0 -map 1 -c:a flac -c:v copy -disposition:v attached_pic -metadata title='Flac Part' "
                           "-metadata artist=Ann '" + flac.string() + "'").c_str()),
              0);
    ASSERT_EQ(std::system((ffmpeg + "-f lavfi -i sine=frequency=660:duration=1 -c:a aac -metadata title='AAC Part' '" +
                           m4a.string() + "'").c_str()),
              0);
    const fs::path out = tmp_.path() / "mixed.mp3";
    const CliResult r = Run({"-o", out.string(), flac.string(), m4a.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const CliResult chapters = RunCliProcess(CliRun{{"chapters", out.string()}, home_, tmp_.path()});
    EXPECT_NE(chapters.out.find("\tFlac Part\n"), std::string::npos) << chapters.out;
    EXPECT_NE(chapters.out.find("\tAAC Part\n"), std::string::npos) << chapters.out;
    TagLib::MPEG::File written(out.c_str(), false);
    ASSERT_TRUE(written.hasID3v2Tag());
    EXPECT_EQ(written.ID3v2Tag()->artist().to8Bit(true), "Ann");
    const TagLib::ID3v2::FrameList pictures = written.ID3v2Tag()->frameListMap()["APIC"];
    ASSERT_EQ(pictures.size(), 1u);
    const auto* picture = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(pictures.front());
    ASSERT_NE(picture, nullptr);
    const std::string bytes = ReadWholeFile(png);
    EXPECT_EQ(std::string(picture->picture().data(), picture->picture().size()), bytes);
    EXPECT_EQ(picture->mimeType(), "image/png");
}

TEST_F(CliJoin, OutputOntoAnInputIsAlwaysRefused) {
    const auto a = Tone("a.mp3", {44100, 2, 0.5, 440.0, 128, true});
    const auto b = Tone("b.mp3", {44100, 2, 0.5, 660.0, 128, true});
    const std::string before = ReadWholeFile(b);
    fs::create_hard_link(b, in_ / "b-link.mp3");
    const std::vector<std::string> spellings = {b.string(), "in/./b.mp3", "in/../in/b.mp3", (in_ / "b-link.mp3").string()};
    for (const auto& spelling : spellings) {
        auto r = Run({"--overwrite", "-o", spelling, a.string(), "in/b.mp3"});
        EXPECT_EQ(r.status, 2) << spelling;
        EXPECT_NE(r.err.find("one of the inputs"), std::string::npos) << r.err;
    }
    EXPECT_EQ(ReadWholeFile(b), before);
}

TEST_F(CliJoin, UnreadableInputRefusesTheJoinAndWritesNothing) {
    const auto a = Tone("a.mp3", {44100, 2, 0.5, 440.0, 128, true});
    const fs::path fake = in_ / "fake.mp3";
    std::ofstream(fake) << std::string(4000, 'x');
    const fs::path out = tmp_.path() / "never.mp3";
    auto r = Run({"-o", out.string(), a.string(), fake.string(), (in_ / "missing.mp3").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(fake.string() + ": Trouble with mpg123: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("missing.mp3: Trouble with mpg123: "), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(out));
    // The settings path too: nothing written, no folder made.
    auto viaSettings = Run({a.string(), fake.string()});
    EXPECT_EQ(viaSettings.status, 1);
    EXPECT_FALSE(fs::exists(home_ / "Music"));
}

TEST_F(CliJoin, AFolderStandsForItsFilesInNaturalOrderAsListShowsThem) {
    const fs::path book = tmp_.path() / "book";
    fs::create_directories(book / "Extra");
    std::string expected;
    for (int n : {10, 2, 11, 1, 3, 4, 5, 6, 7, 8, 9})
        ASSERT_TRUE(MakeToneMp3(book / ("Part " + std::to_string(n) + ".mp3"), {.rate = 44100, .channels = 1, .seconds = 0.2, .kbps = 64}));
    for (int n = 1; n <= 11; ++n) expected += "Part " + std::to_string(n) + "\n";
    ASSERT_TRUE(MakeToneMp3(book / "Extra" / "Bonus.mp3", {.rate = 44100, .channels = 1, .seconds = 0.2, .kbps = 64}));
    auto titles = [&](const std::string& text) {
        std::string names;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) names += line.substr(line.rfind('\t') + 1) + "\n";
        return names;
    };

    auto list = RunCliProcess(CliRun{{"list", book.string()}, home_});
    ASSERT_EQ(list.status, 0) << list.err;
    std::string listed;
    std::istringstream rows(list.out);
    for (std::string row; std::getline(rows, row) && row.find(".mp3\t") != std::string::npos;)
        listed += row.substr(0, row.find(".mp3\t")) + "\n";
    EXPECT_EQ(listed, expected);

    const fs::path out = tmp_.path() / "book.mp3";
    auto r = Run({"-o", out.string(), "--quiet", book.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    auto chapters = RunCliProcess(CliRun{{"chapters", out.string()}, home_});
    ASSERT_EQ(chapters.status, 0) << chapters.err;
    EXPECT_EQ(titles(chapters.out), expected);

    // --recursive adds the subfolder's files after the folder's own.
    r = Run({"-o", out.string(), "--overwrite", "--quiet", "--recursive", book.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    chapters = RunCliProcess(CliRun{{"chapters", out.string()}, home_});
    EXPECT_EQ(titles(chapters.out), expected + "Bonus\n");

    // A folder with no audio file refuses the join: an input is never lost unnoticed.
    const fs::path empty = tmp_.path() / "empty";
    fs::create_directories(empty);
    const fs::path other = tmp_.path() / "other.mp3";
    r = Run({"-o", other.string(), book.string(), empty.string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(empty.string() + ": no audio file"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(other));
}

TEST_F(CliJoin, UnwritableOutputFolderFailsWithTheEncodersLine) {
    const auto a = Tone("a.mp3", {44100, 2, 0.5, 440.0, 128, true});
    const auto b = Tone("b.mp3", {44100, 2, 0.5, 660.0, 128, true});
    const fs::path out = tmp_.path() / "no/such/folder/out.mp3";
    auto r = Run({"-o", out.string(), a.string(), b.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error creating file " + out.string()), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Joining status: ERROR."), std::string::npos);
    EXPECT_EQ(r.out, "");
}

TEST_F(CliJoin, MissingEncoderModuleEndsTheRunAtOnce) {
    const auto a = Tone("a.mp3", {44100, 2, 2.0, 440.0, 128, true});
    const auto b = Tone("b.mp3", {44100, 2, 2.0, 660.0, 128, true});
    // The program alone in a folder without lame_enc.so.
    const fs::path lonely = tmp_.path() / "bin";
    fs::create_directories(lonely);
    fs::copy_file(velmora::testing::CliExecutable(), lonely / "velmora-cli");
    CliRun run{{"join", "-o", (tmp_.path() / "out.mp3").string(), a.string(), b.string()}, home_};
    run.executable = lonely / "velmora-cli";
    run.timeoutSeconds = 30;
    auto r = RunCliProcess(run);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error loading lame_enc.so"), std::string::npos) << r.err;
}

TEST_F(CliJoin, CtrlCCancelsAndLeavesAValidShorterFile) {
    const auto a = Tone("a.mp3", {44100, 2, 40.0, 440.0, 128, false});
    const auto b = Tone("b.mp3", {44100, 2, 40.0, 660.0, 128, false});
    const fs::path out = tmp_.path() / "cut.mp3";
    CliRun run{{"join", "-o", out.string(), a.string(), b.string()}, home_, tmp_.path()};
    bool sent = false;
    run.whileRunning = [&](pid_t pid, const std::string& err) {
        // Once encoding has produced some output, interrupt.
        std::error_code ec;
        if (err.find("Destination:") == std::string::npos || fs::file_size(out, ec) < 20000 || ec)
            return false;
        ::kill(pid, SIGINT);
        sent = true;
        return true;
    };
    auto r = RunCliProcess(run);
    ASSERT_TRUE(sent) << "the join ended before it could be interrupted: " << r.err;
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("Joining status: ERROR."), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Finished joining"), std::string::npos);
    EXPECT_EQ(r.out, "");
    const auto decoded = DecodeMp3(out);
    ASSERT_TRUE(decoded.ok);
    EXPECT_GT(decoded.frames(), 0u);
    EXPECT_LT(decoded.frames(), 80u * 44100u);
    const auto info = ReadStreamInfo(out.string());
    ASSERT_TRUE(info.readable);
    EXPECT_EQ(info.totalSamples, decoded.samples.size());  // the Info header matches the file
}

TEST_F(CliJoin, ProgressBarIsDrawnOnATerminal) {
    const auto a = Tone("a.mp3", {44100, 2, 3.0, 440.0, 128, true});
    const auto b = Tone("b.mp3", {44100, 2, 3.0, 660.0, 128, true});
    const fs::path out = tmp_.path() / "tty.mp3";
    const std::string exe = velmora::testing::CliExecutable().string();
    std::vector<std::string> argStrings = {exe, "join", "-o", out.string(), a.string(), b.string()};
    std::vector<std::string> envStrings = {"HOME=" + home_.string(), "XDG_CONFIG_HOME=" + (home_ / ".config").string(),
                                           "PATH=/usr/bin:/bin", "TERM=xterm"};
    std::vector<char*> argv, envp;
    for (auto& s : argStrings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::execve(exe.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;  // EIO once the child has closed the terminal
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(master);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << text;
    EXPECT_NE(text.find("\r\033[K["), std::string::npos) << text;
    EXPECT_NE(text.find("100.00%"), std::string::npos) << text;
    EXPECT_NE(text.find("ETA "), std::string::npos);
    EXPECT_NE(text.find("Finished joining, all done ^_^"), std::string::npos);
    EXPECT_EQ(Frames(out), 2u * 3u * 44100u);
}

TEST_F(CliJoin, ChaptersTagsAndCoverFromTheCommandLineAndTheChaptersCommand) {
    const auto a = Tone("a.mp3", {44100, 2, 1.0, 440.0, 128, true});
    const auto b = Tone("b.mp3", {44100, 2, 0.5, 660.0, 128, true});
    const auto c = Tone("c.mp3", {44100, 2, 0.25, 880.0, 128, true});
    for (const auto& [path, title] : {std::pair{a, "Intro"}, std::pair{b, "Main"}, std::pair{c, "Main"}}) {
        TagLib::MPEG::File f(path.c_str());
        f.ID3v2Tag(true)->setTitle(TagLib::String(title));
        ASSERT_TRUE(f.save(TagLib::MPEG::File::ID3v2));
    }
    const fs::path png = tmp_.path() / "cover.png";
    std::ofstream(png, std::ios::binary) << "\x89PNG\r\n\x1a\n" << std::string(3000, 'p');
    const fs::path notImage = tmp_.path() / "cover.txt";
    std::ofstream(notImage) << "not an image";
    const fs::path out = tmp_.path() / "out.mp3";

    // A cover that is no image, or missing, refuses the join before anything is written.
    for (const fs::path& bad : {notImage, tmp_.path() / "missing.jpg"}) {
        auto r = Run({"-o", out.string(), "--cover", bad.string(), a.string(), b.string()});
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find(bad.string()), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(out));
    }

    auto r = Run({"-o", out.string(), "--chapters", "title", "--title", "Ünïcödé — 書", "--cover", png.string(),
                  a.string(), b.string(), c.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Wrote tags and 2 chapters."), std::string::npos) << r.err;
    EXPECT_EQ(Frames(out), Frames(a) + Frames(b) + Frames(c));

    auto chapters = RunCliProcess(CliRun{{"chapters", out.string()}, home_});
    ASSERT_EQ(chapters.status, 0) << chapters.err;
    EXPECT_EQ(chapters.out, "00:00:00.000\t00:00:01.000\tIntro\n00:00:01.000\t00:00:01.750\tMain\n");
    auto list = RunCliProcess(CliRun{{"list", out.string()}, home_});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("\tÜnïcödé — 書\t"), std::string::npos) << list.out;
    TagLib::MPEG::File joined(out.c_str(), false);
    ASSERT_TRUE(joined.hasID3v2Tag());
    const auto pictures = joined.ID3v2Tag()->frameListMap()["APIC"];
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(static_cast<TagLib::ID3v2::AttachedPictureFrame*>(pictures.front())->picture().size(), 3008u);

    // --no-tags with no chapters writes a bare file; the chapters command then says so.
    fs::remove(out);
    r = Run({"-o", out.string(), "--no-tags", "--chapters", "none", a.string(), b.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("Wrote"), std::string::npos) << r.err;
    EXPECT_NE(ReadWholeFile(out).substr(0, 3), "ID3");
    chapters = RunCliProcess(CliRun{{"chapters", out.string()}, home_});
    EXPECT_EQ(chapters.status, 1);
    EXPECT_NE(chapters.err.find("has no chapters"), std::string::npos) << chapters.err;
    chapters = RunCliProcess(CliRun{{"chapters", (tmp_.path() / "none.mp3").string()}, home_});
    EXPECT_EQ(chapters.status, 1);
}

TEST_F(CliJoin, ACoverOver16MiBIsRefusedBeforeAnythingIsWritten) {
    const auto a = Tone("a.mp3", {44100, 2, 0.25, 440.0, 128, true});
    const auto b = Tone("b.mp3", {44100, 2, 0.25, 660.0, 128, true});
    const fs::path big = tmp_.path() / "big.jpg";
    std::ofstream(big, std::ios::binary) << "\xFF\xD8\xFF";
    fs::resize_file(big, (uint64_t(16) << 20) + 1);  // sparse: no 16 MiB written
    const fs::path out = tmp_.path() / "out.mp3";
    auto r = Run({"-o", out.string(), "--cover", big.string(), a.string(), b.string()});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("--cover: " + big.string() + " is larger than 16 MiB\n"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(CliJoin, CopyJoinsFramesWithoutReEncodingWhenTheInputsAllowIt) {
    const auto a = Tone("a.mp3", {44100, 2, 1.0, 440.0, 128, true});
    const auto b = Tone("b.mp3", {44100, 2, 0.5, 660.0, 192, true});
    const fs::path out = tmp_.path() / "copy.mp3";
    auto r = Run({"--copy", "--bitrate", "32", "-o", out.string(), a.string(), b.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Copying the audio frames (no re-encoding)."), std::string::npos) << r.err;
    // The bit rate setting does not apply: the frames keep theirs, and the length is exact
    // up to the interior seam's own delay and padding.
    EXPECT_EQ(ReadStreamInfo(out.string()).totalSamples, DecodeMp3(out).samples.size());
    EXPECT_GE(Frames(out), Frames(a) + Frames(b));
    EXPECT_LT(Frames(out), Frames(a) + Frames(b) + 2 * 1152);
}

TEST_F(CliJoin, MaxLengthCutsPartsAtChapterStartsAndKeepsEverySample) {
    // Chapters per title: b and c share one, so no part may separate them; d alone is longer
    // than the limit. Parts of 8 s: [a] [b c] [d] [e].
    struct Input { const char* name; double seconds; double hz; const char* title; };
    const Input inputs[] = {{"a.mp3", 3, 300, "Opening"}, {"b.mp3", 4, 500, "Middle"}, {"c.mp3", 2, 700, "Middle"},
                            {"d.mp3", 12, 900, "Long one"}, {"e.mp3", 3, 1100, "End"}};
    std::vector<std::string> args{"--chapters", "title", "--max-length", "8s", "-o", (tmp_.path() / "Book.mp3").string()};
    size_t inputFrames = 0;
    for (const Input& in : inputs) {
        const fs::path p = Tone(in.name, {44100, 2, in.seconds, in.hz, 128, true});
        TagLib::MPEG::File f(p.c_str());
        f.ID3v2Tag(true)->setTitle(in.title);
        f.ID3v2Tag(true)->setAlbum("The Book");
        f.save();
        inputFrames += Frames(p);
        args.push_back(p.string());
    }
    const CliResult r = Run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Part 3 holds only the chapter \"Long one\": it alone lasts 0:00:12, longer than the limit "
                         "of 0:00:08."),
              std::string::npos)
        << r.err;

    const std::vector<std::vector<std::string>> chapterTitles = {{"Opening"}, {"Middle"}, {"Long one"}, {"End"}};
    const double lastHz[] = {300, 700, 900, 1100};
    size_t partFrames = 0;
    std::string expectedOut;
    for (size_t k = 0; k < 4; ++k) {
        const fs::path part = tmp_.path() / ("Book (Part " + std::to_string(k + 1) + ").mp3");
        expectedOut += part.string() + "\n";
        const auto decoded = DecodeMp3(part);
        ASSERT_TRUE(decoded.ok) << part;
        partFrames += decoded.frames();
        if (k != 2) {
            EXPECT_LE(decoded.frames(), 8u * 44100u) << part;
        }
        // Each part ends with the tone of its last input: the cut fell where a chapter starts.
        EXPECT_NEAR(EstimateFrequency(decoded, decoded.frames() - 30000, 20000), lastHz[k], 25.0) << part;
        TagLib::MPEG::File written(part.c_str(), false);
        ASSERT_TRUE(written.ID3v2Tag());
        EXPECT_EQ(written.ID3v2Tag()->frameListMap()["TRCK"].front()->toString(),
                  TagLib::String(std::to_string(k + 1) + "/4"));
        EXPECT_EQ(written.ID3v2Tag()->album(), "The Book");
        const CliResult chapters = RunCliProcess(CliRun{{"chapters", part.string()}, home_});
        ASSERT_EQ(chapters.status, 0) << chapters.err;
        EXPECT_EQ(chapters.out.rfind("00:00:00.000\t", 0), 0u) << chapters.out;
        EXPECT_NE(chapters.out.find("\t" + chapterTitles[k].front() + "\n"), std::string::npos) << chapters.out;
    }
    EXPECT_EQ(r.out, expectedOut);
    EXPECT_EQ(partFrames, inputFrames);  // together the parts hold every sample
}

TEST_F(CliJoin, ACancelledPartIsNamedAndTheFinishedPartsStay) {
    const auto a = Tone("a.mp3", {44100, 2, 2.0, 440.0, 128, true});
    const auto b = Tone("b.mp3", {44100, 2, 60.0, 660.0, 128, false});
    const fs::path book = tmp_.path() / "Book.mp3";
    const fs::path second = tmp_.path() / "Book (Part 2).mp3";
    CliRun run{{"join", "--max-length", "1m", "-o", book.string(), a.string(), b.string()}, home_, tmp_.path()};
    bool sent = false;
    run.whileRunning = [&](pid_t pid, const std::string& err) {
        std::error_code ec;
        if (err.find("Destination: " + second.string()) == std::string::npos || fs::file_size(second, ec) < 20000 || ec)
            return false;
        ::kill(pid, SIGINT);
        sent = true;
        return true;
    };
    const CliResult r = RunCliProcess(run);
    ASSERT_TRUE(sent) << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Part 2 of 2 was cut short: " + second.string() + "."), std::string::npos) << r.err;
    EXPECT_EQ(DecodeMp3(tmp_.path() / "Book (Part 1).mp3").frames(), Frames(a));
    const auto cut = DecodeMp3(second);
    ASSERT_TRUE(cut.ok);
    EXPECT_GT(cut.frames(), 0u);
    EXPECT_LT(cut.frames(), Frames(b));
}

// One book per folder over a library: nested CD folders in natural order, a folder without
// audio, a book with an unreadable input among good ones, loose files, and taken names.
TEST_F(CliJoin, EachFolderJoinsOneBookPerSubfolder) {
    const fs::path lib = tmp_.path() / "lib";
    const fs::path out = tmp_.path() / "out";
    struct Input {
        const char* path;
        double frequency;  // 0: not an MP3 at all
    };
    const Input inputs[] = {{"Alpha/CD2/t.mp3", 880},  {"Alpha/CD10/t.mp3", 1320}, {"Alpha/CD1/t.mp3", 440},
                            {"Beta/b.mp3", 660},       {"Broken/a.mp3", 550},      {"Broken/b.mp3", 0},
                            {"loose.mp3", 500}};
    for (const Input& i : inputs) {
        fs::create_directories((lib / i.path).parent_path());
        if (i.frequency == 0)
            std::ofstream(lib / i.path) << "not audio";
        else
            ASSERT_TRUE(MakeToneMp3(lib / i.path, {44100, 2, 0.5, i.frequency, 128, true}));
    }
    fs::create_directories(lib / "Empty");
    std::ofstream(lib / "Empty/cover.jpg") << "jpeg";
    {
        TagLib::MPEG::File f((lib / "Alpha/CD1/t.mp3").c_str());
        f.ID3v2Tag(true)->setAlbum("Alpha Saga");
        ASSERT_TRUE(f.save());
    }
    fs::create_directories(out);
    std::ofstream(out / "Beta.mp3") << "taken";

    struct Book {
        const char* output;
        std::vector<double> tones;
    };
    const struct {
        std::vector<std::string> extra;
        std::vector<Book> books;
    } runs[] = {
        {{}, {{"Alpha.mp3", {440, 880, 1320}}, {"Beta (2).mp3", {660}}}},
        {{"--name-from-title"}, {{"Alpha Saga.mp3", {440, 880, 1320}}, {"Beta (3).mp3", {660}}}},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.extra.empty() ? "folder names" : "--name-from-title");
        std::vector<std::string> args = {"--each-folder", "-o", out.string()};
        args.insert(args.end(), run.extra.begin(), run.extra.end());
        args.push_back(lib.string());
        const CliResult r = Run(args);
        EXPECT_EQ(r.status, 1) << r.err;  // one book failed
        std::string printed;
        for (const Book& b : run.books) printed += (out / b.output).string() + "\n";
        EXPECT_EQ(r.out, printed);
        for (const std::string& line :
             {"1 audio file directly in " + lib.string() + " is left out: only its subfolders are books.",
              "No audio files in " + (lib / "Empty").string() + ": skipped.", std::string("Book 2 of 3: Beta")})
            EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
        const std::regex end(R"(\d\d:\d\d:\d\d 2 joined, 1 failed: Broken \(b\.mp3: Trouble with mpg123: [^\n]+\)\n)");
        EXPECT_TRUE(std::regex_search(r.err, end)) << r.err;

        for (const Book& b : run.books) {
            const auto decoded = DecodeMp3(out / b.output);
            ASSERT_TRUE(decoded.ok) << b.output;
            ASSERT_EQ(decoded.frames(), b.tones.size() * 22050u) << b.output;
            for (size_t i = 0; i < b.tones.size(); ++i)
                EXPECT_NEAR(EstimateFrequency(decoded, i * 22050 + 4000, 14000), b.tones[i], b.tones[i] / 40) << i;
        }
    }
    EXPECT_EQ(ReadWholeFile(out / "Beta.mp3"), "taken");
    EXPECT_FALSE(fs::exists(out / "Broken.mp3"));
    EXPECT_FALSE(fs::exists(out / "Empty.mp3"));
}

TEST(CliEachFolder, RefusesWhatDoesNotFitASeries) {
    TempDir tmp;
    std::ofstream(tmp.path() / "file.mp3") << "x";
    const std::string dir = tmp.path().string(), file = (tmp.path() / "file.mp3").string();
    const std::vector<std::string> refused[] = {
        {"--each-folder", file},          {"--each-folder"},
        {"--each-folder", "--title", "T", dir}, {"--each-folder", "--overwrite", "-o", dir, dir},
        {"--each-folder", "-o", file, dir},     {"--each-folder", "--dry-run", dir},
    };
    for (const auto& args : refused) {
        const auto r = velmora::cli::ParseJoinArguments(args);
        EXPECT_FALSE(r.ok) << ::testing::PrintToString(args);
        EXPECT_NE(r.error.find("each-folder"), std::string::npos) << r.error;
    }
    const auto ok = velmora::cli::ParseJoinArguments({"--each-folder", "--name-from-title", "-o", dir, dir});
    EXPECT_TRUE(ok.ok) << ok.error;
}
