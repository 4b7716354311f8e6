#include "app/tree_commands.h"

#include "app/command_ids.h"
#include "app/zeph_dlg.h"
#include "foldertree/file_tree_ctrl.h"
#include "join/join_each.h"

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
    dlg.SetCommandHandler(ID_TREE_JOIN_EACH, onSelected([main](CFileTreeCtrl& t, QTreeWidgetItem* i) {
        // A folder of the file system (home, documents, a volume too); not the computer,
        // network or file items.
        const QString folder = i ? t.ItemToPath(i) : QString();
        if (folder.isEmpty() || !t.IsFolder(folder) || !main) return;
        JoinCommandContext context;
        context.owner = main;
        context.settings = &main->settings();
        context.engine = main->joinEngine();
        context.profile = &main->profile();
        context.showStatus = [main](const QString& text) { main->ShowJoinStatus(text); };
        JoinEachSubfolder(context, folder);
    }));
}

}  // namespace velmora
