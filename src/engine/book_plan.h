// The book plan: what a join writes besides the audio. The output's tags and cover, and its
// chapters as marks tied to the inputs (or, from a chapters file, to times of the output), so
// that they follow their inputs when the list is reordered and take their exact positions
// only once the join knows where each input starts. The "Chapters and Tags" dialog and
// velmora-cli both plan with these functions and the join writes exactly the plan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/output_tag.h"

namespace velmora {

// Chapter sources beyond those of output_tag.h (stored as these numbers).
inline constexpr int32_t kChaptersKeep = 3;      // the inputs' own chapters, a chapter per file elsewhere
inline constexpr int32_t kChaptersFromFile = 4;  // a chapters.txt or a cue sheet

// Where a chapter starts and its title.
struct ChapterMark {
    uint64_t startMs = 0;  // from the start of its input, or of the output for output marks
    std::string title;
    bool operator==(const ChapterMark&) const = default;
};

enum class CoverSource : int32_t {
    FirstInput = 0,  // the first input that has a picture (as a join without a plan does)
    Input = 1,       // the input `coverInput`
    Image = 2,       // the bytes in `cover`
    None = 3,
};

struct BookPlan {
    // The output's tags, written as they stand (an empty field is left out).
    InputTags tags;
    std::string track;  // "N/M" for a part of a book; empty: no track number

    CoverSource coverSource = CoverSource::FirstInput;
    size_t coverInput = 0;        // with CoverSource::Input: an index into the inputs
    std::vector<uint8_t> cover;   // with CoverSource::Image
    std::string coverMime;        // with CoverSource::Image: "image/jpeg" or "image/png"

    int32_t chapterSource = kChaptersPerFile;
    // One entry per input, in list order: the chapters that start in that input. An input
    // without marks goes on with the chapter before it (merged). Unused for kChaptersFromFile.
    std::vector<std::vector<ChapterMark>> inputMarks;
    // kChaptersFromFile: the chapters at times of the joined output.
    std::vector<ChapterMark> outputMarks;
};

// An input's chapter title when nothing else names it: its Title tag, else its file name
// without the extension and without a leading track number and its separator ("01 - Intro"
// gives "Intro"; "1984" and "Part 10" stay). Always valid UTF-8.
std::string DefaultChapterTitle(const CFileToBeJoin& file);

// The plan of a join of `files` into `outputPath` with nothing edited: the carried tags (the
// title from the first Album, else the output's file name without its extension), the cover
// from the first input that has one, and chapters from `source` (kChaptersNone, PerFile,
// PerTitle, Keep, FromFile). For kChaptersKeep the inputs' own chapters are read (ID3v2 in MPEG
// audio, the container's in other formats); for
// kChaptersFromFile `chaptersFile` is parsed. False with `error` when the chapters file cannot
// be read or has a bad line; the plan is then untouched.
bool PlanBook(const std::vector<CFileToBeJoin>& files, const std::string& outputPath, int32_t source,
              const std::string& chaptersFile, BookPlan& plan, std::string& error);

// Replans the chapters alone (a new source, or "Reset"); the tags and cover stay as they are.
bool PlanBookChapters(const std::vector<CFileToBeJoin>& files, int32_t source, const std::string& chaptersFile,
                      BookPlan& plan, std::string& error);

// Reads a chapters file: a chapters.txt ("HH:MM:SS.mmm Title" a line; blank lines skipped) or a
// cue sheet (TRACK, TITLE, INDEX 01 mm:ss:ff at 75 frames a second), told apart by content.
// The times must increase. False with `error` naming the file and the line ("%s line %d: ...").
bool ReadChaptersFile(const std::string& path, std::vector<ChapterMark>& marks, std::string& error);

// One row of the chapter table: what the join will write, its times from `inputFrames` (the
// frames each input gives, in list order) at `rate`. `input` and `mark` locate the mark that
// starts the chapter (input -1: an output mark, then `mark` indexes outputMarks).
struct PlannedChapter {
    Chapter chapter;
    int input = -1;
    size_t mark = 0;
};
// The chapters of the plan for an output holding `outputFrames` in all: each input mark at
// its input's start plus its offset, output marks where they say. Marks of inputs that gave
// nothing, and marks at or past the end, are left out (`dropped` counts the latter); each
// chapter ends where the next begins, the last at the end.
std::vector<PlannedChapter> ResolveChapters(const BookPlan& plan, const std::vector<uint64_t>& inputFrames,
                                            uint64_t outputFrames, uint32_t rate, size_t* dropped = nullptr);
// The same before a join, from the lengths the list measured: what the dialog and --dry-run
// show. Its chapters' start and end are in milliseconds.
std::vector<PlannedChapter> PreviewChapters(const BookPlan& plan, const std::vector<CFileToBeJoin>& files);

// A title as a file name (without extension): "/", "\", NUL, control characters and the
// characters other systems' file names cannot hold (: * ? " < > |) become "_", spaces and dots
// at the ends go, a long title is cut to 200 bytes. Empty when nothing of it is left.
std::string FileNameFromTitle(const std::string& title);

// Edits at file boundaries, by row of the table PreviewChapters gives. MergeWithNext joins a
// chapter with the one after it (the next one's mark goes, its input goes on with this
// chapter). SplitAtInput starts a chapter at the start of `input` (DefaultChapterTitle). False
// when the edit does not apply (no next chapter; a chapter already starts there).
bool MergeWithNext(BookPlan& plan, const std::vector<CFileToBeJoin>& files, size_t row);
bool SplitAtInput(BookPlan& plan, const std::vector<CFileToBeJoin>& files, size_t input);
// The first input that starts strictly inside the chapter of `row`: where "Split" cuts it.
// -1 when there is none (or chapters do not follow the inputs).
int SplitPoint(const BookPlan& plan, const std::vector<CFileToBeJoin>& files, size_t row);
// Renames the chapter of a row of PreviewChapters.
bool SetChapterTitle(BookPlan& plan, const std::vector<CFileToBeJoin>& files, size_t row, const std::string& title);

}  // namespace velmora
