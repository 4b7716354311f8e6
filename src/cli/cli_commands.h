// The subcommands of velmora-cli and what they share. Each subcommand lives in its own
// cli_<name>.cpp and is one line of the table in main.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmora {
struct JoinEngine;
struct AppSettings;
}  // namespace velmora

namespace velmora::cli {

// Exit statuses.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitBadArguments = 2;

// Each takes the arguments after the subcommand's name.
int RunJoin(const std::vector<std::string>& args);
int RunSettings(const std::vector<std::string>& args);
int RunList(const std::vector<std::string>& args);  // cli_list.cpp
int RunChapters(const std::vector<std::string>& args);
int RunLoudness(const std::vector<std::string>& args);

// Usage lines, printed with argument errors.
extern const char* const kJoinUsage;
extern const char* const kSettingsUsage;
extern const char* const kLoudnessUsage;

// What `join` was asked to do.
struct JoinOptions {
    std::string output;                       // -o; empty: the settings' output path
    bool overwrite = false;                   // --overwrite
    std::optional<int> bitrateChoice;         // --bitrate KBPS|same, --vbr Q: an item of the bit-rate list
    std::optional<int32_t> format;            // --format mp3|m4b (OutputFormat)
    std::optional<int16_t> frequencyIndex;    // --frequency HZ|auto
    std::optional<int16_t> channelModeIndex;  // --channels auto|mono|stereo|joint|dual
    bool quiet = false;                       // --quiet
    std::optional<int32_t> chapters;          // --chapters file|title|keep|none (ChapterMode)
    std::string chaptersFrom;                 // --chapters-from FILE (chapters.txt or cue sheet)
    bool dryRun = false;                      // --dry-run
    bool nameFromTitle = false;               // --name-from-title
    bool noTags = false;                      // --no-tags
    bool copy = false;                        // --copy
    std::optional<int> threads;               // --threads N
    std::optional<uint64_t> maxLengthMs;      // --max-length DURATION: parts of at most this; 0: one file
    std::optional<int32_t> loudness;          // --loudness [podcast|audiobook|broadcast|LUFS]: the preset
    int loudnessTarget = -16;                 // the target of --loudness LUFS (Custom)
    std::optional<std::string> title;         // --title TEXT
    std::optional<std::string> artist;        // --artist TEXT
    std::optional<std::string> album;         // --album TEXT
    std::string cover;                        // --cover IMAGE
    bool help = false;                        // -h, --help
    bool recursive = false;                   // --recursive: folder inputs take their subfolders too
    bool eachFolder = false;                  // --each-folder: each subfolder of the inputs is a book
    std::vector<std::string> inputs;
};

struct JoinParse {
    bool ok = false;
    std::string error;  // why not, for the user
    JoinOptions options;
};

JoinParse ParseJoinArguments(const std::vector<std::string>& args);

// How a run on the console ended.
struct ConsoleEnd {
    bool started = false;
    bool done = false;       // finished every task
    bool cancelled = false;  // Ctrl+C or SIGTERM
};
// Runs the tasks of engine->activeRun with the log (and, on a terminal, a progress bar) on
// stderr; Ctrl+C cancels. Returns once every worker has ended.
ConsoleEnd RunJoinOnConsole(const std::shared_ptr<JoinEngine>& engine, bool quiet);

// --each-folder (cli_each_folder.cpp): what it refuses among the other options and inputs
// (empty: nothing), and the run of one book per folder.
std::string CheckEachFolderOptions(const JoinOptions& options);
int RunEachFolder(const JoinOptions& options, AppSettings settings);

// The audio files of `folder` (every format a load takes) as a folder load finds them: natural name order, then (with
// `recursive`) each subfolder's files after the folder's own. Absolute paths.
std::vector<std::string> FolderMp3Files(const std::string& folder, bool recursive);
// Replaces each folder among `inputs` by FolderMp3Files; false (with `error`) when a folder
// holds no audio file.
bool ExpandFolderInputs(std::vector<std::string>& inputs, bool recursive, std::string& error);

// The table indices for the option values; nothing for a value outside the tables.
std::optional<int16_t> BitrateIndexForKbps(const std::string& text);
std::optional<int16_t> FrequencyIndexForText(const std::string& text);  // "auto" or Hz
std::optional<int16_t> ChannelModeIndexForName(const std::string& name);
// A whole decimal number from `low` to `high` ("4", not "+4" or "4x"); nothing otherwise.
std::optional<int> WholeNumberBetween(const std::string& text, int low, int high);

// A log line as the progress dialog numbers and times it: "%03d " counter, "%02d:%02d:%02d"
// local time, then the text.
std::string FormatLogLine(int counter, int hours, int minutes, int seconds, const std::string& text);

// "hh:mm:ss.mmm" of a time in milliseconds (hours not limited to two digits).
std::string FormatChapterTime(uint32_t milliseconds);

// "%02d:%02d:%02d" of the truncated whole seconds (hours not limited to two digits).
std::string FormatDuration(double seconds);

// The progress bar drawn on a terminal: bar, overall percent, speed and remaining time.
std::string FormatProgressBar(double overallPercent, double speed, double etaSeconds, int width);

}  // namespace velmora::cli
