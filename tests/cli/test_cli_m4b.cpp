// velmora-cli join --format m4b: a folder of MP3 parts into an audiobook, read back through
// FFmpeg's libraries and through the program's own chapters and list commands; a full disk
// under --overwrite keeps the old file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cli/cli_process.h"
#include "support/m4b_reader.h"
#include "support/mp3_fixtures.h"

using velmora::testing::CliResult;
using velmora::testing::CliRun;
using velmora::testing::DecodeMp3;
using velmora::testing::MakeToneMp3;
using velmora::testing::ReadM4b;
using velmora::testing::ReadM4bFile;
using velmora::testing::ReadWholeFile;
using velmora::testing::RunCliProcess;
using velmora::testing::TempDir;
using velmora::testing::ToneSpec;
namespace fs = std::filesystem;

namespace {

class CliM4b : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = tmp_.path() / "home";
        in_ = tmp_.path() / "Book";
        fs::create_directories(home_);
        fs::create_directories(in_);
    }
    fs::path Tone(const std::string& name, double seconds, double hz) {
        const fs::path p = in_ / name;
        EXPECT_TRUE(MakeToneMp3(p, ToneSpec{44100, 2, seconds, hz, 128, true}));
        return p;
    }
    CliResult Run(std::vector<std::string> args) { return RunCliProcess(CliRun{std::move(args), home_, tmp_.path()}); }

    TempDir tmp_;
    fs::path home_;
    fs::path in_;
};

}  // namespace

TEST_F(CliM4b, AFolderOfPartsBecomesAnM4bWithItsChapters) {
    size_t frames[3];
    const char* names[] = {"01 Arrival.mp3", "02 Storm.mp3", "03 Home.mp3"};
    for (int i = 0; i < 3; ++i) frames[i] = DecodeMp3(Tone(names[i], 0.8 + 0.3 * i, 440.0 + 220 * i)).frames();

    // No -o: the settings' folder and name, with the format's extension.
    // A title that is not UTF-8 keeps its readable part.
    const CliResult r = Run({"join", "--format", "m4b", "--bitrate", "48", "--title", "Bad \xff title", in_.string()});
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
    const CliResult chapters = Run({"chapters", out.string()});
    ASSERT_EQ(chapters.status, 0) << chapters.err;
    EXPECT_EQ(chapters.out.substr(0, chapters.out.find('\n')), "00:00:00.000\t00:00:00.800\tArrival");
    const CliResult list = Run({"list", out.string()});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("\tM4B\t"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("44100 Hz\t2 (Stereo)\t"), std::string::npos) << list.out;

    // MP3-only choices are refused for an M4B, with nothing written.
    const fs::path other = tmp_.path() / "other.m4b";
    const CliResult refused = Run({"join", "--format", "m4b", "--bitrate", "320", "-o", other.string(), in_.string()});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("32 40 48"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(other));
}

// The disk fills up half-way (a file size limit stands in for it): the join fails with the
// MP3 join's lines, and the M4B it was to replace is still there, with no temporary file left.
TEST_F(CliM4b, AFailedOverwriteLeavesTheOldFile) {
    const fs::path a = Tone("a.mp3", 4.0, 440.0);
    const fs::path b = Tone("b.mp3", 4.0, 660.0);
    const fs::path out = tmp_.path() / "book.m4b";
    const std::string old(2000, 'p');
    std::ofstream(out, std::ios::binary) << old;
    const auto before = std::distance(fs::directory_iterator(tmp_.path()), fs::directory_iterator());
    // Writes past 32 KiB fail with EFBIG (the signal that would end the program is ignored).
    CliRun run({"-c", "trap '' XFSZ; ulimit -f 64; exec \"$0\" \"$@\"", velmora::testing::CliExecutable().string(),
                "join", "--format", "m4b", "--bitrate", "128", "--overwrite", "-o", out.string(), a.string(), b.string()},
               home_, tmp_.path());
    run.executable = "/bin/sh";
    const CliResult r = RunCliProcess(run);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("Output file write error"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Joining status: ERROR."), std::string::npos) << r.err;
    EXPECT_EQ(ReadWholeFile(out), old);
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp_.path()), fs::directory_iterator()), before);
}
