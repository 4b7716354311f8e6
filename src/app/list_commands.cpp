#include "app/list_commands.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QPointer>
#include <QDrag>
#include <QFile>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QLocale>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QSet>
#include <QUrl>

#include "app/command_ids.h"
#include "app/file_loader.h"
#include "app/status_bar.h"
#include "app/zeph_dlg.h"
#include "controls/desktop_open.h"
#include "controls/report_ctrl.h"
#include "controls/report_item_info.h"
#include "controls/report_summary.h"
#include "filelist/file_item_info.h"
#include "filelist/file_list_columns.h"
#include "filelist/file_list_summary.h"
#include "filelist/list_locked.h"
#include "foldertree/file_tree_ctrl.h"

namespace velmora {

namespace {

QString AppTitle() { return QString::fromLatin1(kProductName); }

int FirstSelected(const CReportCtrl& list) { return list.FindNextItemByState(kStateSelected, -1); }

QString RowPath(const CReportCtrl& list, int row) {
    return FullPathOf(list.GetItemText(row, kColPath), list.GetItemText(row, kColName));
}

FileItemInfo* RecordOf(const CReportCtrl& list, int row) { return static_cast<FileItemInfo*>(list.GetItemUserData(row)); }

// Sets busy for the duration of a command's work and clears it afterwards (which also ends
// a running load).
class BusyScope {
public:
    explicit BusyScope(CZEPHDlg& dlg) : dlg_(dlg) { dlg_.busy.store(1, std::memory_order_release); }
    ~BusyScope() { dlg_.busy.store(0, std::memory_order_release); }

private:
    CZEPHDlg& dlg_;
};

int AskBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
           QMessageBox::StandardButtons buttons, const char* name) {
    QMessageBox box(icon, title, text, buttons, parent);
    box.setObjectName(QString::fromLatin1(name));
    return box.exec();
}

}  // namespace

void ShowSelectionSummary(CZEPHDlg& dlg) {
    CReportCtrl* list = dlg.fileList();
    if (!list || !dlg.statusBar()) return;
    dlg.statusBar()->SetText(1, SelectionSummaryOf(*list));
}

void ShowListSummary(CZEPHDlg& dlg) {
    if (CReportCtrl* list = dlg.fileList()) list->RecolorRows(false);
    if (CStatusBar* bar = dlg.statusBar()) {
        const QString text = ListSummaryText(dlg.totals);
        bar->SetText(0, text);
        bar->SetTipText(0, text);
    }
    ShowSelectionSummary(dlg);
}

// Takes the rows (ascending) out of the list in one step per contiguous run, with their
// records and their share of the totals; an emptied list has zero totals.
void RemoveFileRows(CZEPHDlg& dlg, const std::vector<int>& rows) {
    CReportCtrl* list = dlg.fileList();
    if (!list || rows.empty()) return;
    std::vector<FileItemInfo*> records;
    records.reserve(rows.size());
    for (int row : rows) {
        FileItemInfo* info = RecordOf(*list, row);
        dlg.totals.fileCount -= 1;
        if (info) {
            dlg.totals.totalSizeMB -= info->sizeMB;
            dlg.totals.totalSeconds -= info->duration;
        }
        records.push_back(info);
    }
    list->DeleteItems(rows);
    for (FileItemInfo* info : records) delete info;
    if (list->GetItemCount() == 0) dlg.totals.Reset();
}

void RemoveFileRow(CZEPHDlg& dlg, int row) {
    CReportCtrl* list = dlg.fileList();
    if (!list || row < 0 || row >= list->GetItemCount()) return;
    RemoveFileRows(dlg, {row});
}

void OpenContainingFolder(CZEPHDlg& dlg) {
    CReportCtrl* list = dlg.fileList();
    if (!list) return;
    const int row = FirstSelected(*list);
    // Without a selection there is no folder to show: nothing is handed to the desktop.
    if (row < 0) return;
    OpenWithDesktop(list->GetItemText(row, kColPath), &dlg);
}

void OpenSelectedFile(CZEPHDlg& dlg) {
    CReportCtrl* list = dlg.fileList();
    if (!list) return;
    const int row = FirstSelected(*list);
    if (row < 0) return;
    const QString path = RowPath(*list, row);
    FileItemInfo* record = RecordOf(*list, row);
    if (QFileInfo::exists(path)) {
        // No program took the file: the type has no application; its folder opens instead.
        QPointer<CZEPHDlg> window(&dlg);
        OpenWithDesktop(path, &dlg, [window] {
            if (!window) return;
            AskBox(window, QMessageBox::Warning, AppTitle(),
                   QStringLiteral("There is no application associated with the given file name extension."),
                   QMessageBox::Ok, "noApplicationBox");
            if (window) OpenContainingFolder(*window);
        });
        return;
    }
    if (AskBox(&dlg, QMessageBox::Warning, AppTitle(), QStringLiteral("File NOT Found!  Remove It from the List?"),
               QMessageBox::Yes | QMessageBox::No, "fileNotFoundBox") != QMessageBox::Yes)
        return;
    {
        BusyScope scope(dlg);
        // Found again by its record: the list may have changed while the box was open.
        RemoveFileRow(dlg, record ? list->FindItemByUserData(record) : -1);
    }
    // Like every other removal, the summary lines follow the totals.
    ShowListSummary(dlg);
}

void RenameSelectedFile(CZEPHDlg& dlg) {
    CReportCtrl* list = dlg.fileList();
    if (!list) return;
    const int row = FirstSelected(*list);
    if (row < 0) return;
    list->BeginEdit(row, kColName);
}

void SelectAllRows(CZEPHDlg& dlg) {
    if (CReportCtrl* list = dlg.fileList()) {
        BusyScope scope(dlg);
        list->ApplyStateFlags(kStateAll, kStateSelected);
    }
    ShowSelectionSummary(dlg);
}

void SelectNoRows(CZEPHDlg& dlg) {
    if (CReportCtrl* list = dlg.fileList()) {
        BusyScope scope(dlg);
        list->ApplyStateFlags(kStateAll, kStateNotSelected);
    }
    ShowSelectionSummary(dlg);
}

void ReverseSelection(CZEPHDlg& dlg) {
    if (CReportCtrl* list = dlg.fileList()) {
        BusyScope scope(dlg);
        list->InvertStates(0);
    }
    ShowSelectionSummary(dlg);
}

void SelectNextRow(CZEPHDlg& dlg) {
    CReportCtrl* list = dlg.fileList();
    if (list && list->GetItemCount() > 0) {
        BusyScope scope(dlg);
        const int n = list->CountItemsByState(kStateSelected);
        int target = 0;
        if (n == 1) {
            const int r = FirstSelected(*list);
            list->SetItemStateFlags(r, kStateNotSelected | kStateNotFocused);
            target = (r + 1) % list->GetItemCount();
        } else if (n > 1) {
            list->ApplyStateFlags(kStateAll, kStateNotSelected);
        }
        list->SetItemStateFlags(target, kStateSelected | kStateFocused);
        list->scrollTo(list->Model()->index(target, 0), QAbstractItemView::EnsureVisible);
    }
    ShowSelectionSummary(dlg);
}

void MoveSelectedRow(CZEPHDlg& dlg, MoveKind kind) {
    CReportCtrl* list = dlg.fileList();
    if (!list) return;
    const int row = FirstSelected(*list);
    if (row < 0) return;
    switch (kind) {
        case MoveKind::Up: list->MoveItemBy(row, -1); break;
        case MoveKind::Down: list->MoveItemBy(row, +1); break;
        case MoveKind::Top: list->MoveItemToTop(row); break;
        case MoveKind::Bottom: list->MoveItemToBottom(row); break;
    }
    list->RecolorRows(true);
}

void RemoveSelectedRows(CZEPHDlg& dlg) {
    CReportCtrl* list = dlg.fileList();
    if (!list) return;
    {
        BusyScope scope(dlg);
        list->setUpdatesEnabled(false);
        RemoveFileRows(dlg, list->GetItemsByState(kStateSelected));
        ShowListSummary(dlg);
        list->setUpdatesEnabled(true);
    }
}

void RemoveAllRows(CZEPHDlg& dlg) {
    CReportCtrl* list = dlg.fileList();
    if (!list) return;
    {
        BusyScope scope(dlg);
        list->setUpdatesEnabled(false);
        RemoveFileRows(dlg, list->GetItemsByState(kStateAll));
        ShowListSummary(dlg);
        list->setUpdatesEnabled(true);
    }
}

void RemoveDeadRows(CZEPHDlg& dlg) {
    CReportCtrl* list = dlg.fileList();
    if (!list) return;
    BusyScope scope(dlg);
    list->setUpdatesEnabled(false);
    for (int r = 0; r < list->GetItemCount();) {
        if (IsDeadPath(RowPath(*list, r))) {
            RemoveFileRow(dlg, r);  // the next row is now at r
        } else {
            ++r;
        }
    }
    list->setUpdatesEnabled(true);
    ShowListSummary(dlg);
}

void RemoveDuplicateRows(CZEPHDlg& dlg) {
    CReportCtrl* list = dlg.fileList();
    if (!list) return;
    BusyScope scope(dlg);
    list->setUpdatesEnabled(false);
    // The first row of each path stays; paths are compared with A-Z folded, so their folded
    // form is what is looked up.
    QSet<QString> seen;
    std::vector<int> duplicates;
    for (int row = 0; row < list->GetItemCount(); ++row) {
        QString folded = FoldAsciiCase(RowPath(*list, row));
        if (seen.contains(folded)) {
            duplicates.push_back(row);
        } else {
            seen.insert(std::move(folded));
        }
    }
    RemoveFileRows(dlg, duplicates);
    list->setUpdatesEnabled(true);
    ShowListSummary(dlg);
}

void DeleteSelectedFiles(CZEPHDlg& dlg) {
    CReportCtrl* list = dlg.fileList();
    if (!list) return;
    if (FirstSelected(*list) < 0) {
        AskBox(&dlg, QMessageBox::Warning, QStringLiteral("Confirmation"), QStringLiteral("Please select ONE file First!"),
               QMessageBox::Ok, "selectFileFirstBox");
        return;
    }
    if (AskBox(&dlg, QMessageBox::Warning, QStringLiteral("Confirmation"),
               QStringLiteral("Permanently Delete the File(s), Are You Sure?"), QMessageBox::Yes | QMessageBox::No,
               "confirmDeleteBox") != QMessageBox::Yes)
        return;
    BusyScope scope(dlg);
    list->setUpdatesEnabled(false);
    try {
        for (int r = FirstSelected(*list); r >= 0; r = FirstSelected(*list)) {
            const QString path = RowPath(*list, r);
            RemoveFileRow(dlg, r);
            // Only files: a row naming a folder never takes the folder with it.
            const QFileInfo info(path);
            if (info.exists() && !info.isDir()) QFile::remove(path);
        }
    } catch (...) {
    }
    ShowListSummary(dlg);
    list->setUpdatesEnabled(true);
}

void ShowFileProperties(CZEPHDlg& dlg) {
    CReportCtrl* list = dlg.fileList();
    if (!list) return;
    const int row = FirstSelected(*list);
    if (row < 0) return;
    const QString path = RowPath(*list, row);
    // The desktop's file manager shows its own properties window when it offers the call.
    QDBusConnection bus = QDBusConnection::sessionBus();
    static const QString kService = QStringLiteral("org.freedesktop.FileManager1");
    if (bus.isConnected() && bus.interface() && bus.interface()->isServiceRegistered(kService).value()) {
        QDBusMessage call = QDBusMessage::createMethodCall(kService, QStringLiteral("/org/freedesktop/FileManager1"),
                                                           kService, QStringLiteral("ShowItemProperties"));
        call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
        if (bus.call(call, QDBus::Block, 3000).type() == QDBusMessage::ReplyMessage) return;
    }
    // Otherwise a sheet of our own, modeless as the desktop's would be.
    const QFileInfo info(path);
    QStringList lines{path};
    if (info.exists()) {
        lines << QStringLiteral("Size: %1 bytes").arg(info.size());
        lines << QStringLiteral("Modified: %1").arg(info.lastModified().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")));
        lines << QStringLiteral("Permissions: %1").arg(QString::number(int(info.permissions()), 16));
    } else {
        lines << QStringLiteral("The file does not exist.");
    }
    if (const FileItemInfo* rec = RecordOf(*list, row); rec && rec->sampleRate > 0)
        lines << QStringLiteral("%1 Hz, %2 channel(s), %3 kbps, %4")
                     .arg(rec->sampleRate)
                     .arg(rec->channels)
                     .arg(rec->bitrate)
                     .arg(FormatHms(rec->duration));
    auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Properties"), lines.join(QLatin1Char('\n')),
                                QMessageBox::Ok, &dlg);
    box->setObjectName(QStringLiteral("filePropertiesBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

void RenameOnDisk(CZEPHDlg& dlg, int row, int column, const QString& preEditText) {
    CReportCtrl* list = dlg.fileList();
    if (!list || column != kColName || row < 0 || row >= list->GetItemCount()) return;
    const QString folder = list->GetItemText(row, kColPath);
    const QString newPath = folder + list->GetItemText(row, kColName);
    const QString oldPath = folder + preEditText;
    if (newPath == oldPath) return;
    const QString newName = list->GetItemText(row, kColName);
    // A name is one path component: "/" would move the file elsewhere, "." and ".." name folders.
    const bool badName = newName.isEmpty() || newName.contains(QLatin1Char('/')) || newName == QStringLiteral(".") ||
                         newName == QStringLiteral("..");
    // Never replaces a file of the new name, not even one that appears after a look.
    const int error = badName ? EINVAL : CFileTreeCtrl::RenameNoReplace(oldPath, newPath);
    if (error == 0) return;
    // A name that is taken reads as a refused access, as a file-system rename reports it.
    const QString text = CFileTreeCtrl::FileErrorText(error == EEXIST ? EACCES : error, oldPath);
    // The list keeps naming the file that exists.
    list->SetItemTextEx(row, kColName, preEditText);
    AskBox(&dlg, QMessageBox::Critical, AppTitle(), text, QMessageBox::Ok, "renameErrorBox");
}

QStringList SelectedPaths(const CReportCtrl& list) {
    QStringList paths;
    for (int r = list.FindNextItemByState(kStateSelected, -1); r >= 0; r = list.FindNextItemByState(kStateSelected, r))
        paths << RowPath(list, r);
    return paths;
}

QMimeData* MakeRowDragData(const QStringList& paths) {
    auto* data = new QMimeData;
    QList<QUrl> urls;
    for (const QString& p : paths) urls << QUrl::fromLocalFile(p);
    data->setUrls(urls);
    data->setData(QString::fromLatin1(kOwnDragFormat), QByteArray(1, '\0'));
    return data;
}

int RemoveVanishedSelectedRows(CZEPHDlg& dlg) {
    CReportCtrl* list = dlg.fileList();
    if (!list) return 0;
    int removed = 0;
    for (int r = list->FindNextItemByState(kStateSelected, -1); r >= 0;) {
        struct stat st {};
        if (::lstat(QFile::encodeName(RowPath(*list, r)).constData(), &st) != 0 && errno == ENOENT) {
            RemoveFileRow(dlg, r);
            ++removed;
            r = list->FindNextItemByState(kStateSelected, r - 1);
        } else {
            r = list->FindNextItemByState(kStateSelected, r);
        }
    }
    // Totals and summaries follow, as with every other removal.
    if (removed) ShowListSummary(dlg);
    return removed;
}

// ---------------------------------------------------------------- CListCommands

CListCommands::CListCommands(CZEPHDlg& dlg) : QObject(&dlg), dlg_(dlg) {
    setObjectName(QStringLiteral("listCommands"));
    dlg.installEventFilter(this);
    if (CReportCtrl* list = dlg.fileList()) {
        viewport_ = list->viewport();
        viewport_->installEventFilter(this);
        connect(list->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
            if (!IsListLocked() && !dlg_.IsBusy()) ShowSelectionSummary(dlg_);
        });
        connect(list->viewport(), &QObject::destroyed, this, [this] { viewport_ = nullptr; });
    }
}

void CListCommands::StartRowDrag() {
    CReportCtrl* list = dlg_.fileList();
    if (!list) return;
    const QStringList paths = SelectedPaths(*list);
    if (paths.isEmpty()) return;
    auto* drag = new QDrag(list);
    drag->setMimeData(MakeRowDragData(paths));
    drag->exec(Qt::CopyAction, Qt::CopyAction);
    // Copying is all we offer; a target that moved the files anyway has taken them away.
    RemoveVanishedSelectedRows(dlg_);
}

bool CListCommands::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &dlg_ && event->type() == UM_REPORT_RENAMED) {
        auto* renamed = static_cast<ReportRenamedEvent*>(event);
        if (renamed->cell && renamed->list == dlg_.fileList())
            RenameOnDisk(dlg_, renamed->cell->row, renamed->cell->column, renamed->list->PreEditText());
        return true;
    }
    if (viewport_ && watched == viewport_) {
        CReportCtrl* list = dlg_.fileList();
        switch (event->type()) {
            case QEvent::MouseButtonDblClick: {
                auto* mouse = static_cast<QMouseEvent*>(event);
                if (mouse->button() == Qt::LeftButton && list) {
                    // After the list has handled the click (which may change the selection).
                    QMetaObject::invokeMethod(this, [this] {
                        CReportCtrl* l = dlg_.fileList();
                        if (l && !l->IsEditOpen() && l->CountItemsByState(kStateSelected) > 0) OpenSelectedFile(dlg_);
                    }, Qt::QueuedConnection);
                }
                break;
            }
            case QEvent::MouseButtonPress: {
                auto* mouse = static_cast<QMouseEvent*>(event);
                const QModelIndex index = list ? list->indexAt(mouse->position().toPoint()) : QModelIndex();
                dragArmed_ = mouse->button() == Qt::LeftButton && index.isValid() && mouse->modifiers() == Qt::NoModifier &&
                             list->selectionModel()->isRowSelected(index.row(), {});
                pressPos_ = mouse->position().toPoint();
                break;
            }
            case QEvent::MouseMove: {
                auto* mouse = static_cast<QMouseEvent*>(event);
                if (dragArmed_ && (mouse->buttons() & Qt::LeftButton) &&
                    (mouse->position().toPoint() - pressPos_).manhattanLength() >= QApplication::startDragDistance()) {
                    dragArmed_ = false;
                    StartRowDrag();
                    return true;
                }
                break;
            }
            case QEvent::MouseButtonRelease:
                dragArmed_ = false;
                break;
            default:
                break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void RegisterListCommands(CZEPHDlg& dlg) {
    if (!dlg.findChild<CListCommands*>(QStringLiteral("listCommands"), Qt::FindDirectChildrenOnly)) new CListCommands(dlg);
    CZEPHDlg* d = &dlg;
    dlg.SetCommandHandler(ID_LIST_OPEN, [d] { OpenSelectedFile(*d); });
    dlg.SetCommandHandler(ID_LIST_OPEN_FOLDER, [d] { OpenContainingFolder(*d); });
    dlg.SetCommandHandler(ID_LIST_RENAME, [d] { RenameSelectedFile(*d); });
    dlg.SetCommandHandler(ID_SELECT_ALL, [d] { SelectAllRows(*d); });
    dlg.SetCommandHandler(ID_SELECT_NONE, [d] { SelectNoRows(*d); });
    dlg.SetCommandHandler(ID_REVERSE_SELECT, [d] { ReverseSelection(*d); });
    dlg.SetCommandHandler(ID_SELECT_NEXT, [d] { SelectNextRow(*d); });
    dlg.SetCommandHandler(ID_MOVE_UP, [d] { MoveSelectedRow(*d, MoveKind::Up); });
    dlg.SetCommandHandler(ID_MOVE_DOWN, [d] { MoveSelectedRow(*d, MoveKind::Down); });
    dlg.SetCommandHandler(ID_MOVE_TOP, [d] { MoveSelectedRow(*d, MoveKind::Top); });
    dlg.SetCommandHandler(ID_MOVE_BOTTOM, [d] { MoveSelectedRow(*d, MoveKind::Bottom); });
    dlg.SetCommandHandler(ID_REMOVE_SELECTED, [d] { RemoveSelectedRows(*d); });
    dlg.SetCommandHandler(ID_REMOVE_DEAD, [d] { RemoveDeadRows(*d); });
    dlg.SetCommandHandler(ID_REMOVE_DUPLICATES, [d] { RemoveDuplicateRows(*d); });
    dlg.SetCommandHandler(ID_REMOVE_ALL, [d] { RemoveAllRows(*d); });
    dlg.SetCommandHandler(ID_DELETE_FILES, [d] { DeleteSelectedFiles(*d); });
    dlg.SetCommandHandler(ID_LIST_PROPERTIES, [d] { ShowFileProperties(*d); });
}

}  // namespace velmora
