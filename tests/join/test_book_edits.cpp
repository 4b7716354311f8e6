// The plan a join writes from the rows and the edits of "Chapters and Tags": edits overlay
// the engine's defaults, a row's own marks go with that row, and the output's name.
#include <gtest/gtest.h>

#include "join/book_edits.h"
#include "settings/app_settings.h"

using namespace velmora;

namespace {

std::vector<CFileToBeJoin> Files() {
    std::vector<CFileToBeJoin> files(3);
    const char* names[] = {"/m/01 - Intro.mp3", "/m/02 - Middle.mp3", "/m/03 - End.mp3"};
    for (int i = 0; i < 3; ++i) {
        files[i].path = names[i];
        files[i].sampleRate = 44100;
        files[i].channels = 2;
        files[i].totalSamples = 44100 * 2 * 10;
    }
    files[0].tags.album = "Carried Album";
    return files;
}

TEST(BookEdits, EditsOverlayTheDefaultsAndMarksStayWithTheirRow) {
    AppSettings settings;
    settings.chapterMode = kChaptersPerFile;
    std::vector<CFileToBeJoin> files = Files();
    BookEdits edits;
    edits.title = "Edited";
    edits.genre = "";  // cleared by the user: written empty, not carried
    edits.coverSource = CoverSource::Input;
    edits.coverInputPath = files[2].path;
    std::vector<std::optional<std::vector<ChapterMark>>> marks(3);
    marks[1] = std::vector<ChapterMark>{{0, "Renamed"}, {4000, "Inside"}};
    files[0].tags.genre = "Speech";

    BookPlan plan;
    std::string error;
    ASSERT_TRUE(PlanFromEdits(files, marks, edits, settings, plan, error)) << error;
    EXPECT_EQ(plan.tags.title, "Edited");
    EXPECT_EQ(plan.tags.album, "Carried Album");
    EXPECT_EQ(plan.tags.genre, "");
    EXPECT_EQ(plan.coverSource, CoverSource::Input);
    EXPECT_EQ(plan.coverInput, 2u);
    ASSERT_EQ(plan.inputMarks.size(), 3u);
    EXPECT_EQ(plan.inputMarks[0], (std::vector<ChapterMark>{{0, "Intro"}}));
    EXPECT_EQ(plan.inputMarks[1], *marks[1]);

    // The same rows in another order: the marks moved with their row, the cover with its file.
    std::swap(files[1], files[2]);
    std::swap(marks[1], marks[2]);
    ASSERT_TRUE(PlanFromEdits(files, marks, edits, settings, plan, error)) << error;
    EXPECT_EQ(plan.inputMarks[1], (std::vector<ChapterMark>{{0, "End"}}));
    EXPECT_EQ(plan.inputMarks[2], *marks[2]);
    EXPECT_EQ(plan.coverInput, 1u);

    // The cover's file left the join: the first input with a picture, as with no choice.
    files.pop_back();
    files.erase(files.begin() + 1);
    marks.resize(1);
    ASSERT_TRUE(PlanFromEdits(files, marks, edits, settings, plan, error)) << error;
    EXPECT_EQ(plan.coverSource, CoverSource::FirstInput);
}

TEST(BookEdits, TheOutputNameFollowsTheTitleOnlyWhenAskedAndStaysAFileName) {
    AppSettings settings;
    settings.defaultFileName = "Untitled";
    BookPlan plan;
    plan.tags.title = " AC/DC: Live? <1991>. ";
    BookEdits edits;
    EXPECT_EQ(OutputNameOf(plan, edits, settings), "Untitled");
    edits.outputName = "My Book";
    EXPECT_EQ(OutputNameOf(plan, edits, settings), "My Book");
    edits.nameFromTitle = true;
    EXPECT_EQ(OutputNameOf(plan, edits, settings), "AC_DC_ Live_ _1991_");
    plan.tags.title = " .. ";
    EXPECT_EQ(OutputNameOf(plan, edits, settings), "My Book");
    EXPECT_EQ(FileNameFromTitle("Tab\there"), "Tab_here");
}

}  // namespace
