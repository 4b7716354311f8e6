#include "controls/report_summary.h"

#include "controls/report_ctrl.h"
#include "filelist/file_item_info.h"
#include "filelist/file_list_summary.h"

namespace velmora {

QString SelectionSummaryOf(const CReportCtrl& list) {
    int count = 0;
    double sizeMB = 0.0;
    double seconds = 0.0;
    for (int row = list.FindNextItemByState(kStateSelected, -1); row >= 0; row = list.FindNextItemByState(kStateSelected, row)) {
        if (const auto* info = static_cast<const FileItemInfo*>(list.GetItemUserData(row))) {
            sizeMB += info->sizeMB;
            seconds += info->duration;
        }
        ++count;
    }
    return SelectionSummaryText(count, sizeMB, seconds);
}

}  // namespace velmora
