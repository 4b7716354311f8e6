// The tag of a joined file: titles, artist, album and cover carried from the inputs, and a
// chapter per input (or per run of equal titles) timed from the exact output sample position
// of each input. The encoder reserves the tag's room before the first audio frame; the job
// fills it once the audio is written, so the audio is never copied again to make room.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

// The largest cover written into an output: a bigger one, given or carried, is refused
// before it is read.
constexpr uint64_t kMaxCoverBytes = uint64_t(16) << 20;

struct CConversionTask;
struct CFileToBeJoin;
struct JoinEngine;
struct JoinRunState;

// Stored in the settings as these numbers.
enum ChapterMode : int32_t {
    kChaptersNone = 0,
    kChaptersPerFile = 1,
    kChaptersPerTitle = 2,
};

// An input's tags as the file list read them (UTF-8; empty: the input has none).
struct InputTags {
    std::string title;
    std::string artist;
    std::string albumArtist;
    std::string album;
    std::string year;
    std::string genre;
    std::string comment;
};

// What the user set over the carried values (the command line's overrides).
struct TagOverrides {
    std::optional<std::string> title;
    std::optional<std::string> artist;
    std::optional<std::string> album;
    std::vector<uint8_t> cover;  // empty: none given
    std::string coverMime;
};

// What a task writes: the choices and the overrides. Shared by the copies of a task.
struct BookPlan;
struct OutputTagRequest {
    bool tags = true;
    int32_t chapters = kChaptersPerFile;
    std::shared_ptr<const TagOverrides> overrides;  // may be null
    // The book plan (engine/book_plan.h): when set, the tags, cover and chapters written are
    // exactly the plan's, and `chapters` and `overrides` are not used.
    std::shared_ptr<const BookPlan> plan;
};

struct Chapter {
    std::string title;
    uint64_t startFrame = 0;  // sample frames at the output rate
    uint64_t endFrame = 0;
};

// The chapters of an output whose inputs gave `inputFrames[i]` sample frames each (in list
// order) and which holds `outputFrames` in all: inputs that gave nothing get none, and what
// lies past the output's end (a cancelled join) is left out; the last chapter ends at the end.
std::vector<Chapter> PlanChapters(const std::vector<CFileToBeJoin>& files, const std::vector<uint64_t>& inputFrames,
                                  uint64_t outputFrames, int32_t mode);

// `text` with every byte sequence that is not valid UTF-8 replaced by U+FFFD.
std::string ValidUtf8Text(const std::string& text);

// A chapter's title: the input's Title, else its file name without the extension; always
// valid UTF-8 (bytes that are not become U+FFFD).
std::string ChapterTitleOf(const CFileToBeJoin& file);

// Everything that goes into the tag.
struct OutputTagContent {
    bool tags = false;  // text frames, cover and length; chapters come on their own
    std::string title;
    std::string artist;
    std::string albumArtist;
    std::string album;
    std::string year;
    std::string genre;
    std::string comment;
    std::string track;  // "N/M", empty: none
    std::vector<uint8_t> cover;
    std::string coverMime;
    std::string coverLeftOut;  // the input whose cover was too large to carry, empty: none
    uint64_t lengthMs = 0;
    uint32_t rate = 0;
    std::vector<Chapter> chapters;
};

// The carried values: each from the first input that has one (the title from the first
// Album, else the output's base name), the front cover (else the first picture) of the first
// input that has one, read from the inputs' ID3v2 tags; the overrides win. A carried picture
// over kMaxCoverBytes is left out (coverLeftOut names its input).
OutputTagContent GatherOutputTag(const std::vector<CFileToBeJoin>& files, const std::string& outputPath,
                                 const OutputTagRequest& request);

// The frames of an ID3v2.3 tag for the content: no header, no padding. The chapters go under
// one top-level ordered table of contents; past 255 chapters (the most one table lists) it
// lists ordered tables of up to 255 chapters each.
std::vector<uint8_t> RenderTagFrames(const OutputTagContent& content);

// Writes a tag of exactly `size` bytes (at least 11) holding only padding, at the file's
// current position (its start).
bool WriteTagPlaceholder(std::FILE* file, uint32_t size);
// Puts `frames` into the tag of `size` bytes reserved at the start of `path`, the rest staying
// padding. False, with the file untouched, when the file does not start with such a tag or
// the frames do not fit.
bool FillReservedTag(const std::string& path, const std::vector<uint8_t>& frames, uint32_t size);

// Job thread, before a task's workers start: gathers the content and sets the room the
// encoder reserves (0 when nothing is to be written).
void PrepareOutputTag(CConversionTask& task);
// Job thread, once the task's workers have ended: the chapters from what each input gave,
// written into the reserved room, and the log line that says so.
void FinishOutputTag(JoinEngine& engine, const JoinRunState& run, CConversionTask& task);
// The chapters of the task's output as it stands: what the encoder was fed, each input's share
// of it, and the task's chapter choice (none: empty). `dropped`: the plan's marks left out.
std::vector<Chapter> FinalChapters(const JoinRunState& run, const CConversionTask& task, size_t* dropped);
// The log lines of an output whose tags and chapters (`content`) were written.
void ReportOutputTag(JoinEngine& engine, const CConversionTask& task, const OutputTagContent& content, size_t dropped);

// A file's chapters, in table-of-contents order, nested tables followed (chapters no table
// lists come after, by start time).
struct ChapterEntry {
    uint32_t startMs = 0;
    uint32_t endMs = 0;
    std::string title;
};
// False when the file cannot be read as MPEG audio; an empty list when it has no chapters.
bool ReadChapters(const std::string& path, std::vector<ChapterEntry>& chapters);

}  // namespace velmora
