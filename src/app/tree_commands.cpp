#include "app/tree_commands.h"

#include "app/command_ids.h"
#include "app/zeph_dlg.h"
#include "foldertree/file_tree_ctrl.h"

#include <QPointer>

namespace velmora {

void RegisterTreeFileCommands(CZEPHDlg& dlg) {
    // The tree is looked up at each command: it is made during the window's creation, after
    // the commands are registered, and a command without a tree does nothing.
    QPointer<CZEPHDlg> main(&dlg);
    auto onSelected = [main](auto op) {
        return [main, op] {
            if (!main) return;
            if (CFileTreeCtrl* tree = main->fileTree()) op(*tree, tree->currentItem());
        };
    };
    dlg.SetCommandHandler(ID_TREE_OPEN, onSelected([](CFileTreeCtrl& t, QTreeWidgetItem* i) { t.OpenItem(i); }));
    dlg.SetCommandHandler(ID_TREE_CREATE_FOLDER,
                          onSelected([](CFileTreeCtrl& t, QTreeWidgetItem* i) { t.CreateFolder(i, QString()); }));
    dlg.SetCommandHandler(ID_TREE_RENAME, onSelected([](CFileTreeCtrl& t, QTreeWidgetItem* i) { t.BeginRename(i); }));
    dlg.SetCommandHandler(ID_TREE_DELETE,
                          onSelected([](CFileTreeCtrl& t, QTreeWidgetItem* i) { t.DeleteItemFile(i); }));
    dlg.SetCommandHandler(ID_TREE_PROPERTIES,
                          onSelected([](CFileTreeCtrl& t, QTreeWidgetItem* i) { t.ShowItemProperties(i); }));
}

}  // namespace velmora
