// velmora-cli chapters FILE: the chapters of a file, one per line: start, end and title,
// tab-separated: an MP3's ID3v2 chapters in the order of its table of contents, any other
// audio file's as FFmpeg reads them, in the order of their starts.
#include <cstdio>

#include "cli/cli_commands.h"
#include "cli/cli_list.h"
#include "engine/audio_source.h"
#include "engine/output_tag.h"
#include "engine/stream_info.h"

#include <QString>

namespace velmora::cli {

std::string FormatChapterTime(uint32_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", ms / 3600000u, ms / 60000u % 60u, ms / 1000u % 60u,
                  ms % 1000u);
    return text;
}

int RunChapters(const std::vector<std::string>& args) {
    const char* usage = "usage: velmora-cli chapters FILE";
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
        std::printf("%s\n\n"
                    "Prints the chapters of FILE, one per line: start, end (hh:mm:ss.mmm) and title,\n"
                    "tab-separated. Reads the ID3v2 chapters of MP3 files, and the chapters of\n"
                    "M4A/M4B/MP4 (chapter track or Nero list), Ogg, Opus and FLAC (CHAPTERnn comments)\n"
                    "and Matroska audio files.\n",
                    usage);
        return kExitDone;
    }
    if (args.size() != 1) {
        std::fprintf(stderr, "velmora-cli chapters: name one file\n%s\n", usage);
        return kExitBadArguments;
    }
    const std::string& path = args[0];
    std::vector<ChapterEntry> chapters;
    // Only a regular file is opened (by either reader): a pipe's name would hang it.
    std::string error;
    const bool readable = IsMpegAudioFile(path) ? ReadChapters(path, chapters) : ReadAudioChapters(path, chapters, error);
    if (!readable) {
        std::fprintf(stderr, "velmora-cli chapters: %s: cannot be read as an audio file\n", path.c_str());
        return kExitFailed;
    }
    if (chapters.empty()) {
        std::fprintf(stderr, "velmora-cli chapters: %s: has no chapters\n", path.c_str());
        return kExitFailed;
    }
    for (const ChapterEntry& c : chapters) {
        const QByteArray title = TabSafeCell(QString::fromStdString(c.title)).toUtf8();
        std::printf("%s\t%s\t%s\n", FormatChapterTime(c.startMs).c_str(), FormatChapterTime(c.endMs).c_str(),
                    title.constData());
    }
    return kExitDone;
}

}  // namespace velmora::cli
