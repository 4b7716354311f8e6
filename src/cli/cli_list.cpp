// Lists files the way a load fills the file list: a folder is scanned for audio files (with
// --recursive, its subfolders after its own files), a file named on the command line is
// listed whatever its extension. One line per file with the eighteen cells in column order,
// then the list summary line. Unreadable files are reported on stderr and keep their line.
#include "cli/cli_list.h"

#include "cli/cli_commands.h"
#include "filelist/file_list_summary.h"
#include "filelist/file_scan.h"
#include "filelist/media_read_ahead.h"
#include "filelist/media_reader.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>

namespace velmora::cli {

const char* const kListUsage = "usage: velmora-cli list [--recursive] [--threads N] PATH...";

QString TabSafeCell(const QString& text) {
    // Most cells have none of them: those are shared, not copied (a write through the loop
    // below copies the text).
    auto breaks = [](QChar ch) { return ch == QLatin1Char('\t') || ch == QLatin1Char('\n') || ch == QLatin1Char('\r'); };
    if (std::none_of(text.begin(), text.end(), breaks)) return text;
    QString cell = text;
    for (QChar& ch : cell)
        if (ch == QLatin1Char('\t') || ch == QLatin1Char('\n') || ch == QLatin1Char('\r')) ch = QLatin1Char(' ');
    return cell;
}

namespace {

// One entry of the listing: a file (read by the pool) or a named path that was not found.
struct Entry {
    bool isMissing = false;
    std::string missing;  // the argument as given
};

// Prints the entries in load order while the pool reads the files ahead of the printing.
// Failures go to stderr just before their row, prefixed with the file they concern.
class Lister {
public:
    // Rows go out in runs of 16: a wake per row costs two system calls.
    explicit Lister(unsigned threads) : pool_(threads, true, 16) {}

    void AddFile(const QFileInfo& file) {
        FileRow facts;
        FillFileFacts(file, facts);
        // The scan's stat (QFileInfo keeps it) serves the read too.
        pool_.Queue(file.absoluteFilePath(), std::move(facts), file.isFile() ? file.size() : -1);
        Push(Entry{});
    }
    void AddMissing(const std::string& arg) { Push(Entry{true, arg}); }

    int Finish() {
        while (!entries_.empty()) EmitFront();
        const QByteArray summary = ListSummaryText(totals_).toUtf8();
        std::printf("%s\n", summary.constData());
        std::fflush(stdout);
        return status_;
    }

private:
    // Reads run at most this many entries ahead of the printing.
    static constexpr size_t kAhead = 256;

    void Push(Entry entry) {
        entries_.push_back(std::move(entry));
        if (entries_.size() > kAhead) EmitFront();
    }

    void EmitFront() {
        const Entry entry = std::move(entries_.front());
        entries_.pop_front();
        if (entry.isMissing) {
            // A path that names nothing cannot keep a row; the run reports the failure.
            std::fflush(stdout);
            std::fprintf(stderr, "velmora-cli list: '%s': no such file or folder\n", entry.missing.c_str());
            status_ = kExitFailed;
            return;
        }
        const std::unique_ptr<MediaRead> read = pool_.TakeFront();
        if (!read->writer.unreadable.isEmpty()) {
            std::fflush(stdout);
            std::fprintf(stderr, "%s: %s\n", QFile::encodeName(read->path).constData(),
                         read->writer.unreadable.toLocal8Bit().constData());
        }
        // One line buffer for every row (a resize to 0 keeps its room), the cells made tab-safe
        // where they land in it.
        QString& line = line_;
        line.resize(0);
        for (int c = 0; c < kFileListColumnCount; ++c) {
            if (c) line += QLatin1Char('\t');
            const qsizetype at = line.size();
            line += read->row.cells[static_cast<size_t>(c)];
            char16_t* const end = reinterpret_cast<char16_t*>(line.data()) + line.size();
            for (char16_t* ch = end - (line.size() - at); ch != end; ++ch)
                if (*ch == u'\t' || *ch == u'\n' || *ch == u'\r') *ch = u' ';
        }
        line += QLatin1Char('\n');
        const QByteArray bytes = line.toUtf8();
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
        totals_.fileCount += 1;
        totals_.totalSizeMB += read->row.info.sizeMB;
        totals_.totalSeconds += read->row.info.duration;
    }

    MediaReadAhead pool_;
    QString line_;
    std::deque<Entry> entries_;
    FileListTotals totals_;
    int status_ = kExitDone;
};

}  // namespace

int RunList(const std::vector<std::string>& args) {
    // Every row's date converts a file time to local time; without TZ the C library checks
    // /etc/localtime again on each conversion (a system call per row). Naming that same file
    // once gives the same zone.
    if (!std::getenv("TZ")) ::setenv("TZ", ":/etc/localtime", 0);
    bool recursive = false;
    bool optionsDone = false;
    unsigned threads = MediaReadAhead::DefaultThreads();
    std::vector<std::string> paths;
    for (size_t a = 0; a < args.size(); ++a) {
        const std::string& arg = args[a];
        if (!optionsDone && (arg == "--recursive" || arg == "-r")) {
            recursive = true;
        } else if (!optionsDone && arg == "--threads") {
            const std::string value = a + 1 < args.size() ? args[++a] : std::string();
            const std::optional<int> n = WholeNumberBetween(value, 1, 8);
            if (!n) {
                std::fprintf(stderr, "velmora-cli list: --threads must be a number from 1 to 8, not '%s'\n%s\n",
                             value.c_str(), kListUsage);
                return kExitBadArguments;
            }
            threads = static_cast<unsigned>(*n);
        } else if (!optionsDone && (arg == "-h" || arg == "--help")) {
            std::printf("%s\n", kListUsage);
            return kExitDone;
        } else if (!optionsDone && arg == "--") {
            optionsDone = true;
        } else if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "velmora-cli list: unknown option '%s'\n%s\n", arg.c_str(), kListUsage);
            return kExitBadArguments;
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.empty()) {
        std::fprintf(stderr, "velmora-cli list: no file or folder given\n%s\n", kListUsage);
        return kExitBadArguments;
    }

    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    Lister lister(threads);
    for (const std::string& arg : paths) {
        const QFileInfo info(QFile::decodeName(QByteArray::fromStdString(arg)));
        if (info.isDir()) {
            ScanFolder(info.absoluteFilePath(), recursive, [&](const QFileInfo& file) { lister.AddFile(file); });
        } else if (info.exists()) {
            lister.AddFile(info);
        } else {
            lister.AddMissing(arg);
        }
    }
    return lister.Finish();
}

}  // namespace velmora::cli
