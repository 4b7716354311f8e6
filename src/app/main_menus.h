// The command surface of the main window as data: the menu bar, the two context menus,
// the accelerator table and the string table of command prompts (toolbar tooltips).
// Kept free of widgets so that tests and tools can read the tables directly.
#pragma once

#include <span>

#include <QKeySequence>
#include <QString>

namespace velmora {

// One menu entry. command 0 with no text is a separator; a non-null `submenu` opens a
// sub-menu of its own (its `text` is the sub-menu title).
struct MenuEntry {
    const char* text;
    const char* shortcutText;  // the text after the tab, "" when none
    int command;
    std::span<const MenuEntry> submenu = {};
    bool IsSeparator() const { return command == 0 && submenu.empty(); }
};

struct MenuPopup {
    const char* title;  // with its mnemonic: "&File"
    std::span<const MenuEntry> entries;
};

// Menu bar: File, Edit, View, Operation, Help.
std::span<const MenuPopup> MainMenuBar();
// The file list's context menu: "Join Selected", a separator, then the Edit items.
std::span<const MenuEntry> FileListContextMenu();
// The folder tree's context menu.
std::span<const MenuEntry> FolderTreeContextMenu();
// Position of the item that the file-list menu shows as default (bold): "Open".
inline constexpr int kFileListDefaultItem = 2;

struct Accelerator {
    QKeySequence key;
    int command;
};
// The accelerator table; every entry acts without flashing the menu bar.
std::span<const Accelerator> AcceleratorTable();

// The string resource whose id equals the command: the command's prompt, used as the
// toolbar tooltip. Empty when the command has none.
QString CommandPrompt(int command);

// Toolbar buttons in order, with the command each one sends.
std::span<const int> ToolbarCommands();

}  // namespace velmora
