// The inputs of a join read as the file list reads them: the stream step (libmpg123 for MPEG
// audio, FFmpeg's probe for the rest) and, when the output carries them, the tags. Shared by
// velmora-cli's join and the series of books, so that both read an input the same way.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "engine/join_task.h"

namespace velmora {

// An input that could not be read, with the reader's message ("Trouble with mpg123: ...").
struct InputTrouble {
    std::string path;
    std::string message;
};

// Reads each of `paths` (UTF-8) in order: a readable one is appended to `files`, one that
// cannot be read (a folder, a damaged file) to `troubles`. `wantTags`: the tags too, for the
// output's tag and chapters. `keepGoing` (may be null) is polled between inputs; false when it
// stopped the reading.
bool ReadJoinInputs(const std::vector<std::string>& paths, bool wantTags, FileList& files,
                    std::vector<InputTrouble>& troubles, const std::atomic<int>* keepGoing = nullptr);

// A join reads the inputs' tags when its output carries tags or chapters.
bool JoinWantsTags(const AppSettings& settings);

}  // namespace velmora
