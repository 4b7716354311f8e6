// The media information reader: fills a file-list row with the stream properties (libmpg123),
// the tags (TagLib's MPEG reader) and the bit rate (TagLib's generic reference) of one file.
#pragma once

#include "filelist/file_row.h"

#include <QString>

#include <cstdint>
#include <string>

typedef struct mpg123_handle_struct mpg123_handle;

namespace TagLib {
class File;
class String;
class PropertyMap;
namespace ID3v1 { class Tag; }
namespace ID3v2 { class Tag; }
namespace APE { class Tag; }
}  // namespace TagLib

namespace velmora {

class MediaFile;
struct AudioFileInfo;

// The reader's libmpg123 handle, made the way the main window makes it: mpg123_init, then
// mpg123_new with the default decoder and default parameters.
class ReaderDecoder {
public:
    // `quiet` keeps the library's own notes off stderr (the command-line lister reports
    // failures itself).
    explicit ReaderDecoder(bool quiet = false);
    ~ReaderDecoder();
    ReaderDecoder(const ReaderDecoder&) = delete;
    ReaderDecoder& operator=(const ReaderDecoder&) = delete;
    mpg123_handle* handle() const { return handle_; }

private:
    mpg123_handle* handle_ = nullptr;
};

// The fills and the bit rate work on `row` (the reader's copy of the row being filled) and
// pass every cell write and the record to `writer`.
class MediaInfoReader {
public:
    // `decoder` is not owned; nothing else may use it while the reader runs.
    explicit MediaInfoReader(mpg123_handle* decoder) : decoder_(decoder) {}

    // Clears the tag cells, reads stream and tags, writes the duration, channel and
    // frequency cells.
    // `regularBytes`: the caller's stat found a regular file of that size (see MediaFile::Open).
    void ReadMediaInfo(const QString& path, FileRow& row, RowWriter& writer, int64_t regularBytes = -1);
    // MPEG audio goes to libmpg123 and the ID3/APE readers; FLAC, MP4 (AAC, ALAC), Ogg Vorbis
    // and Opus to TagLib's reader of their kind, stream properties and tags in one; every
    // other file to FFmpeg's probe and TagLib's reader of its kind (ReadOtherAudio). The file
    // is opened once for all of it, whatever its format.
    void ReadStreamAndTags(const QString& path, FileRow& row, RowWriter& writer, int64_t regularBytes = -1);
    // Cell 17 and the record's bit rate, from TagLib's audio properties.
    void ReadBitrate(const QString& path, FileRow& row, RowWriter& writer);

    static void FillFromId3v2(TagLib::ID3v2::Tag& tag, FileRow& row, RowWriter& writer);
    static void FillFromApe(TagLib::APE::Tag& tag, FileRow& row, RowWriter& writer);
    static void FillFromId3v1(TagLib::ID3v1::Tag& tag, FileRow& row, RowWriter& writer);
    // The tag fields of any format TagLib reads, through its common property names.
    static void FillFromProperties(const TagLib::PropertyMap& properties, FileRow& row, RowWriter& writer);

private:
    void ReadMpegAudio(const QString& path, MediaFile& media, FileRow& row, RowWriter& writer);
    // `tagged`: TagLib's reader already open on the file, or null to open one here.
    void ReadOtherAudio(const QString& path, MediaFile& media, const AudioFileInfo& stream, FileRow& row,
                        RowWriter& writer, TagLib::File* tagged = nullptr);
    // The stream cells, the Type column and the bit rate of a file that is not MPEG audio.
    void ApplyOtherStream(const QString& path, const AudioFileInfo& stream, FileRow& row, RowWriter& writer);
    // FLAC (by our own parser; TagLib's for a file it declines), MP4, Ogg Vorbis and Opus by
    // TagLib's parsers; false (nothing written) when the file is none of them or its
    // properties are not to be trusted: FFmpeg then decides.
    bool ReadByTagLib(const QString& path, MediaFile& media, FileRow& row, RowWriter& writer);

    mpg123_handle* decoder_;
    // The frames' bit rate of the file the stream step read last (0: not constant), for its
    // bit-rate cell.
    QString constantPath_;
    int constantKbps_ = 0;
    // TagLib's bit rate of that file, read with its tags; -1 when not read there.
    int tagKbps_ = -1;
};

// Sets the track number and count from a track text: "3/12" -> (3, 12), "7" -> 7 with the
// count left as it is, "/5" -> (0, 5). Each keeps the low 8 bits of its value (300 -> 44).
void ApplyTrackText(const QString& text, FileItemInfo& info);
// The value of a text as the C library's wide-text-to-integer conversion reads it: optional
// blanks and sign, then decimal digits up to the first other character; 0 without digits.
long long WideTextToInteger(const QString& text);

// An ID3v2 or APE text: Latin-1 strings widened as Latin-1, the others through Utf8ToWide.
QString TagTextToWide(const TagLib::String& text);
// Decodes UTF-8 bytes into 16-bit units, reading no further than `length` bytes or the first
// NUL. A four-byte sequence becomes a surrogate pair; a sequence cut short by the end of the
// text, or a lead byte no sequence starts with, becomes U+FFFD.
QString Utf8ToWide(const char* bytes, size_t length);
QString Utf8ToWide(const std::string& bytes);

// "Trouble with mpg123: %s"
QString DecoderTroubleMessage(const char* decoderText);

}  // namespace velmora
