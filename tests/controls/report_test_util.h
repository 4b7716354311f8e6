// Shared set-up for the report list tests: a list with the file list's eighteen columns.
#pragma once

#include "controls/report_ctrl.h"
#include "filelist/file_item_info.h"
#include "filelist/file_list_columns.h"

#include <QApplication>
#include <QTest>

#include <deque>

namespace velmora::testing {

inline void AddFileListColumns(CReportCtrl& list) {
    for (int c = 0; c < kFileListColumnCount; ++c)
        list.InsertColumnEx(c, QString::fromLatin1(kFileListColumns[c].title), static_cast<int>(kFileListColumns[c].align),
                            kFileListColumns[c].defaultWidth);
    list.SetSortList({{0, 1}});
}

// Counts the notifications the list sends to its owner.
class NotifySpy : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() == UM_REPORT_SORTED) {
            auto* s = static_cast<ReportSortedEvent*>(e);
            sorted.push_back({s->column, s->ascending ? 1 : 0});
            return true;
        }
        if (e->type() == UM_REPORT_RENAMED) {
            auto* r = static_cast<ReportRenamedEvent*>(e);
            renamed.push_back(*r->cell);
            cellTextAtRename.push_back(r->list->GetItemText(r->cell->row, r->cell->column));
            preEditAtRename.push_back(r->list->PreEditText());
            return true;
        }
        return QObject::event(e);
    }
    std::vector<ColumnSortInfo> sorted;
    std::vector<ReportEditCell> renamed;
    std::vector<QString> cellTextAtRename;
    std::vector<QString> preEditAtRename;
};

// Records owned by the test, one per row.
struct Records {
    std::deque<FileItemInfo> items;
    FileItemInfo* Add() { return &items.emplace_back(); }
};

}  // namespace velmora::testing
