// The selection summary line of a file list shown in a report list: walks the selected rows
// from the top and sums their records.
#pragma once

#include <QString>

namespace velmora {

class CReportCtrl;

// "%d file(s) selected, %.2f MB   %02d:%02d:%02d", or "No file selected".
QString SelectionSummaryOf(const CReportCtrl& list);

}  // namespace velmora
