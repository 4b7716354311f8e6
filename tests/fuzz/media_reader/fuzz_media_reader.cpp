// Feeds arbitrary bytes to the media information reader as an ".mp3" file, and to the text
// helpers it uses. Nothing may crash, read out of bounds or leave the row inconsistent.
#include "filelist/media_reader.h"
#include "fuzz_input_file.h"

#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

using namespace velmora;

namespace {

class CheckingWriter : public RowWriter {
public:
    void SetCellText(int column, const QString&) override {
        if (column < 0 || column >= kFileListColumnCount) std::abort();
    }
    void StoreRecord(const FileItemInfo&) override {}
    void ReportUnreadable(const QString& message) override {
        if (!message.startsWith(QStringLiteral("Trouble with mpg123: "))) std::abort();
    }
    void AddSeconds(double seconds) override {
        if (!(seconds >= 0)) std::abort();
    }
};


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The text helpers on the raw bytes.
    Utf8ToWide(reinterpret_cast<const char*>(data), size);
    FileItemInfo track;
    ApplyTrackText(QString::fromLatin1(reinterpret_cast<const char*>(data), static_cast<qsizetype>(std::min<size_t>(size, 64))), track);

    const std::string& file = fuzzing::WriteInputFile(data, size, ".mp3");

    static ReaderDecoder decoder(true);
    MediaInfoReader reader(decoder.handle());
    FileRow row;
    CheckingWriter writer;
    const QString path = QString::fromStdString(file);
    reader.ReadMediaInfo(path, row, writer);
    reader.ReadBitrate(path, row, writer);
    // A readable stream has a format; an unreadable one has none.
    if (row.info.unreadable && (row.info.sampleRate != 0 || row.info.totalSamples != 0)) std::abort();
    if (!row.info.unreadable && (row.info.sampleRate <= 0 || row.info.channels <= 0)) std::abort();
    return 0;
}
