// Lists files the way a load fills the file list: a folder is scanned for MP3 files (with
// --recursive, its subfolders after its own files), a file named on the command line is
// listed whatever its extension. One line per file with the eighteen cells in column order,
// then the list summary line. Unreadable files are reported on stderr and keep their line.
#include "cli/cli_list.h"

#include "cli/cli_commands.h"
#include "filelist/file_list_summary.h"
#include "filelist/file_scan.h"
#include "filelist/media_reader.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora::cli {

const char* const kListUsage = "usage: velmora-cli list [--recursive] [--threads N] PATH...";

QString TabSafeCell(const QString& text) {
    QString cell = text;
    for (QChar& ch : cell)
        if (ch == QLatin1Char('\t') || ch == QLatin1Char('\n') || ch == QLatin1Char('\r')) ch = QLatin1Char(' ');
    return cell;
}

namespace {

// Failures are kept with their row and go to stderr just before it, prefixed with the file
// they concern, so that they come out in row order whichever thread read the file.
class StderrRowWriter : public RowWriter {
public:
    StderrRowWriter(const QString& path, QByteArray& errors) : path_(path), errors_(errors) {}
    void SetCellText(int, const QString&) override {}
    void StoreRecord(const FileItemInfo&) override {}
    void ReportUnreadable(const QString& message) override {
        errors_ += QFile::encodeName(path_) + ": " + message.toLocal8Bit() + '\n';
    }
    void AddSeconds(double) override {}

private:
    QString path_;
    QByteArray& errors_;
};

// One entry of the listing: a file to read, or a named path that was not found.
struct Entry {
    QFileInfo file;
    bool isMissing = false;
    std::string missing;  // the argument as given, when nothing is there
    // Filled by a reader thread, published through `ready`.
    QByteArray line;
    QByteArray errors;
    double sizeMB = 0;
    double seconds = 0;
    std::atomic<int> ready{0};
};

void ReadEntry(MediaInfoReader& reader, Entry& entry) {
    FileRow row;
    FillFileFacts(entry.file, row);
    const QString path = entry.file.absoluteFilePath();
    StderrRowWriter writer(path, entry.errors);
    reader.ReadMediaInfo(path, row, writer);
    reader.ReadBitrate(path, row, writer);
    QString line;
    for (int c = 0; c < kFileListColumnCount; ++c) {
        if (c) line += QLatin1Char('\t');
        line += TabSafeCell(row.cells[static_cast<size_t>(c)]);
    }
    line += QLatin1Char('\n');
    entry.line = line.toUtf8();
    entry.sizeMB = row.info.sizeMB;
    entry.seconds = row.info.duration;
}

// Reads the entries on `threads` threads (each with a decoder of its own) and prints them
// in order as they come in. Readers stay at most kAhead entries ahead of the printing.
int ListEntries(std::deque<Entry>& entries, unsigned threads) {
    constexpr size_t kAhead = 256;
    std::mutex mutex;
    std::condition_variable changed;
    size_t next = 0;     // next entry to hand out
    size_t printed = 0;  // entries printed so far
    auto reader = [&] {
        ReaderDecoder decoder(true);
        MediaInfoReader media(decoder.handle());
        for (;;) {
            size_t i = 0;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return next >= entries.size() || next < printed + kAhead; });
                if (next >= entries.size()) return;
                i = next++;
            }
            Entry& entry = entries[i];
            if (!entry.isMissing) ReadEntry(media, entry);
            {
                std::lock_guard lock(mutex);
                entry.ready.store(1, std::memory_order_release);
            }
            changed.notify_all();
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) pool.emplace_back(reader);

    int status = kExitDone;
    FileListTotals totals;
    for (size_t i = 0; i < entries.size(); ++i) {
        Entry& entry = entries[i];
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return entry.ready.load(std::memory_order_acquire) != 0; });
        }
        if (entry.isMissing) {
            // A path that names nothing cannot keep a row; the run reports the failure.
            std::fflush(stdout);
            std::fprintf(stderr, "velmora-cli list: '%s': no such file or folder\n", entry.missing.c_str());
            status = kExitFailed;
        } else {
            if (!entry.errors.isEmpty()) {
                std::fflush(stdout);
                std::fwrite(entry.errors.constData(), 1, static_cast<size_t>(entry.errors.size()), stderr);
            }
            std::fwrite(entry.line.constData(), 1, static_cast<size_t>(entry.line.size()), stdout);
            totals.fileCount += 1;
            totals.totalSizeMB += entry.sizeMB;
            totals.totalSeconds += entry.seconds;
        }
        entry.line.clear();
        entry.errors.clear();
        {
            std::lock_guard lock(mutex);
            printed = i + 1;
        }
        changed.notify_all();
    }
    for (std::thread& t : pool) t.join();
    const QByteArray summary = ListSummaryText(totals).toUtf8();
    std::printf("%s\n", summary.constData());
    std::fflush(stdout);
    return status;
}

// Reading threads: the machine's hardware threads, at most 8 (the reads are short and the
// disk is shared; more threads only add switching).
unsigned DefaultListThreads() { return std::clamp(std::thread::hardware_concurrency(), 1u, 8u); }

}  // namespace

int RunList(const std::vector<std::string>& args) {
    bool recursive = false;
    bool optionsDone = false;
    unsigned threads = DefaultListThreads();
    std::vector<std::string> paths;
    for (size_t a = 0; a < args.size(); ++a) {
        const std::string& arg = args[a];
        if (!optionsDone && (arg == "--recursive" || arg == "-r")) {
            recursive = true;
        } else if (!optionsDone && arg == "--threads") {
            const std::string value = a + 1 < args.size() ? args[++a] : std::string();
            char* end = nullptr;
            const long n = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || n < 1 || n > 8) {
                std::fprintf(stderr, "velmora-cli list: --threads must be a number from 1 to 8, not '%s'\n%s\n",
                             value.c_str(), kListUsage);
                return kExitBadArguments;
            }
            threads = static_cast<unsigned>(n);
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
    // The walk comes first (it only lists folders); the files are then read side by side.
    std::deque<Entry> entries;
    for (const std::string& arg : paths) {
        const QFileInfo info(QFile::decodeName(QByteArray::fromStdString(arg)));
        if (info.isDir()) {
            ScanFolder(info.absoluteFilePath(), recursive, [&](const QFileInfo& file) { entries.emplace_back().file = file; });
        } else if (info.exists()) {
            entries.emplace_back().file = info;
        } else {
            Entry& missing = entries.emplace_back();
            missing.isMissing = true;
            missing.missing = arg;
        }
    }
    return ListEntries(entries, threads);
}

}  // namespace velmora::cli
