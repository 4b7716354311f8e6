#include "filelist/file_item_info.h"
#include "filelist/file_list_columns.h"
#include "filelist/file_list_summary.h"
#include "filelist/list_locked.h"

#include <QFileInfo>

#include <cmath>
#include <charconv>
#include <cstdio>

namespace velmora {

std::atomic<int> listLocked{0};

InputTags InputTagsOf(const FileItemInfo& info) {
    return InputTags{info.title.toStdString(), info.artist.toStdString(), info.albumArtist.toStdString(),
                     info.album.toStdString(), info.date.toStdString(),   info.genre.toStdString(),
                     info.comment.toStdString()};
}

void CopyMediaFields(FileItemInfo& to, const FileItemInfo& from) {
    const uint8_t fileType = to.fileType;
    const double sizeMB = to.sizeMB;
    std::optional<std::vector<ChapterMark>> marks = std::move(to.chapterMarks);
    to = from;
    to.fileType = fileType;
    to.sizeMB = sizeMB;
    to.chapterMarks = std::move(marks);
}

const std::array<FileListColumnInfo, kFileListColumnCount> kFileListColumns{{
    {"Name", ColumnAlign::Left, 150, SortKey::Text},
    {"Path", ColumnAlign::Left, 150, SortKey::Text},
    {"Type", ColumnAlign::Right, 65, SortKey::Text},
    {"Tag", ColumnAlign::Right, 100, SortKey::Text},
    {"Artist", ColumnAlign::Left, 110, SortKey::Text},
    {"Album Artist", ColumnAlign::Left, 110, SortKey::Text},
    {"Album", ColumnAlign::Left, 110, SortKey::Text},
    {"Track", ColumnAlign::Right, 85, SortKey::Track},
    {"Title", ColumnAlign::Left, 150, SortKey::Text},
    {"Genre", ColumnAlign::Left, 70, SortKey::Text},
    {"Date", ColumnAlign::Right, 65, SortKey::Text},
    {"Comment", ColumnAlign::Left, 110, SortKey::Text},
    {"Size(MB)", ColumnAlign::Right, 85, SortKey::SizeMB},
    {"Last Modified", ColumnAlign::Right, 120, SortKey::Text},
    {"Duration", ColumnAlign::Right, 88, SortKey::Text},
    {"Frequency", ColumnAlign::Right, 96, SortKey::SampleRate},
    {"Channel", ColumnAlign::Right, 88, SortKey::Channels},
    {"Bitrate", ColumnAlign::Right, 88, SortKey::Bitrate},
}};

const std::map<QString, uint8_t>& fileTypeTable() {
    static const std::map<QString, uint8_t> table{
        {QStringLiteral("MP3"), 2},  {QStringLiteral("MP2"), 3},  {QStringLiteral("WAV"), 4},
        {QStringLiteral("FLAC"), 5}, {QStringLiteral("OGG"), 6},  {QStringLiteral("OGA"), 7},
        {QStringLiteral("OPUS"), 8}, {QStringLiteral("M4A"), 9},  {QStringLiteral("M4B"), 10},
        {QStringLiteral("AAC"), 11}, {QStringLiteral("WMA"), 12}};
    return table;
}

uint8_t FileTypeOf(const QString& upperExtension) {
    const auto& table = fileTypeTable();
    auto it = table.find(upperExtension);
    return it == table.end() ? 0 : it->second;
}

QString ExtensionOf(const QString& fileName) {
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    return (dot < 0 ? fileName : fileName.mid(dot + 1)).toUpper();
}

QString FullPathOf(const QString& folderCell, const QString& nameCell) { return folderCell + nameCell; }

bool IsDeadPath(const QString& fullPath) {
    if (fullPath.isEmpty()) return true;
    return !QFileInfo::exists(fullPath);
}

QString FoldAsciiCase(QString path) {
    for (QChar& c : path)
        if (c.unicode() >= u'a' && c.unicode() <= u'z') c = QChar(char16_t(c.unicode() - 32));
    return path;
}

bool SamePathIgnoringAsciiCase(const QString& a, const QString& b) {
    if (a.size() != b.size()) return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        char16_t x = a[i].unicode();
        char16_t y = b[i].unicode();
        if (x >= u'a' && x <= u'z') x = char16_t(x - 32);
        if (y >= u'a' && y <= u'z') y = char16_t(y - 32);
        if (x != y) return false;
    }
    return true;
}

namespace {

// Seconds truncated toward zero, as an unsigned count; negative drift counts as 0.
unsigned long long WholeSeconds(double seconds) {
    if (!(seconds > 0.0)) return 0;
    if (seconds >= 1.8e19) return 18000000000000000000ull;
    return static_cast<unsigned long long>(seconds);
}

}  // namespace

// Both are written once per listed row: std::to_chars gives the text printf's "%02llu" and
// "%.2f" give, without the format parsing.
QString FormatHms(double seconds) {
    const unsigned long long s = WholeSeconds(seconds);
    char buf[32];
    char* p = buf;
    auto put2 = [&p](unsigned long long v) {
        if (v < 10) *p++ = '0';
        p = std::to_chars(p, p + 20, v).ptr;
    };
    put2(s / 3600);
    *p++ = ':';
    put2((s % 3600) / 60);
    *p++ = ':';
    put2(s % 60);
    return QString::fromLatin1(buf, p - buf);
}

QString DurationCellText(double seconds) {
    return WholeSeconds(seconds) == 0 ? QString() : FormatHms(seconds);
}

QString SizeCellText(double sizeMB) {
    char buf[512];  // room for any double in fixed notation
    const auto r = std::to_chars(buf, buf + sizeof buf, sizeMB, std::chars_format::fixed, 2);
    return QString::fromLatin1(buf, r.ec == std::errc() ? r.ptr - buf : 0);
}

QString ListSummaryText(const FileListTotals& totals) {
    if (totals.fileCount == 0) return QStringLiteral("No file");
    char buf[128];
    std::snprintf(buf, sizeof buf, "%d file(s)   %.2f MB   ", totals.fileCount, totals.totalSizeMB);
    return QString::fromLatin1(buf) + FormatHms(totals.totalSeconds);
}

QString SelectionSummaryText(int count, double sizeMB, double seconds) {
    if (count <= 0) return QString::fromLatin1(kNoFileSelectedText);
    char buf[128];
    std::snprintf(buf, sizeof buf, "%d file(s) selected, %.2f MB   ", count, sizeMB);
    return QString::fromLatin1(buf) + FormatHms(seconds);
}

}  // namespace velmora
