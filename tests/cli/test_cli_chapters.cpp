// `velmora-cli chapters` on files other than MP3: an M4A's chapter track made by ffmpeg, FLAC
// and Ogg CHAPTERnn comments written with TagLib, read back through FFmpeg's libraries.
#include <gtest/gtest.h>

#include "cli/cli_process.h"
#include "support/ffmpeg_fixtures.h"
#include "support/mp3_fixtures.h"

#include <taglib/flacfile.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using velmora::testing::CliRun;
using velmora::testing::MakeToneWithFfmpeg;
using velmora::testing::RunCliProcess;
using velmora::testing::TempDir;
namespace fs = std::filesystem;

namespace {

// Two chapters as Xiph comments: a start each (FFmpeg ends each at the next, the last at the
// file's end), the second with a tab in its title.
void AddChapterComments(TagLib::Ogg::XiphComment* comment) {
    comment->addField("CHAPTER01", "00:00:00.000");
    comment->addField("CHAPTER01NAME", TagLib::String("Opening \xC3\xA9", TagLib::String::UTF8));
    comment->addField("CHAPTER02", "00:00:01.250");
    comment->addField("CHAPTER02NAME", "Second\tpart");
}

}  // namespace

TEST(CliChapters, ChaptersOfOtherFormatsWithExactTimesAndTitles) {
    TempDir tmp;
    const fs::path m4a = tmp / "book.m4a";
    const fs::path meta = tmp / "chapters.txt";
    std::ofstream(meta) << ";FFMETADATA1\n"
                           "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1500\ntitle=Opening \xC3\xA9\n"
                           "[CHAPTER]\nTIMEBASE=1/1000\nSTART=1500\nEND=3000\ntitle=Ending\n";
    ASSERT_EQ(std::system(("ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=440:duration=3 -i '" +
                           meta.string() + "' -map 0:a -map_metadata 1 -c:a aac '" + m4a.string() + "'")
                              .c_str()),
              0);
    const fs::path flac = tmp / "book.flac";
    const fs::path ogg = tmp / "book.ogg";
    for (const fs::path& p : {flac, ogg}) ASSERT_TRUE(MakeToneWithFfmpeg(p, {.seconds = 3}));
    {
        TagLib::FLAC::File f(flac.c_str());
        AddChapterComments(f.xiphComment(true));
        ASSERT_TRUE(f.save());
        TagLib::Ogg::Vorbis::File v(ogg.c_str());
        AddChapterComments(v.tag());
        ASSERT_TRUE(v.save());
    }
    const fs::path plain = tmp / "plain.flac";
    ASSERT_TRUE(MakeToneWithFfmpeg(plain, {.seconds = 0.5}));
    const fs::path notAudio = tmp / "notes.m4a";
    std::ofstream(notAudio) << "not audio";

    struct Case {
        fs::path file;
        int status;
        std::string out;
        std::string err;  // part of it
    };
    const std::string fromComments = "00:00:00.000\t00:00:01.250\tOpening \xC3\xA9\n00:00:01.250\t00:00:03.000\tSecond part\n";
    const Case cases[] = {
        {m4a, 0, "00:00:00.000\t00:00:01.500\tOpening \xC3\xA9\n00:00:01.500\t00:00:03.000\tEnding\n", ""},
        {flac, 0, fromComments, ""},
        {ogg, 0, fromComments, ""},
        {plain, 1, "", plain.string() + ": has no chapters"},
        {notAudio, 1, "", notAudio.string() + ": cannot be read as an audio file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.string());
        const auto r = RunCliProcess(CliRun{{"chapters", c.file.string()}, tmp.path()});
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.out, c.out);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }

    // Kept in a join: each input's own chapters, moved by the length of the inputs before it.
    const fs::path joined = tmp / "joined.mp3";
    auto r = RunCliProcess(CliRun{{"join", "--chapters", "keep", "-o", joined.string(), m4a.string(), flac.string()}, tmp.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    r = RunCliProcess(CliRun{{"chapters", joined.string()}, tmp.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::pair<double, std::string>> starts;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const size_t tab = line.find('\t'), title = line.find('\t', tab + 1);
        const std::string t = line.substr(0, tab);
        starts.emplace_back(std::stoi(t.substr(0, 2)) * 3600 + std::stoi(t.substr(3, 2)) * 60 + std::stod(t.substr(6)),
                            line.substr(title + 1));
    }
    ASSERT_EQ(starts.size(), 4u) << r.out;
    const double second = 3.0 + 1024.0 / 44100;  // the M4A decodes to 3 s and at most one AAC frame more
    const double expected[] = {0.0, 1.5, 3.0, 4.25};
    const char* titles[] = {"Opening \xC3\xA9", "Ending", "Opening \xC3\xA9", "Second part"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_GE(starts[i].first, expected[i] - 0.001) << i;
        EXPECT_LE(starts[i].first, expected[i] + (i >= 2 ? second - 3.0 : 0.0) + 0.001) << i;
        EXPECT_EQ(starts[i].second, titles[i]) << i;
    }
}
