// One row of the file list as a value: its eighteen cells and its record. The loader and the
// command-line lister fill one of these per file; the window copies it into the list.
#pragma once

#include "filelist/file_item_info.h"
#include "filelist/file_list_columns.h"

#include <QString>

#include <array>

namespace velmora {

struct FileRow {
    FileItemInfo info;
    std::array<QString, kFileListColumnCount> cells;
};

// Receives every write the media reader makes to the row it fills. The window's
// implementation finds the row by its record (a sort or move during a load may change the
// row's index) and carries each write out on the UI thread; the command-line lister just
// reports failures.
class RowWriter {
public:
    virtual ~RowWriter() = default;
    virtual void SetCellText(int column, const QString& text) = 0;
    // The reader's fields of the record (everything but fileType and sizeMB) now hold `values`.
    virtual void StoreRecord(const FileItemInfo& values) = 0;
    // The file cannot be decoded: "Trouble with mpg123: %s". The row stays in the list.
    virtual void ReportUnreadable(const QString& message) = 0;
    // A readable file adds its duration to the list's running total.
    virtual void AddSeconds(double seconds) = 0;
};

// A writer that keeps nothing: the row value itself holds the result.
class NullRowWriter : public RowWriter {
public:
    void SetCellText(int, const QString&) override {}
    void StoreRecord(const FileItemInfo&) override {}
    void ReportUnreadable(const QString&) override {}
    void AddSeconds(double) override {}
};

}  // namespace velmora
