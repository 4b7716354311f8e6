// The book plan: default titles, chapters from each source (a kept input's own chapters at
// its start, chapters files and their errors), edits at file boundaries, and how marks become
// chapters once the join knows where each input starts.
#include "test_encoder_support.h"

#include "engine/book_parts.h"
#include "engine/book_plan.h"

using namespace velmora;
using namespace velmora::testing;

namespace {

CFileToBeJoin Listed(const std::string& path, uint64_t frames, const std::string& title = {}) {
    CFileToBeJoin f{path, 44100, 2, frames * 2, {}};
    f.tags.title = title;
    return f;
}

std::vector<std::string> Titles(const std::vector<PlannedChapter>& rows) {
    std::vector<std::string> t;
    for (const PlannedChapter& r : rows) t.push_back(r.chapter.title);
    return t;
}

bool ReadText(const TempDir& dir, const std::string& text, std::vector<ChapterMark>& marks, std::string& error) {
    WriteFile(dir / "chapters", text);
    return ReadChaptersFile((dir / "chapters").string(), marks, error);
}

}  // namespace

TEST(BookPlan, DefaultTitlesLoseALeadingTrackNumberOnly) {
    const std::pair<const char*, const char*> cases[] = {
        {"/b/01 - Intro.mp3", "Intro"}, {"/b/07. Song.mp3", "Song"},   {"/b/3_Three.mp3", "Three"},
        {"/b/1984.mp3", "1984"},        {"/b/Part 10.mp3", "Part 10"}, {"/b/12 .mp3", "12 "},
    };
    for (const auto& [path, title] : cases) EXPECT_EQ(DefaultChapterTitle(Listed(path, 1)), title) << path;
    EXPECT_EQ(DefaultChapterTitle(Listed("/b/01 - Intro.mp3", 1, "01 Tagged")), "01 Tagged");
}

TEST(BookPlan, ChaptersFilesAreReadOrRefusedWithTheirLineNumber) {
    TempDir dir;
    std::vector<ChapterMark> marks;
    std::string error;
    ASSERT_TRUE(ReadText(dir, "\xEF\xBB\xBF" "00:00:00.000 Opening\r\n\n0:01:02.5 Second part\n12:00:00 Late\n", marks, error))
        << error;
    EXPECT_EQ(marks, (std::vector<ChapterMark>{{0, "Opening"}, {62500, "Second part"}, {43200000, "Late"}}));

    // A cue sheet: times at 75 frames a second, titles per track, the album's title ignored.
    ASSERT_TRUE(ReadText(dir,
                         "TITLE \"Album\"\nFILE \"a.wav\" WAVE\n  TRACK 01 AUDIO\n    TITLE \"One\"\n    INDEX 01 00:00:00\n"
                         "  TRACK 02 AUDIO\n    INDEX 00 01:00:00\n    INDEX 01 01:02:37\n",
                         marks, error))
        << error;
    EXPECT_EQ(marks, (std::vector<ChapterMark>{{0, "One"}, {62493, "Track 02"}}));

    const std::pair<std::string, std::string> bad[] = {
        {"00:00:00.000 A\n00:00:05 B\nfive seconds C\n", "line 3: not a chapter line"},
        {"00:00:00.000 A\n00:01:00.000\n", "line 2: not a chapter line"},
        {"00:00:10.000 A\n00:00:10.000 B\n", "line 2: its time does not come after"},
        {"00:00:00.000 A\n00:61:00.000 B\n", "line 2: not a chapter line"},
        {"TRACK 01 AUDIO\n INDEX 01 00:00:00\nTRACK 02 AUDIO\n TITLE x\n", "line 3: a TRACK without INDEX 01"},
        {"TRACK 01 AUDIO\n INDEX 01 00:00:80\n", "line 2: not a time"},
        {"TRACK 01 AUDIO\n INDEX 01 00:05:00\nTRACK 02 AUDIO\n INDEX 01 00:04:00\n", "line 3: its time does not"},
        {"\n\n", "holds no chapters"},
    };
    for (const auto& [text, why] : bad) {
        marks = {{7, "kept"}};
        EXPECT_FALSE(ReadText(dir, text, marks, error)) << text;
        EXPECT_NE(error.find(why), std::string::npos) << error;
        EXPECT_EQ(marks, (std::vector<ChapterMark>{{7, "kept"}})) << "a refused file changes nothing";
    }
}

// Per file, per run of equal titles, and the files' own chapters placed at their input's start.
TEST(BookPlan, EachSourcePlacesItsChaptersWhereTheirInputsStart) {
    REQUIRE_ENCODER_MODULE();
    TempDir dir;
    const std::vector<CFileToBeJoin> titled{Listed("/b/a.mp3", 44100, "Same"), Listed("/b/b.mp3", 44100, "Same"),
                                            Listed("/b/c.mp3", 44100, "Other")};
    BookPlan plan;
    std::string error;
    ASSERT_TRUE(PlanBook(titled, "/out/Book.mp3", kChaptersPerTitle, "", plan, error));
    EXPECT_EQ(Titles(PreviewChapters(plan, titled)), (std::vector<std::string>{"Same", "Other"}));
    EXPECT_EQ(plan.tags.title, "Book");

    // An input that carries chapters of its own: a joined file of two tones with one per file.
    ToneSpec tone;
    tone.seconds = 0.5;
    ASSERT_TRUE(MakeToneMp3(dir / "one.mp3", tone));
    ASSERT_TRUE(MakeToneMp3(dir / "two.mp3", tone));
    std::shared_ptr<JoinEventQueue> sink;
    auto engine = MakeHeadlessEngine(sink);
    engine->encodeTask = EncodeTask;
    engine->settings.askOutputPath = 1;
    const std::string chaptered = (dir / "chaptered.mp3").string();
    ASSERT_TRUE(RunJoinOf(engine, *sink, {(dir / "one.mp3").string(), (dir / "two.mp3").string()}, chaptered)
                    .HasLine("Joining status: OK."));
    std::vector<ChapterEntry> own;
    ASSERT_TRUE(ReadChapters(chaptered, own));
    ASSERT_EQ(own.size(), 2u);

    const std::vector<CFileToBeJoin> files{Listed((dir / "one.mp3").string(), 22050), Listed(chaptered, 44100)};
    ASSERT_TRUE(PlanBookChapters(files, kChaptersKeep, "", plan, error));
    const std::vector<PlannedChapter> rows = ResolveChapters(plan, {22050, 44100}, 66150, 44100);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(Titles(rows), (std::vector<std::string>{"one", "one", "two"}));
    EXPECT_EQ(rows[1].chapter.startFrame, 22050u);
    EXPECT_EQ(rows[2].chapter.startFrame, 22050u + uint64_t(own[1].startMs) * 44100 / 1000);
    EXPECT_EQ(rows[2].chapter.endFrame, 66150u);
    // The title "Book" stays through a replan of the chapters alone.
    EXPECT_EQ(plan.tags.title, "Book");
}

TEST(BookPlan, EditsWorkAtFileBoundariesAndMarksPastTheEndAreLeftOut) {
    const std::vector<CFileToBeJoin> files{Listed("/b/01 - A.mp3", 44100), Listed("/b/02 - B.mp3", 44100),
                                           Listed("/b/03 - C.mp3", 44100)};
    BookPlan plan;
    std::string error;
    ASSERT_TRUE(PlanBook(files, "/out/x.mp3", kChaptersPerFile, "", plan, error));
    EXPECT_EQ(SplitPoint(plan, files, 0), -1);
    ASSERT_TRUE(MergeWithNext(plan, files, 0));
    std::vector<PlannedChapter> rows = PreviewChapters(plan, files);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].chapter.endFrame, 2000u);  // milliseconds
    EXPECT_EQ(SplitPoint(plan, files, 0), 1);
    EXPECT_FALSE(MergeWithNext(plan, files, 1));
    ASSERT_TRUE(SetChapterTitle(plan, files, 1, "Renamed"));
    ASSERT_TRUE(SplitAtInput(plan, files, 1));
    EXPECT_FALSE(SplitAtInput(plan, files, 1));
    EXPECT_EQ(Titles(PreviewChapters(plan, files)), (std::vector<std::string>{"A", "B", "Renamed"}));

    // Resolved at the join: an input that gave nothing takes its chapter with it; a mark past
    // the end of the output is counted as left out.
    plan.inputMarks[2].push_back({5000, "beyond its input"});
    size_t dropped = 0;
    rows = ResolveChapters(plan, {44100, 0, 44100}, 88200, 44100, &dropped);
    EXPECT_EQ(Titles(rows), (std::vector<std::string>{"A", "Renamed"}));
    EXPECT_EQ(rows[1].chapter.startFrame, 44100u);
    EXPECT_EQ(dropped, 1u);

    plan.chapterSource = kChaptersFromFile;
    plan.outputMarks = {{0, "Start"}, {1500, "Later"}, {9000, "After the end"}};
    rows = ResolveChapters(plan, {44100, 0, 44100}, 88200, 44100, &dropped);
    EXPECT_EQ(Titles(rows), (std::vector<std::string>{"Start", "Later"}));
    EXPECT_EQ(rows[1].chapter.startFrame, 66150u);
    EXPECT_EQ(dropped, 1u);
    EXPECT_EQ(FileNameFromTitle(" A/B\\C "), "A_B_C");
    EXPECT_EQ(FileNameFromTitle(".."), "");
}

TEST(BookParts, LengthsAndCutsAtChapterStarts) {
    struct Case { const char* text; bool ok; uint64_t ms; };
    for (const Case& c : {Case{"90m", true, 5400000}, Case{"10h", true, 36000000}, Case{"3600s", true, 3600000},
                          Case{"1h30m", true, 5400000}, Case{"45", true, 2700000}, Case{"0", true, 0},
                          Case{"", false, 0}, Case{"h", false, 0}, Case{"1x", false, 0}, Case{"1h30", false, 0},
                          Case{"-5m", false, 0}, Case{"1001h", false, 0}}) {
        uint64_t ms = 7;
        EXPECT_EQ(velmora::ParseMaxLength(c.text, ms), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(ms, c.ms) << c.text;
        }
    }
    // Four 10 s inputs; a chapters file whose marks start inputs 0 and 2 only (one 20 ms off
    // the listed start): parts of 25 s can only be cut at input 2.
    std::vector<CFileToBeJoin> files;
    for (int i = 0; i < 4; ++i) files.push_back(CFileToBeJoin{"f" + std::to_string(i) + ".mp3", 1000, 1, 10000, {}});
    BookPlan plan;
    plan.chapterSource = velmora::kChaptersFromFile;
    plan.outputMarks = {{0, "One"}, {5000, "Inside"}, {20020, "Two"}};
    const auto parts = velmora::PlanParts(plan, files, 25000);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].endInput, 2u);
    EXPECT_EQ(parts[1].firstInput, 2u);
    EXPECT_FALSE(parts[0].overLimit || parts[1].overLimit);
    const BookPlan second = velmora::PartPlan(plan, parts, 1, {}, "");
    ASSERT_EQ(second.outputMarks.size(), 1u);
    EXPECT_EQ(second.outputMarks[0], (velmora::ChapterMark{20, "Two"}));
    EXPECT_EQ(second.track, "2/2");
    EXPECT_EQ(velmora::PlanParts(plan, files, 0).size(), 1u);
    EXPECT_EQ(velmora::PartOutputPath("/a.b/Book.mp3", 2), "/a.b/Book (Part 2).mp3");
}
