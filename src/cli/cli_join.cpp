// velmora-cli join: reads every input as the file list would, refuses the join when one
// cannot be read, then runs the same engine as the window with the log on stderr.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "cli/cli_commands.h"
#include "cli/cli_list.h"
#include "engine/audio_source.h"
#include "engine/encoder.h"
#include "engine/join_runner.h"
#include "engine/join_sink.h"
#include "engine/join_task.h"
#include "engine/book_parts.h"
#include "engine/loudness.h"
#include "engine/book_plan.h"
#include "engine/output_tag.h"
#include "engine/stream_info.h"
#include "filelist/join_inputs.h"
#include "settings/settings_store.h"

namespace velmora::cli {

const char* const kJoinUsage =
    "usage: velmora-cli join [-o FILE] [--overwrite] [--format mp3|m4b] [--bitrate KBPS|same] [--vbr Q]\n"
    "                        [--frequency HZ|auto] [--channels auto|mono|stereo|joint|dual]\n"
    "                        [--chapters file|title|keep|none] [--chapters-from FILE]\n"
    "                        [--dry-run] [--name-from-title]\n"
    "                        [--no-tags] [--title TEXT] [--artist TEXT] [--album TEXT] [--cover IMAGE]\n"
    "                        [--copy] [--threads N] [--loudness [podcast|audiobook|broadcast|LUFS]]\n"
    "                        [--max-length DURATION] [--quiet] [--recursive] FILE|FOLDER...\n"
    "       velmora-cli join --each-folder [options] DIR...";

namespace {

namespace fs = std::filesystem;

volatile sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) {
    g_interrupted = 1;
    // A second Ctrl+C ends the program at once.
    ::signal(SIGINT, SIG_DFL);
}

bool TakesValue(const std::string& option) {
    return option == "-o" || option == "--output" || option == "--bitrate" || option == "--vbr" || option == "--frequency" ||
           option == "--channels" || option == "--chapters" || option == "--title" || option == "--artist" ||
           option == "--album" || option == "--cover" || option == "--threads" || option == "--chapters-from" ||
           option == "--max-length" || option == "--format";
}

const char* kJoinHelp =
    "\n"
    "Joins the audio files (MP3, MP2, WAV, FLAC, Ogg Vorbis, Opus, M4A/M4B, AAC, WMA),\n"
    "in argument order, into one MP3 file or one M4B audiobook (AAC).\n"
    "A folder stands for its audio files in name order, numbers by their value.\n"
    "Defaults come from the settings (see 'velmora-cli settings').\n"
    "\n"
    "  -o FILE         write FILE (an existing file only with --overwrite);\n"
    "                  default: the output folder and file name of the settings, with\n"
    "                  \" (2)\", \" (3)\", ... added when that file exists\n"
    "  --overwrite     allow -o to replace an existing file\n"
    "  --format FORMAT mp3, or m4b: an audiobook, AAC in MP4 with chapters, tags and\n"
    "                  cover; the output's name ends in .mp3 or .m4b (-o is taken as given)\n"
    "  --bitrate KBPS  constant: 8 16 24 32 40 48 56 64 80 96 112 128 160 192 224 256 320,\n"
    "                  or same: the highest among the inputs (a VBR input's average);\n"
    "                  an M4B: 32 40 48 56 64 80 96 112 128 160 192 224 256 (default 64)\n"
    "  --vbr Q         variable bit rate of quality Q, 0 (best) to 9 (MP3 only)\n"
    "  --frequency HZ  8000 11025 12000 16000 22050 24000 32000 44100 48000, or auto\n"
    "  --channels MODE auto, mono, stereo, joint or dual\n"
    "  --chapters MODE a chapter per file (file, the default), per run of equal titles\n"
    "                  (title), the inputs' own chapters (keep; a chapter per file for\n"
    "                  inputs without), or none\n"
    "  --chapters-from FILE\n"
    "                  chapters at times of the joined output, from a chapters.txt\n"
    "                  (\"HH:MM:SS.mmm Title\" a line) or a cue sheet\n"
    "  --dry-run       print the output path, tags and chapters the join would write\n"
    "                  (start, end and title, as 'chapters' prints them); write nothing\n"
    "  --name-from-title\n"
    "                  name the output after its title, in the settings' output folder\n"
    "  --no-tags       no tags or cover carried from the inputs (chapters still written)\n"
    "  --title TEXT, --artist TEXT, --album TEXT\n"
    "                  the output's title, artist or album instead of the carried one\n"
    "  --cover IMAGE   a JPEG or PNG file as the output's front cover\n"
    "  --copy          copy the audio frames without re-encoding when every input is\n"
    "                  MPEG Layer III of one version, rate and channel count (MP3 only)\n"
    "  --threads N     encoder threads, 1 to 16 (default: the machine's hardware threads,\n"
    "                  or VELMORA_ENCODER_THREADS); 1 is the single-stream encoder\n"
    "  --loudness [podcast|audiobook|broadcast|LUFS]\n"
    "                  even out the inputs' loudness (each input measured first):\n"
    "                  podcast (the default) -16 LUFS, broadcast -23 LUFS, or LUFS from\n"
    "                  -30 to -10, true peaks limited to -1 dBTP; audiobook: RMS -20 dB,\n"
    "                  peaks limited to -3 dB, and a line per input on the audiobook\n"
    "                  rule (RMS -23 to -18 dB, peaks <= -3 dB, noise floor <= -60 dB)\n"
    "  --max-length DURATION\n"
    "                  split the output into parts of at most DURATION (\"90m\", \"10h\",\n"
    "                  \"3600s\", \"1h30m\"; 0: one file), cut where a chapter starts:\n"
    "                  \"NAME (Part 1).mp3\", \"NAME (Part 2).mp3\" (or .m4b), ... each with the\n"
    "                  book's tags, track N/M and its own chapters; a chapter longer than\n"
    "                  DURATION makes a part of its own\n"
    "  --quiet         no progress bar and no information lines (errors still show)\n"
    "  --recursive     a folder's subfolders add their files after the folder's own\n"
    "  --each-folder   one book per folder: each subfolder of each DIR that holds audio\n"
    "                  is joined into an output of its own, named after the folder (or\n"
    "                  its title with --name-from-title), with the files of its own\n"
    "                  subfolders after its own (CD1, CD2, ...); -o names the folder\n"
    "                  the books go to (default: the settings' output folder), a taken\n"
    "                  name gets \" (2)\"; each path written is printed. A book that\n"
    "                  fails does not stop the others; the status is then 1\n"
    "\n"
    "Exit status: 0 done, 1 failed or cancelled (Ctrl+C), 2 bad arguments.\n";

// Prints the engine's reports: numbered, timed log lines and, on a terminal, a progress bar
// that stays below them.
class ConsoleReporter {
public:
    ConsoleReporter(bool quiet, bool bar) : quiet_(quiet), bar_(bar) {}

    void Line(const std::string& text, int kind) {
        if (quiet_ && kind == kMessageInfo)
            return;
        ClearBar();
        static int counter = 0;  // continues over the whole run, as the dialog's does
        ++counter;
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        int h = -1, m = -1, s = -1;
        if (localtime_r(&now, &local)) {
            h = local.tm_hour;
            m = local.tm_min;
            s = local.tm_sec;
        }
        const std::string line = FormatLogLine(counter, h, m, s, text);
        if (bar_ && kind != kMessageInfo)
            std::fprintf(stderr, "\033[31m%s\033[0m\n", line.c_str());
        else
            std::fprintf(stderr, "%s\n", line.c_str());
        DrawBar();
    }

    void Box(const std::string& text) {
        ClearBar();
        std::fprintf(stderr, "velmora-cli: %s\n", text.c_str());
        DrawBar();
    }

    void Progress(double overallPercent, const JoinRunState& run) {
        if (!bar_)
            return;
        const double j = static_cast<uint32_t>(TickCount() - run.jobStartTick.load()) / 1000.0;
        const double speed = j > 0.1 ? run.overallSecondsDone.load() / j : 0.0;
        const double eta = (overallPercent > 0 && j > 0.1) ? (100.0 - overallPercent) * j / overallPercent : 0.0;
        bar_text_ = FormatProgressBar(overallPercent, speed, eta, 30);
        DrawBar();
    }

    void Finish() {
        ClearBar();
        bar_text_.clear();
    }

private:
    void ClearBar() {
        if (bar_ && drawn_) {
            std::fprintf(stderr, "\r\033[K");
            drawn_ = false;
        }
    }
    void DrawBar() {
        if (!bar_ || bar_text_.empty())
            return;
        std::fprintf(stderr, "\r\033[K%s", bar_text_.c_str());
        std::fflush(stderr);
        drawn_ = true;
    }

    const bool quiet_;
    const bool bar_;
    bool drawn_ = false;
    std::string bar_text_;
};

// --dry-run: the output's path, the tags and cover it would get, and its chapters as
// 'chapters' prints them.
void PrintPlan(const std::string& output, const BookPlan& plan, const std::vector<CFileToBeJoin>& files, bool tags) {
    std::printf("Output: %s\n", output.c_str());
    if (tags) {
        const std::pair<const char*, const std::string*> fields[] = {
            {"Title", &plan.tags.title}, {"Artist", &plan.tags.artist}, {"Album artist", &plan.tags.albumArtist},
            {"Album", &plan.tags.album}, {"Year", &plan.tags.year},     {"Genre", &plan.tags.genre},
            {"Comment", &plan.tags.comment}, {"Track", &plan.track}};
        for (const auto& [name, value] : fields)
            if (!value->empty())
                std::printf("%s: %s\n", name, TabSafeCell(QString::fromStdString(*value)).toUtf8().constData());
        switch (plan.coverSource) {
        case CoverSource::Image: std::printf("Cover: the given image, %zu bytes\n", plan.cover.size()); break;
        case CoverSource::Input:
            if (plan.coverInput < files.size()) std::printf("Cover: from %s\n", files[plan.coverInput].path.c_str());
            break;
        case CoverSource::FirstInput: std::printf("Cover: from the first input that has one\n"); break;
        case CoverSource::None: break;
        }
    }
    const std::vector<PlannedChapter> chapters = PreviewChapters(plan, files);
    std::printf("Chapters: %zu\n", chapters.size());
    for (const PlannedChapter& c : chapters) {
        const QByteArray title = TabSafeCell(QString::fromStdString(c.chapter.title)).toUtf8();
        std::printf("%s\t%s\t%s\n", FormatChapterTime(static_cast<uint32_t>(c.chapter.startFrame)).c_str(),
                    FormatChapterTime(static_cast<uint32_t>(c.chapter.endFrame)).c_str(), title.constData());
    }
}

// The cover given on the command line: JPEG or PNG by its first bytes, read whole; one over
// the limit is refused by its size, before a byte of it is read.
bool ReadCoverImage(const std::string& path, TagOverrides& overrides, std::string& error) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        error = "--cover " + path + ": is a folder, not an image file";
        return false;
    }
    // A pipe or device would be waited on, or read without end.
    if (!fs::is_regular_file(path, ec)) {
        error = "--cover " + path + ": cannot be read";
        return false;
    }
    const std::string tooLarge = "--cover: " + path + " is larger than 16 MiB";
    if (const uintmax_t size = fs::file_size(path, ec); !ec && size > kMaxCoverBytes) {
        error = tooLarge;
        return false;
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = "--cover " + path + ": cannot be read";
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t block[1 << 16];
    size_t n;
    // A file that grows while it is read, or has no size (a device), stops at the limit too.
    while (bytes.size() <= kMaxCoverBytes && (n = std::fread(block, 1, sizeof block, f)) > 0)
        bytes.insert(bytes.end(), block, block + n);
    const bool readOk = !std::ferror(f);
    std::fclose(f);
    if (bytes.size() > kMaxCoverBytes) {
        error = tooLarge;
        return false;
    }
    static const uint8_t kJpeg[] = {0xFF, 0xD8, 0xFF};
    static const uint8_t kPng[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    auto startsWith = [&](const uint8_t* magic, size_t size) {
        return bytes.size() > size && std::equal(magic, magic + size, bytes.begin());
    };
    if (!readOk) {
        error = "--cover " + path + ": cannot be read";
        return false;
    }
    if (startsWith(kJpeg, sizeof kJpeg)) {
        overrides.coverMime = "image/jpeg";
    } else if (startsWith(kPng, sizeof kPng)) {
        overrides.coverMime = "image/png";
    } else {
        error = "--cover " + path + ": not a JPEG or PNG image";
        return false;
    }
    overrides.cover = std::move(bytes);
    return true;
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (fs::equivalent(a, b, ec) && !ec)
        return true;
    const fs::path ca = fs::weakly_canonical(a, ec);
    if (ec)
        return false;
    const fs::path cb = fs::weakly_canonical(b, ec);
    return !ec && ca == cb;
}

}  // namespace

ConsoleEnd RunJoinOnConsole(const std::shared_ptr<JoinEngine>& engine, bool quiet) {
    ConsoleEnd end;
    auto queue = std::make_shared<JoinEventQueue>(/*waitForFinal=*/true);
    engine->sink = queue;
    const std::shared_ptr<JoinRunState> run = engine->activeRun;

    ConsoleReporter reporter(quiet, !quiet && ::isatty(STDERR_FILENO));

    g_interrupted = 0;
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    struct sigaction oldInt {}, oldTerm {};
    ::sigaction(SIGINT, &sa, &oldInt);
    ::sigaction(SIGTERM, &sa, &oldTerm);

    const std::shared_ptr<WorkerThread> job = StartJoinRun(engine);
    if (!job) {
        ::sigaction(SIGINT, &oldInt, nullptr);
        ::sigaction(SIGTERM, &oldTerm, nullptr);
        std::fprintf(stderr, "velmora-cli: the join could not start\n");
        return end;
    }
    end.started = true;

    auto handle = [&](const JoinEvent& e) {
        switch (e.type) {
        case JoinEvent::Type::Message:
            reporter.Line(e.text, e.kind);
            break;
        case JoinEvent::Type::MessageBox:
            reporter.Box(e.text);
            break;
        case JoinEvent::Type::Progress:
            reporter.Progress(e.overallPercent, *run);
            break;
        case JoinEvent::Type::Done:
            end.done = true;
            reporter.Line("Finished joining, all done ^_^", kMessageInfo);
            break;
        default:
            break;  // title, Source and Destination texts belong to the dialog
        }
    };
    for (;;) {
        if (g_interrupted && !end.cancelled) {
            // Ctrl+C cancels as the dialog's Cancel does: the workers stop at their next poll
            // and the encoder still closes the output as a valid, shorter MP3.
            end.cancelled = true;
            run->stopped = 1;
            run->running = 0;
            reporter.Line("Cancelled by the user.", kMessageError);
        }
        // A short wait: the job's end is noticed at the next timeout, and a script waits for it.
        if (auto e = queue->Pop(std::chrono::milliseconds(5))) {
            handle(*e);
            continue;
        }
        if (job->Finished())
            break;
    }
    // The job thread waits for its encoder only so long; the output must be closed before the
    // program ends, so wait for every worker here.
    while (!StopJoinWorkers(*run, 1000)) {
        for (const JoinEvent& e : queue->TakeAll())
            handle(e);
    }
    for (const JoinEvent& e : queue->TakeAll())
        handle(e);
    reporter.Finish();
    ::sigaction(SIGINT, &oldInt, nullptr);
    ::sigaction(SIGTERM, &oldTerm, nullptr);
    return end;
}

JoinParse ParseJoinArguments(const std::vector<std::string>& args) {
    JoinParse r;
    JoinOptions& o = r.options;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            o.inputs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string value;
        bool hasValue = false;
        if (arg.rfind("--", 0) == 0) {
            const size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasValue = true;
            }
        } else if (arg.size() > 2 && arg.rfind("-o", 0) == 0) {
            value = arg.substr(2);  // -oFILE
            arg = "-o";
            hasValue = true;
        }
        // --loudness takes a preset's name or a target when one follows, else the podcast preset.
        if (arg == "--loudness") {
            const auto isChoice = [](const std::string& text) {
                if (!text.empty() && text.find_first_not_of("-+0123456789") == std::string::npos) return true;
                for (const LoudnessPresetEntry& e : LoudnessPresetTable)
                    if (text == e.name && e.preset != kLoudnessCustom) return true;
                return false;
            };
            if (!hasValue && i + 1 < args.size() && isChoice(args[i + 1])) {
                value = args[++i];
                hasValue = true;
            }
            o.loudness = kLoudnessPodcast;
            if (hasValue) {
                o.loudness.reset();
                for (const LoudnessPresetEntry& e : LoudnessPresetTable)
                    if (value == e.name && e.preset != kLoudnessCustom) o.loudness = e.preset;
                // Every target is negative: "-20", never "20" or "+20".
                const std::optional<int> below =
                    value.size() > 1 && value[0] == '-'
                        ? WholeNumberBetween(value.substr(1), -kLoudnessTargetMax, -kLoudnessTargetMin)
                        : std::nullopt;
                if (!o.loudness && below) {
                    o.loudness = kLoudnessCustom;
                    o.loudnessTarget = -*below;
                }
                if (!o.loudness) {
                    r.error = "--loudness takes podcast, audiobook, broadcast or a target from -30 to -10 LUFS, not '" +
                              value + "'";
                    return r;
                }
            }
            continue;
        }
        if (TakesValue(arg) && !hasValue) {
            if (i + 1 >= args.size()) {
                r.error = "option " + arg + " needs a value";
                return r;
            }
            value = args[++i];
            hasValue = true;
        } else if (!TakesValue(arg) && hasValue) {
            r.error = "option " + arg + " takes no value";
            return r;
        }
        if (arg == "-o" || arg == "--output") {
            if (value.empty()) {
                r.error = "option -o needs a file name";
                return r;
            }
            o.output = value;
        } else if (arg == "--bitrate") {
            // The last of --bitrate and --vbr counts, as a later option overrides an earlier one.
            o.bitrateChoice = kSameAsInputsChoice;
            if (value != "same") o.bitrateChoice = BitrateIndexForKbps(value);
            if (!o.bitrateChoice) {
                r.error = "--bitrate must be same or one of 8 16 24 32 40 48 56 64 80 96 112 128 160 192 224 256 320, "
                          "not '" + value + "'";
                return r;
            }
        } else if (arg == "--format") {
            if (value != "mp3" && value != "m4b") {
                r.error = "--format must be mp3 or m4b, not '" + value + "'";
                return r;
            }
            o.format = value == "m4b" ? kFormatM4b : kFormatMp3;
        } else if (arg == "--vbr") {
            const std::optional<int> quality = WholeNumberBetween(value, 0, 9);
            if (!quality) {
                r.error = "--vbr must be a quality from 0 (best) to 9, not '" + value + "'";
                return r;
            }
            o.bitrateChoice = kVbrChoiceFirst + *quality;
        } else if (arg == "--frequency") {
            o.frequencyIndex = FrequencyIndexForText(value);
            if (!o.frequencyIndex) {
                r.error = "--frequency must be auto or one of 8000 11025 12000 16000 22050 24000 32000 44100 48000, "
                          "not '" + value + "'";
                return r;
            }
        } else if (arg == "--channels") {
            o.channelModeIndex = ChannelModeIndexForName(value);
            if (!o.channelModeIndex) {
                r.error = "--channels must be auto, mono, stereo, joint or dual, not '" + value + "'";
                return r;
            }
        } else if (arg == "--chapters") {
            if (value == "file") {
                o.chapters = kChaptersPerFile;
            } else if (value == "title") {
                o.chapters = kChaptersPerTitle;
            } else if (value == "keep") {
                o.chapters = kChaptersKeep;
            } else if (value == "none") {
                o.chapters = kChaptersNone;
            } else {
                r.error = "--chapters must be file, title, keep or none, not '" + value + "'";
                return r;
            }
        } else if (arg == "--threads") {
            o.threads = WholeNumberBetween(value, 1, 16);
            if (!o.threads) {
                r.error = "--threads must be a number from 1 to 16, not '" + value + "'";
                return r;
            }
        } else if (arg == "--max-length") {
            uint64_t ms = 0;
            if (!ParseMaxLength(value, ms)) {
                r.error = "--max-length takes a length such as 90m, 10h, 3600s or 1h30m (0: one file), not '" +
                          value + "'";
                return r;
            }
            o.maxLengthMs = ms;
        } else if (arg == "--copy") {
            o.copy = true;
        } else if (arg == "--no-tags") {
            o.noTags = true;
        } else if (arg == "--title") {
            o.title = value;
        } else if (arg == "--artist") {
            o.artist = value;
        } else if (arg == "--album") {
            o.album = value;
        } else if (arg == "--cover") {
            if (value.empty()) {
                r.error = "option --cover needs an image file";
                return r;
            }
            o.cover = value;
        } else if (arg == "--overwrite") {
            o.overwrite = true;
        } else if (arg == "--chapters-from") {
            if (value.empty()) {
                r.error = "option --chapters-from needs a chapters file";
                return r;
            }
            o.chaptersFrom = value;
        } else if (arg == "--dry-run") {
            o.dryRun = true;
        } else if (arg == "--name-from-title") {
            o.nameFromTitle = true;
        } else if (arg == "--each-folder") {
            o.eachFolder = true;
        } else if (arg == "--recursive" || arg == "-r") {
            o.recursive = true;
        } else if (arg == "--quiet" || arg == "-q") {
            o.quiet = true;
        } else if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else {
            r.error = "unknown option " + arg;
            return r;
        }
    }
    if (o.help) {
        r.ok = true;
        return r;
    }
    if (o.eachFolder) {
        r.error = CheckEachFolderOptions(o);
        r.ok = r.error.empty();
        return r;
    }
    if (o.nameFromTitle && !o.output.empty()) {
        r.error = "--name-from-title and -o both name the output; give one";
        return r;
    }
    if (o.overwrite && o.output.empty()) {
        r.error = "--overwrite needs -o";
        return r;
    }
    if (!ExpandFolderInputs(o.inputs, o.recursive, r.error))
        return r;
    // As in the window: a join needs at least two files.
    if (o.inputs.size() < 2) {
        r.error = "At Lease 2 Files are Required to Perform a Joining Task!";
        return r;
    }
    r.ok = true;
    return r;
}

int RunJoin(const std::vector<std::string>& args) {
    const JoinParse parsed = ParseJoinArguments(args);
    if (!parsed.ok) {
        std::fprintf(stderr, "velmora-cli join: %s\n%s\n", parsed.error.c_str(), kJoinUsage);
        return kExitBadArguments;
    }
    const JoinOptions& opt = parsed.options;
    if (opt.help) {
        std::printf("%s\n%s", kJoinUsage, kJoinHelp);
        return kExitDone;
    }

    // The cover is read before anything else is: a bad one refuses the join at once.
    auto overrides = std::make_shared<TagOverrides>();
    overrides->title = opt.title;
    overrides->artist = opt.artist;
    overrides->album = opt.album;
    if (!opt.cover.empty()) {
        std::string error;
        if (!ReadCoverImage(opt.cover, *overrides, error)) {
            std::fprintf(stderr, "velmora-cli join: %s\n", error.c_str());
            return kExitBadArguments;
        }
    }

    // Settings as the window loads them; read only, never written.
    AppSettings settings;
    settings.outputFolder = DefaultOutputFolder();
    std::string error;
    if (!LoadSettings(settings, SettingsFilePath(), &error)) {
        std::fprintf(stderr, "velmora-cli: %s\n%s\n", kLoadSettingsFailedText, error.c_str());
        return kExitFailed;
    }
    if (opt.format)
        settings.outputFormat = *opt.format;
    // An M4B takes its own list of constant rates: --bitrate names one of them, and what only
    // an MP3 has (same, VBR, the rates outside AAC's list) is refused rather than changed.
    if (opt.bitrateChoice && settings.outputFormat == kFormatM4b) {
        const int choice = *opt.bitrateChoice;
        const int kbps = choice >= 0 && choice < kVbrChoiceFirst ? BitrateKbps(static_cast<int16_t>(choice)) : 0;
        if (kbps == 0 || ValidAacBitrate(kbps) != kbps) {
            std::fprintf(stderr, "velmora-cli join: an M4B's bit rate must be one of 32 40 48 56 64 80 96 112 128 160 "
                                 "192 224 256 (--bitrate)\n");
            return kExitBadArguments;
        }
        settings.aacBitrateKbps = kbps;
    } else if (opt.bitrateChoice) {
        SetBitrateChoice(settings, *opt.bitrateChoice);
    }
    if (opt.frequencyIndex)
        settings.frequencyIndex = *opt.frequencyIndex;
    if (opt.channelModeIndex)
        settings.channelModeIndex = *opt.channelModeIndex;
    if (opt.chapters)
        settings.chapterMode = *opt.chapters;
    if (!opt.chaptersFrom.empty())
        settings.chapterMode = kChaptersFromFile;
    if (opt.noTags)
        settings.outputTags = 0;
    if (opt.copy)
        settings.copyFrames = 1;
    if (opt.loudness) {
        settings.loudness = 1;
        settings.loudnessPreset = *opt.loudness;
        if (*opt.loudness == kLoudnessCustom) settings.loudnessTarget = opt.loudnessTarget;
    }
    // The encoder module reads its thread count when a stream starts.
    if (opt.threads)
        ::setenv("VELMORA_ENCODER_THREADS", std::to_string(*opt.threads).c_str(), 1);
    if (opt.eachFolder)
        return RunEachFolder(opt, settings);
    // Every input is read as the file list reads it. The window leaves unreadable rows out
    // silently; a script must not lose an input unnoticed, so one such input refuses the join.
    CConversionTask task;
    task.outputKind = OutputKindOf(settings);
    {
        std::vector<InputTrouble> troubles;
        ReadJoinInputs(opt.inputs, JoinWantsTags(settings), *task.files, troubles);
        for (const InputTrouble& t : troubles)
            std::fprintf(stderr, "velmora-cli: %s: %s\n", t.path.c_str(), t.message.c_str());
        if (!troubles.empty()) {
            std::fprintf(stderr, "velmora-cli: nothing written: every input must be readable\n");
            return kExitFailed;
        }
    }

    // The output path.
    std::string output;
    if (!opt.output.empty()) {
        output = opt.output;
        std::error_code ec;
        const bool exists = fs::exists(output, ec) || fs::is_symlink(output, ec);
        for (const std::string& input : opt.inputs)
            if (SameFile(output, input)) {
                std::fprintf(stderr, "velmora-cli: the output %s is one of the inputs; nothing written\n",
                             output.c_str());
                return kExitBadArguments;
            }
        if (exists && !opt.overwrite) {
            std::fprintf(stderr, "velmora-cli: %s exists; use --overwrite to replace it\n", output.c_str());
            return kExitBadArguments;
        }
        if (exists && fs::is_directory(output, ec)) {
            std::fprintf(stderr, "velmora-cli: %s is a folder\n", output.c_str());
            return kExitBadArguments;
        }
        settings.askOutputPath = 1;  // the engine keeps the path as given
    } else {
        std::string folder = settings.outputFolder;
        // The Options dialog always ends the folder with "/"; a hand-edited file may not.
        if (!folder.empty() && folder.back() != '/')
            folder += '/';
        std::error_code ec;
        if (!opt.dryRun && !folder.empty() && !fs::is_directory(folder, ec))
            CreateFolderPath(folder);  // a failure shows as the encoder's "Error creating file"
        output = folder + settings.defaultFileName + OutputExtension(settings);
        // Never overwrite here: the same free name the engine would pick, taken now so that
        // it can be checked and reported.
        if (fs::exists(output, ec) || fs::is_symlink(output, ec))
            output = UniqueOutputPath(output);
        settings.askOutputPath = 0;
    }

    // The book plan: what the join writes besides the audio, as the window's dialog plans it.
    auto plan = std::make_shared<BookPlan>();
    if (std::string planError; !PlanBook(*task.files, output, settings.chapterMode, opt.chaptersFrom, *plan, planError)) {
        std::fprintf(stderr, "velmora-cli join: %s\n", planError.c_str());
        return kExitBadArguments;
    }
    if (overrides->title)
        plan->tags.title = *overrides->title;
    if (overrides->artist)
        plan->tags.artist = *overrides->artist;
    if (overrides->album)
        plan->tags.album = *overrides->album;
    if (!overrides->cover.empty()) {
        plan->coverSource = CoverSource::Image;
        plan->cover = overrides->cover;
        plan->coverMime = overrides->coverMime;
    }
    if (opt.nameFromTitle) {
        std::string name = FileNameFromTitle(plan->tags.title);
        if (name.empty())
            name = settings.defaultFileName;
        const fs::path named = fs::path(output).parent_path() / (name + OutputExtension(settings));
        output = named.string();
        std::error_code ec;
        if (fs::exists(output, ec) || fs::is_symlink(output, ec))
            output = UniqueOutputPath(output);
        for (const std::string& input : opt.inputs)
            if (SameFile(output, input)) {
                std::fprintf(stderr, "velmora-cli: the output %s is one of the inputs; nothing written\n", output.c_str());
                return kExitBadArguments;
            }
    }
    PrepareTask(task, settings);
    task.outputPath = output;
    if (task.tagRequest) {
        auto request = std::make_shared<OutputTagRequest>(*task.tagRequest);
        request->plan = plan;
        task.tagRequest = request;
    }
    // Parts of a maximum length: one task a part, each named after the output.
    const uint64_t maxMs = opt.maxLengthMs ? *opt.maxLengthMs : uint64_t(settings.maxPartMinutes) * 60000;
    std::vector<CConversionTask> tasks = maxMs > 0 ? SplitIntoParts(task, maxMs) : std::vector<CConversionTask>{task};
    if (tasks.size() > 1) {
        for (CConversionTask& part : tasks) {
            std::error_code ec;
            const bool exists = fs::exists(part.outputPath, ec) || fs::is_symlink(part.outputPath, ec);
            for (const std::string& input : opt.inputs)
                if (SameFile(part.outputPath, input)) {
                    std::fprintf(stderr, "velmora-cli: the output %s is one of the inputs; nothing written\n",
                                 part.outputPath.c_str());
                    return kExitBadArguments;
                }
            if (exists && !opt.output.empty() && !opt.overwrite) {
                std::fprintf(stderr, "velmora-cli: %s exists; use --overwrite to replace it\n", part.outputPath.c_str());
                return kExitBadArguments;
            }
            if (exists && opt.output.empty()) part.outputPath = UniqueOutputPath(part.outputPath);
        }
    }
    if (opt.dryRun) {
        for (const CConversionTask& t : tasks) {
            if (!t.partNote.empty()) std::printf("%s\n", t.partNote.c_str());
            PrintPlan(t.outputPath, t.tagRequest && t.tagRequest->plan ? *t.tagRequest->plan : *plan, *t.files,
                      settings.outputTags != 0);
        }
        return kExitDone;
    }

    auto engine = std::make_shared<JoinEngine>();
    engine->settings = settings;
    engine->startDelayMs = 0;  // no dialog to wait for
    engine->encodeTask = [](JoinEngine& e, CConversionTask& t) { return EncodeTask(e, t); };
    SetRunTasks(*engine->activeRun, tasks);
    const ConsoleEnd end = RunJoinOnConsole(engine, opt.quiet);
    if (!end.started)
        return kExitFailed;
    const bool done = end.done, cancelled = end.cancelled;

    if (done && !cancelled) {
        // The path written goes to stdout, so that a script learns the free name picked for
        // the settings' output path.
        for (const CConversionTask& t : tasks) std::printf("%s\n", t.outputPath.c_str());
        return kExitDone;
    }
    return kExitFailed;
}

}  // namespace velmora::cli
