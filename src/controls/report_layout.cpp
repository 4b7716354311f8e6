#include "controls/report_layout.h"

#include "controls/report_ctrl.h"
#include "settings/application_profile.h"

namespace velmora {

void InsertColumnsWithLayout(CReportCtrl& list, const std::vector<ReportColumnDef>& columns, const ApplicationProfile& profile) {
    const QString section = QString::fromLatin1(profile::kFileListSection);
    const int count = static_cast<int>(columns.size());
    const auto stored = CReportCtrl::ParseColumnBlob(
        profile.GetProfileBinary(section, QString::fromLatin1(profile::kColumnEntry)).value_or(QByteArray()), count);
    for (int c = 0; c < count; ++c) {
        const int width = c < static_cast<int>(stored.size()) ? stored[static_cast<size_t>(c)].width : columns[static_cast<size_t>(c)].width;
        list.InsertColumnEx(c, columns[static_cast<size_t>(c)].heading, columns[static_cast<size_t>(c)].alignment, width);
    }
    for (int c = 0; c < static_cast<int>(stored.size()); ++c)
        if (!stored[static_cast<size_t>(c)].visible) list.ShowColumn(c, false);
    list.SetSortList(CReportCtrl::ParseSortListBlob(
        profile.GetProfileBinary(section, QString::fromLatin1(profile::kSortExEntry)).value_or(QByteArray()), count));
}

bool SaveColumnLayout(const CReportCtrl& list, ApplicationProfile& profile) {
    const QString section = QString::fromLatin1(profile::kFileListSection);
    const bool columns = profile.WriteProfileBinary(section, QString::fromLatin1(profile::kColumnEntry), list.ColumnStateBlob());
    const bool sort = profile.WriteProfileBinary(section, QString::fromLatin1(profile::kSortExEntry), list.SortListBlob());
    return columns && sort;
}

}  // namespace velmora
