// The report list as the file list uses it: filled rows with sort marks and a hidden column,
// the header menu of its columns, and the hint painted on an empty list.
#include "controls/report_ctrl.h"
#include "filelist/file_item_info.h"
#include "filelist/file_list_columns.h"
#include "screens_registry.h"

#include <QMenu>

#include <deque>

namespace {

using velmora::CReportCtrl;
using velmora::FileItemInfo;

// The records outlive the pictures: the list never frees its owners' objects.
std::deque<FileItemInfo>& Records() {
    static auto* records = new std::deque<FileItemInfo>;
    return *records;
}

std::unique_ptr<CReportCtrl> MakeList() {
    auto list = std::make_unique<CReportCtrl>();
    for (int c = 0; c < velmora::kFileListColumnCount; ++c)
        list->InsertColumnEx(c, QString::fromLatin1(velmora::kFileListColumns[c].title),
                             static_cast<int>(velmora::kFileListColumns[c].align), velmora::kFileListColumns[c].defaultWidth);
    list->SetHeaderImageList(CReportCtrl::SortMarkIcons());
    list->SetSortList({{0, 1}});
    list->resize(1100, 360);
    return list;
}

void MarkSortColumns(CReportCtrl& list) {
    for (int c = 0; c < list.GetColumnCount(); ++c) list.SetHeaderImage(c, 0, false);
    const auto& primary = list.GetSortList().front();
    list.SetHeaderImage(primary.column, primary.ascending ? 1 : 2, false);
}

}  // namespace

VELMORA_SCREEN(report_list_rows) {
    auto list = MakeList();
    struct Song { const char* name; const char* artist; const char* album; const char* track; const char* title; int rate; int channels; int kbps; double mb; double seconds; };
    const Song songs[] = {
        {"01 Harbour Lights.mp3", "The Tidelines", "Low Water", "1/9", "Harbour Lights", 44100, 2, 192, 5.61, 245.2},
        {"02 Salt.mp3", "The Tidelines", "Low Water", "2/9", "Salt", 44100, 2, 192, 4.02, 175.9},
        {"03 Driftwood.mp3", "The Tidelines", "Low Water", "3/9", "Driftwood", 44100, 2, 192, 6.37, 278.4},
        {"interview.mp3", "Radio North", "", "", "Morning interview", 22050, 1, 64, 7.50, 983.0},
        {"demo take 2.mp3", "", "", "", "", 48000, 2, 128, 2.88, 188.6},
        {"10 Closing Time.mp3", "The Tidelines", "Low Water", "10/9", "Closing Time", 44100, 2, 192, 3.90, 170.3},
    };
    int row = 0;
    for (const Song& s : songs) {
        FileItemInfo& info = Records().emplace_back();
        info.sampleRate = s.rate;
        info.channels = s.channels;
        info.bitrate = s.kbps;
        info.sizeMB = s.mb;
        info.duration = s.seconds;
        info.track = QString::fromLatin1(s.track);
        list->InsertItemEx(row, QString::fromLatin1(s.name), &info);
        list->SetItemTextEx(row, velmora::kColPath, QStringLiteral("/home/sam/Music/Low Water/"));
        list->SetItemTextEx(row, velmora::kColType, QStringLiteral("MP3"));
        list->SetItemTextEx(row, velmora::kColTag, QStringLiteral("ID3v2.3  ID3v1"));
        list->SetItemTextEx(row, velmora::kColArtist, QString::fromLatin1(s.artist));
        list->SetItemTextEx(row, velmora::kColAlbum, QString::fromLatin1(s.album));
        list->SetItemTextEx(row, velmora::kColTrack, QString::fromLatin1(s.track));
        list->SetItemTextEx(row, velmora::kColTitle, QString::fromLatin1(s.title));
        list->SetItemNumber(row, velmora::kColSize, s.mb, 2);
        list->SetItemTextEx(row, velmora::kColFrequency, QStringLiteral("%1 Hz").arg(s.rate));
        list->SetItemTextEx(row, velmora::kColChannel, s.channels == 1 ? QStringLiteral("1 (Mono)") : QStringLiteral("2 (Stereo)"));
        list->SetItemTextEx(row, velmora::kColBitrate, QStringLiteral("%1 kbps").arg(s.kbps));
        ++row;
    }
    // Album Artist hidden; sorted by Artist descending, ties by Track.
    list->ShowColumn(velmora::kColAlbumArtist, false);
    list->SetSortList({{velmora::kColTrack, 1}});
    list->OnColumnClick(velmora::kColArtist);
    list->OnColumnClick(velmora::kColArtist);
    MarkSortColumns(*list);
    list->SetItemStateFlags(2, velmora::kStateSelected | velmora::kStateFocused);
    return list;
}

VELMORA_SCREEN(report_list_header_menu) {
    auto list = MakeList();
    list->ShowColumn(velmora::kColAlbumArtist, false);
    list->ShowColumn(velmora::kColComment, false);
    // The menu owns its items: it is shown on its own, without the list.
    std::unique_ptr<QWidget> menu(list->BuildHeaderMenu());
    menu->setParent(nullptr, Qt::Window);
    menu->adjustSize();
    return menu;
}

VELMORA_SCREEN(report_list_empty_hint) {
    auto list = MakeList();
    MarkSortColumns(*list);
    CReportCtrl::SetTickSource([] { return 8u * 6000u; });  // "Click the column header to sort the file list"
    list->EnableHints(true);
    return list;
}
