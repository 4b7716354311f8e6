// Join Each Subfolder: every subfolder of a folder that holds audio becomes one book of a
// single run under the progress dialog. The list is not touched.
#pragma once

#include <QString>

#include "join/join_command.h"

namespace velmora {

// Finds and reads the books of `folder` (off the window's thread, with a busy dialog once it
// takes a while), then runs them under CConvProg. `context.list` and `context.isBusy` are not
// used. NotEnoughFiles (with a message box) when no subfolder holds audio; Cancelled when the
// search was cancelled.
JoinOutcome JoinEachSubfolder(const JoinCommandContext& context, const QString& folder);

inline constexpr const char* kNoBooksText = "No subfolder of \"%1\" holds audio files.";

}  // namespace velmora
