// Parts of a maximum length: a book cut at chapter boundaries into "NAME (Part 1).mp3",
// "NAME (Part 2).mp3", ... for devices and hosts that limit a file's length. Each part is a
// task of its own in the same run, with the book's tags, track "N/M", its own chapters
// starting at 0 and its own header; together the parts hold every sample of the inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/book_plan.h"
#include "engine/join_task.h"

namespace velmora {

// One part: the inputs [firstInput, endInput) of the book.
struct BookPart {
    size_t firstInput = 0;
    size_t endInput = 0;
    uint64_t startMs = 0;   // where it starts in the book, from the list's lengths
    uint64_t lengthMs = 0;
    // The part holds one chapter (or run of inputs between two cut points) that alone is
    // longer than the limit; `longChapter` is its title.
    bool overLimit = false;
    std::string longChapter;
};

// Cuts a book into parts of at most `maxMs` each, at the inputs where a chapter starts (where
// the plan has no chapters, at every input). Greedy: each part takes as much as fits. One
// part (the whole book) when `maxMs` is 0 or the book fits.
std::vector<BookPart> PlanParts(const BookPlan& plan, const std::vector<CFileToBeJoin>& files, uint64_t maxMs);

// The plan of part `index`: the book's tags with track "N/M", the book's cover (`cover` and
// `coverMime`, resolved once for the whole book; empty: none), and the chapters of its own
// inputs, the first at 0.
BookPlan PartPlan(const BookPlan& book, const std::vector<BookPart>& parts, size_t index,
                  const std::vector<uint8_t>& cover, const std::string& coverMime);

// "NAME.mp3" -> "NAME (Part 3).mp3" (the extension, if any, kept after the number).
std::string PartOutputPath(const std::string& bookOutput, size_t number);

// A length as the command line gives it: "90m", "10h", "3600s", "1h30m", or a number of
// minutes; 0 means one file. False for anything else (or a length over 1000 hours).
bool ParseMaxLength(const std::string& text, uint64_t& ms);

// "H:MM:SS" of a length in milliseconds, for log lines.
std::string ClockText(uint64_t ms);
// The same as players show lengths: "M:SS" under an hour, "H:MM:SS" from there.
std::string PlayerClockText(uint64_t ms);

// The cover a book's plan gives its output, read once: the image, the chosen input's or the
// first input's picture. False when there is none.
bool ResolveBookCover(const BookPlan& plan, const std::vector<CFileToBeJoin>& files, std::vector<uint8_t>& cover,
                      std::string& mime);

// Splits a prepared task (its files, output path and tag request with a plan) into one task per
// part, numbered in `partNumber` / `partCount`, each with the book's output format. A book
// that fits in one part gives back the task unchanged. `notes` gets a line for each part that
// had to go over the limit.
std::vector<CConversionTask> SplitIntoParts(const CConversionTask& book, uint64_t maxMs,
                                            std::vector<std::string>* notes = nullptr);

}  // namespace velmora
