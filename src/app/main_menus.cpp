#include "app/main_menus.h"

#include <array>
#include <vector>

#include "app/command_ids.h"

namespace velmora {

namespace {

constexpr MenuEntry kSeparator{"", "", 0};

constexpr std::array kFileMenu{
    MenuEntry{"Add File(s)", "F6", ID_ADD_FILES},
    MenuEntry{"Add Folder excluding Subfolders", "F7", ID_ADD_FOLDER},
    MenuEntry{"Add Folder including Subfolders", "F8", ID_ADD_FOLDER_SUB},
    kSeparator,
    MenuEntry{"Exit", "", ID_EXIT},
};

// The Edit popup; the file-list context menu repeats it after "Join Selected".
#define VELMORA_EDIT_ITEMS                                              \
    MenuEntry{"Open", "", ID_LIST_OPEN},                                \
    MenuEntry{"Open Containing Folder", "", ID_LIST_OPEN_FOLDER},       \
    MenuEntry{"Rename File", "F2", ID_LIST_RENAME},                     \
    kSeparator,                                                         \
    MenuEntry{"Select All", "Ctrl+A", ID_SELECT_ALL},                   \
    MenuEntry{"Select None", "", ID_SELECT_NONE},                       \
    MenuEntry{"Reverse Select", "", ID_REVERSE_SELECT},                 \
    MenuEntry{"Select Next", "", ID_SELECT_NEXT},                       \
    kSeparator,                                                         \
    MenuEntry{"Move Up", "Alt+Up", ID_MOVE_UP},                               \
    MenuEntry{"Move Down", "Alt+Down", ID_MOVE_DOWN},                           \
    MenuEntry{"Move to Top", "Alt+Home", ID_MOVE_TOP},                          \
    MenuEntry{"Move to Bottom", "Alt+End", ID_MOVE_BOTTOM},                    \
    kSeparator,                                                         \
    MenuEntry{"Remove Selected", "Del", ID_REMOVE_SELECTED},            \
    MenuEntry{"Remove Dead", "", ID_REMOVE_DEAD},                       \
    MenuEntry{"Remove Duplicates", "", ID_REMOVE_DUPLICATES},           \
    MenuEntry{"Remove All", "", ID_REMOVE_ALL},                         \
    MenuEntry{"Delete Files", "Shift+Del", ID_DELETE_FILES},            \
    kSeparator,                                                         \
    MenuEntry{"Properties", "", ID_LIST_PROPERTIES}

constexpr std::array kEditMenu{VELMORA_EDIT_ITEMS};

constexpr std::array kListMenu{
    MenuEntry{"Join Selected", "Shift+F3", ID_JOIN_SELECTED},
    kSeparator,
    VELMORA_EDIT_ITEMS,
};
#undef VELMORA_EDIT_ITEMS

constexpr std::array kViewMenu{
    MenuEntry{"Show/Hide Folder Tree", "F9", ID_TOGGLE_TREE},
};

constexpr std::array kOperationMenu{
    MenuEntry{"Join", "F3", ID_JOIN},
    MenuEntry{"Chapters and Tags", "Ctrl+B", ID_CHAPTERS_TAGS},
    kSeparator,
    MenuEntry{"Options", "Ctrl+O", ID_OPTIONS},
};

constexpr std::array kSupportMenu{
    MenuEntry{"Email Support", "", ID_EMAIL_SUPPORT},
    MenuEntry{"Online Support", "", ID_ONLINE_SUPPORT},
};

constexpr std::array kHelpMenu{
    MenuEntry{"Help Content", "F1", ID_HELP_CONTENT},
    kSeparator,
    MenuEntry{"Download", "", ID_DOWNLOAD},
    MenuEntry{"Support", "", 0, std::span<const MenuEntry>(kSupportMenu)},
    kSeparator,
    MenuEntry{"About", "", ID_ABOUT},
};

constexpr std::array kMenuBar{
    MenuPopup{"&File", kFileMenu},
    MenuPopup{"&Edit", kEditMenu},
    MenuPopup{"&View", kViewMenu},
    MenuPopup{"&Operation", kOperationMenu},
    MenuPopup{"&Help", kHelpMenu},
};

constexpr std::array kTreeMenu{
    MenuEntry{"Show/Hide Folder Tree", "F9", ID_TOGGLE_TREE},
    kSeparator,
    MenuEntry{"Refresh", "F5", ID_TREE_REFRESH},
    MenuEntry{"Go Up", "", ID_TREE_GO_UP},
    MenuEntry{"Go Back", "", ID_TREE_GO_BACK},
    MenuEntry{"Go Forward", "", ID_TREE_GO_FORWARD},
    MenuEntry{"Expand Folder", "", ID_TREE_EXPAND},
    kSeparator,
    MenuEntry{"Open", "", ID_TREE_OPEN},
    MenuEntry{"Create Folder", "", ID_TREE_CREATE_FOLDER},
    MenuEntry{"Rename", "", ID_TREE_RENAME},
    MenuEntry{"Delete", "", ID_TREE_DELETE},
    MenuEntry{"Properties", "", ID_TREE_PROPERTIES},
    kSeparator,
    MenuEntry{"Join Each Subfolder", "", ID_TREE_JOIN_EACH},
};

constexpr std::array kToolbar{
    int(ID_ADD_FILES), int(ID_ADD_FOLDER),   int(ID_ADD_FOLDER_SUB), int(ID_JOIN),  int(ID_CHAPTERS_TAGS),
    int(ID_OPTIONS),   int(ID_DOWNLOAD),     int(ID_HELP_CONTENT),   int(ID_ABOUT),
};

}  // namespace

std::span<const MenuPopup> MainMenuBar() { return kMenuBar; }
std::span<const MenuEntry> FileListContextMenu() { return kListMenu; }
std::span<const MenuEntry> FolderTreeContextMenu() { return kTreeMenu; }
std::span<const int> ToolbarCommands() { return kToolbar; }

std::span<const Accelerator> AcceleratorTable() {
    static const std::vector<Accelerator> table{
        {QKeySequence(Qt::Key_F1), ID_HELP_CONTENT},
        {QKeySequence(Qt::Key_F2), ID_LIST_RENAME},
        {QKeySequence(Qt::Key_F3), ID_JOIN},
        {QKeySequence(Qt::SHIFT | Qt::Key_F3), ID_JOIN_SELECTED},
        {QKeySequence(Qt::Key_F5), ID_TREE_REFRESH},
        {QKeySequence(Qt::Key_F6), ID_ADD_FILES},
        {QKeySequence(Qt::Key_F7), ID_ADD_FOLDER},
        {QKeySequence(Qt::Key_F8), ID_ADD_FOLDER_SUB},
        {QKeySequence(Qt::Key_F9), ID_TOGGLE_TREE},
        {QKeySequence(Qt::CTRL | Qt::Key_A), ID_SELECT_ALL},
        {QKeySequence(Qt::CTRL | Qt::Key_B), ID_CHAPTERS_TAGS},
        {QKeySequence(Qt::CTRL | Qt::Key_O), ID_OPTIONS},
        {QKeySequence(Qt::Key_Delete), ID_REMOVE_SELECTED},
        {QKeySequence(Qt::SHIFT | Qt::Key_Delete), ID_DELETE_FILES},
        // Alt with the moving keys: plain and Ctrl arrows already move the focus and the
        // selection in the list, and nothing else in the window takes these.
        {QKeySequence(Qt::ALT | Qt::Key_Up), ID_MOVE_UP},
        {QKeySequence(Qt::ALT | Qt::Key_Down), ID_MOVE_DOWN},
        {QKeySequence(Qt::ALT | Qt::Key_Home), ID_MOVE_TOP},
        {QKeySequence(Qt::ALT | Qt::Key_End), ID_MOVE_BOTTOM},
    };
    return table;
}

QString CommandPrompt(int command) {
    switch (command) {
        case ID_ADD_FILES: return QStringLiteral("Add audio files to the current file list");
        case ID_ADD_FOLDER: return QStringLiteral("Add folder excluding subfolders to current file list");
        case ID_ADD_FOLDER_SUB: return QStringLiteral("Add folder including subfolders to current file list");
        case ID_JOIN: return QStringLiteral("Join the files in the list");
        case ID_OPTIONS: return QStringLiteral("Open the option dialog");
        case ID_CHAPTERS_TAGS: return QStringLiteral("Chapters and Tags");
        // Our own wording: the button invites the user to the maker's download page.
        case ID_DOWNLOAD: return QStringLiteral("Download more audio tools from Orvatek Corporation");
        case ID_HELP_CONTENT: return QStringLiteral("Launch the help of Velmora");
        case ID_ABOUT: return QStringLiteral("About Velmora");
        // The folder tree's commands.
        case ID_TREE_REFRESH: return QStringLiteral("Refresh file tree and file list");
        case ID_TREE_GO_UP: return QStringLiteral("Go to parent folder");
        case ID_TREE_GO_BACK: return QStringLiteral("Go to previous folder");
        case ID_TREE_GO_FORWARD: return QStringLiteral("Go to next folder");
        case ID_TREE_EXPAND: return QStringLiteral("Expand the selected folder and show all of its subfolders");
        case ID_TREE_OPEN: return QStringLiteral("Open the selected folder");
        case ID_TREE_CREATE_FOLDER: return QStringLiteral("Create a new folder");
        case ID_TREE_RENAME: return QStringLiteral("Rename the selected folder");
        case ID_TREE_DELETE: return QStringLiteral("Permanently delete the selected folder");
        case ID_TREE_PROPERTIES: return QStringLiteral("Show the properties dialog of the selected folder");
        case ID_TREE_JOIN_EACH:
            return QStringLiteral("Join each subfolder of the selected folder into a file of its own");
        default: return {};
    }
}

}  // namespace velmora
