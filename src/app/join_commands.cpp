#include "app/join_commands.h"

#include "app/command_ids.h"
#include "app/zeph_dlg.h"
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
    JoinFiles(context, selectedOnly);
}

}  // namespace

void RegisterJoinCommands(CZEPHDlg& dlg) {
    dlg.SetCommandHandler(ID_JOIN, [&dlg] { RunJoin(dlg, false); });
    dlg.SetCommandHandler(ID_JOIN_SELECTED, [&dlg] { RunJoin(dlg, true); });
}

}  // namespace velmora
