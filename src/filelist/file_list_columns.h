// The eighteen columns of the file list, the type table of known extensions, and the
// notions several commands share: a row's full path, dead rows, duplicate rows.
#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <map>

namespace velmora {

enum FileListColumn : int {
    kColName = 0,
    kColPath = 1,
    kColType = 2,
    kColTag = 3,
    kColArtist = 4,
    kColAlbumArtist = 5,
    kColAlbum = 6,
    kColTrack = 7,
    kColTitle = 8,
    kColGenre = 9,
    kColDate = 10,
    kColComment = 11,
    kColSize = 12,
    kColLastModified = 13,
    kColDuration = 14,
    kColFrequency = 15,
    kColChannel = 16,
    kColBitrate = 17,
};
inline constexpr int kFileListColumnCount = 18;

enum class ColumnAlign : int { Left = 0, Right = 1, Center = 2 };

// How a column sorts: by its cell text, or by a value of the row's record.
enum class SortKey : int { Text, Track, SizeMB, SampleRate, Channels, Bitrate };

struct FileListColumnInfo {
    const char* title;
    ColumnAlign align;
    int defaultWidth;  // pixels, used when no stored width exists
    SortKey sortKey;
};

extern const std::array<FileListColumnInfo, kFileListColumnCount> kFileListColumns;

// Upper-case extension -> type code: "MP3" -> 2, then the other audio formats loads take.
const std::map<QString, uint8_t>& fileTypeTable();
// The type code of an upper-case extension, 0 when it is not in the table.
uint8_t FileTypeOf(const QString& upperExtension);
// The text after the last "." of a file name (the whole name without a "."), upper case.
QString ExtensionOf(const QString& fileName);

// Cell 1 (folder ending in "/") followed by cell 0 (file name).
QString FullPathOf(const QString& folderCell, const QString& nameCell);
// A row is dead when its full path names neither an existing file nor an existing folder.
bool IsDeadPath(const QString& fullPath);
// Equal when compared without regard to the case of A-Z; every other character must match.
// The form paths are compared in for duplicates: A-Z folded to upper case, nothing else.
QString FoldAsciiCase(QString path);
bool SamePathIgnoringAsciiCase(const QString& a, const QString& b);

}  // namespace velmora
