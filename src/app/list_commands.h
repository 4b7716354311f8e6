// The commands that edit the file list and act on the files behind its rows: open, rename,
// select, move, remove, delete from disk, properties, and dragging rows out to other programs.
// They run on the UI thread; the removing and selecting ones end a running load through busy.
#pragma once

#include <QObject>
#include <QPoint>
#include <QStringList>

class QMimeData;

namespace velmora {

class CZEPHDlg;
class CReportCtrl;

// The MIME type that marks drags started in our own list (the drop target refuses them).
inline constexpr char kOwnDragFormat[] = "application/x-velmora-B68D2B99-630A-4eca-87FA-3BEB89137B38";

// Summary lines of the status bar from the running totals and the selection.
void ShowListSummary(CZEPHDlg& dlg);
void ShowSelectionSummary(CZEPHDlg& dlg);
// Subtracts a row from the totals, releases its record and deletes it.
void RemoveFileRow(CZEPHDlg& dlg, int row);

void OpenSelectedFile(CZEPHDlg& dlg);
void OpenContainingFolder(CZEPHDlg& dlg);
void RenameSelectedFile(CZEPHDlg& dlg);
void SelectAllRows(CZEPHDlg& dlg);
void SelectNoRows(CZEPHDlg& dlg);
void ReverseSelection(CZEPHDlg& dlg);
void SelectNextRow(CZEPHDlg& dlg);
enum class MoveKind { Up, Down, Top, Bottom };
void MoveSelectedRow(CZEPHDlg& dlg, MoveKind kind);
void RemoveSelectedRows(CZEPHDlg& dlg);
void RemoveAllRows(CZEPHDlg& dlg);
void RemoveDeadRows(CZEPHDlg& dlg);
void RemoveDuplicateRows(CZEPHDlg& dlg);
void DeleteSelectedFiles(CZEPHDlg& dlg);
void ShowFileProperties(CZEPHDlg& dlg);
// The rename on disk after the list's editor changed cell (row, column).
void RenameOnDisk(CZEPHDlg& dlg, int row, int column, const QString& preEditText);

// Full paths of the selected rows, from the top.
QStringList SelectedPaths(const CReportCtrl& list);
// What a drag of the selected rows offers: their files as URIs and the private mark.
QMimeData* MakeRowDragData(const QStringList& paths);
// After a drag: selected rows whose files are gone (a target moved them) leave the list, with
// the totals and summaries brought up to date. Returns how many went.
int RemoveVanishedSelectedRows(CZEPHDlg& dlg);

// Event side of the commands: double-click Open, the rename message, the item-changed
// summary and row drags.
class CListCommands : public QObject {
    Q_OBJECT
public:
    explicit CListCommands(CZEPHDlg& dlg);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void StartRowDrag();

    CZEPHDlg& dlg_;
    QObject* viewport_ = nullptr;
    QPoint pressPos_;
    bool dragArmed_ = false;
};

// Routes the command ids of the list commands to their handlers and wires the events.
void RegisterListCommands(CZEPHDlg& dlg);

}  // namespace velmora
