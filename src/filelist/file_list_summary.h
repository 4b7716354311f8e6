// The running totals of the file list and the two summary lines of the status bar.
#pragma once

#include <QString>

#include <cstdint>

namespace velmora {

// Kept up to date step by step (the loader adds, the removal commands subtract); the list
// summary line is built from them and never by walking the rows.
struct FileListTotals {
    int32_t fileCount = 0;
    double totalSizeMB = 0.0;
    double totalSeconds = 0.0;

    void Reset() { *this = FileListTotals{}; }
};

// "%02d:%02d:%02d" of the truncated seconds; the hour field grows past two digits.
QString FormatHms(double seconds);
// The duration cell: the same text, empty under one second.
QString DurationCellText(double seconds);
// "%.2f" of the size in MiB.
QString SizeCellText(double sizeMB);

// "%d file(s)   %.2f MB   %02d:%02d:%02d", or "No file" when the count is 0.
QString ListSummaryText(const FileListTotals& totals);
// "%d file(s) selected, %.2f MB   %02d:%02d:%02d", or "No file selected" when count is 0.
QString SelectionSummaryText(int count, double sizeMB, double seconds);

inline const char kNoFileSelectedText[] = "No file selected";

}  // namespace velmora
