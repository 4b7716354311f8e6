#include "controls/report_row_writer.h"

#include "controls/report_ctrl.h"

#include <QThread>

namespace velmora {

CReportRowWriter::CReportRowWriter(CReportCtrl* list, FileItemInfo* record, const std::atomic<int>* keepGoing)
    : list_(list), record_(record), keepGoing_(keepGoing) {}

void CReportRowWriter::OnListThread(const std::function<void()>& work) {
    if (keepGoing_ && keepGoing_->load(std::memory_order_acquire) == 0) return;
    CReportCtrl* list = list_.data();
    if (!list) return;
    if (QThread::currentThread() == list->thread()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(
        list,
        [this, work] {
            if (list_) work();
        },
        Qt::BlockingQueuedConnection);
}

void CReportRowWriter::ApplyCells(CReportCtrl* list, const FileItemInfo* record, const std::vector<std::pair<int, QString>>& cells) {
    const int row = list->FindItemByUserData(record);
    if (row < 0) return;
    for (const auto& [column, text] : cells) list->SetItemTextEx(row, column, text);
}

void CReportRowWriter::SetCellText(int column, const QString& text) { pending_.emplace_back(column, text); }

void CReportRowWriter::Flush() {
    if (pending_.empty()) return;
    std::vector<std::pair<int, QString>> cells;
    cells.swap(pending_);
    OnListThread([this, cells] { ApplyCells(list_, record_, cells); });
}

void CReportRowWriter::StoreRecord(const FileItemInfo& values) {
    // The record is read by the list's sort on its thread, so it is written there too, in the
    // same call as the cells gathered so far.
    std::vector<std::pair<int, QString>> cells;
    cells.swap(pending_);
    OnListThread([this, cells, values] {
        ApplyCells(list_, record_, cells);
        if (list_->FindItemByUserData(record_) >= 0) CopyMediaFields(*record_, values);
    });
}

void CReportRowWriter::ReportUnreadable(const QString& message) {
    Flush();  // the report comes after the writes that preceded it
    if (onUnreadable) onUnreadable(message);
}

void CReportRowWriter::AddSeconds(double seconds) {
    if (onSeconds) onSeconds(seconds);
}

}  // namespace velmora
