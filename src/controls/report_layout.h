// The report list's stored layout in the per-user profile: "FileList" / "Column" (visible and
// width per column, in column-index order) and "FileList" / "SortEx" (the sort list).
#pragma once

#include <QString>

#include <vector>

namespace velmora {

class ApplicationProfile;
class CReportCtrl;

struct ReportColumnDef {
    QString heading;
    int alignment;  // 0 left, 1 right, 2 centre
    int width;      // used when the profile holds no width for the column
};

// Inserts the columns with their stored widths (defaults where none is stored), hides in index
// order every column stored as hidden, and loads the sort list (column 0 ascending when none
// is stored). A stored value shorter than the column set leaves the remaining columns at
// their defaults, shown.
void InsertColumnsWithLayout(CReportCtrl& list, const std::vector<ReportColumnDef>& columns, const ApplicationProfile& profile);
// Writes "Column" and "SortEx".
bool SaveColumnLayout(const CReportCtrl& list, ApplicationProfile& profile);

}  // namespace velmora
