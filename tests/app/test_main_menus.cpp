#include <gtest/gtest.h>

#include <set>

#include "app/command_ids.h"
#include "app/main_menus.h"

using namespace velmora;

namespace {

std::vector<std::pair<std::string, std::string>> Texts(std::span<const MenuEntry> entries) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const MenuEntry& e : entries) out.emplace_back(e.text, e.shortcutText);
    return out;
}

std::span<const MenuEntry> Popup(const char* title) {
    for (const MenuPopup& p : MainMenuBar()) {
        if (QString::fromLatin1(p.title).remove(QLatin1Char('&')) == QLatin1String(title)) return p.entries;
    }
    return {};
}

}  // namespace

TEST(MainMenus, MenuBarHasFivePopupsInOrder) {
    std::vector<std::string> titles;
    for (const MenuPopup& p : MainMenuBar()) titles.emplace_back(p.title);
    EXPECT_EQ(titles, (std::vector<std::string>{"&File", "&Edit", "&View", "&Operation", "&Help"}));
}

TEST(MainMenus, FileMenuItemsShortcutsAndCommands) {
    auto file = Popup("File");
    ASSERT_EQ(file.size(), 5u);
    EXPECT_EQ(file[0].command, 32861);
    EXPECT_STREQ(file[0].shortcutText, "F6");
    EXPECT_EQ(file[1].command, 32862);
    EXPECT_STREQ(file[1].text, "Add Folder excluding Subfolders");
    EXPECT_EQ(file[2].command, 32890);
    EXPECT_STREQ(file[2].shortcutText, "F8");
    EXPECT_TRUE(file[3].IsSeparator());
    EXPECT_STREQ(file[4].text, "Exit");
    EXPECT_EQ(file[4].command, 32869);
}

TEST(MainMenus, ListContextMenuIsJoinSelectedThenTheEditItems) {
    auto list = FileListContextMenu();
    auto edit = Popup("Edit");
    ASSERT_EQ(list.size(), edit.size() + 2);
    EXPECT_STREQ(list[0].text, "Join Selected");
    EXPECT_STREQ(list[0].shortcutText, "Shift+F3");
    EXPECT_EQ(list[0].command, 32873);
    EXPECT_TRUE(list[1].IsSeparator());
    for (size_t i = 0; i < edit.size(); ++i) {
        EXPECT_STREQ(list[i + 2].text, edit[i].text) << i;
        EXPECT_STREQ(list[i + 2].shortcutText, edit[i].shortcutText) << i;
        EXPECT_EQ(list[i + 2].command, edit[i].command) << i;
    }
    // The default item is "Open".
    EXPECT_STREQ(list[kFileListDefaultItem].text, "Open");
    EXPECT_EQ(list[kFileListDefaultItem].command, 32780);
}

TEST(MainMenus, EditMenuLayout) {
    auto edit = Popup("Edit");
    ASSERT_EQ(edit.size(), 21u);
    int separators = 0;
    for (const MenuEntry& e : edit) separators += e.IsSeparator();
    EXPECT_EQ(separators, 4);
    EXPECT_STREQ(edit.back().text, "Properties");
    EXPECT_EQ(edit.back().command, 32855);
    EXPECT_STREQ(edit[18].text, "Delete Files");
    EXPECT_STREQ(edit[18].shortcutText, "Shift+Del");
    EXPECT_EQ(edit[14].command, 32788);
    EXPECT_STREQ(edit[14].shortcutText, "Del");
}

TEST(MainMenus, HelpMenuHasSupportSubmenu) {
    auto help = Popup("Help");
    ASSERT_EQ(help.size(), 6u);
    const MenuEntry& support = help[3];
    EXPECT_STREQ(support.text, "Support");
    ASSERT_EQ(support.submenu.size(), 2u);
    EXPECT_FALSE(support.IsSeparator());
    EXPECT_EQ(support.submenu[0].command, 32887);
    EXPECT_EQ(support.submenu[1].command, 32888);
    EXPECT_EQ(help[5].command, 32889);
}

TEST(MainMenus, FolderTreeMenu) {
    auto tree = FolderTreeContextMenu();
    const std::vector<std::pair<std::string, std::string>> expected{
        {"Show/Hide Folder Tree", "F9"}, {"", ""}, {"Refresh", "F5"}, {"Go Up", ""}, {"Go Back", ""},
        {"Go Forward", ""}, {"Expand Folder", ""}, {"", ""}, {"Open", ""}, {"Create Folder", ""},
        {"Rename", ""}, {"Delete", ""}, {"Properties", ""}, {"", ""}, {"Join Each Subfolder", ""}};
    EXPECT_EQ(Texts(tree), expected);
    const std::vector<int> commands{32891, 0,     32772, 32774, 32778, 32777, 32900, 0,
                                    32807, 32811, 32814, 32815, 32809, 0,     32902};
    for (size_t i = 0; i < tree.size(); ++i) EXPECT_EQ(tree[i].command, commands[i]) << i;
}

TEST(MainMenus, AcceleratorTable) {
    std::map<QString, int> byKey;
    for (const Accelerator& a : AcceleratorTable()) {
        EXPECT_TRUE(byKey.emplace(a.key.toString(), a.command).second) << a.key.toString().toStdString();
    }
    const std::map<QString, int> expected{
        {"F1", 32884}, {"F2", 32853}, {"F3", 32874}, {"Shift+F3", 32873}, {"F5", 32772},
        {"F6", 32861}, {"F7", 32862}, {"F8", 32890}, {"F9", 32891}, {"Ctrl+A", 32823},
        {"Ctrl+O", 32875}, {"Ctrl+B", 32901}, {"Del", 32788}, {"Shift+Del", 32817},
        {"Alt+Up", 32791}, {"Alt+Down", 32792}, {"Alt+Home", 32790}, {"Alt+End", 32789}};
    EXPECT_EQ(byKey, expected);
}

TEST(MainMenus, EveryShortcutTextMatchesItsAccelerator) {
    std::map<int, QString> keyOf;
    for (const Accelerator& a : AcceleratorTable()) keyOf[a.command] = a.key.toString(QKeySequence::NativeText);
    auto check = [&](std::span<const MenuEntry> entries) {
        for (const MenuEntry& e : entries) {
            if (std::string(e.shortcutText).empty()) continue;
            ASSERT_TRUE(keyOf.count(e.command)) << e.text;
            EXPECT_EQ(keyOf[e.command].toStdString(), e.shortcutText) << e.text;
        }
    };
    for (const MenuPopup& p : MainMenuBar()) check(p.entries);
    check(FileListContextMenu());
    check(FolderTreeContextMenu());
}

TEST(MainMenus, ToolbarCommandsAndTooltips) {
    const std::vector<int> expected{32861, 32862, 32890, 32874, 32901, 32875, 32886, 32884, 32889};
    auto tb = ToolbarCommands();
    EXPECT_EQ(std::vector<int>(tb.begin(), tb.end()), expected);
    EXPECT_EQ(CommandPrompt(32861), "Add audio files to the current file list");
    EXPECT_EQ(CommandPrompt(32862), "Add folder excluding subfolders to current file list");
    EXPECT_EQ(CommandPrompt(32890), "Add folder including subfolders to current file list");
    EXPECT_EQ(CommandPrompt(32874), "Join the files in the list");
    EXPECT_EQ(CommandPrompt(32875), "Open the option dialog");
    EXPECT_EQ(CommandPrompt(32901), "Chapters and Tags");
    EXPECT_EQ(CommandPrompt(32884), "Launch the help of Velmora");
    EXPECT_EQ(CommandPrompt(32889), "About Velmora");
    for (int c : expected) {
        EXPECT_FALSE(CommandPrompt(c).isEmpty()) << c;
        EXPECT_LT(CommandPrompt(c).size(), 80) << c;  // fits a tooltip's text field
    }
    // The folder tree's ten commands carry their prompts like every other command.
    const std::vector<std::pair<int, const char*>> tree{
        {ID_TREE_REFRESH, "Refresh file tree and file list"},
        {ID_TREE_GO_UP, "Go to parent folder"},
        {ID_TREE_GO_BACK, "Go to previous folder"},
        {ID_TREE_GO_FORWARD, "Go to next folder"},
        {ID_TREE_EXPAND, "Expand the selected folder and show all of its subfolders"},
        {ID_TREE_OPEN, "Open the selected folder"},
        {ID_TREE_CREATE_FOLDER, "Create a new folder"},
        {ID_TREE_RENAME, "Rename the selected folder"},
        {ID_TREE_DELETE, "Permanently delete the selected folder"},
        {ID_TREE_PROPERTIES, "Show the properties dialog of the selected folder"}};
    for (const auto& [command, prompt] : tree) EXPECT_EQ(CommandPrompt(command), QString::fromLatin1(prompt)) << command;
    // Commands without a string have no tooltip.
    EXPECT_TRUE(CommandPrompt(ID_EXIT).isEmpty());
    EXPECT_TRUE(CommandPrompt(12345).isEmpty());
}
