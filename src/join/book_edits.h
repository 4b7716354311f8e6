// What the user changed in "Chapters and Tags", kept between joins of the same list, and the
// one function that turns the rows of a join and these edits into the book plan. The dialog
// shows the plan this function gives and the Join command writes it, so both always agree.
// The chapters of each file are not here: they live in the row's record (FileItemInfo), so
// that they move with the row.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/book_plan.h"
#include "engine/join_task.h"

namespace velmora {

class CReportCtrl;
struct AppSettings;
struct FileItemInfo;

struct BookEdits {
    // Tag fields the user set; none: the carried value.
    std::optional<std::string> title;
    std::optional<std::string> artist;
    std::optional<std::string> albumArtist;
    std::optional<std::string> album;
    std::optional<std::string> year;
    std::optional<std::string> genre;
    std::optional<std::string> comment;

    // The cover; none: the first input that has one.
    std::optional<CoverSource> coverSource;
    std::string coverInputPath;  // CoverSource::Input: the input's full path (rows move, paths stay)
    std::vector<uint8_t> coverImage;  // CoverSource::Image
    std::string coverMime;
    std::string coverImagePath;  // where the image came from, to show it

    // The chapter source; none: the settings' chapter mode.
    std::optional<int32_t> chapterSource;
    std::string chaptersFile;                 // kChaptersFromFile: the file read
    std::vector<ChapterMark> fileMarks;       // kChaptersFromFile: its marks, as edited

    // The output's name without folder and extension; none: the settings' default name.
    std::optional<std::string> outputName;
    bool nameFromTitle = false;
};

// One row of a join: the input as the engine takes it and the row's record.
struct JoinRow {
    CFileToBeJoin file;
    FileItemInfo* info = nullptr;
};

// The readable rows of the list in the order it shows them (the selected ones only when
// asked): what a join takes.
std::vector<JoinRow> GatherJoinRows(const CReportCtrl& list, bool selectedOnly);

// The chapter source a plan starts from: the edited one, else the settings' chapter mode.
int32_t ChapterSourceOf(const BookEdits& edits, const AppSettings& settings);

// The name the output gets before any Save dialog (no folder, no extension): the title with
// the characters a file name cannot hold replaced, when the user asked for that and the title
// is not empty; else the edited name; else the settings' default name.
std::string OutputNameOf(const BookPlan& plan, const BookEdits& edits, const AppSettings& settings);

// The plan with nothing edited for these rows: PlanBook over the rows with the source the
// edits or the settings choose (a chapters file's marks are taken from the edits, not read
// again). False with `error` when the engine refuses.
bool PlanDefaults(const std::vector<CFileToBeJoin>& files, const BookEdits& edits, const AppSettings& settings,
                  BookPlan& plan, std::string& error);
// The plan a join of these rows writes: the defaults, then the edited tag fields, the cover
// choice, and the marks of every row that has its own (`rowMarks` in row order, as long as
// `files`).
bool PlanFromEdits(const std::vector<CFileToBeJoin>& files,
                   const std::vector<std::optional<std::vector<ChapterMark>>>& rowMarks, const BookEdits& edits,
                   const AppSettings& settings, BookPlan& plan, std::string& error);
// The same for gathered rows, their marks taken from their records.
bool PlanFromEdits(const std::vector<JoinRow>& rows, const BookEdits& edits, const AppSettings& settings,
                   BookPlan& plan, std::string& error);

}  // namespace velmora
