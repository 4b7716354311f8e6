#include "app/join_commands.h"

#include "app/book_dlg.h"
#include "app/command_ids.h"
#include "app/zeph_dlg.h"
#include "controls/report_ctrl.h"
#include "filelist/file_item_info.h"
#include "filelist/list_locked.h"
#include "join/book_edits.h"
#include "join/join_command.h"

namespace velmora {

namespace {

void RunJoin(CZEPHDlg& dlg, bool selectedOnly) {
    JoinCommandContext context;
    context.list = dlg.fileList();
    context.owner = &dlg;
    context.settings = &dlg.settings();
    context.engine = dlg.joinEngine();
    context.profile = &dlg.profile();
    context.isBusy = [&dlg] { return dlg.IsBusy(); };
    // The list's own Remove Dead command when the window has one: it also keeps the
    // window's totals and summary right.
    if (dlg.HasCommandHandler(ID_REMOVE_DEAD)) context.removeDead = [&dlg] { dlg.OnCommand(ID_REMOVE_DEAD); };
    context.book = &dlg.bookEdits();
    context.showStatus = [&dlg](const QString& text) { dlg.ShowJoinStatus(text); };
    JoinFiles(context, selectedOnly);
}

// "Chapters and Tags" over every readable row, as the next Join takes them.
void EditBook(CZEPHDlg& dlg) {
    CReportCtrl* list = dlg.fileList();
    if (!list || IsListLocked() || dlg.IsBusy()) return;
    const std::vector<JoinRow> rows = GatherJoinRows(*list, false);
    CBookDlg book(rows, dlg.bookEdits(), dlg.settings(), &dlg);
    if (book.exec() != QDialog::Accepted) return;
    dlg.bookEdits() = book.edits();
    const auto& marks = book.rowMarks();
    for (size_t i = 0; i < rows.size() && i < marks.size(); ++i) {
        // Only a record still in the list takes its marks (nothing removes rows under a
        // modal dialog, but a record that went is never touched).
        if (list->FindItemByUserData(rows[i].info) < 0) continue;
        rows[i].info->chapterMarks = marks[i];
    }
}

}  // namespace

void RegisterJoinCommands(CZEPHDlg& dlg) {
    dlg.SetCommandHandler(ID_JOIN, [&dlg] { RunJoin(dlg, false); });
    dlg.SetCommandHandler(ID_JOIN_SELECTED, [&dlg] { RunJoin(dlg, true); });
    dlg.SetCommandHandler(ID_CHAPTERS_TAGS, [&dlg] { EditBook(dlg); });
}

}  // namespace velmora
