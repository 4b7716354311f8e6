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

void CReportRowWriter::SetCellText(int column, const QString& text) {
    OnListThread([this, column, text] {
        const int row = list_->FindItemByUserData(record_);
        if (row >= 0) list_->SetItemTextEx(row, column, text);
    });
}

void CReportRowWriter::StoreRecord(const FileItemInfo& values) {
    // The record is read by the list's sort on its thread, so it is written there too.
    OnListThread([this, values] {
        if (list_->FindItemByUserData(record_) >= 0) CopyMediaFields(*record_, values);
    });
}

void CReportRowWriter::ReportUnreadable(const QString& message) {
    if (onUnreadable) onUnreadable(message);
}

void CReportRowWriter::AddSeconds(double seconds) {
    if (onSeconds) onSeconds(seconds);
}

}  // namespace velmora
