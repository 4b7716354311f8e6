// JoinFiles: turns the rows of the file list into one join task and runs it under the
// progress dialog. Join takes every row, Join Selected the selected ones, in the order the
// list shows them.
#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <string>

class QWidget;

namespace velmora {

class CReportCtrl;
class ApplicationProfile;
struct AppSettings;
struct BookEdits;
struct JoinEngine;

// What JoinFiles works with. The main window fills it from its own members; tests build one
// around a bare list.
struct JoinCommandContext {
    CReportCtrl* list = nullptr;
    QWidget* owner = nullptr;                 // owns the Save As dialog and the message boxes
    AppSettings* settings = nullptr;
    std::shared_ptr<JoinEngine> engine;       // ring buffers and the joining handle
    ApplicationProfile* profile = nullptr;    // the progress dialog's placement (null: the user's)
    std::function<bool()> isBusy;             // a load, bulk edit or folder expansion runs
    std::function<void()> removeDead;         // the Remove Dead command; empty: RemoveDeadRows
    const BookEdits* book = nullptr;          // "Chapters and Tags" edits; null: none
    std::function<void(const QString&)> showStatus;  // the window's status line; empty: none
};

enum class JoinOutcome {
    Ignored,         // the list is locked or the window busy: nothing happened
    NotEnoughFiles,  // fewer than two rows, or no readable row at all
    Cancelled,       // the Save As dialog was cancelled
    OutputIsInput,   // the chosen output is one of the files to join
    PlanFailed,      // the book plan could not be made (the message said why)
    Ran,             // the progress dialog ran and closed
};

JoinOutcome JoinFiles(const JoinCommandContext& context, bool selectedOnly);

// Runs `run` under the progress dialog on the context's engine (a new one when it has none),
// with `settings` as the engine's when no worker of an earlier run still lives.
struct JoinRunState;
void RunUnderProgressDialog(const JoinCommandContext& context, const AppSettings& settings,
                            const std::shared_ptr<JoinRunState>& run);

// "Cancelled: NAME holds 15:49 of 1:30:00": what a cancel kept (empty when it kept no file).
QString CancelledStatusText(const std::string& path, double seconds, double totalSeconds);

// Drops the rows whose full path names nothing on disk; returns how many went.
int RemoveDeadRows(CReportCtrl& list);

// The Save As filter: "MP3 Files (*." + "mp3" + ")||", a description followed by an empty
// pattern.
QString SaveAsFilterText();

inline constexpr const char* kNotEnoughFilesText = "At Lease 2 Files are Required to Perform a Joining Task!";
inline constexpr const char* kNotEnoughFilesCaption = "Not Enough Files";
inline constexpr const char* kOutputIsInputText =
    "The output file \"%1\" is one of the files to join.\n"
    "Writing into it would destroy it while it is read. Please choose another file name.";

}  // namespace velmora
