// velmora-cli: joins MP3 files, shows the settings, lists files, without a window.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli_commands.h"

namespace {

using velmora::cli::kExitBadArguments;

struct Subcommand {
    const char* name;
    int (*run)(const std::vector<std::string>& args);
    const char* summary;
};

// One line per subcommand.
constexpr Subcommand kSubcommands[] = {
    {"join", velmora::cli::RunJoin, "join audio files (MP3, WAV, FLAC, Ogg, Opus, M4A, WMA) into one MP3 file, in argument order"},
    {"settings", velmora::cli::RunSettings, "print the encoder summary and the settings as loaded"},
    {"list", velmora::cli::RunList, "list audio files with the columns of the file list, then the summary"},
    {"chapters", velmora::cli::RunChapters, "print the chapters of an audio file (MP3, M4A/M4B, Ogg, Opus, FLAC, MKA): start, end and title"},
    {"loudness", velmora::cli::RunLoudness, "measure audio files: loudness, peaks, RMS, noise floor, the audiobook rule"},
};

void PrintUsage(FILE* out) {
    std::fprintf(out, "usage: velmora-cli <command> [arguments]\n\ncommands:\n");
    for (const Subcommand& s : kSubcommands)
        std::fprintf(out, "  %-10s %s\n", s.name, s.summary);
    std::fprintf(out, "\n'velmora-cli <command> --help' describes a command.\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage(stderr);
        return kExitBadArguments;
    }
    const std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        PrintUsage(stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("velmora-cli %s\n", VELMORA_VERSION);
        return 0;
    }
    const std::vector<std::string> args(argv + 2, argv + argc);
    for (const Subcommand& s : kSubcommands)
        if (command == s.name)
            return s.run(args);
    std::fprintf(stderr, "velmora-cli: unknown command '%s'\n", command.c_str());
    PrintUsage(stderr);
    return kExitBadArguments;
}
