// The folder tree's file commands of the main window: Open, Create Folder, Rename, Delete,
// Properties and Join Each Subfolder, each acting on the tree's selected item (which may be
// none).
#pragma once

namespace velmora {

class CZEPHDlg;

// Routes 32807, 32811, 32814, 32815, 32809 and 32902 of `dlg` to the folder tree's operations.
void RegisterTreeFileCommands(CZEPHDlg& dlg);

}  // namespace velmora
