// The media reader's writes into the report list: the row is found by its record each time
// (a sort, move or removal during a load may change its index), and every write is carried
// out on the list's thread. Cell writes are gathered and made together with the record (or
// at Flush), so a file costs the loader two round trips to the UI thread instead of one per
// cell.
#pragma once

#include "filelist/file_row.h"

#include <QPointer>

#include <atomic>
#include <functional>
#include <utility>
#include <vector>

namespace velmora {

class CReportCtrl;

class CReportRowWriter : public RowWriter {
public:
    // `record` is the row's user data. From another thread each write waits until the list's
    // thread has made it (a blocking queued call), but only while `keepGoing` (may be null) is
    // set: a loader that has been told to stop never waits on the UI thread again. The caller
    // keeps the UI thread from waiting on the loader while a write is pending.
    CReportRowWriter(CReportCtrl* list, FileItemInfo* record, const std::atomic<int>* keepGoing = nullptr);

    // The "Trouble with mpg123" report and the running total belong to the owner of the list.
    std::function<void(const QString&)> onUnreadable;
    std::function<void(double)> onSeconds;

    void SetCellText(int column, const QString& text) override;
    // Makes the gathered cell writes now.
    void Flush();
    void StoreRecord(const FileItemInfo& values) override;
    void ReportUnreadable(const QString& message) override;
    void AddSeconds(double seconds) override;

private:
    void OnListThread(const std::function<void()>& work);
    // Applies the gathered cells to the record's row; list's thread only.
    static void ApplyCells(CReportCtrl* list, const FileItemInfo* record, const std::vector<std::pair<int, QString>>& cells);

    QPointer<CReportCtrl> list_;
    FileItemInfo* record_;
    const std::atomic<int>* keepGoing_;
    std::vector<std::pair<int, QString>> pending_;
};

}  // namespace velmora
