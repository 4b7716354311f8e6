// `velmora-cli list`: rows in load order with the eighteen cells, the summary line, and the
// handling of unreadable files and bad arguments.
#include <gtest/gtest.h>

#include "cli/cli_list.h"
#include "cli/cli_process.h"
#include "support/ffmpeg_fixtures.h"
#include "support/mp3_fixtures.h"

#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using velmora::testing::CliRun;
using velmora::testing::RunCliProcess;
using velmora::testing::TempDir;
using velmora::testing::ToneSpec;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> Cells(const std::string& line) {
    std::vector<std::string> cells;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        cells.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    return cells;
}

void Tone(const fs::path& p, ToneSpec toneSpec, const char* title = nullptr) {
    fs::create_directories(p.parent_path());
    ASSERT_TRUE(velmora::testing::MakeToneMp3(p, toneSpec));
    if (title) {
        TagLib::MPEG::File f(p.c_str());
        f.ID3v2Tag(true)->setTitle(TagLib::String(title, TagLib::String::UTF8));
        f.ID3v2Tag(true)->setTrack(3);
        f.ID3v2Tag(true)->setArtist("Tab\tand\nbreak");
        ASSERT_TRUE(f.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers, TagLib::ID3v2::v4, TagLib::File::DoNotDuplicate));
    }
}

}  // namespace

TEST(CliList, FolderRowsWithAllCellsThenTheSummary) {
    TempDir tmp;
    const fs::path music = tmp.path() / "music";
    Tone(music / "one.mp3", {.rate = 44100, .channels = 2, .seconds = 2.0, .kbps = 128, .infoTag = false}, "Caf\xc3\xa9");
    Tone(music / "two.MP3", {.rate = 22050, .channels = 1, .seconds = 1.2, .kbps = 64, .infoTag = false});
    std::ofstream(music / "notes.txt") << "not listed";
    Tone(music / "sub" / "three.mp3", {.seconds = 0.5});

    auto r = RunCliProcess(CliRun{{"list", music.string()}, tmp.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;  // two rows (no subfolder), then the summary
    std::map<std::string, std::vector<std::string>> rows;
    for (size_t i = 0; i < 2; ++i) {
        auto cells = Cells(lines[i]);
        ASSERT_EQ(cells.size(), 18u) << lines[i];
        rows[cells[0]] = cells;
    }
    const auto& one = rows.at("one.mp3");
    EXPECT_EQ(one[1], music.string() + "/");
    EXPECT_EQ(one[2], "MP3");
    EXPECT_EQ(one[3], "ID3v2.4  ");
    EXPECT_EQ(one[4], "Tab and break");  // tabs and line breaks of a tag cannot split the line
    EXPECT_EQ(one[7], "3");
    EXPECT_EQ(one[8], "Caf\xc3\xa9");
    EXPECT_EQ(one[13].size(), 19u);
    EXPECT_EQ(one[14], "00:00:02");
    EXPECT_EQ(one[15], "44100 Hz");
    EXPECT_EQ(one[16], "2 (Stereo)");
    EXPECT_EQ(one[17], "128 kbps");
    const auto& two = rows.at("two.MP3");
    EXPECT_EQ(two[15], "22050 Hz");
    EXPECT_EQ(two[16], "1 (Mono)");
    EXPECT_EQ(two[14], "00:00:01");
    const double mb = static_cast<double>(fs::file_size(music / "one.mp3") + fs::file_size(music / "two.MP3")) / 1048576.0;
    char expected[128];
    std::snprintf(expected, sizeof expected, "2 file(s)   %.2f MB   00:00:03", mb);
    EXPECT_EQ(lines[2], expected);
    EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST(CliList, FolderOfEveryAudioFormatInNameOrderAndANamedFileWhateverItsName) {
    TempDir tmp;
    const fs::path music = tmp.path() / "mixed";
    fs::create_directories(music);
    const std::pair<const char*, const char*> files[] = {{"1.flac", "FLAC"}, {"2.ogg", "OGG"}, {"3.opus", "OPUS"},
                                                          {"4.m4a", "M4A"},  {"5.wav", "WAV"}, {"6.wma", "WMA"}};
    for (const auto& [name, type] : files)
        ASSERT_TRUE(velmora::testing::MakeToneWithFfmpeg(
            music / name, {.rate = 48000, .channels = 1, .seconds = 1.2, .tags = {{"title", std::string("T ") + name}}}));
    Tone(music / "7.mp3", {.rate = 48000, .channels = 1, .seconds = 1.2});
    std::ofstream(music / "8.txt") << "not listed";
    const fs::path named = tmp.path() / "flac.bin";
    fs::copy_file(music / "1.flac", named);

    auto r = RunCliProcess(CliRun{{"list", music.string(), named.string()}, tmp.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 9u) << r.out;
    for (size_t i = 0; i < 6; ++i) {
        auto cells = Cells(lines[i]);
        ASSERT_EQ(cells.size(), 18u) << lines[i];
        EXPECT_EQ(cells[0], files[i].first);
        EXPECT_EQ(cells[2], files[i].second);
        EXPECT_EQ(cells[8], std::string("T ") + files[i].first);
        EXPECT_EQ(cells[14], "00:00:01");
        EXPECT_EQ(cells[15], "48000 Hz");
        EXPECT_EQ(cells[16], "1 (Mono)");
    }
    EXPECT_EQ(Cells(lines[6])[0], "7.mp3");
    auto bin = Cells(lines[7]);
    EXPECT_EQ(bin[0], "flac.bin");
    EXPECT_EQ(bin[2], "FLAC");
    EXPECT_EQ(bin[8], "T 1.flac");
    EXPECT_EQ(lines[8].rfind("8 file(s)", 0), 0u) << lines[8];
}

TEST(CliList, ConstantBitRateColumnIsTheFramesRate) {
    TempDir tmp;
    const fs::path music = tmp.path() / "cbr";
    Tone(music / "loud.mp3", {.rate = 48000, .channels = 2, .seconds = 3.0, .kbps = 320}, "Tagged");
    auto r = RunCliProcess(CliRun{{"list", music.string()}, tmp.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    auto cells = Cells(lines[0]);
    ASSERT_EQ(cells.size(), 18u) << lines[0];
    EXPECT_EQ(cells[17], "320 kbps");
}

TEST(CliList, RecursiveAddsSubfoldersAfterTheFolderOwnFiles) {
    TempDir tmp;
    const fs::path music = tmp.path() / "m";
    Tone(music / "a" / "deep.mp3", {.seconds = 0.3});
    Tone(music / "top.mp3", {.seconds = 0.3});
    Tone(music / "b" / "other.mp3", {.seconds = 0.3});
    auto r = RunCliProcess(CliRun{{"list", "--recursive", music.string()}, tmp.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(Cells(lines[0])[0], "top.mp3");
    EXPECT_EQ(lines[3].rfind("3 file(s)   ", 0), 0u) << lines[3];
}

TEST(CliList, NamedFileWhateverItsExtensionAndUnreadableKeepsItsRow) {
    TempDir tmp;
    Tone(tmp.path() / "tone.bin", {.seconds = 1.0, .infoTag = false});
    std::ofstream(tmp.path() / "fake.mp3") << std::string(4000, 'z');
    auto r = RunCliProcess(CliRun{{"list", (tmp.path() / "tone.bin").string(), (tmp.path() / "fake.mp3").string()}, tmp.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u);
    auto bin = Cells(lines[0]);
    EXPECT_EQ(bin[0], "tone.bin");
    EXPECT_EQ(bin[2], "BIN");
    EXPECT_EQ(bin[14], "00:00:01");  // the stream is read whatever the name
    auto fake = Cells(lines[1]);
    EXPECT_EQ(fake[0], "fake.mp3");
    EXPECT_EQ(fake[12], "0.00");
    EXPECT_EQ(fake[14], "");
    EXPECT_EQ(fake[15], "");
    EXPECT_NE(r.err.find((tmp.path() / "fake.mp3").string() + ": Trouble with mpg123: "), std::string::npos) << r.err;
    EXPECT_EQ(lines[2].rfind("2 file(s)   ", 0), 0u);
}

// FFmpeg is loaded (as velmora_ffmpeg.so) only for a file TagLib's parsers do not cover: a
// list of MP3 and FLAC files never maps it, a WAV file does. The dynamic loader names every
// object it maps, the linked ones included, so this also holds the program to not linking it.
TEST(CliList, FfmpegIsLoadedOnlyForFilesThatNeedIt) {
    TempDir dir;
    Tone(dir / "one.mp3", {.rate = 44100, .channels = 2, .seconds = 1.0, .kbps = 128});
    ASSERT_TRUE(velmora::testing::MakeToneWithFfmpeg(dir / "two.flac", {.rate = 48000, .channels = 1, .seconds = 1.0}));
    ASSERT_TRUE(velmora::testing::MakeToneWithFfmpeg(dir / "three.wav", {.rate = 22050, .channels = 1, .seconds = 1.0}));
    const auto loaded = [](const std::string& err, const char* name) {
        return err.find(std::string("file=") + name) != std::string::npos;
    };

    CliRun quick({"list", (dir / "one.mp3").string(), (dir / "two.flac").string()}, dir.path());
    quick.extraEnv["LD_DEBUG"] = "files";
    const auto r = RunCliProcess(quick);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(Cells(lines[0])[2], "MP3");
    const auto flac = Cells(lines[1]);
    EXPECT_EQ(flac[2], "FLAC");
    EXPECT_EQ(flac[15], "48000 Hz");
    EXPECT_EQ(flac[16], "1 (Mono)");
    EXPECT_FALSE(loaded(r.err, "libavformat")) << r.err;
    EXPECT_FALSE(loaded(r.err, "libavcodec")) << r.err;
    EXPECT_FALSE(r.err.find("velmora_ffmpeg.so") != std::string::npos);

    CliRun wav({"list", (dir / "three.wav").string()}, dir.path());
    wav.extraEnv["LD_DEBUG"] = "files";
    const auto w = RunCliProcess(wav);
    ASSERT_EQ(w.status, 0) << w.err;
    EXPECT_NE(w.err.find("velmora_ffmpeg.so"), std::string::npos);
    EXPECT_TRUE(loaded(w.err, "libavformat.so")) << w.err;
    const auto row = Cells(Lines(w.out).at(0));
    EXPECT_EQ(row[2], "WAV");
    EXPECT_EQ(row[15], "22050 Hz");
}

TEST(CliList, EmptyFolderSaysNoFile) {
    TempDir tmp;
    fs::create_directories(tmp.path() / "empty");
    auto r = RunCliProcess(CliRun{{"list", (tmp.path() / "empty").string()}, tmp.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "No file\n");
}

TEST(CliList, BadArgumentsAndMissingPaths) {
    TempDir tmp;
    auto none = RunCliProcess(CliRun{{"list"}, tmp.path()});
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("usage: velmora-cli list"), std::string::npos);
    auto unknown = RunCliProcess(CliRun{{"list", "--fast", tmp.path().string()}, tmp.path()});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(unknown.out.empty());
    auto missing = RunCliProcess(CliRun{{"list", (tmp.path() / "nothing.mp3").string()}, tmp.path()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "No file\n");
    EXPECT_NE(missing.err.find("no such file or folder"), std::string::npos);
    auto help = RunCliProcess(CliRun{{"list", "--help"}, tmp.path()});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--recursive"), std::string::npos);
}

TEST(CliList, TabSafeCell) {
    EXPECT_EQ(velmora::cli::TabSafeCell("a\tb\r\nc"), "a b  c");
    EXPECT_EQ(velmora::cli::TabSafeCell(""), "");
}

TEST(CliList, SeveralReadingThreadsKeepRowsAndMessagesInLoadOrder) {
    TempDir tmp;
    const fs::path music = tmp.path() / "m";
    std::vector<std::string> args{"list", "--recursive"};
    for (int i = 0; i < 16; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%02d.mp3", i);
        if (i % 5 == 2) {
            fs::create_directories(music);
            std::ofstream(music / name) << std::string(3000 + 100 * i, 'z');  // unreadable, keeps its row
        } else {
            Tone(music / (i % 3 ? "" : "sub") / name, {.seconds = 0.1 + 0.05 * i}, name);
        }
    }
    args.push_back(music.string());
    args.push_back((tmp.path() / "missing.mp3").string());
    args.push_back((music / "04.mp3").string());
    std::vector<std::string> runs[2];
    for (const char* threads : {"1", "6"}) {
        std::vector<std::string> withThreads = args;
        withThreads.insert(withThreads.begin() + 1, {"--threads", threads});
        auto r = RunCliProcess(CliRun{withThreads, tmp.path()});
        EXPECT_EQ(r.status, 1) << r.err;  // the missing path
        runs[threads[0] == '1' ? 0 : 1] = {r.out, r.err};
    }
    EXPECT_EQ(runs[0], runs[1]);
    const auto lines = Lines(runs[1][0]);
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_EQ(Cells(lines[16])[0], "04.mp3");
    // The messages come in row order: the unreadable files' (in the folder's listing order),
    // then the missing path's.
    const auto errors = Lines(runs[1][1]);
    ASSERT_EQ(errors.size(), 4u);
    std::vector<std::string> unreadable;
    for (const std::string& line : lines)
        if (Cells(line).size() > 15 && Cells(line)[15].empty()) unreadable.push_back(Cells(line)[0]);
    ASSERT_EQ(unreadable.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_NE(errors[i].find(unreadable[i] + ": Trouble with mpg123: "), std::string::npos) << errors[i];
    EXPECT_NE(errors[3].find("missing.mp3': no such file or folder"), std::string::npos);
    for (const char* bad : {"0", "9", "x"})
        EXPECT_EQ(RunCliProcess(CliRun{{"list", "--threads", bad, music.string()}, tmp.path()}).status, 2) << bad;
}

TEST(CliList, PipesAreRefusedLikeUnreadableFilesWithoutWaiting) {
    TempDir tmp;
    for (const char* name : {"pipe.ogg", "pipe.mp3"}) ASSERT_EQ(::mkfifo((tmp.path() / name).c_str(), 0600), 0);
    // No writer ever comes: a reader that opens either pipe waits for good.
    CliRun list{{"list", (tmp.path() / "pipe.ogg").string(), (tmp.path() / "pipe.mp3").string()}, tmp.path()};
    list.timeoutSeconds = 15;
    const auto r = RunCliProcess(list);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Lines(r.out).size(), 3u) << r.out;  // both keep their rows
    const std::string ogg = (tmp.path() / "pipe.ogg").string();
    EXPECT_NE(r.err.find(ogg + ": Trouble with " + ogg + ": Not a regular file"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find((tmp.path() / "pipe.mp3").string() + ": Trouble with mpg123: File access error. (code 22)"),
              std::string::npos)
        << r.err;

    CliRun chapters{{"chapters", (tmp.path() / "pipe.mp3").string()}, tmp.path()};
    chapters.timeoutSeconds = 15;
    const auto c = RunCliProcess(chapters);
    ASSERT_FALSE(c.timedOut);
    EXPECT_EQ(c.status, 1);
    EXPECT_NE(c.err.find("pipe.mp3: cannot be read as an audio file"), std::string::npos) << c.err;
}

TEST(CliList, FreeFormatFileShowsItsBitRate) {
    TempDir tmp;
    const fs::path wav = tmp.path() / "tone.wav";
    const fs::path mp3 = tmp.path() / "free.mp3";
    const std::string make = "sox -n -r 44100 -c 2 -b 16 '" + wav.string() + "' synth 2 sine 440 && lame --quiet --freeformat -b 320 '" +
                             wav.string() + "' '" + mp3.string() + "'";
    ASSERT_EQ(std::system(make.c_str()), 0);
    const auto r = RunCliProcess(CliRun{{"list", mp3.string()}, tmp.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto cells = Cells(Lines(r.out).at(0));
    ASSERT_EQ(cells.size(), 18u);
    EXPECT_EQ(cells[14], "00:00:02");
    EXPECT_EQ(cells[17], "320 kbps");
}
