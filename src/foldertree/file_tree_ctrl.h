// CFileTreeCtrl: the shell-like folder tree beside the file list. Items are filled lazily,
// the first time they are expanded; the selection keeps a back and a forward history.
#pragma once

#include "foldertree/network_enumerator.h"

#include <QColor>
#include <QHash>
#include <QStringList>
#include <QTreeWidget>

#include <cstdint>
#include <optional>

namespace velmora {

class CDriveEnumerator;
class CShareEnumerator;
class CFileTreeCtrl;

enum class TreeItemKind : uint8_t {
    Desktop = 0,
    Network = 1,    // the Network item and every network resource under it
    Documents = 2,
    Computer = 3,
    Profile = 4,    // the home folder
    File = 5,
    Folder = 6,
    Drive = 7,      // a mounted volume
    NotSet = 8,
};

// File attribute bits the hide masks test. Linux has no hidden, system, temporary or
// offline bits: a leading "." counts as hidden; compressed and encrypted come from statx.
enum FileAttribute : uint32_t {
    AttrReadOnly = 0x1,
    AttrHidden = 0x2,
    AttrSystem = 0x4,
    AttrDirectory = 0x10,
    AttrTemporary = 0x100,
    AttrCompressed = 0x800,
    AttrOffline = 0x1000,
    AttrEncrypted = 0x4000,
};

struct CFileTreeCtrlItemInfo {
    QString path;   // file-system path; empty for the computer, Network and server items
    QString name;   // last path component (a volume: its mount point); used to find and sort
    std::optional<NetResource> netResource;
    TreeItemKind type = TreeItemKind::NotSet;
    bool extensionHidden = false;
    bool shared = false;  // carries the share overlay
};

// One tree item with its record. Deleting the item frees the record; the owner keeps a
// map of live items by id so that history entries never point at freed items.
class CFileTreeItem : public QTreeWidgetItem {
public:
    static constexpr int Type = QTreeWidgetItem::UserType + 1;
    CFileTreeItem(CFileTreeCtrl* owner, CFileTreeCtrlItemInfo info);
    ~CFileTreeItem() override;

    CFileTreeCtrlItemInfo info;
    quint64 id() const { return id_; }
    int childrenCount() const { return childrenCount_; }
    void setChildrenCount(int n);

private:
    CFileTreeCtrl* owner_;
    quint64 id_;
    int childrenCount_ = 1;
};

class CFileTreeCtrl : public QTreeWidget {
    Q_OBJECT
public:
    using HTREEITEM = QTreeWidgetItem*;
    enum ExpandAction { Expand, Collapse };

    // Null sources mean the process-wide ones.
    explicit CFileTreeCtrl(QWidget* parent = nullptr, CDriveEnumerator* drives = nullptr,
                           CShareEnumerator* shares = nullptr);
    ~CFileTreeCtrl() override;

    // ---- options (defaults as constructed; the main window changes some before filling)
    void SetShowFiles(bool on);                 // refreshes
    bool GetShowFiles() const { return showFiles_; }
    void SetFileHideAttributes(uint32_t bits);  // refreshes
    uint32_t GetFileHideAttributes() const { return fileHideAttributes_; }
    void SetFolderHideAttributes(uint32_t bits) { folderHideAttributes_ = bits; }
    uint32_t GetFolderHideAttributes() const { return folderHideAttributes_; }
    void SetFileMasks(const QStringList& masks) { fileMasks_ = masks; }
    const QStringList& GetFileMasks() const { return fileMasks_; }
    void SetDriveHideMask(unsigned mask) { driveHideMask_ = mask; }
    unsigned GetDriveHideMask() const { return driveHideMask_; }
    void SetShowDesktop(bool on) { showDesktop_ = on; }
    void SetShowComputer(bool on) { showComputer_ = on; }
    void SetShowDocuments(bool on) { showDocuments_ = on; }
    void SetShowProfile(bool on) { showProfile_ = on; }
    void SetShowNetwork(bool on) { showNetwork_ = on; }
    void SetShareOverlay(bool on) { shareOverlay_ = on; }
    void SetShellDriveNames(bool on) { shellDriveNames_ = on; }
    void SetFileLabelMode(int mode) { fileLabelMode_ = mode; }
    void SetNetworkResourceType(int type) { networkResourceType_ = type; }
    void SetCompressedColor(QColor c, bool on) { compressedColor_ = c; compressedColorOn_ = on; }
    void SetEncryptedColor(QColor c, bool on) { encryptedColor_ = c; encryptedColorOn_ = on; }
    QColor GetCompressedColor() const { return compressedColor_; }
    QColor GetEncryptedColor() const { return encryptedColor_; }
    void SetAllowOpen(bool on) { allowOpen_ = on; }
    void SetAllowProperties(bool on) { allowProperties_ = on; }
    void SetAllowDelete(bool on) { allowDelete_ = on; }
    void SetAllowRename(bool on) { allowRename_ = on; }
    void SetAllowCreateFolder(bool on) { allowCreateFolder_ = on; }
    bool GetAllowOpen() const { return allowOpen_; }
    bool GetAllowProperties() const { return allowProperties_; }
    bool GetAllowDelete() const { return allowDelete_; }
    bool GetAllowRename() const { return allowRename_; }
    bool GetAllowCreateFolder() const { return allowCreateFolder_; }
    void SetHistoryLimit(int limit) { historyLimit_ = limit < 0 ? 0 : limit; }
    int GetHistoryLimit() const { return historyLimit_; }

    // Turns the shared icons on and fills the tree.
    void AttachSystemImageList();

    // ---- population
    void DisplayRootItems();
    void DisplayDrives(HTREEITEM parent, bool freeze);
    void DisplayPath(const QString& path, HTREEITEM parent, bool freeze, bool deleteOld);
    bool EnumNetwork(HTREEITEM item);
    bool HasSubItems(const QString& path) const;
    HTREEITEM InsertFileItem(HTREEITEM parent, CFileTreeCtrlItemInfo info, bool shared, const QIcon& icon,
                             const QIcon& selectedIcon, bool checkChildren);

    QString ItemToPath(HTREEITEM item) const;
    CFileTreeCtrlItemInfo* ItemInfo(HTREEITEM item) const;
    int ChildrenCount(HTREEITEM item) const;
    void SetChildrenCount(HTREEITEM item, int count);
    bool IsFileItem(HTREEITEM item) const;
    bool IsFolderItem(HTREEITEM item) const;
    bool IsDriveItem(HTREEITEM item) const;
    bool IsFile(const QString& path) const;
    bool IsFolder(const QString& path) const;
    bool IsDrive(const QString& path) const;  // a mount point of a listed volume
    bool IsCompressed(HTREEITEM item) const;
    bool IsCompressed(const QString& path) const;
    bool IsEncrypted(HTREEITEM item) const;
    bool IsEncrypted(const QString& path) const;
    bool IsRemovableOrCd(const QString& path) const;
    static uint32_t ReadAttributes(const QString& path);

    // Fills the item when it has never been filled, then expands it. False when the item
    // turned out to be gone and was removed.
    bool ExpandItem(HTREEITEM item);
    // Collapses; with reset the children are dropped and read again on the next expansion.
    void CollapseItem(HTREEITEM item, bool reset);

    // ---- navigation and history
    QString GetSelectedPath() const;
    HTREEITEM SetSelectedPath(const QString& path, bool expand);
    void Refresh();
    bool GoUp();
    bool CanGoBack() const { return !back_.isEmpty(); }
    bool CanGoForward() const { return !forward_.isEmpty(); }
    bool GoBack();
    bool GoForward();
    HTREEITEM FindChildByName(HTREEITEM item, const QString& name) const;
    // Expand walks every subfolder once (by device and inode), never into pseudo file systems
    // (/proc, /sys, /dev …), and stops when the user presses Esc.
    void ExpandAll(HTREEITEM item, ExpandAction action = Expand);
    // The history as live items, oldest first (entries whose items are gone are left out).
    QList<HTREEITEM> BackItems() const;
    QList<HTREEITEM> ForwardItems() const;
    int BackCount() const { return int(back_.size()); }
    int ForwardCount() const { return int(forward_.size()); }

    // ---- special items (null when absent)
    HTREEITEM RootItem() const;
    HTREEITEM DesktopItem() const { return Live(desktopId_); }
    HTREEITEM DocumentsItem() const { return Live(documentsId_); }
    HTREEITEM ProfileItem() const { return Live(profileId_); }
    HTREEITEM ComputerItem() const { return Live(computerId_); }
    HTREEITEM NetworkItem() const { return Live(networkId_); }
    QString DesktopPath() const { return desktopPath_; }
    QString ProfilePath() const { return profilePath_; }
    QString DocumentsPath() const { return documentsPath_; }

    // ---- operations on items reached by keys, mouse and the owner's commands
    virtual bool OpenItem(HTREEITEM item);
    // The file manager's properties window over D-Bus, else a properties dialog of our own.
    virtual bool ShowItemProperties(HTREEITEM item);
    // To the trash; with Shift held, a permanent delete after a confirmation.
    virtual bool DeleteItemFile(HTREEITEM item);
    // Opens the label editor on a file or folder item; the rename happens when it ends.
    virtual bool BeginRename(HTREEITEM item);
    // Makes a folder below the item (GetNewFolderName of its path when `path` is empty),
    // selects it and starts renaming it. Null when nothing was made.
    HTREEITEM CreateFolder(HTREEITEM item, const QString& path = QString());
    // True while the label editor is open.
    bool IsEditingLabel() const { return state() == QAbstractItemView::EditingState; }
    // "<folder>/New Folder", else "<folder>/New Folder (2)", (3), ...: the first free one.
    static QString GetNewFolderName(const QString& folder);
    // The text of a failed file operation on `path` for an errno value.
    // Renames without ever replacing what has the new name: 0 or an errno value (EEXIST when taken).
    static int RenameNoReplace(const QString& from, const QString& to);
    static QString FileErrorText(int error, const QString& path);

signals:
    // The selection changed (after the tree's own handling); the owner loads the folder.
    void selectionChanged(QTreeWidgetItem* item);
    // A right-click selected the item under the cursor (or cleared the selection), or Shift+F10
    // or the Menu key asks for the menu of the selected item.
    void rightClicked(const QPoint& globalPos);

protected:
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void drawRow(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    friend class CFileTreeItem;
    friend class LabelEditDelegate;
    struct HistoryEntry {
        quint64 id = 0;
        QString path;
        TreeItemKind kind = TreeItemKind::NotSet;
    };

    quint64 Register(CFileTreeItem* item);
    void Unregister(quint64 id);
    HTREEITEM Live(quint64 id) const;
    CFileTreeItem* TreeItem(HTREEITEM item) const;
    HistoryEntry EntryFor(HTREEITEM item) const;
    HTREEITEM Resolve(const HistoryEntry& e);
    bool Navigate(QList<HistoryEntry>& from, QList<HistoryEntry>& to);

    bool FillItem(HTREEITEM item);
    void RemoveVanished(HTREEITEM item);
    CFileTreeItem* MakeItem(CFileTreeCtrlItemInfo info, bool shared, const QIcon& icon, const QIcon& selectedIcon,
                            bool checkChildren);
    QIcon IconFor(const QString& path, bool isDir, bool open) const;
    void SelectItem(HTREEITEM item);
    bool IsSpecial(HTREEITEM item) const;
    bool IsListedFolder(const QString& name, uint32_t attrs) const;
    bool IsListedFile(const QString& name, uint32_t attrs) const;
    bool MatchesMask(const QByteArray& name, const QByteArray& mask) const;
    void ApplyColour(CFileTreeItem* item, uint32_t attrs);

    void EndLabelEdit(const QModelIndex& index, const QString& text);
    void RebasePaths(HTREEITEM item, const QString& oldPrefix, const QString& newPrefix);
    void SetItemIcons(CFileTreeItem* item, bool isDir);
    bool ConfirmPermanentDelete(const QString& path);
    void ShowFileError(const QString& text, bool queued);

    void OnCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous);
    void OnItemExpanded(QTreeWidgetItem* item);
    void OnItemCollapsed(QTreeWidgetItem* item);

    CDriveEnumerator* drives_;
    CShareEnumerator* shares_;

    bool showFiles_ = true;
    QStringList fileMasks_{QStringLiteral("*.*")};
    uint32_t fileHideAttributes_ = 0x1106;
    uint32_t folderHideAttributes_ = 0x1106;
    unsigned driveHideMask_ = 0;
    bool showDesktop_ = true;
    bool showComputer_ = true;
    // The home folder plays the profile item; a separate documents item stays off.
    bool showDocuments_ = false;
    bool showProfile_ = true;
    bool showNetwork_ = true;
    bool shareOverlay_ = true;
    bool shellDriveNames_ = true;
    int fileLabelMode_ = 2;
    int networkResourceType_ = 0;
    QColor compressedColor_{0, 0, 255};
    bool compressedColorOn_ = true;
    QColor encryptedColor_{255, 0, 0};
    bool encryptedColorOn_ = true;
    bool allowOpen_ = true;
    bool allowProperties_ = true;
    bool allowDelete_ = false;
    bool allowRename_ = false;
    bool allowCreateFolder_ = false;
    int historyLimit_ = 20;
    bool iconsAttached_ = false;

    quint64 nextId_ = 1;
    QHash<quint64, CFileTreeItem*> items_;
    quint64 rootId_ = 0, desktopId_ = 0, documentsId_ = 0, profileId_ = 0, computerId_ = 0, networkId_ = 0;
    QString desktopPath_, documentsPath_, profilePath_;

    QList<HistoryEntry> back_, forward_;
    bool navigating_ = false;
    bool ignoreSelection_ = false;   // while the tree itself rearranges items
    bool internalCollapse_ = false;  // a collapse the tree does itself
    bool removingVanished_ = false;
    int selectionReports_ = 0;       // counts reports, so nested changes are told once
    int walking_ = 0;                // SetSelectedPath is selecting the folders on its way
    struct ExpandWalk;               // the state of one ExpandAll
    ExpandWalk* expandWalk_ = nullptr;
    void ExpandAllFrom(HTREEITEM item, ExpandWalk& walk);
    bool walkChanged_ = false;       // the walk changed the selection: told once at its end
    QPersistentModelIndex editIndex_;  // the item whose label editor was opened last
    int keyShift_ = -1;              // Shift of the key that asked for a delete; -1: ask the system
};

}  // namespace velmora
