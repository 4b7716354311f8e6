// `velmora-cli join --each-folder DIR...`: one book per folder, as the tree's "Join Each
// Subfolder" joins them, in one run with the log of every book on stderr.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "cli/cli_commands.h"
#include "engine/encoder.h"
#include "engine/join_runner.h"
#include "filelist/book_folders.h"
#include "filelist/file_scan.h"
#include "settings/settings_store.h"

namespace velmora::cli {

namespace fs = std::filesystem;

std::string CheckEachFolderOptions(const JoinOptions& o) {
    // Each book has its own title, tags, cover and chapters; one value for all of them would
    // be wrong for all but one. --dry-run prints one output's plan.
    if (o.title || o.artist || o.album || !o.cover.empty())
        return "--each-folder takes each book's tags from its own files; --title, --artist, --album and --cover "
               "are for one output";
    if (!o.chaptersFrom.empty()) return "--chapters-from gives the times of one output, not of a series of books";
    if (o.dryRun) return "--dry-run plans one output; it does not go with --each-folder";
    // Every book is written under a free name; nothing is replaced.
    if (o.overwrite) return "--overwrite does not go with --each-folder: a taken name gets \" (2)\"";
    if (o.inputs.empty()) return "--each-folder needs a folder of book folders";
    std::error_code ec;
    for (const std::string& input : o.inputs)
        if (!fs::is_directory(input, ec)) return "--each-folder takes folders; " + input + " is not one";
    if (!o.output.empty() && fs::exists(o.output, ec) && !fs::is_directory(o.output, ec))
        return "with --each-folder, -o names the folder the books go to; " + o.output + " is a file";
    return {};
}

int RunEachFolder(const JoinOptions& opt, AppSettings settings) {
    // -o is the folder of the outputs here: a script can place a series without editing the
    // settings, as it places one output with -o FILE.
    std::string folder = opt.output.empty() ? settings.outputFolder : opt.output;
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    std::error_code ec;
    if (!folder.empty() && !fs::is_directory(folder, ec))
        CreateFolderPath(folder);  // a failure shows as the encoder's "Error creating file"

    BookLibrary library = FindBookFolders(opt.inputs, LoadExtensions(settings.otherAudioFiles));
    if (library.books.empty()) {
        for (const std::string& note : library.notes)
            std::fprintf(stderr, "velmora-cli: %s\n", note.c_str());
        std::fprintf(stderr, "velmora-cli join: no subfolder with audio files; nothing written\n");
        return kExitFailed;
    }
    // Free names are taken as each book starts (the " (2)" rule), never a file replaced.
    settings.askOutputPath = 0;
    auto engine = std::make_shared<JoinEngine>();
    engine->settings = settings;
    engine->startDelayMs = 0;  // no dialog to wait for
    engine->encodeTask = [](JoinEngine& e, CConversionTask& t) { return EncodeTask(e, t); };
    SetRunTasks(*engine->activeRun, PlanBookTasks(library.books, settings, folder, opt.nameFromTitle, nullptr,
                                                     opt.maxLengthMs ? *opt.maxLengthMs
                                                                     : uint64_t(settings.maxPartMinutes) * 60000),
                 std::move(library.notes));

    const ConsoleEnd end = RunJoinOnConsole(engine, opt.quiet);
    // Every book written, also when another failed or the run was cancelled after it.
    for (const std::string& written : engine->activeRun->joinedOutputs)
        std::printf("%s\n", written.c_str());
    return end.started && end.done && !end.cancelled ? kExitDone : kExitFailed;
}

}  // namespace velmora::cli
