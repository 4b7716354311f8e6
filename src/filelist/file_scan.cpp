#include "filelist/file_scan.h"

#include "filelist/file_list_summary.h"
#include "filelist/natural_compare.h"

#include <QDateTime>
#include <QDir>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>
#include <dirent.h>
#include <sys/stat.h>

namespace velmora {

namespace {

bool GoOn(const std::atomic<int>* keepGoing) {
    return !keepGoing || keepGoing->load(std::memory_order_acquire) != 0;
}

QString WithSlash(QString folder) {
    if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
    return folder;
}

// Entry names of a folder in natural order of their bytes ("." and ".." left out): the
// file system's own order means nothing to a user, and "Part 2" belongs before "Part 10".
QStringList ListEntries(const QString& folder) {
    std::vector<std::string> raw;
    const QByteArray native = QFile::encodeName(folder);
    DIR* dir = ::opendir(native.constData());
    if (!dir) return {};
    while (dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        raw.emplace_back(name);
    }
    ::closedir(dir);
    std::sort(raw.begin(), raw.end(), [](const std::string& a, const std::string& b) { return NaturalCompare(a, b) < 0; });
    QStringList names;
    names.reserve(static_cast<qsizetype>(raw.size()));
    for (const std::string& name : raw) names.append(QFile::decodeName(name.c_str()));
    return names;
}

}  // namespace

const QStringList& scanExtensions() {
    static const QStringList extensions{QStringLiteral("WAV"),  QStringLiteral("FLAC"), QStringLiteral("OGG"),
                                        QStringLiteral("OGA"),  QStringLiteral("OPUS"), QStringLiteral("M4A"),
                                        QStringLiteral("M4B"),  QStringLiteral("AAC"),  QStringLiteral("WMA"),
                                        QStringLiteral("MP3"),  QStringLiteral("MP2")};
    return extensions;
}

const QStringList& mp3Extensions() {
    static const QStringList extensions{QStringLiteral("MP3")};
    return extensions;
}

const QStringList& LoadExtensions(int32_t otherAudioFiles) {
    return otherAudioFiles != 0 ? scanExtensions() : mp3Extensions();
}

bool HasExtensionIn(const QString& fileName, const QStringList& extensions) {
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    if (dot < 0) return false;
    const QStringView suffix = QStringView(fileName).mid(dot + 1);
    for (const QString& extension : extensions)
        if (suffix.compare(extension, Qt::CaseInsensitive) == 0) return true;
    return false;
}

void ScanFolder(const QString& folder, bool includeSubfolders, const std::function<void(const QFileInfo&)>& onFile,
                const std::atomic<int>* keepGoing, const std::function<void(const QString&)>& onFolder,
                const QStringList& extensions) {
    if (extensions.isEmpty()) return;
    const QString base = WithSlash(folder);
    if (onFolder) onFolder(folder);
    const QStringList names = ListEntries(base);
    for (const QString& name : names) {
        if (!GoOn(keepGoing)) break;
        if (!HasExtensionIn(name, extensions)) continue;
        const QFileInfo info(base + name);
        if (info.isDir()) continue;
        onFile(info);
    }
    if (!includeSubfolders || !GoOn(keepGoing)) return;
    for (const QString& name : names) {
        if (!GoOn(keepGoing)) break;
        const QFileInfo info(base + name);
        if (info.isSymLink() || !info.isDir()) continue;
        ScanFolder(base + name, true, onFile, keepGoing, onFolder, extensions);
    }
}

QString LastModifiedText(const QDateTime& localTime) {
    const QDate date = localTime.date();
    const QTime time = localTime.time();
    if (!localTime.isValid() || date.year() < 1000 || date.year() > 9999)
        return localTime.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"));
    // Written digit by digit, the same text as the format above gives: its format engine cost
    // more than the rest of a row's file facts.
    QString text(19, Qt::Uninitialized);
    char16_t* p = reinterpret_cast<char16_t*>(text.data());
    auto put = [&p](int value, int digits, char16_t after) {
        for (int i = digits - 1; i >= 0; --i, value /= 10) p[i] = static_cast<char16_t>(u'0' + value % 10);
        p += digits;
        if (after) *p++ = after;
    };
    put(date.year(), 4, u'/');
    put(date.month(), 2, u'/');
    put(date.day(), 2, u' ');
    put(time.hour(), 2, u':');
    put(time.minute(), 2, u':');
    put(time.second(), 2, 0);
    return text;
}

void FillFileFacts(const QFileInfo& file, FileRow& row) {
    const QString name = file.fileName();
    row.cells[kColName] = name;
    row.cells[kColPath] = WithSlash(file.absolutePath());
    const QString extension = ExtensionOf(name);
    row.info.fileType = FileTypeOf(extension);
    row.cells[kColType] = extension;
    row.info.sizeMB = static_cast<double>(file.size()) / 1048576.0;
    row.cells[kColSize] = SizeCellText(row.info.sizeMB);
    row.cells[kColLastModified] = LastModifiedText(file.lastModified().toLocalTime());
}

}  // namespace velmora
