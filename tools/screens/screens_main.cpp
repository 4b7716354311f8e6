// The main window: fresh, and with a filled file list sorted by two keys, over a throwaway
// home so the pictures never show the real user's folders.
#include "app/file_loader.h"
#include "app/status_bar.h"
#include "app/zeph_dlg.h"
#include "controls/report_ctrl.h"
#include "filelist/file_list_summary.h"
#include "foldertree/file_tree_ctrl.h"
#include "screens_registry.h"

#include <QDir>
#include <QTemporaryDir>

namespace {

std::unique_ptr<velmora::CZEPHDlg> MakeWindow() {
    velmora::screens::ScratchHome();
    // The pictures are taken without a close: nothing ends the process.
    velmora::CZEPHDlg::ProcessEnd() = [](int) {};
    auto w = std::make_unique<velmora::CZEPHDlg>();
    w->OnInitDialog();
    w->resize(1180, 640);
    return w;
}

struct Track {
    const char* name;
    const char* artist;
    const char* album;
    const char* track;
    const char* title;
    const char* genre;
    const char* date;
    double sizeMB;
    const char* duration;
    double seconds;
};

constexpr Track kTracks[] = {
    {"01 Opening.mp3", "Northern Lines", "Live Sets", "1/6", "Opening", "Electronic", "2024", 7.41, "00:05:23", 323},
    {"02 Harbour.mp3", "Northern Lines", "Live Sets", "2/6", "Harbour", "Electronic", "2024", 9.02, "00:06:34", 394},
    {"03 Night Bus.mp3", "Northern Lines", "Live Sets", "3/6", "Night Bus", "Electronic", "2024", 5.87, "00:04:16", 256},
    {"04 Lanterns.mp3", "Northern Lines", "Live Sets", "4/6", "Lanterns", "Electronic", "2024", 8.13, "00:05:55", 355},
    {"05 Crossing.mp3", "Northern Lines", "Live Sets", "5/6", "Crossing", "Electronic", "2024", 6.66, "00:04:51", 291},
    {"06 Closing.mp3", "Northern Lines", "Live Sets", "6/6", "Closing", "Electronic", "2024", 10.25, "00:07:28", 448},
};

}  // namespace

VELMORA_SCREEN(main_window_fresh) { return MakeWindow(); }

VELMORA_SCREEN(main_window_filled) {
    auto w = MakeWindow();
    const QString folder = velmora::screens::ScratchHome() + QStringLiteral("/Music/Live Sets/2024/");
    w->fileTree()->SetSelectedPath(folder.chopped(1), false);
    // The selection starts a load of the (empty) folder, which clears the list: the rows go
    // in once it is over.
    velmora::FileLoaderOf(*w).WaitIdle(10000);
    velmora::CReportCtrl* list = w->fileList();
    int row = 0;
    velmora::FileListTotals totals;
    for (const Track& t : kTracks) {
        list->InsertItemEx(row, QString::fromUtf8(t.name), nullptr, 0);
        const QString cells[] = {QString(), folder, QStringLiteral("MP3"), QStringLiteral("ID3v2.3  ID3v1"),
                                 QString::fromUtf8(t.artist), QString::fromUtf8(t.artist), QString::fromUtf8(t.album),
                                 QString::fromUtf8(t.track), QString::fromUtf8(t.title), QString::fromUtf8(t.genre),
                                 QString::fromUtf8(t.date), QString(), velmora::SizeCellText(t.sizeMB),
                                 QStringLiteral("2024-11-0%1 21:1%1").arg(row + 1), QString::fromUtf8(t.duration),
                                 QStringLiteral("44100"), QStringLiteral("Joint Stereo"), QStringLiteral("320")};
        for (int c = 1; c < 18; ++c) list->SetItemTextEx(row, c, cells[c]);
        ++totals.fileCount;
        totals.totalSizeMB += t.sizeMB;
        totals.totalSeconds += t.seconds;
        ++row;
    }
    list->OnColumnClick(7);  // by track, then ...
    list->OnColumnClick(4);  // ... artist first
    list->SetItemStateFlags(1, velmora::kStateSelected);
    w->statusBar()->SetText(0, velmora::ListSummaryText(totals));
    w->statusBar()->SetText(1, velmora::SelectionSummaryText(1, kTracks[1].sizeMB, kTracks[1].seconds));
    return w;
}
