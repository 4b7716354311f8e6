// Command ids of the main window. Menus, context menus, accelerators and toolbar buttons
// all deliver one of these ids to CZEPHDlg::OnCommand, which routes it to its handler.
#pragma once

namespace velmora {

enum CommandId : int {
    // File
    ID_ADD_FILES = 32861,
    ID_ADD_FOLDER = 32862,
    ID_ADD_FOLDER_SUB = 32890,
    ID_EXIT = 32869,
    // Edit (also the file-list context menu)
    ID_LIST_OPEN = 32780,
    ID_LIST_OPEN_FOLDER = 32782,
    ID_LIST_RENAME = 32853,
    ID_SELECT_ALL = 32823,
    ID_SELECT_NONE = 32833,
    ID_REVERSE_SELECT = 32835,
    ID_SELECT_NEXT = 32837,
    ID_MOVE_UP = 32791,
    ID_MOVE_DOWN = 32792,
    ID_MOVE_TOP = 32790,
    ID_MOVE_BOTTOM = 32789,
    ID_REMOVE_SELECTED = 32788,
    ID_REMOVE_DEAD = 32831,
    ID_REMOVE_DUPLICATES = 32829,
    ID_REMOVE_ALL = 32795,
    ID_DELETE_FILES = 32817,
    ID_LIST_PROPERTIES = 32855,
    // View
    ID_TOGGLE_TREE = 32891,
    // Operation
    ID_JOIN = 32874,
    ID_JOIN_SELECTED = 32873,
    ID_OPTIONS = 32875,
    ID_CHAPTERS_TAGS = 32901,
    // Help
    ID_HELP_CONTENT = 32884,
    ID_DOWNLOAD = 32886,
    ID_EMAIL_SUPPORT = 32887,
    ID_ONLINE_SUPPORT = 32888,
    ID_ABOUT = 32889,
    // Folder-tree context menu
    ID_TREE_REFRESH = 32772,
    ID_TREE_GO_UP = 32774,
    ID_TREE_GO_BACK = 32778,
    ID_TREE_GO_FORWARD = 32777,
    ID_TREE_EXPAND = 32900,
    ID_TREE_OPEN = 32807,
    ID_TREE_CREATE_FOLDER = 32811,
    ID_TREE_RENAME = 32814,
    ID_TREE_DELETE = 32815,
    ID_TREE_PROPERTIES = 32809,
    ID_TREE_JOIN_EACH = 32902,
};

}  // namespace velmora
