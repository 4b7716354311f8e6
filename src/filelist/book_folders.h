// One book per folder: the books of a library folder (its immediate subfolders, each with the
// audio found beneath it) and the join tasks of a series of them. Below the window and the
// CLI, so that "Join Each Subfolder" and `velmora-cli join --each-folder` find and plan the
// same books.
#pragma once

#include <QStringList>

#include <atomic>
#include <string>
#include <vector>

#include "engine/join_task.h"

namespace velmora {

struct BookFolder {
    std::string folder;              // UTF-8, without a trailing "/"
    std::string name;                // the folder's own name: the output's name
    std::vector<std::string> files;  // the folder's files, then each subfolder's (depth first)
};

struct BookLibrary {
    std::vector<BookFolder> books;
    // Log lines for the run: folders without audio, audio files outside any book.
    std::vector<std::string> notes;
};

// The books of each of `libraries` in turn: its immediate subfolders in natural order, each
// with its audio files as a recursive folder load finds them (`extensions`, see
// LoadExtensions). A subfolder without audio anywhere beneath it is skipped, and audio files
// directly in a library belong to no book; both get a note. `keepGoing` (may be null) stops
// the search early.
BookLibrary FindBookFolders(const std::vector<std::string>& libraries, const QStringList& extensions,
                            const std::atomic<int>* keepGoing = nullptr);

// One task per book, numbered in order, its output `outputFolder` (ending in "/") + the
// folder's name + ".mp3", or with `nameFromTitle` the name the book's title gives. Each input
// is read as ReadJoinInputs reads it; a book with an input that cannot be read becomes a task
// that carries the reason in bookError and nothing to join. Each book has its own plan (tags,
// cover, chapters as `settings` choose them). `keepGoing` (may be null) stops early: the
// tasks so far are returned. With `maxPartMs`, each book is cut into parts of at most that long.
std::vector<CConversionTask> PlanBookTasks(const std::vector<BookFolder>& books, const AppSettings& settings,
                                           const std::string& outputFolder, bool nameFromTitle,
                                           const std::atomic<int>* keepGoing = nullptr, uint64_t maxPartMs = 0);

}  // namespace velmora
