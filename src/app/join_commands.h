// Join (F3, toolbar) and Join Selected (Shift+F3, list context menu) of the main window.
#pragma once

namespace velmora {

class CZEPHDlg;

void RegisterJoinCommands(CZEPHDlg& dlg);

}  // namespace velmora
