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

#include <cstdio>

namespace velmora::cli {

const char* const kListUsage = "usage: velmora-cli list [--recursive] PATH...";

QString TabSafeCell(const QString& text) {
    QString cell = text;
    for (QChar& ch : cell)
        if (ch == QLatin1Char('\t') || ch == QLatin1Char('\n') || ch == QLatin1Char('\r')) ch = QLatin1Char(' ');
    return cell;
}

namespace {

// Failures go to stderr, prefixed with the file they concern.
class StderrRowWriter : public RowWriter {
public:
    explicit StderrRowWriter(const QString& path) : path_(path) {}
    void SetCellText(int, const QString&) override {}
    void StoreRecord(const FileItemInfo&) override {}
    void ReportUnreadable(const QString& message) override {
        std::fprintf(stderr, "%s: %s\n", QFile::encodeName(path_).constData(), message.toLocal8Bit().constData());
    }
    void AddSeconds(double) override {}

private:
    QString path_;
};

class Lister {
public:
    Lister() : decoder_(true), reader_(decoder_.handle()) {}

    void Add(const QFileInfo& file) {
        FileRow row;
        FillFileFacts(file, row);
        const QString path = file.absoluteFilePath();
        StderrRowWriter writer(path);
        reader_.ReadMediaInfo(path, row, writer);
        reader_.ReadBitrate(path, row, writer);
        totals_.fileCount += 1;
        totals_.totalSizeMB += row.info.sizeMB;
        totals_.totalSeconds += row.info.duration;
        QString line;
        for (int c = 0; c < kFileListColumnCount; ++c) {
            if (c) line += QLatin1Char('\t');
            line += TabSafeCell(row.cells[static_cast<size_t>(c)]);
        }
        line += QLatin1Char('\n');
        const QByteArray bytes = line.toUtf8();
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    }

    const FileListTotals& totals() const { return totals_; }

private:
    ReaderDecoder decoder_;
    MediaInfoReader reader_;
    FileListTotals totals_;
};

}  // namespace

int RunList(const std::vector<std::string>& args) {
    bool recursive = false;
    bool optionsDone = false;
    std::vector<std::string> paths;
    for (const std::string& arg : args) {
        if (!optionsDone && (arg == "--recursive" || arg == "-r")) {
            recursive = true;
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
    Lister lister;
    int status = kExitDone;
    for (const std::string& arg : paths) {
        const QFileInfo info(QFile::decodeName(QByteArray::fromStdString(arg)));
        if (info.isDir()) {
            ScanFolder(info.absoluteFilePath(), recursive, [&](const QFileInfo& file) { lister.Add(file); });
        } else if (info.exists()) {
            lister.Add(info);
        } else {
            // A path that names nothing cannot keep a row; the run reports the failure.
            std::fflush(stdout);
            std::fprintf(stderr, "velmora-cli list: '%s': no such file or folder\n", arg.c_str());
            status = kExitFailed;
        }
    }
    const QByteArray summary = ListSummaryText(lister.totals()).toUtf8();
    std::printf("%s\n", summary.constData());
    std::fflush(stdout);
    return status;
}

}  // namespace velmora::cli
