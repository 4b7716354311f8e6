#include "foldertree/file_tree_ctrl.h"

#include "controls/desktop_open.h"
#include "controls/view_look.h"
#include "settings/app_settings.h"

#include "foldertree/drive_enumerator.h"
#include "foldertree/item_properties_dlg.h"
#include "foldertree/share_enumerator.h"
#include "foldertree/system_image_list.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>
#include <QStandardPaths>
#include <QStyledItemDelegate>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <set>
#include <functional>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace velmora {

namespace {

// Painting is switched off while items are added in bulk, and back on afterwards.
class PaintFreeze {
public:
    PaintFreeze(QWidget* w, bool on) : w_(on && w->updatesEnabled() ? w : nullptr) {
        if (w_) w_->setUpdatesEnabled(false);
    }
    ~PaintFreeze() {
        if (w_) w_->setUpdatesEnabled(true);
    }

private:
    QWidget* w_;
};

class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
};

class FlagGuard {
public:
    explicit FlagGuard(bool& f) : f_(f), old_(f) { f_ = true; }
    ~FlagGuard() { f_ = old_; }

private:
    bool& f_;
    bool old_;
};

QString JoinPath(const QString& dir, const QString& name) {
    return dir.endsWith(QLatin1Char('/')) ? dir + name : dir + QLatin1Char('/') + name;
}

QString StripTrailingSlash(QString p) {
    while (p.size() > 1 && p.endsWith(QLatin1Char('/'))) p.chop(1);
    return p;
}

uint32_t StatxAttributes(int dirfd, const char* name) {
    struct statx stx {};
    if (statx(dirfd, name, AT_STATX_DONT_SYNC, STATX_TYPE, &stx) != 0) return 0;
    uint32_t a = 0;
    if ((stx.stx_attributes_mask & STATX_ATTR_COMPRESSED) && (stx.stx_attributes & STATX_ATTR_COMPRESSED))
        a |= AttrCompressed;
    if ((stx.stx_attributes_mask & STATX_ATTR_ENCRYPTED) && (stx.stx_attributes & STATX_ATTR_ENCRYPTED))
        a |= AttrEncrypted;
    return a;
}

struct DirEntry {
    QByteArray rawName;
    QString name;
    bool isDir = false;
    uint32_t attrs = 0;
};

// Walks one folder with readdir (no sorting, no stat unless the entry type is unknown or a
// link). `fn` returns false to stop early. `needStatx` reads compressed/encrypted bits.
template <class Fn>
void ForEachEntry(const QString& dir, bool needStatx, Fn fn) {
    const QByteArray enc = QFile::encodeName(dir);
    DIR* d = opendir(enc.constData());
    if (!d) return;
    const int fd = dirfd(d);
    while (dirent* e = readdir(d)) {
        const char* n = e->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
        DirEntry de;
        de.rawName = QByteArray(n);
        de.name = QFile::decodeName(de.rawName);
        if (e->d_type == DT_DIR) {
            de.isDir = true;
        } else if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
            struct stat st {};
            // A link counts as what it points to; a dangling link as a file.
            de.isDir = fstatat(fd, n, &st, 0) == 0 && S_ISDIR(st.st_mode);
        }
        if (n[0] == '.') de.attrs |= AttrHidden;
        if (de.isDir) de.attrs |= AttrDirectory;
        if (needStatx) de.attrs |= StatxAttributes(fd, n);
        if (!fn(de)) break;
    }
    closedir(d);
}

int KindRank(TreeItemKind k) {
    switch (k) {
    case TreeItemKind::Profile: return 0;
    case TreeItemKind::Documents: return 1;
    case TreeItemKind::Computer: return 2;
    case TreeItemKind::Network: return 3;
    case TreeItemKind::File: return 5;
    default: return 4;
    }
}

int CompareNoCase(const QString& a, const QString& b) {
    // ASCII letters folded; other characters compare by code unit.
    const int n = int(std::min(a.size(), b.size()));
    for (int i = 0; i < n; ++i) {
        char16_t x = a.at(i).unicode(), y = b.at(i).unicode();
        if (x >= 'A' && x <= 'Z') x = char16_t(x + 32);
        if (y >= 'A' && y <= 'Z') y = char16_t(y + 32);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// The order of siblings: profile, documents, computer, network, then folders and volumes,
// then files; within one group by name. Items of one kind compare by name, which keeps the
// order a strict one whichever two items are compared.
bool SortsBefore(const CFileTreeCtrlItemInfo& a, const CFileTreeCtrlItemInfo& b) {
    const int ra = KindRank(a.type), rb = KindRank(b.type);
    if (ra != rb) return ra < rb;
    return CompareNoCase(a.name, b.name) < 0;
}

// Paths compare as the file system compares them: exactly ("~/desktop" is not "~/Desktop").
bool PathIsUnderExactly(const QString& path, const QString& root) {
    if (root.isEmpty()) return false;
    if (!path.startsWith(root)) return false;
    return path.size() == root.size() || path.at(root.size()) == QLatin1Char('/') || root == QLatin1String("/");
}

}  // namespace

// The tree's label editor. The edited text never goes into the item by itself: the end of
// the edit asks the tree to rename, and only a rename that worked changes the label.
class LabelEditDelegate : public QStyledItemDelegate {
public:
    explicit LabelEditDelegate(CFileTreeCtrl* tree) : QStyledItemDelegate(tree), tree_(tree) {}
    void setModelData(QWidget* editor, QAbstractItemModel*, const QModelIndex& index) const override {
        if (auto* line = qobject_cast<QLineEdit*>(editor)) tree_->EndLabelEdit(index, line->text());
    }

protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        // The editor owns the keyboard while it is open: the window's shortcuts (F2, F3, F5, F9,
        // Ctrl+O …) reach it as plain keys instead of running their commands.
        if (event->type() == QEvent::ShortcutOverride) {
            event->accept();
            return true;
        }
        // A tree disabled for a while (the owner's busy state) takes the focus from the
        // editor; that is no end of the edit, which goes on once the tree is enabled again.
        if (event->type() == QEvent::FocusOut) {
            auto* editor = qobject_cast<QWidget*>(object);
            if (editor && !editor->isEnabled()) return false;
        }
        return QStyledItemDelegate::eventFilter(object, event);
    }

private:
    CFileTreeCtrl* tree_;
};

// ---------------------------------------------------------------- CFileTreeItem

CFileTreeItem::CFileTreeItem(CFileTreeCtrl* owner, CFileTreeCtrlItemInfo i)
    : QTreeWidgetItem(Type), info(std::move(i)), owner_(owner), id_(owner->Register(this)) {
    setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
}

CFileTreeItem::~CFileTreeItem() {
    // Children go first so that each unregisters while the owner's map still knows it.
    qDeleteAll(takeChildren());
    owner_->Unregister(id_);
    // Leave the view while this is still a whole item: the view moves its selection away
    // and reports the change, and the report may look at the item it leaves.
    if (QTreeWidgetItem* p = parent())
        p->removeChild(this);
    else if (QTreeWidget* w = treeWidget())
        w->takeTopLevelItem(w->indexOfTopLevelItem(this));
}

void CFileTreeItem::setChildrenCount(int n) {
    childrenCount_ = n;
    setChildIndicatorPolicy(n ? QTreeWidgetItem::ShowIndicator : QTreeWidgetItem::DontShowIndicator);
}

// ---------------------------------------------------------------- construction

CFileTreeCtrl::CFileTreeCtrl(QWidget* parent, CDriveEnumerator* drives, CShareEnumerator* shares)
    : QTreeWidget(parent),
      drives_(drives ? drives : &CDriveEnumerator::Shared()),
      shares_(shares ? shares : &CShareEnumerator::Shared()) {
    drives_->EnsureRead();
    setHeaderHidden(true);
    setColumnCount(1);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformRowHeights(true);
    setAnimated(false);
    // Label editing belongs to the rename operation, never to a stray click.
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setObjectName(QStringLiteral("folderTree"));
    setItemDelegate(new LabelEditDelegate(this));
    connect(this, &QTreeWidget::currentItemChanged, this, &CFileTreeCtrl::OnCurrentItemChanged);
    connect(this, &QTreeWidget::itemExpanded, this, &CFileTreeCtrl::OnItemExpanded);
    connect(this, &QTreeWidget::itemCollapsed, this, &CFileTreeCtrl::OnItemCollapsed);
}

CFileTreeCtrl::~CFileTreeCtrl() {
    FlagGuard g(ignoreSelection_);
    clear();  // every item unregisters while the map is alive
}

quint64 CFileTreeCtrl::Register(CFileTreeItem* item) {
    const quint64 id = nextId_++;
    items_.insert(id, item);
    return id;
}

void CFileTreeCtrl::Unregister(quint64 id) { items_.remove(id); }

QTreeWidgetItem* CFileTreeCtrl::Live(quint64 id) const {
    if (!id) return nullptr;
    return items_.value(id, nullptr);
}

CFileTreeItem* CFileTreeCtrl::TreeItem(HTREEITEM item) const {
    if (!item || item->type() != CFileTreeItem::Type) return nullptr;
    return static_cast<CFileTreeItem*>(item);
}

CFileTreeCtrlItemInfo* CFileTreeCtrl::ItemInfo(HTREEITEM item) const {
    CFileTreeItem* t = TreeItem(item);
    return t ? &t->info : nullptr;
}

int CFileTreeCtrl::ChildrenCount(HTREEITEM item) const {
    CFileTreeItem* t = TreeItem(item);
    return t ? t->childrenCount() : (item ? 1 : 0);
}

void CFileTreeCtrl::SetChildrenCount(HTREEITEM item, int count) {
    if (CFileTreeItem* t = TreeItem(item)) t->setChildrenCount(count);
}

QTreeWidgetItem* CFileTreeCtrl::RootItem() const {
    if (showDesktop_) return Live(rootId_);
    return invisibleRootItem();
}

// ---------------------------------------------------------------- options

void CFileTreeCtrl::SetShowFiles(bool on) {
    showFiles_ = on;
    Refresh();
}

void CFileTreeCtrl::SetFileHideAttributes(uint32_t bits) {
    fileHideAttributes_ = bits;
    Refresh();
}

void CFileTreeCtrl::AttachSystemImageList() {
    iconsAttached_ = true;
    Refresh();
}

QIcon CFileTreeCtrl::IconFor(const QString& path, bool isDir, bool open) const {
    if (!iconsAttached_) return {};
    return CSystemImageList::Instance().PathIcon(path, isDir, open);
}

// ---------------------------------------------------------------- path tests

uint32_t CFileTreeCtrl::ReadAttributes(const QString& path) {
    const QByteArray enc = QFile::encodeName(path);
    struct stat st {};
    if (stat(enc.constData(), &st) != 0) return 0;
    uint32_t a = StatxAttributes(AT_FDCWD, enc.constData());
    if (S_ISDIR(st.st_mode)) a |= AttrDirectory;
    if (QFileInfo(path).fileName().startsWith(QLatin1Char('.'))) a |= AttrHidden;
    return a;
}

bool CFileTreeCtrl::IsFile(const QString& path) const {
    if (path.isEmpty()) return false;
    struct stat st {};
    return stat(QFile::encodeName(path).constData(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool CFileTreeCtrl::IsFolder(const QString& path) const {
    if (path.isEmpty()) return false;
    struct stat st {};
    return stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CFileTreeCtrl::IsDrive(const QString& path) const { return drives_->Find(StripTrailingSlash(path)) != nullptr; }

bool CFileTreeCtrl::IsRemovableOrCd(const QString& path) const { return drives_->IsRemovableOrCd(path); }

bool CFileTreeCtrl::IsCompressed(const QString& path) const {
    return !path.isEmpty() && !IsDrive(path) && (ReadAttributes(path) & AttrCompressed);
}

bool CFileTreeCtrl::IsEncrypted(const QString& path) const {
    return !path.isEmpty() && !IsDrive(path) && (ReadAttributes(path) & AttrEncrypted);
}

bool CFileTreeCtrl::IsCompressed(HTREEITEM item) const { return IsCompressed(ItemToPath(item)); }
bool CFileTreeCtrl::IsEncrypted(HTREEITEM item) const { return IsEncrypted(ItemToPath(item)); }

QString CFileTreeCtrl::ItemToPath(HTREEITEM item) const {
    const CFileTreeCtrlItemInfo* i = ItemInfo(item);
    return i ? i->path : QString();
}

bool CFileTreeCtrl::IsFileItem(HTREEITEM item) const {
    const CFileTreeCtrlItemInfo* i = ItemInfo(item);
    return i && i->type == TreeItemKind::File;
}

bool CFileTreeCtrl::IsFolderItem(HTREEITEM item) const {
    const CFileTreeCtrlItemInfo* i = ItemInfo(item);
    return i && i->type == TreeItemKind::Folder;
}

bool CFileTreeCtrl::IsDriveItem(HTREEITEM item) const {
    const CFileTreeCtrlItemInfo* i = ItemInfo(item);
    return i && i->type == TreeItemKind::Drive;
}

bool CFileTreeCtrl::IsSpecial(HTREEITEM item) const {
    const CFileTreeItem* t = TreeItem(item);
    if (!t) return true;  // the tree's own root
    const quint64 id = t->id();
    return id == rootId_ || id == desktopId_ || id == documentsId_ || id == profileId_ || id == computerId_ ||
           id == networkId_;
}

bool CFileTreeCtrl::MatchesMask(const QByteArray& name, const QByteArray& mask) const {
    // "*.*" means every file, with or without a dot in its name, as users of masks expect.
    if (mask == "*.*" || mask == "*") return true;
    return fnmatch(mask.constData(), name.constData(), FNM_CASEFOLD) == 0;
}

bool CFileTreeCtrl::IsListedFolder(const QString&, uint32_t attrs) const {
    return (attrs & AttrDirectory) && !(attrs & folderHideAttributes_);
}

bool CFileTreeCtrl::IsListedFile(const QString&, uint32_t attrs) const {
    return showFiles_ && !(attrs & AttrDirectory) && !(attrs & fileHideAttributes_);
}

bool CFileTreeCtrl::HasSubItems(const QString& path) const {
    if (IsRemovableOrCd(path)) return true;  // the media is not touched
    const bool needStatx =
        ((folderHideAttributes_ | (showFiles_ ? fileHideAttributes_ : 0)) & (AttrCompressed | AttrEncrypted)) != 0;
    QList<QByteArray> masks;
    for (const QString& m : fileMasks_) masks.push_back(QFile::encodeName(m));
    bool found = false;
    // One pass serves both searches: a listed folder, or a listed file matching a mask.
    ForEachEntry(path, needStatx, [&](const DirEntry& e) {
        if (IsListedFolder(e.name, e.attrs)) {
            found = true;
        } else if (IsListedFile(e.name, e.attrs)) {
            for (const QByteArray& m : masks)
                if (MatchesMask(e.rawName, m)) {
                    found = true;
                    break;
                }
        }
        return !found;
    });
    return found;
}

// ---------------------------------------------------------------- items

void CFileTreeCtrl::ApplyColour(CFileTreeItem* item, uint32_t attrs) {
    // Selected items are painted with the highlight colours by the view itself.
    if (compressedColorOn_ && (attrs & AttrCompressed))
        item->setForeground(0, compressedColor_);
    else if (encryptedColorOn_ && (attrs & AttrEncrypted))
        item->setForeground(0, encryptedColor_);
}

CFileTreeItem* CFileTreeCtrl::MakeItem(CFileTreeCtrlItemInfo info, bool shared, const QIcon& icon,
                                       const QIcon& selectedIcon, bool checkChildren) {
    QString label;
    info.extensionHidden = false;
    if (info.type == TreeItemKind::Drive && shellDriveNames_) {
        const DriveInfo* d = drives_->Find(info.path);
        label = d ? d->displayName : info.name;
    } else if (info.type == TreeItemKind::File && fileLabelMode_ == 0) {
        const int dot = info.name.lastIndexOf(QLatin1Char('.'));
        label = dot > 0 ? info.name.left(dot) : info.name;
        info.extensionHidden = label != info.name;
    } else {
        // Mode 2 shows files as the desktop titles them: Linux file managers show the whole
        // name, so the title is the name and the extension stays visible.
        label = info.name;
    }
    info.shared = shared;
    const bool hasChildren = checkChildren ? HasSubItems(info.path) : true;
    auto* item = new CFileTreeItem(this, std::move(info));
    item->setText(0, label);
    item->setToolTip(0, item->info.path);
    QIcon normal = shared && !icon.isNull() ? CSystemImageList::Instance().SharedOverlay(icon) : icon;
    item->setIcon(0, normal);
    item->setData(0, Qt::UserRole + 1, selectedIcon);  // shown while selected
    item->setChildrenCount(hasChildren ? 1 : 0);
    return item;
}

QTreeWidgetItem* CFileTreeCtrl::InsertFileItem(HTREEITEM parent, CFileTreeCtrlItemInfo info, bool shared,
                                               const QIcon& icon, const QIcon& selectedIcon, bool checkChildren) {
    if (!parent) parent = invisibleRootItem();
    CFileTreeItem* item = MakeItem(std::move(info), shared, icon, selectedIcon, checkChildren);
    parent->addChild(item);
    return item;
}

void CFileTreeCtrl::DisplayRootItems() {
    QTreeWidgetItem* root = RootItem();
    if (!root) root = invisibleRootItem();
    auto& icons = CSystemImageList::Instance();
    auto add = [&](TreeItemKind kind, const QString& name, const QString& path, CSystemImageList::Special icon) {
        CFileTreeCtrlItemInfo info;
        info.type = kind;
        info.name = name;
        info.path = path;
        const QIcon ic = iconsAttached_ ? icons.SpecialFolderIcon(icon) : QIcon();
        return static_cast<CFileTreeItem*>(InsertFileItem(root, std::move(info), false, ic, ic, false));
    };
    if (showProfile_) {
        profilePath_ = StripTrailingSlash(QDir::homePath());
        // The profile item is labelled with the user's folder name, as the shell labels it.
        const QString label = QFileInfo(profilePath_).fileName();
        profileId_ = add(TreeItemKind::Profile, label, profilePath_, CSystemImageList::HomeIcon)->id();
    }
    if (showDocuments_) {
        documentsPath_ = StripTrailingSlash(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
        const QString label = QStandardPaths::displayName(QStandardPaths::DocumentsLocation);
        documentsId_ = add(TreeItemKind::Documents, label, documentsPath_, CSystemImageList::DocumentsIcon)->id();
    }
    if (showComputer_) {
        computerId_ = add(TreeItemKind::Computer, tr("Computer"), QString(), CSystemImageList::ComputerIcon)->id();
    } else {
        DisplayDrives(root, false);
    }
    if (showNetwork_) {
        CFileTreeItem* n = add(TreeItemKind::Network, tr("Network"), QString(), CSystemImageList::NetworkIcon);
        networkId_ = n->id();
    }
}

void CFileTreeCtrl::DisplayDrives(HTREEITEM parent, bool freeze) {
    WaitCursor wait;
    PaintFreeze pf(this, freeze);
    if (!parent) parent = invisibleRootItem();
    drives_->Refresh();
    QList<QTreeWidgetItem*> made;
    for (const DriveInfo& d : drives_->Drives()) {
        if (d.kind & driveHideMask_) continue;
        CFileTreeCtrlItemInfo info;
        info.type = TreeItemKind::Drive;
        info.path = d.rootPath;
        info.name = d.rootPath;
        const bool shared = shareOverlay_ && shares_->IsShared(d.rootPath);
        const QIcon ic = iconsAttached_ ? CSystemImageList::Instance().DriveIcon(d.kind) : QIcon();
        made.push_back(MakeItem(std::move(info), shared, ic, ic, true));
    }
    parent->addChildren(made);
}

void CFileTreeCtrl::DisplayPath(const QString& pathIn, HTREEITEM parent, bool freeze, bool deleteOld) {
    WaitCursor wait;
    PaintFreeze pf(this, freeze);
    if (!parent) parent = invisibleRootItem();
    const QString path = StripTrailingSlash(pathIn);
    if (deleteOld) {
        FlagGuard g(ignoreSelection_);
        qDeleteAll(parent->takeChildren());
    }

    struct Found {
        QString name;
        bool isDir;
        uint32_t attrs;
    };
    QList<Found> found;
    QList<QByteArray> masks;
    for (const QString& m : fileMasks_) masks.push_back(QFile::encodeName(m));
    const bool needStatx = compressedColorOn_ || encryptedColorOn_ ||
                           ((folderHideAttributes_ | fileHideAttributes_) & (AttrCompressed | AttrEncrypted));
    ForEachEntry(path, needStatx, [&](const DirEntry& e) {
        if (IsListedFolder(e.name, e.attrs)) {
            found.push_back({e.name, true, e.attrs});
        } else if (IsListedFile(e.name, e.attrs)) {
            // A file that matches several masks is listed once.
            for (const QByteArray& m : masks)
                if (MatchesMask(e.rawName, m)) {
                    found.push_back({e.name, false, e.attrs});
                    break;
                }
        }
        return true;
    });

    QList<CFileTreeItem*> made;
    made.reserve(found.size());
    for (const Found& f : found) {
        CFileTreeCtrlItemInfo info;
        info.type = f.isDir ? TreeItemKind::Folder : TreeItemKind::File;
        info.path = JoinPath(path, f.name);
        info.name = f.name;
        const bool shared = f.isDir && shareOverlay_ && shares_->IsShared(info.path);
        const QIcon ic = IconFor(info.path, f.isDir, false);
        const QIcon sel = IconFor(info.path, f.isDir, true);
        // Files have nothing below them.
        CFileTreeItem* item = MakeItem(std::move(info), shared, ic, sel, f.isDir);
        if (!f.isDir) item->setChildrenCount(0);
        ApplyColour(item, f.attrs);
        made.push_back(item);
    }
    std::sort(made.begin(), made.end(),
              [](const CFileTreeItem* a, const CFileTreeItem* b) { return SortsBefore(a->info, b->info); });

    // Items already there (the special items below the Desktop) stay in front when they sort
    // first anyway; otherwise the whole level is put in order again.
    int maxExistingRank = -1;
    for (int i = 0; i < parent->childCount(); ++i)
        if (const CFileTreeCtrlItemInfo* inf = ItemInfo(parent->child(i)))
            maxExistingRank = std::max(maxExistingRank, KindRank(inf->type));
    const int minNewRank = made.isEmpty() ? 99 : KindRank(made.front()->info.type);
    QList<QTreeWidgetItem*> toAdd(made.begin(), made.end());
    if (parent->childCount() > 0 && maxExistingRank > minNewRank) {
        QTreeWidgetItem* current = currentItem();
        FlagGuard g(ignoreSelection_);
        QList<QTreeWidgetItem*> all = parent->takeChildren();
        all += toAdd;
        std::stable_sort(all.begin(), all.end(), [this](QTreeWidgetItem* a, QTreeWidgetItem* b) {
            const CFileTreeCtrlItemInfo* ia = ItemInfo(a);
            const CFileTreeCtrlItemInfo* ib = ItemInfo(b);
            return ia && ib && SortsBefore(*ia, *ib);
        });
        parent->addChildren(all);
        if (current && currentItem() != current) setCurrentItem(current);
    } else {
        parent->addChildren(toAdd);
    }

    if (found.isEmpty() && parent->childCount() == 0 && parent != RootItem()) SetChildrenCount(parent, 0);
}

bool CFileTreeCtrl::EnumNetwork(HTREEITEM item) {
    CFileTreeCtrlItemInfo* info = ItemInfo(item);
    if (!info) return false;
    CNetworkEnumerator net(*drives_, *shares_);
    QList<NetResource> resources;
    drives_->Refresh();
    if (!net.Enumerate(info->netResource ? &*info->netResource : nullptr, networkResourceType_, &resources))
        return false;
    auto& icons = CSystemImageList::Instance();
    for (const NetResource& r : resources) {
        const QString text = r.remoteName.isEmpty() ? r.comment : r.remoteName;
        CFileTreeCtrlItemInfo ni;
        ni.type = TreeItemKind::Network;
        ni.netResource = r;
        ni.name = text.startsWith(QLatin1String("//")) ? text.mid(2) : text;
        if (r.displayType == NetResource::Share) {
            // A share is a folder here: its path is where it is mounted (or the shared folder).
            const int slash = ni.name.indexOf(QLatin1Char('/'));
            if (slash >= 0) ni.name = ni.name.mid(slash + 1);
            ni.path = r.localName;
            const QIcon ic = IconFor(ni.path, true, false);
            InsertFileItem(item, std::move(ni), false, ic, IconFor(r.localName, true, true), true);
        } else if (r.displayType == NetResource::Server) {
            const QIcon ic = iconsAttached_ ? icons.SpecialFolderIcon(CSystemImageList::ServerIcon) : QIcon();
            InsertFileItem(item, std::move(ni), false, ic, ic, false);
        } else {
            const QIcon ic = iconsAttached_ ? icons.SpecialFolderIcon(CSystemImageList::NetworkIcon) : QIcon();
            InsertFileItem(item, std::move(ni), false, ic, ic, false);
        }
    }
    // Nothing found: no expand button promising more.
    if (resources.isEmpty()) SetChildrenCount(item, 0);
    return true;
}

// ---------------------------------------------------------------- expansion

void CFileTreeCtrl::RemoveVanished(HTREEITEM item) {
    QTreeWidgetItem* parent = item->parent() ? item->parent() : invisibleRootItem();
    {
        FlagGuard g(removingVanished_);
        delete item;
    }
    // The parent loses its button only when nothing is left below it.
    if (parent->childCount() == 0) SetChildrenCount(parent, 0);
}

bool CFileTreeCtrl::FillItem(HTREEITEM item) {
    if (!item) return false;
    if (ChildrenCount(item) == 0 || item->childCount() > 0) return true;
    CFileTreeCtrlItemInfo* info = ItemInfo(item);
    if (item == RootItem()) {
        DisplayRootItems();
        if (!desktopPath_.isEmpty()) DisplayPath(desktopPath_, item, false, false);
        return true;
    }
    if (!info) return true;
    if (info->type == TreeItemKind::Computer) {
        WaitCursor wait;
        DisplayDrives(item, false);
        if (item->childCount() == 0) SetChildrenCount(item, 0);
        return true;
    }
    if (info->type == TreeItemKind::Network && (!info->netResource || !IsFolder(info->path))) {
        WaitCursor wait;
        EnumNetwork(item);
        return true;
    }
    if (info->path.isEmpty()) return true;
    if (IsRemovableOrCd(info->path) && !drives_->HasMedia(info->path)) {
        CollapseItem(item, true);
        SetChildrenCount(item, 0);
        return true;
    }
    if (IsFolder(info->path)) {
        DisplayPath(info->path, item, true, true);
        return true;
    }
    RemoveVanished(item);
    return false;
}

bool CFileTreeCtrl::ExpandItem(HTREEITEM item) {
    if (!item) return false;
    CFileTreeItem* t = TreeItem(item);
    const quint64 id = t ? t->id() : 0;
    {
        FlagGuard g(internalCollapse_);  // the fill may collapse an empty drive itself
        if (!FillItem(item)) return false;
    }
    if (id && !Live(id)) return false;
    if (ChildrenCount(item) != 0 && item != invisibleRootItem()) item->setExpanded(true);
    return true;
}

void CFileTreeCtrl::CollapseItem(HTREEITEM item, bool reset) {
    if (!item || item == invisibleRootItem()) return;
    {
        FlagGuard g(internalCollapse_);
        item->setExpanded(false);
    }
    if (!reset || item == RootItem()) return;
    // The selection moves up to the collapsed item before its children go.
    for (QTreeWidgetItem* c = currentItem(); c; c = c->parent())
        if (c->parent() == item) {
            setCurrentItem(item);
            break;
        }
    const int count = ChildrenCount(item);
    {
        FlagGuard g(ignoreSelection_);
        qDeleteAll(item->takeChildren());
    }
    // Network servers keep their button as well: they are enumerated again on expansion.
    SetChildrenCount(item, count);
}

void CFileTreeCtrl::OnItemExpanded(QTreeWidgetItem* item) {
    if (internalCollapse_) return;
    FlagGuard g(internalCollapse_);
    CFileTreeCtrlItemInfo* info = ItemInfo(item);
    if (info && ChildrenCount(item) != 0 && item->childCount() == 0 && !IsSpecial(item) && !info->netResource &&
        !info->path.isEmpty() && !QFileInfo::exists(info->path)) {
        // The view is in the middle of its own key or mouse handling and still holds this
        // item's index: the vanished folder is removed once that handling is over.
        const quint64 id = TreeItem(item)->id();
        QMetaObject::invokeMethod(
            this,
            [this, id] {
                if (QTreeWidgetItem* gone = Live(id)) RemoveVanished(gone);
            },
            Qt::QueuedConnection);
        return;
    }
    FillItem(item);
}

void CFileTreeCtrl::OnItemCollapsed(QTreeWidgetItem* item) {
    if (internalCollapse_) return;
    WaitCursor wait;
    // The Desktop item holds the special items, whose handles must stay valid: it folds
    // away without dropping them.
    CollapseItem(item, item != RootItem());
}

// ---------------------------------------------------------------- selection and history

void CFileTreeCtrl::SelectItem(HTREEITEM item) {
    if (!item) return;
    // Selecting a folder that has vanished removes it, so the id is taken first.
    CFileTreeItem* t = TreeItem(item);
    const quint64 id = t ? t->id() : 0;
    setCurrentItem(item);
    if (id && Live(id) == item) scrollToItem(item);
}

QString CFileTreeCtrl::GetSelectedPath() const { return ItemToPath(currentItem()); }

CFileTreeCtrl::HistoryEntry CFileTreeCtrl::EntryFor(HTREEITEM item) const {
    HistoryEntry e;
    if (CFileTreeItem* t = TreeItem(item)) {
        e.id = t->id();
        e.path = t->info.path;
        e.kind = t->info.type;
    }
    return e;
}

void CFileTreeCtrl::OnCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous) {
    if (ignoreSelection_) return;
    // Show the open-state icon on the selected item only.
    if (previous && Live(EntryFor(previous).id)) {
        const QVariant normal = previous->data(0, Qt::UserRole + 2);
        if (normal.isValid()) {
            previous->setIcon(0, normal.value<QIcon>());
            previous->setData(0, Qt::UserRole + 2, QVariant());
        }
    }
    const int reportsBefore = selectionReports_;
    if (current) {
        CFileTreeCtrlItemInfo* info = ItemInfo(current);
        if (info && !IsSpecial(current) && !info->netResource && info->type != TreeItemKind::Drive &&
            !info->path.isEmpty() && !QFileInfo::exists(info->path)) {
            RemoveVanished(current);  // selects a neighbour, which reports itself
            if (selectionReports_ == reportsBefore) {
                ++selectionReports_;
                emit selectionChanged(currentItem());
            }
            return;
        }
        if (previous && !navigating_ && !removingVanished_ && TreeItem(previous)) {
            // One entry goes per step: the list holds at most the limit plus the new entry.
            if (back_.size() > historyLimit_) back_.removeFirst();
            back_.push_back(EntryFor(previous));
        }
        const QVariant sel = current->data(0, Qt::UserRole + 1);
        if (sel.isValid() && !sel.value<QIcon>().isNull()) {
            current->setData(0, Qt::UserRole + 2, current->icon(0));
            current->setIcon(0, sel.value<QIcon>());
        }
    }
    ++selectionReports_;
    // The folders a walk selects on its way are not the user's choice: only where it ends is
    // told (each told selection starts a load).
    if (walking_) {
        walkChanged_ = true;
        return;
    }
    emit selectionChanged(current);
}

QList<QTreeWidgetItem*> CFileTreeCtrl::BackItems() const {
    QList<QTreeWidgetItem*> out;
    for (const HistoryEntry& e : back_)
        if (QTreeWidgetItem* i = Live(e.id)) out.push_back(i);
    return out;
}

QList<QTreeWidgetItem*> CFileTreeCtrl::ForwardItems() const {
    QList<QTreeWidgetItem*> out;
    for (const HistoryEntry& e : forward_)
        if (QTreeWidgetItem* i = Live(e.id)) out.push_back(i);
    return out;
}

QTreeWidgetItem* CFileTreeCtrl::Resolve(const HistoryEntry& e) {
    if (QTreeWidgetItem* i = Live(e.id)) return i;
    // The item is gone (a refresh, a vanished folder): find its successor by kind or path.
    switch (e.kind) {
    case TreeItemKind::Desktop: return DesktopItem();
    case TreeItemKind::Computer: return ComputerItem();
    case TreeItemKind::Profile: return ProfileItem();
    case TreeItemKind::Documents: return DocumentsItem();
    default: break;
    }
    if (e.path.isEmpty() || !QFileInfo::exists(e.path)) return nullptr;
    return SetSelectedPath(e.path, false);
}

bool CFileTreeCtrl::Navigate(QList<HistoryEntry>& from, QList<HistoryEntry>& to) {
    const HistoryEntry s = EntryFor(currentItem());
    FlagGuard g(navigating_);
    while (!from.isEmpty()) {
        const HistoryEntry b = from.takeLast();
        QTreeWidgetItem* item = Resolve(b);
        if (!item) continue;  // gone for good: skip to the next older entry
        SelectItem(item);
        if (s.id) to.push_back(s);
        return true;
    }
    return false;
}

bool CFileTreeCtrl::GoBack() { return Navigate(back_, forward_); }
bool CFileTreeCtrl::GoForward() { return Navigate(forward_, back_); }

bool CFileTreeCtrl::GoUp() {
    QTreeWidgetItem* cur = currentItem();
    if (!cur || !cur->parent()) return false;
    SelectItem(cur->parent());
    return true;
}

QTreeWidgetItem* CFileTreeCtrl::FindChildByName(HTREEITEM item, const QString& name) const {
    if (!item) return nullptr;
    // Names compare exactly, as the file system compares them: folders may differ only in case.
    for (int i = 0; i < item->childCount(); ++i) {
        QTreeWidgetItem* c = item->child(i);
        const CFileTreeCtrlItemInfo* info = ItemInfo(c);
        if (info && info->name == name) return c;
    }
    return nullptr;
}

QTreeWidgetItem* CFileTreeCtrl::SetSelectedPath(const QString& pathIn, bool expand) {
    if (pathIn.isEmpty()) return nullptr;
    // Selections on the way are told once, for the folder the walk ends on (found or not).
    struct WalkGuard {
        CFileTreeCtrl* tree;
        explicit WalkGuard(CFileTreeCtrl* t) : tree(t) {
            if (tree->walking_++ == 0) tree->walkChanged_ = false;
        }
        ~WalkGuard() {
            if (--tree->walking_ == 0 && tree->walkChanged_) {
                tree->walkChanged_ = false;
                emit tree->selectionChanged(tree->currentItem());
            }
        }
    } walkGuard(this);
    const bool unc = pathIn.startsWith(QLatin1String("//"));
    QString path = unc ? QStringLiteral("//") + QDir::cleanPath(pathIn.mid(2)) : QDir::cleanPath(pathIn);
    path = StripTrailingSlash(path);
    PaintFreeze pf(this, true);

    // Each step keeps the item's id, so an item that vanished on the way is noticed.
    auto enter = [this](QTreeWidgetItem* item) { return ExpandItem(item); };
    auto idOf = [this](QTreeWidgetItem* item) -> quint64 {
        CFileTreeItem* t = TreeItem(item);
        return t ? t->id() : 0;
    };
    // Selects the item; false when the selection found it gone and removed it.
    auto select = [&](QTreeWidgetItem* item) {
        const quint64 id = idOf(item);
        SelectItem(item);
        return id && Live(id) == item;
    };

    QTreeWidgetItem* start = nullptr;
    QStringList parts;
    if (showNetwork_ && unc && NetworkItem()) {
        QTreeWidgetItem* net = NetworkItem();
        if (!enter(net)) return nullptr;
        // The first item, depth first, with a server among its children.
        std::function<QTreeWidgetItem*(QTreeWidgetItem*)> find = [&](QTreeWidgetItem* it) -> QTreeWidgetItem* {
            for (int i = 0; i < it->childCount(); ++i) {
                const CFileTreeCtrlItemInfo* ci = ItemInfo(it->child(i));
                if (ci && ci->netResource && ci->netResource->displayType == NetResource::Server) return it;
            }
            for (int i = 0; i < it->childCount(); ++i)
                if (QTreeWidgetItem* r = find(it->child(i))) return r;
            return nullptr;
        };
        start = find(net);
        if (!start) return nullptr;
        parts = path.mid(2).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    } else if (DesktopItem() && PathIsUnderExactly(path, desktopPath_)) {
        start = DesktopItem();
        if (!enter(start)) return nullptr;
        parts = path.mid(desktopPath_.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
        if (parts.isEmpty()) CollapseItem(start, false);
    } else if (ProfileItem() && PathIsUnderExactly(path, profilePath_)) {
        start = ProfileItem();
        if (!enter(start)) return nullptr;
        parts = path.mid(profilePath_.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    } else if (DocumentsItem() && PathIsUnderExactly(path, documentsPath_)) {
        start = DocumentsItem();
        if (!enter(start)) return nullptr;
        parts = path.mid(documentsPath_.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    } else {
        start = showComputer_ ? ComputerItem() : RootItem();
        if (!start) return nullptr;
        if (start != invisibleRootItem() && !enter(start)) return nullptr;
        // The first component is the listed volume with the longest mount point holding the path.
        QTreeWidgetItem* vol = nullptr;
        for (int i = 0; i < start->childCount(); ++i) {
            const CFileTreeCtrlItemInfo* ci = ItemInfo(start->child(i));
            if (ci && ci->type == TreeItemKind::Drive && PathIsUnder(path, ci->path) &&
                (!vol || ci->path.size() > ItemInfo(vol)->path.size()))
                vol = start->child(i);
        }
        if (!vol) return nullptr;
        const QString root = ItemInfo(vol)->path;
        parts = path.mid(root.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
        parts.prepend(root);
    }

    if (parts.isEmpty()) {
        if (!select(start)) return nullptr;
        if (expand) enter(start);
        return start;
    }
    QTreeWidgetItem* cur = start;
    for (int i = 0; i < parts.size(); ++i) {
        QTreeWidgetItem* child = FindChildByName(cur, parts[i]);
        // A component that cannot be found ends the walk: the selection stays on the last
        // folder reached, and the caller learns that the path was not found.
        if (!child) return nullptr;
        if (!select(child)) return nullptr;
        const bool last = i == parts.size() - 1;
        if (!last || expand) {
            if (!enter(child)) return nullptr;
        }
        cur = child;
    }
    scrollToItem(cur);
    return cur;
}

void CFileTreeCtrl::Refresh() {
    WaitCursor wait;
    PaintFreeze pf(this, true);
    QTreeWidgetItem* sel = currentItem();
    const HistoryEntry selected = EntryFor(sel);
    const bool wasExpanded = sel && sel->isExpanded();

    shares_->Refresh();
    {
        FlagGuard g(ignoreSelection_);
        clear();
    }
    rootId_ = desktopId_ = documentsId_ = profileId_ = computerId_ = networkId_ = 0;
    desktopPath_.clear();
    documentsPath_.clear();
    profilePath_.clear();

    if (showDesktop_) {
        const QString desk = StripTrailingSlash(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation));
        if (IsFolder(desk)) desktopPath_ = desk;
        CFileTreeCtrlItemInfo info;
        info.type = TreeItemKind::Desktop;
        info.name = QStandardPaths::displayName(QStandardPaths::DesktopLocation);
        info.path = desktopPath_;
        const QIcon ic =
            iconsAttached_ ? CSystemImageList::Instance().SpecialFolderIcon(CSystemImageList::DesktopIcon) : QIcon();
        FlagGuard g(ignoreSelection_);
        QTreeWidgetItem* d = InsertFileItem(invisibleRootItem(), std::move(info), false, ic, ic, false);
        rootId_ = desktopId_ = TreeItem(d)->id();
    }
    {
        FlagGuard g(ignoreSelection_);
        DisplayRootItems();
        if (!desktopPath_.isEmpty()) DisplayPath(desktopPath_, RootItem(), false, false);
        if (QTreeWidgetItem* d = DesktopItem()) {
            FlagGuard c(internalCollapse_);
            d->setExpanded(true);
        }
    }

    if (selected.id) {
        // Special items come back as themselves; everything else by its path. The walk back
        // is no navigation of the user's, so it leaves the history as it was.
        FlagGuard nav(navigating_);
        QTreeWidgetItem* again = nullptr;
        switch (selected.kind) {
        case TreeItemKind::Desktop: again = DesktopItem(); break;
        case TreeItemKind::Computer: again = ComputerItem(); break;
        case TreeItemKind::Profile: again = ProfileItem(); break;
        case TreeItemKind::Documents: again = DocumentsItem(); break;
        case TreeItemKind::Network:
            if (selected.path.isEmpty()) again = NetworkItem();
            break;
        default: break;
        }
        if (again) {
            SelectItem(again);
            if (wasExpanded) ExpandItem(again);
        } else if (!selected.path.isEmpty()) {
            SetSelectedPath(selected.path, wasExpanded);
        }
    }
}

namespace {

// Kernel and device file systems: their "folders" are processes, counters and devices, some of
// them endless or blocking to read.
bool IsPseudoFileSystem(const QString& path) {
    for (const char* root : {"/proc", "/sys", "/dev"}) {
        const QString r = QString::fromLatin1(root);
        if (path == r || path.startsWith(r + QLatin1Char('/'))) return true;
    }
    struct statfs fs {};
    if (statfs(QFile::encodeName(path).constData(), &fs) != 0) return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x9fa0:      // proc
    case 0x62656572:  // sysfs
    case 0x1cd1:      // devpts
    case 0x27e0eb:    // cgroup
    case 0x63677270:  // cgroup2
    case 0x64626720:  // debugfs
    case 0x74726163:  // tracefs
    case 0x73636673:  // securityfs
    case 0xcafe4a11:  // bpf
    case 0x6e736673:  // nsfs
    case 0x65735546:  // fuse control
        return true;
    default:
        return false;
    }
}

}  // namespace

// One ExpandAll: the folders it has entered, and whether the user stopped it with Esc (seen by
// an application-wide filter while the walk lets events through now and then).
struct CFileTreeCtrl::ExpandWalk : QObject {
    std::set<std::pair<dev_t, ino_t>> visited;
    bool stopped = false;
    QElapsedTimer sinceEvents;
    bool eventFilter(QObject*, QEvent* e) override {
        switch (e->type()) {
        case QEvent::KeyPress:
            if (static_cast<QKeyEvent*>(e)->key() == Qt::Key_Escape) stopped = true;
            return true;
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
            return true;  // nothing else may act on the tree while it is being walked
        default:
            return false;
        }
    }
};

void CFileTreeCtrl::ExpandAll(HTREEITEM item, ExpandAction action) {
    if (!item || ChildrenCount(item) == 0) return;
    if (action == Collapse) {
        CollapseItem(item, true);
        return;
    }
    if (expandWalk_) return;  // one walk at a time
    ExpandWalk walk;
    qApp->installEventFilter(&walk);
    expandWalk_ = &walk;
    ExpandAllFrom(item, walk);
    expandWalk_ = nullptr;
    qApp->removeEventFilter(&walk);
}

void CFileTreeCtrl::ExpandAllFrom(HTREEITEM item, ExpandWalk& walk) {
    // Esc reaches the walk's filter only while events are let through: at the start, then every
    // 50 ms.
    if (!walk.sinceEvents.isValid() || walk.sinceEvents.elapsed() >= 50) {
        QCoreApplication::processEvents();
        walk.sinceEvents.start();
    }
    if (walk.stopped || !item || ChildrenCount(item) == 0) return;
    CFileTreeItem* t = TreeItem(item);
    const quint64 id = t ? t->id() : 0;
    const bool folder = t && t->info.type != TreeItemKind::Desktop && t->info.type != TreeItemKind::Computer &&
                        !t->info.path.isEmpty();
    if (folder && IsPseudoFileSystem(t->info.path)) return;
    if (!ExpandItem(item) || (id && !Live(id))) return;
    // A linked folder is opened but not walked: links may lead back up the tree.
    if (t && (t->info.type == TreeItemKind::Folder) && QFileInfo(t->info.path).isSymLink()) return;
    // Nor is a folder met before by another way (a bind mount of a folder above, say).
    struct stat st {};
    if (folder && stat(QFile::encodeName(t->info.path).constData(), &st) == 0 &&
        !walk.visited.insert({st.st_dev, st.st_ino}).second)
        return;
    QList<quint64> children;
    for (int i = 0; i < item->childCount(); ++i)
        if (CFileTreeItem* c = TreeItem(item->child(i))) children.push_back(c->id());
    for (quint64 cid : children) {
        if (walk.stopped) return;
        if (QTreeWidgetItem* c = Live(cid)) ExpandAllFrom(c, walk);
    }
}

// ---------------------------------------------------------------- operations

bool CFileTreeCtrl::OpenItem(HTREEITEM item) {
    if (!allowOpen_ || !item) return false;
    const QString path = ItemToPath(item);
    if (path.isEmpty()) return false;
    return OpenWithDesktop(path, window());
}

// ---------------------------------------------------------------- file operations

// rename(2) would silently replace an empty folder or a file of the new name; this never replaces.
int CFileTreeCtrl::RenameNoReplace(const QString& from, const QString& to) {
    const QByteArray f = QFile::encodeName(from), t = QFile::encodeName(to);
    if (renameat2(AT_FDCWD, f.constData(), AT_FDCWD, t.constData(), RENAME_NOREPLACE) == 0) return 0;
    int err = errno;
    struct stat a {}, b {};
    if (err == EINVAL || err == ENOSYS) {
        // A file system without the flag: look first, then rename.
        if (lstat(t.constData(), &b) == 0) return EEXIST;
        return ::rename(f.constData(), t.constData()) == 0 ? 0 : errno;
    }
    if (err == EEXIST && lstat(f.constData(), &a) == 0 && lstat(t.constData(), &b) == 0 && a.st_dev == b.st_dev &&
        a.st_ino == b.st_ino) {
        // Only the case of the name changes on a file system that ignores case.
        return ::rename(f.constData(), t.constData()) == 0 ? 0 : errno;
    }
    return err;
}


namespace {

// A trashed item lies in "<trash>/files", the trash being "Trash" of the data folder or
// ".Trash-<uid>" / ".Trash/<uid>" at the top of a volume.
bool IsInTrash(const QString& pathInTrash) {
    if (pathInTrash.isEmpty() || !QDir::isAbsolutePath(pathInTrash)) return false;
    const QDir files = QFileInfo(pathInTrash).dir();
    if (files.dirName() != QLatin1String("files")) return false;
    QDir trash = files;
    trash.cdUp();
    const QString name = trash.dirName();
    if (name == QLatin1String("Trash") || name.startsWith(QLatin1String(".Trash-"))) return true;
    QDir up = trash;
    return up.cdUp() && up.dirName() == QLatin1String(".Trash");
}

bool PathTaken(const QString& path) {
    struct stat st {};
    return lstat(QFile::encodeName(path).constData(), &st) == 0;  // a dangling link takes the name too
}

QString BoxTitle() { return QString::fromLatin1(kProductName); }

}  // namespace

QString CFileTreeCtrl::FileErrorText(int error, const QString& path) {
    const QString p = QDir::toNativeSeparators(path);
    switch (error) {
    case ENOENT: return tr("%1 was not found.").arg(p);
    case ENOTDIR:
    case EINVAL:
    case ENAMETOOLONG:
    case ELOOP: return tr("%1 contains an incorrect path.").arg(p);
    case EACCES:
    case EPERM:
    case EROFS: return tr("Access to %1 was denied.").arg(p);
    case EBUSY:
    case ETXTBSY: return tr("Encountered a sharing violation while accessing %1.").arg(p);
    case EEXIST:
    case ENOTEMPTY: return tr("%1 already exists.").arg(p);
    case ENOSPC:
    case EDQUOT: return tr("Disk full while accessing %1.").arg(p);
    default: return tr("An unknown error occurred while accessing %1.").arg(p);
    }
}

void CFileTreeCtrl::ShowFileError(const QString& text, bool queued) {
    QPointer<QWidget> owner = window();
    auto show = [owner, text] { QMessageBox::critical(owner, BoxTitle(), text); };
    // The end of a label edit is inside the view's editor handling: the box waits for it.
    if (queued)
        QMetaObject::invokeMethod(this, show, Qt::QueuedConnection);
    else
        show();
}

bool CFileTreeCtrl::ShowItemProperties(HTREEITEM item) {
    if (!allowProperties_ || !item) return false;
    const QString path = ItemToPath(item);
    if (path.isEmpty()) return false;
    // The desktop's file manager shows its own properties window when it offers the call.
    QDBusConnection bus = QDBusConnection::sessionBus();
    static const QString kService = QStringLiteral("org.freedesktop.FileManager1");
    if (bus.isConnected() && bus.interface() &&
        (bus.interface()->isServiceRegistered(kService).value() ||
         bus.interface()->activatableServiceNames().value().contains(kService))) {
        QDBusMessage call = QDBusMessage::createMethodCall(kService, QStringLiteral("/org/freedesktop/FileManager1"),
                                                           kService, QStringLiteral("ShowItemProperties"));
        call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
        const QDBusMessage reply = bus.call(call, QDBus::Block, 3000);
        if (reply.type() == QDBusMessage::ReplyMessage) return true;
    }
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink()) return false;
    // Modeless, as a shell property sheet is: the tree goes on working while it is open.
    auto* dlg = new CItemPropertiesDlg(path, window());
    dlg->setAttribute(Qt::WA_DeleteOnClose);
    dlg->show();
    return true;
}

bool CFileTreeCtrl::ConfirmPermanentDelete(const QString& path) {
    const bool isDir = QFileInfo(path).isDir() && !QFileInfo(path).isSymLink();
    QMessageBox box(QMessageBox::Warning, isDir ? tr("Delete Folder") : tr("Delete File"),
                    (isDir ? tr("Are you sure you want to permanently delete the folder \"%1\" and everything in it?")
                           : tr("Are you sure you want to permanently delete \"%1\"?"))
                        .arg(QFileInfo(path).fileName()),
                    QMessageBox::Yes | QMessageBox::No, window());
    box.setObjectName(QStringLiteral("confirmPermanentDelete"));
    // No is the default: Enter pressed out of habit must not destroy anything.
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

bool CFileTreeCtrl::DeleteItemFile(HTREEITEM item) {
    CFileTreeItem* t = TreeItem(item);
    if (!t || !allowDelete_) return false;
    if (t->info.type != TreeItemKind::File && t->info.type != TreeItemKind::Folder) return false;
    const QString path = t->info.path;
    const quint64 id = t->id();
    const bool shift =
        keyShift_ >= 0 ? keyShift_ != 0 : (QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier) != 0;

    if (shift) {
        if (!ConfirmPermanentDelete(path)) return false;  // the user's No: nothing changes
        const QFileInfo fi(path);
        bool ok;
        // A link is removed as a link; what it points to is not the user's choice here.
        if (fi.isDir() && !fi.isSymLink())
            ok = QDir(path).removeRecursively();
        else
            ok = QFile::remove(path);
        if (!ok) {
            ShowFileError(FileErrorText(PathTaken(path) ? EACCES : ENOENT, path), false);
            // Part of a folder may be gone: what is below the item is read again on expansion.
            if (QTreeWidgetItem* still = Live(id); still && PathTaken(path)) CollapseItem(still, true);
            return false;
        }
    } else {
        // Qt makes the trash below the data folder but not the data folder itself, and
        // without a trash there it "trashes" into the working folder: the folder is made
        // first, and a result outside a trash is taken back.
        QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
        QString inTrash;
        bool trashed = QFile::moveToTrash(path, &inTrash);
        if (trashed && !IsInTrash(inTrash)) {
            const QString where = QFileInfo(inTrash).absoluteFilePath();
            if (RenameNoReplace(where, path) == 0) {
                const QFileInfo stray(QFileInfo(where).absolutePath() + QStringLiteral("/../info/") +
                                      QFileInfo(where).fileName() + QStringLiteral(".trashinfo"));
                QFile::remove(stray.absoluteFilePath());
                QDir().rmdir(QFileInfo(where).absolutePath());  // only when empty
                QDir().rmdir(stray.absolutePath());
            }
            trashed = false;
        }
        if (!trashed) {
            ShowFileError(PathTaken(path) ? tr("%1 could not be moved to the trash.").arg(QDir::toNativeSeparators(path))
                                          : FileErrorText(ENOENT, path),
                          false);
            return false;
        }
    }

    // The box ran an event loop: the item may have gone meanwhile (a refresh).
    item = Live(id);
    if (!item) return true;
    QTreeWidgetItem* parent = item->parent();
    QTreeWidgetItem* next = nullptr;
    bool nextIsParent = false;
    if (parent) {
        const int index = parent->indexOfChild(item);
        if (index > 0)
            next = parent->child(index - 1);
        else if (index + 1 < parent->childCount())
            next = parent->child(index + 1);
        else {
            next = parent;
            nextIsParent = true;
        }
    } else {
        const int index = indexOfTopLevelItem(item);
        if (index > 0)
            next = topLevelItem(index - 1);
        else if (index + 1 < topLevelItemCount())
            next = topLevelItem(index + 1);
    }
    // The view would move the selection onto a neighbour of its own choosing; the deleted
    // item is gone for good, so it is no step of the history either.
    bool selectionInside = false;
    for (QTreeWidgetItem* c = currentItem(); c; c = c->parent())
        if (c == item) selectionInside = true;
    {
        FlagGuard g(ignoreSelection_);
        delete item;
        if (selectionInside) setCurrentItem(nullptr);
    }
    if (next) {
        if (nextIsParent) SetChildrenCount(next, 0);
        SelectItem(next);
    } else if (selectionInside) {
        ++selectionReports_;
        emit selectionChanged(nullptr);
    }
    return true;
}

bool CFileTreeCtrl::BeginRename(HTREEITEM item) {
    CFileTreeItem* t = TreeItem(item);
    if (!t || !allowRename_) return false;
    if (t->info.type != TreeItemKind::File && t->info.type != TreeItemKind::Folder) return false;
    if (state() == QAbstractItemView::EditingState) return false;
    t->setFlags(t->flags() | Qt::ItemIsEditable);
    scrollToItem(t);
    editItem(t, 0);
    editIndex_ = indexFromItem(t);
    return state() == QAbstractItemView::EditingState;
}

void CFileTreeCtrl::SetItemIcons(CFileTreeItem* item, bool isDir) {
    const QIcon normal = IconFor(item->info.path, isDir, false);
    const QIcon selected = IconFor(item->info.path, isDir, true);
    item->setData(0, Qt::UserRole + 1, selected);
    if (item->data(0, Qt::UserRole + 2).isValid()) {
        // Selected now: the open-state icon shows, the normal one waits.
        item->setData(0, Qt::UserRole + 2, normal);
        item->setIcon(0, selected.isNull() ? normal : selected);
    } else {
        item->setIcon(0, normal);
    }
}

void CFileTreeCtrl::RebasePaths(HTREEITEM item, const QString& oldPrefix, const QString& newPrefix) {
    auto rebase = [&](QString& p) {
        if (p == oldPrefix || p.startsWith(oldPrefix + QLatin1Char('/'))) p = newPrefix + p.mid(oldPrefix.size());
    };
    std::function<void(QTreeWidgetItem*)> walk = [&](QTreeWidgetItem* it) {
        for (int i = 0; i < it->childCount(); ++i) {
            if (CFileTreeItem* c = TreeItem(it->child(i))) {
                rebase(c->info.path);
                c->setToolTip(0, c->info.path);
            }
            walk(it->child(i));
        }
    };
    walk(item);
    for (HistoryEntry& e : back_) rebase(e.path);
    for (HistoryEntry& e : forward_) rebase(e.path);
}

void CFileTreeCtrl::EndLabelEdit(const QModelIndex& index, const QString& text) {
    CFileTreeItem* t = TreeItem(itemFromIndex(index));
    // An empty text is a cancelled edit, as the editor reports one.
    if (!t || text.isEmpty()) return;
    if (!allowRename_ || (t->info.type != TreeItemKind::File && t->info.type != TreeItemKind::Folder)) return;
    const QString oldPath = t->info.path;
    // The folder the item lives in, read from its own path: the parent item of a special
    // folder's child may carry another label, never another folder.
    QString parentPath = QFileInfo(oldPath).path();
    QString newName = text;
    if (t->info.extensionHidden) {
        const QString ext = QFileInfo(oldPath).suffix();
        if (!ext.isEmpty()) newName += QLatin1Char('.') + ext;
    }
    const QString newPath = JoinPath(parentPath, newName);
    if (newName == QLatin1String(".") || newName == QLatin1String("..") || newName.contains(QLatin1Char('/')) ||
        newName.contains(QChar(0))) {
        ShowFileError(FileErrorText(EINVAL, newPath), true);
        return;
    }
    if (newPath == oldPath) return;  // nothing to rename; the label is the same
    const int err = RenameNoReplace(oldPath, newPath);
    if (err != 0) {
        ShowFileError(err == EEXIST || err == ENOTEMPTY
                          ? tr("Cannot rename %1: a file or folder named \"%2\" already exists.")
                                .arg(QDir::toNativeSeparators(oldPath), newName)
                          : FileErrorText(err, oldPath),
                      true);
        return;
    }
    t->setText(0, text);
    t->info.path = newPath;
    t->info.name = newName;
    t->setToolTip(0, newPath);
    if (!t->info.extensionHidden) SetItemIcons(t, t->info.type == TreeItemKind::Folder);
    // What was read below the folder follows it to its new place.
    RebasePaths(t, oldPath, newPath);
}

QString CFileTreeCtrl::GetNewFolderName(const QString& folder) {
    QString base = folder;
    if (base.endsWith(QLatin1Char('/'))) base.chop(1);
    QString candidate = base + QStringLiteral("/New Folder");
    for (int n = 2; PathTaken(candidate) && n < std::numeric_limits<int>::max(); ++n)
        candidate = base + QStringLiteral("/New Folder (%1)").arg(n);
    return candidate;
}

QTreeWidgetItem* CFileTreeCtrl::CreateFolder(HTREEITEM item, const QString& pathIn) {
    CFileTreeItem* t = TreeItem(item);
    if (!t || !allowCreateFolder_) return nullptr;
    if (t->info.type == TreeItemKind::Network || t->info.path.isEmpty()) return nullptr;
    const quint64 id = t->id();
    const QString folder = t->info.path;
    QString path = pathIn.isEmpty() ? GetNewFolderName(folder) : pathIn;
    int err = 0;
    for (int attempt = 0;; ++attempt) {
        err = ::mkdir(QFile::encodeName(path).constData(), 0777) == 0 ? 0 : errno;
        // Someone else took the free name in the meantime: the next free one is taken.
        if (err == EEXIST && pathIn.isEmpty() && attempt < 8) {
            path = GetNewFolderName(folder);
            continue;
        }
        break;
    }
    if (err != 0) {
        ShowFileError(FileErrorText(err, path), false);
        return nullptr;
    }
    // File managers learn of the new folder through inotify: there is nothing to tell.
    const bool hadChildren = item->childCount() > 0;
    if (!ExpandItem(item) || Live(id) != item) return nullptr;
    // The expansion may have read the folder from disk already; it is not listed twice.
    const QString name = QFileInfo(path).fileName();
    QTreeWidgetItem* made = nullptr;
    for (int i = 0; i < item->childCount() && !made; ++i) {
        const CFileTreeCtrlItemInfo* ci = ItemInfo(item->child(i));
        if (ci && ci->path == path) made = item->child(i);
    }
    if (!made) {
        CFileTreeCtrlItemInfo info;
        info.type = TreeItemKind::Folder;
        info.path = path;
        info.name = name;
        CFileTreeItem* n = MakeItem(std::move(info), false, IconFor(path, true, false), IconFor(path, true, true), true);
        int at = 0;
        while (at < item->childCount()) {
            const CFileTreeCtrlItemInfo* ci = ItemInfo(item->child(at));
            if (ci && SortsBefore(n->info, *ci)) break;
            ++at;
        }
        item->insertChild(at, n);
        made = n;
    }
    if (!hadChildren) SetChildrenCount(item, 1);
    {
        FlagGuard g(internalCollapse_);
        item->setExpanded(true);
    }
    SelectItem(made);
    if (!items_.contains(TreeItem(made) ? TreeItem(made)->id() : 0)) return nullptr;
    BeginRename(made);
    return made;
}

// ---------------------------------------------------------------- keys and mouse

namespace {

// The keys the tree acts on itself, which the window's shortcuts must leave to it.
bool IsOwnKey(const QKeyEvent* e) {
    const Qt::KeyboardModifiers mods = e->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
    switch (e->key()) {
    case Qt::Key_Delete: return (mods & ~Qt::ShiftModifier) == Qt::NoModifier;  // Shift: for good
    case Qt::Key_Return:
    case Qt::Key_Enter: return mods == Qt::NoModifier || mods == Qt::AltModifier;
    case Qt::Key_F2:
    case Qt::Key_F5:
    case Qt::Key_Backspace: return mods == Qt::NoModifier;
    case Qt::Key_Left:
    case Qt::Key_Right: return mods == Qt::AltModifier;
    default: return false;
    }
}

}  // namespace

bool CFileTreeCtrl::event(QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride && state() != QAbstractItemView::EditingState &&
        IsOwnKey(static_cast<QKeyEvent*>(event))) {
        event->accept();
        return true;
    }
    return QTreeWidget::event(event);
}

void CFileTreeCtrl::changeEvent(QEvent* event) {
    QTreeWidget::changeEvent(event);
    if (event->type() == QEvent::EnabledChange && isEnabled() && state() == QAbstractItemView::EditingState &&
        editIndex_.isValid()) {
        if (QWidget* editor = indexWidget(editIndex_)) editor->setFocus();
    }
}

void CFileTreeCtrl::keyPressEvent(QKeyEvent* event) {
    if (state() == QAbstractItemView::EditingState) {
        QTreeWidget::keyPressEvent(event);
        return;
    }
    const Qt::KeyboardModifiers mods = event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
    const int key = event->key();
    const bool enter = key == Qt::Key_Return || key == Qt::Key_Enter;
    if (enter && mods == Qt::AltModifier) {
        ShowItemProperties(currentItem());
    } else if (enter && mods == Qt::NoModifier) {
        OpenItem(currentItem());
    } else if (key == Qt::Key_Delete && (mods & ~Qt::ShiftModifier) == Qt::NoModifier) {
        // The key's own Shift decides between the trash and a permanent delete.
        const int saved = keyShift_;
        keyShift_ = (mods & Qt::ShiftModifier) ? 1 : 0;
        DeleteItemFile(currentItem());
        keyShift_ = saved;
    } else if (key == Qt::Key_F2 && mods == Qt::NoModifier) {
        BeginRename(currentItem());
    } else if (key == Qt::Key_F5 && mods == Qt::NoModifier) {
        Refresh();
    } else if (key == Qt::Key_Left && mods == Qt::AltModifier) {
        GoBack();
    } else if (key == Qt::Key_Right && mods == Qt::AltModifier) {
        GoForward();
    } else if (key == Qt::Key_Backspace && mods == Qt::NoModifier) {
        GoUp();
    } else if ((key == Qt::Key_F10 && mods == Qt::ShiftModifier) || (key == Qt::Key_Menu && mods == Qt::NoModifier)) {
        // The menu of the selected folder, under its label, as the right click gives it.
        QTreeWidgetItem* item = currentItem();
        QRect rect = item ? visualItemRect(item).intersected(viewport()->rect()) : QRect();
        const QPoint at = rect.isValid() ? QPoint(rect.left() + 8, rect.bottom()) : QPoint(8, 8);
        emit rightClicked(viewport()->mapToGlobal(at));
    } else {
        QTreeWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

void CFileTreeCtrl::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        QTreeWidgetItem* item = itemAt(event->position().toPoint());
        if (item) {
            SelectItem(item);
        } else {
            setCurrentItem(nullptr);
            clearSelection();
        }
        event->accept();
        return;
    }
    QTreeWidget::mousePressEvent(event);
}

void CFileTreeCtrl::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        event->accept();
        emit rightClicked(event->globalPosition().toPoint());
        return;
    }
    QTreeWidget::mouseReleaseEvent(event);
}

void CFileTreeCtrl::mouseDoubleClickEvent(QMouseEvent* event) {
    QTreeWidgetItem* item = itemAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton && item && item == currentItem() && ChildrenCount(item) == 0)
        OpenItem(item);
    QTreeWidget::mouseDoubleClickEvent(event);
}

void CFileTreeCtrl::focusInEvent(QFocusEvent* event) {
    // The view would make its first item current on focus; here focus alone selects
    // nothing, or the owner would load the Desktop's files merely because the tree got focus.
    const bool hadCurrent = currentItem() != nullptr;
    {
        FlagGuard g(ignoreSelection_);
        QTreeWidget::focusInEvent(event);
        if (!hadCurrent && currentItem()) setCurrentItem(nullptr);
    }
}

void CFileTreeCtrl::drawRow(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QTreeWidget::drawRow(painter, option, index);
    // The focused folder shows itself while the tree has the focus, selected or not.
    if (hasFocus() && index == currentIndex())
        PaintFocusFrame(*painter, visualRect(index), palette(), selectionModel()->isSelected(index));
}

void CFileTreeCtrl::contextMenuEvent(QContextMenuEvent* event) {
    // The right click and the keys (Shift+F10, Menu) report to the owner themselves.
    event->accept();
}

}  // namespace velmora
