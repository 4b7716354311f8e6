#include "app/zeph_dlg.h"

#include <unistd.h>

#include <utility>

#include <mpg123.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusTipEvent>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include "app/command_ids.h"
#include "app/drop_target.h"
#include "app/join_commands.h"
#include "app/file_loader.h"
#include "app/list_commands.h"
#include "app/help_commands.h"
#include "app/status_bar.h"
#include "app/tree_commands.h"
#include "app/zeph_app.h"
#include "controls/dialog_units.h"
#include "controls/report_ctrl.h"
#include "controls/report_layout.h"
#include "controls/s_splitter.h"
#include "filelist/file_list_columns.h"
#include "foldertree/system_image_list.h"
#include "engine/join_runner.h"
#include "foldertree/file_tree_ctrl.h"
#include "join/processing.h"
#include "join/taskbar_progress.h"
#include "settings/settings_store.h"
#include "filelist/file_list_summary.h"
#include "filelist/file_scan.h"
#include "filelist/list_locked.h"

static void InitAppResources() { Q_INIT_RESOURCE(velmora); }

namespace velmora {

CZEPHDlg* mainDialog = nullptr;

namespace {

// The dialog template, in dialog units.
constexpr QSize kTemplateSize{601, 388};
constexpr QRect kPlaceholderRect{5, 35, 595, 336};
constexpr QRect kTreeRect{7, 367, 63, 14};
constexpr QRect kListRect{577, 352, 23, 29};

const char kTitle[] = "Velmora 5.0.9";

// Icons of the toolbar buttons: the desktop theme's when it has one, else our own.
struct ButtonIcon {
    int command;
    const char* themeName;
    const char* fallback;
};
constexpr ButtonIcon kButtonIcons[] = {
    {ID_ADD_FILES, "", ":/icons/add_files.svg"},
    {ID_ADD_FOLDER, "", ":/icons/add_folder.svg"},
    {ID_ADD_FOLDER_SUB, "", ":/icons/add_folder_sub.svg"},
    {ID_JOIN, "", ":/icons/velmora.svg"},
    {ID_CHAPTERS_TAGS, "document-properties", ":/icons/chapters.svg"},
    {ID_OPTIONS, "preferences-system", ":/icons/options.svg"},
    {ID_DOWNLOAD, "", ":/icons/download.svg"},
    {ID_HELP_CONTENT, "help-contents", ":/icons/help.svg"},
    {ID_ABOUT, "help-about", ":/icons/about.svg"},
};

QIcon ButtonIconFor(int command) {
    for (const ButtonIcon& b : kButtonIcons) {
        if (b.command != command) continue;
        const QIcon own(QString::fromLatin1(b.fallback));
        return *b.themeName ? QIcon::fromTheme(QString::fromLatin1(b.themeName), own) : own;
    }
    return {};
}

bool IsContextMenuKey(const QKeyEvent* e) {
    const auto mods = e->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
    return (e->key() == Qt::Key_F10 && mods == Qt::ShiftModifier) || (e->key() == Qt::Key_Menu && mods == Qt::NoModifier);
}

// Keys the folder tree acts on itself while it has the focus; the accelerators get them
// only from elsewhere.
bool IsFolderTreeKey(const QKeyEvent* e) {
    const auto mods = e->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
    switch (e->key()) {
        case Qt::Key_Delete:
        case Qt::Key_F2:
        case Qt::Key_F5:
        case Qt::Key_Backspace:
            return mods == Qt::NoModifier;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return mods == Qt::NoModifier || mods == Qt::AltModifier;
        default:
            return false;
    }
}

}  // namespace

std::function<void(int)>& CZEPHDlg::ProcessEnd() {
    // Ends at once: no destructors, no waiting for loaders, folder watchers or a join's
    // workers. Everything that must last has been written and synced before.
    static std::function<void(int)> end = [](int code) { ::_exit(code); };
    return end;
}

CZEPHDlg::CZEPHDlg(QWidget* parent) : CResizeDlg(parent) {
    InitAppResources();
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromLatin1(kTitle));
    setObjectName(QStringLiteral("mainWindow"));
    // The program's icon for every window it opens (the progress dialog, the boxes), from
    // their first paint.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/velmora.svg")));
    setWindowIcon(QApplication::windowIcon());
    SetProfile(&profile_);
}

CSSplitter* CZEPHDlg::splitter() const { return splitter_.data(); }
CFileTreeCtrl* CZEPHDlg::fileTree() const { return fileTree_.data(); }
CReportCtrl* CZEPHDlg::fileList() const { return fileList_.data(); }
QMenu* CZEPHDlg::activePopup() const { return activePopup_.data(); }

CZEPHDlg::~CZEPHDlg() {
    ShutdownFileLoader(*this);
    // The placement is saved by the close sequence; the base must not reach for our
    // profile, which is gone by the time its destructor runs.
    SetPlacementKey(QString());
    SetProfile(nullptr);
    // The splitter writes its position to our profile when it goes: let it go first, with
    // the panes inside it, whose events we no longer watch.
    if (treeWatched_) treeWatched_->removeEventFilter(this);
    if (listViewportWatched_) listViewportWatched_->removeEventFilter(this);
    if (listWatched_) listWatched_->removeEventFilter(this);
    treeWatched_ = listViewportWatched_ = listWatched_ = nullptr;
    delete splitter_.data();
    if (mainDialog == this) mainDialog = nullptr;
    if (taskbarProgress == taskbar_.get()) taskbarProgress = nullptr;
}

// The controls of the template, at their template places, in a dialog of the template's
// size. The menu bar sits above the client area of the template, as a window menu does.
void CZEPHDlg::BuildTemplate() {
    const DialogUnits units(font());
    menuBar_ = new QMenuBar(this);
    menuBar_->setNativeMenuBar(false);
    menuBar_->setObjectName(QStringLiteral("menuBar"));
    CreateCommandActions();
    for (const MenuPopup& popup : MainMenuBar()) {
        QMenu* menu = BuildPopup(popup.entries, menuBar_);
        menu->setTitle(QString::fromLatin1(popup.title));
        menuBar_->addMenu(menu);
    }
    // F10 opens the first menu, as on other desktops; Alt+letter comes with the titles' mnemonics.
    auto* openMenus = new QAction(this);
    openMenus->setObjectName(QStringLiteral("openMenuBar"));
    openMenus->setShortcut(QKeySequence(Qt::Key_F10));
    openMenus->setShortcutContext(Qt::WindowShortcut);
    connect(openMenus, &QAction::triggered, this, [this] {
        if (!menuBar_->actions().isEmpty()) menuBar_->setActiveAction(menuBar_->actions().first());
    });
    addAction(openMenus);
    const int menuHeight = menuBar_->sizeHint().height();
    const QSize client = units.ToPixels(kTemplateSize);
    resize(client.width(), client.height() + menuHeight);
    menuBar_->setGeometry(0, 0, client.width(), menuHeight);

    placeholder_ = new QWidget(this);
    placeholder_->setGeometry(units.ToPixels(kPlaceholderRect).translated(0, menuHeight));
    RegisterControl(kPlaceholderId, placeholder_);

    fileTree_ = new CFileTreeCtrl(this);
    fileTree_->setObjectName(QStringLiteral("folderTree"));
    fileTree_->setGeometry(units.ToPixels(kTreeRect).translated(0, menuHeight));
    RegisterControl(kFolderTreeId, fileTree_);

    fileList_ = new CReportCtrl(this);
    fileList_->setObjectName(QStringLiteral("fileList"));
    fileList_->setGeometry(units.ToPixels(kListRect).translated(0, menuHeight));
    RegisterControl(kFileListId, fileList_);
}

void CZEPHDlg::InitFileList() {
    CReportCtrl* list = fileList_;
    // 21. Notifications come here; double buffering, header drag and drop, info tips.
    list->SetNotifyTarget(this);
    list->SetExtendedStyleEx(0x10430);
    list->ApplyExplorerTheme();
    // 22. The eighteen columns with their stored widths, hidden where stored so; the sort
    //     list comes with them.
    std::vector<ReportColumnDef> columns;
    for (const FileListColumnInfo& c : kFileListColumns)
        columns.push_back({QString::fromLatin1(c.title), int(c.align), c.defaultWidth});
    InsertColumnsWithLayout(*list, columns, profile_);
    // Paths of one book differ at their ends ("…/Disc 1/", "…/Disc 2/").
    list->SetColumnElidesInMiddle(kColPath);
    // 23. Row icons (index 0: an audio file) and the sort marks of the header (no mark,
    //     ascending, descending).
    list->SetImageList({CSystemImageList::Instance().PathIcon(QStringLiteral("track.mp3"), false, false)});
    list->SetHeaderImageList(CReportCtrl::SortMarkIcons());
    // 24. Clickable headings; the marks of the stored primary key.
    list->SetHeaderClickable(true);
    list->SetNaturalTextOrder(settings_.naturalSort != 0);
    if (!list->GetSortList().empty()) {
        const ColumnSortInfo primary = list->GetSortList().front();
        OnReportSorted(primary.column, primary.ascending != 0);
    }
    // 26. Names can be edited in place; an empty list shows its hints.
    list->EnableEdit(true);
    list->AddEditableColumn(0);
    list->EnableHints(true);
    // The right click of a row opens the list's menu (on release, as the list view reports it).
    list->viewport()->installEventFilter(this);
    listViewportWatched_ = list->viewport();
    // Shift+F10 and the Menu key open the same menu at the focused row.
    list->installEventFilter(this);
    listWatched_ = list;
    // However the list is emptied (Remove All, a new folder, the last rows removed), the book
    // edits made for it go with it; each row's own chapters went with its record.
    connect(list->Model(), &QAbstractItemModel::rowsRemoved, this, [this] {
        if (fileList_ && fileList_->GetItemCount() == 0) bookEdits_ = BookEdits{};
    });
}

void CZEPHDlg::SaveFileListLayout() {
    if (fileList_) SaveColumnLayout(*fileList_, profile_);
}

void CZEPHDlg::OnReportSorted(int column, bool ascending) {
    if (!fileList_) return;
    for (int c = 0; c < fileList_->GetColumnCount(); ++c) {
        const int image = c != column ? 0 : ascending ? 1 : 2;
        fileList_->SetHeaderImage(c, image, false);
    }
}

void CZEPHDlg::OpenFileListMenuFromKeyboard() {
    if (!fileList_ || fileList_->GetItemCount() == 0) return;  // as the mouse: no menu without rows
    // At the focused row when it is selected, else at the first selected row (the menu acts on
    // the selection), else at the first row.
    QItemSelectionModel* selection = fileList_->selectionModel();
    QModelIndex at = fileList_->currentIndex();
    if (!at.isValid() || !selection->isRowSelected(at.row(), {})) {
        const QModelIndexList rows = selection->selectedRows();
        at = fileList_->Model()->index(rows.isEmpty() ? 0 : rows.first().row(), 0);
    }
    fileList_->scrollTo(at);
    QRect rect = fileList_->visualRect(at);
    rect = rect.intersected(fileList_->viewport()->rect());
    const QPoint local = rect.isValid() ? QPoint(rect.left() + 8, rect.bottom()) : QPoint(8, 8);
    OnFileListRightClick(at.row(), fileList_->viewport()->mapToGlobal(local));
}

void CZEPHDlg::OnFileListRightClick(int row, const QPoint& globalPos) {
    if (row < 0) return;  // no menu over the empty part of the list
    auto* menu = BuildPopup(FileListContextMenu(), this);
    menu->setObjectName(QStringLiteral("fileListMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->setDefaultAction(menu->actions().value(kFileListDefaultItem));
    activePopup_ = menu;
    menu->popup(globalPos);
}

bool CZEPHDlg::event(QEvent* event) {
    if (event->type() == UM_REPORT_SORTED) {
        auto* sorted = static_cast<ReportSortedEvent*>(event);
        OnReportSorted(sorted->column, sorted->ascending);
        return true;
    }
    if (event->type() == QEvent::StatusTip) {
        ShowCommandPrompt(static_cast<QStatusTipEvent*>(event)->tip());
        return true;
    }
    return CResizeDlg::event(event);
}

void CZEPHDlg::ShowJoinStatus(const QString& text) {
    if (!statusBar_) return;
    statusBar_->SetText(0, text);
}

void CZEPHDlg::ShowCommandPrompt(const QString& prompt) {
    if (!statusBar_) return;
    if (!prompt.isEmpty()) {
        if (promptShown_.isEmpty()) paneUnderPrompt_ = statusBar_->Text(0);
        promptShown_ = prompt;
        statusBar_->SetText(0, prompt);
        return;
    }
    // A summary written while the prompt showed is newer than the one it covered: keep it.
    if (!promptShown_.isEmpty() && statusBar_->Text(0) == promptShown_) statusBar_->SetText(0, paneUnderPrompt_);
    promptShown_.clear();
}

void CZEPHDlg::CreateCommandActions() {
    std::map<int, QKeySequence> keys;
    for (const Accelerator& a : AcceleratorTable()) keys[a.command] = a.key;
    auto make = [&](const MenuEntry& e, auto&& self) -> void {
        if (!e.submenu.empty()) {
            for (const MenuEntry& s : e.submenu) self(s, self);
            return;
        }
        if (e.IsSeparator() || actions_.count(e.command)) return;
        auto* action = new QAction(QString::fromLatin1(e.text), this);
        action->setObjectName(QStringLiteral("command%1").arg(e.command));
        action->setData(e.command);
        if (keys.count(e.command)) {
            action->setShortcut(keys[e.command]);
            action->setShortcutContext(Qt::WindowShortcut);
        }
        const QString prompt = CommandPrompt(e.command);
        if (!prompt.isEmpty()) {
            action->setToolTip(prompt);
            action->setStatusTip(prompt);  // menus and toolbar buttons send it as a status-tip event
        }
        action->setIconVisibleInMenu(false);
        connect(action, &QAction::triggered, this, [this, id = e.command] { OnCommand(id); });
        addAction(action);  // the accelerators work wherever the focus is in the window
        actions_[e.command] = action;
    };
    for (const MenuPopup& popup : MainMenuBar())
        for (const MenuEntry& e : popup.entries) make(e, make);
    for (const MenuEntry& e : FileListContextMenu()) make(e, make);
    for (const MenuEntry& e : FolderTreeContextMenu()) make(e, make);
    RegisterBuiltInCommands();
}

QMenu* CZEPHDlg::BuildPopup(std::span<const MenuEntry> entries, QWidget* parent) {
    auto* menu = new QMenu(parent);
    for (const MenuEntry& e : entries) {
        if (!e.submenu.empty()) {
            // A sub-menu item is routed through its first command and never changes itself.
            QMenu* sub = BuildPopup(e.submenu, menu);
            sub->setTitle(QString::fromLatin1(e.text));
            menu->addMenu(sub);
        } else if (e.IsSeparator()) {
            menu->addSeparator();
        } else {
            menu->addAction(CommandAction(e.command));
        }
    }
    connect(menu, &QMenu::aboutToShow, this, [this, menu] { UpdateMenu(menu); });
    return menu;
}

void CZEPHDlg::UpdateMenu(QMenu* menu) {
    for (QAction* action : menu->actions()) {
        if (action->isSeparator() || action->menu()) continue;
        auto it = updateHandlers_.find(action->data().toInt());
        if (it != updateHandlers_.end()) it->second(action);
    }
}

QAction* CZEPHDlg::CommandAction(int command) const {
    auto it = actions_.find(command);
    return it == actions_.end() ? nullptr : it->second;
}

void CZEPHDlg::SetCommandHandler(int command, std::function<void()> handler) {
    if (handler) {
        handlers_[command] = std::move(handler);
    } else {
        handlers_.erase(command);
    }
}

bool CZEPHDlg::HasCommandHandler(int command) const { return handlers_.count(command) != 0; }

void CZEPHDlg::OnCommand(int command) {
    auto it = handlers_.find(command);
    if (it != handlers_.end()) {
        auto handler = it->second;  // a handler may replace itself
        handler();
    }
}

void CZEPHDlg::RegisterBuiltInCommands() {
    SetCommandHandler(ID_EXIT, [this] {
        // Posted, as a close request from the window manager would be.
        QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
    });
    SetCommandHandler(ID_TOGGLE_TREE, [this] { ToggleFolderTree(); });
    SetCommandHandler(ID_TREE_EXPAND, [this] { ExpandFolder(); });
    // The tree's navigation commands act on the tree (only when it exists).
    SetCommandHandler(ID_TREE_REFRESH, [this] { if (fileTree_) fileTree_->Refresh(); });
    SetCommandHandler(ID_TREE_GO_UP, [this] { if (fileTree_) fileTree_->GoUp(); });
    SetCommandHandler(ID_TREE_GO_BACK, [this] { if (fileTree_) fileTree_->GoBack(); });
    SetCommandHandler(ID_TREE_GO_FORWARD, [this] { if (fileTree_) fileTree_->GoForward(); });
    // Folder commands (Open, Create Folder, Rename, Delete, Properties) act on the tree's
    // selected item (which may be none).
    RegisterTreeFileCommands(*this);

    // The one update handler: Show/Hide Folder Tree is checked while the tree is shown.
    // Nothing ever greys an item.
    if (QAction* toggle = CommandAction(ID_TOGGLE_TREE)) toggle->setCheckable(true);
    updateHandlers_[ID_TOGGLE_TREE] = [this](QAction* action) {
        action->setEnabled(true);
        action->setChecked(splitter_ && splitter_->IsLeftPaneShown());
    };
    RegisterOptionsAndHelpCommands(*this);
    RegisterJoinCommands(*this);
}

void CZEPHDlg::ToggleFolderTree() {
    if (!splitter_) return;
    if (splitter_->IsLeftPaneShown()) {
        splitter_->HideLeftPane();
    } else {
        splitter_->ShowLeftPane();
    }
}

void CZEPHDlg::ExpandFolder() {
    if (IsBusy() || !fileTree_) return;
    busy.store(1, std::memory_order_release);
    if (QTreeWidgetItem* item = fileTree_->currentItem()) fileTree_->ExpandAll(item, CFileTreeCtrl::Expand);
    busy.store(0, std::memory_order_release);
}

bool CZEPHDlg::CreateStatusBar() {
    statusBar_ = new CStatusBar(this);
    SetControlId(statusBar_, kStatusBarId);
    RegisterControl(kStatusBarId, statusBar_);
    statusBar_->setGeometry(0, height() - kStatusBarHeight, width(), kStatusBarHeight);
    statusBar_->SetParts(25, 50);
    return true;
}

bool CZEPHDlg::CreateToolBar() {
    rebar_ = new QWidget(this);
    rebar_->setObjectName(QStringLiteral("rebar"));
    SetControlId(rebar_, kRebarId);
    toolBar_ = new QToolBar(rebar_);
    toolBar_->setObjectName(QStringLiteral("toolBar"));
    SetControlId(toolBar_, kToolBarId);
    toolBar_->setIconSize(QSize(48, 48));
    toolBar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolBar_->setMovable(false);
    toolBar_->setFloatable(false);
    for (int command : ToolbarCommands()) {
        QAction* action = CommandAction(command);
        action->setIcon(ButtonIconFor(command));
        toolBar_->addAction(action);
    }
    return true;
}

void CZEPHDlg::RepositionBars() {
    const int w = width();
    const int menuHeight = menuBar_ ? menuBar_->sizeHint().height() : 0;
    if (menuBar_) menuBar_->setGeometry(0, 0, w, menuHeight);
    if (rebar_ && toolBar_) {
        // One band, as wide as the window; the toolbar's extension button (the chevron)
        // appears when the band is narrower than the buttons.
        const int h = toolBar_->sizeHint().height();
        rebar_->setGeometry(0, menuHeight, w, h);
        toolBar_->setGeometry(0, 0, w, h);
    }
}

void CZEPHDlg::LayoutStatusBarParts() {
    if (!statusBar_) return;
    const int w = width();
    const int h = height();
    statusBar_->setGeometry(0, h - kStatusBarHeight, w, kStatusBarHeight);
    const int sw = statusBar_->width();
    statusBar_->SetParts(int(sw * 0.25), int(sw * 0.5));
}

void CZEPHDlg::InitMpg123() {
    const int err = mpg123_init();
    // The joining handle belongs to the engine context, which also holds the two sample ring
    // buffers; the context keeps itself alive while a join's workers use it. Loads read with a
    // handle of their own.
    if (err == MPG123_OK) joinEngine_ = std::make_shared<JoinEngine>();
    if (err != MPG123_OK || !joinEngine_ || !joinEngine_->mpg123Handle) {
        const char* text = mpg123_plain_strerror(err == MPG123_OK ? MPG123_OUT_OF_MEM : err);
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Fatal Error"),
                        QStringLiteral("Trouble with mpg123: %1").arg(QString::fromLocal8Bit(text)),
                        QMessageBox::Ok, this);
        box.exec();
    }
}

void CZEPHDlg::ApplyTreeOptions() {
    // Clear the hide attributes bit by bit, in this order, so that no attribute hides a file.
    for (uint32_t bit : {0x4u, 0x20u, 0x800u, 0x2u, 0x100u, 0x4000u, 0x1000u, 0x1u, 0x200u, 0x400u}) {
        const uint32_t attrs = fileTree_->GetFileHideAttributes();
        if (attrs & bit) fileTree_->SetFileHideAttributes(attrs & ~bit);
    }
    fileTree_->SetShowFiles(false);
    fileTree_->SetAllowDelete(true);
    fileTree_->SetAllowRename(true);
    fileTree_->SetAllowCreateFolder(true);
    fileTree_->AttachSystemImageList();
}

void CZEPHDlg::RestoreTreeVisibility() {
    const auto stored = profile_.GetProfileBinary(QString::fromLatin1(profile::kFileListSection),
                                                  QString::fromLatin1(profile::kShowLeftTreeEntry));
    if (!stored || stored->isEmpty() || stored->at(0) != 0) {
        splitter_->ShowLeftPane();
    } else {
        splitter_->HideLeftPane();
    }
}

void CZEPHDlg::SelectStartFolder() {
    // A last folder that has since vanished opens its nearest folder that still exists.
    QString folder = QDir::cleanPath(QString::fromStdString(settings_.lastFolder));
    while (!folder.isEmpty() && !QFileInfo::exists(folder)) {
        const QString up = QFileInfo(folder).path();
        if (up == folder) break;
        folder = up;
    }
    if (!folder.isEmpty() && QFileInfo::exists(folder) && fileTree_->SetSelectedPath(folder, false)) return;
    if (QTreeWidgetItem* computer = fileTree_->ComputerItem()) fileTree_->setCurrentItem(computer);
}

bool CZEPHDlg::OnInitDialog() {
    if (initialised_) return true;
    initialised_ = true;

    BuildTemplate();
    // 1. The resizable dialog records the client rectangle.
    InitResizeDlg();
    // 2. (No system menu of our own on Linux.) 3. The window icon is set at construction.
    // 4. The busy dialog, created hidden.
    busyDialog_ = new CProcessing(this);
    busyDialog_->SetFlags(&listLocked, &busy);
    busyDialog_->hide();
    // 5. The status bar carries its own grip.
    HideSizeGrip();
    // 6. Known to the rest of the program, and to a second start (through the instance
    //    guard of the application object).
    mainDialog = this;
    // 7. The taskbar mirror, when the desktop offers one.
    taskbar_ = CreateTaskbarProgress(QStringLiteral("velmora.desktop"));
    taskbarProgress = taskbar_.get();
    // 8. The file type table is static ("MP3" -> 2).
    closing_ = false;
    // 9. Folders and settings.
    const SettingsPreparation prep = PrepareSettings(settings_);
    if (!prep.createFolderMessage.empty()) {
        QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kProductName),
                        QString::fromStdString(prep.createFolderMessage), QMessageBox::Ok, this);
        box.exec();
    }
    if (prep.loadFailed) {
        QMessageBox box(QMessageBox::Critical, QString::fromLatin1(kProductName),
                        QString::fromLatin1(kLoadSettingsFailedText), QMessageBox::Ok, this);
        box.exec();
    }
    // 10. libmpg123 and its two handles.
    InitMpg123();
    // 11. Status bar (a widget that cannot fail to be made here).
    if (!CreateStatusBar()) {
        QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kProductName), QStringLiteral("Failed to create status bar!"),
                        QMessageBox::Ok, this);
        box.exec();
        return false;
    }
    // 12-13. Toolbar with its eight buttons.
    if (!CreateToolBar()) {
        QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kProductName), QStringLiteral("Failed to create toolbar!"),
                        QMessageBox::Ok, this);
        box.exec();
        return false;
    }
    // 14-16. The bars in place.
    RepositionBars();
    busy.store(0, std::memory_order_release);
    // 17. The splitter takes the placeholder's rectangle. The toolbar of 48-pixel buttons may
    //     be taller than the template allowed for; the splitter then starts below it.
    QRect area = placeholder_->geometry();
    const int barsBottom = rebar_->geometry().bottom() + 1;
    if (area.top() < barsBottom) area.setTop(barsBottom);
    delete placeholder_;
    placeholder_ = nullptr;
    splitter_ = new CSSplitter(this);
    splitter_->setObjectName(QStringLiteral("splitter"));
    splitter_->SetProfile(&profile_);
    // The file list joins as the second pane once it exists.
    splitter_->CreateSplitter(0x50000001, this, fileTree_, fileList(), kSplitterId, area, kSplitterMinLeft,
                              kSplitterMinRight);
    splitter_->SetLiveDrag(false);
    RegisterControl(kSplitterId, splitter_);
    // 18. The splitter stretches with the window; the status bar stretches in width and
    //     follows the bottom edge.
    AddControl(kSplitterId, 1, 1, 1, 1, 0, -1, -1, -1, -1);
    AddControl(kStatusBarId, 1, 1, 2, 2, 0, -1, -1, -1, -1);
    // 19-20. Folder tree look and options; attaching the icons fills the tree.
    fileTree_->setAnimated(true);
    ApplyTreeOptions();
    fileTree_->installEventFilter(this);
    treeWatched_ = fileTree_;
    connect(fileTree_, &CFileTreeCtrl::rightClicked, this, &CZEPHDlg::OnFolderTreeRightClick);
    // 21-24, 26: the file list.
    InitFileList();
    // 25. Folder tree visibility.
    RestoreTreeVisibility();
    // 27. Scanning and totals.
    scanExtensions = LoadExtensions(settings_.otherAudioFiles);
    totals.Reset();
    statusBar_->SetText(0, ListSummaryText(totals));
    // 28. Status bar geometry.
    RepositionBars();
    LayoutStatusBarParts();
    RegisterLoadCommands(*this);
    RegisterListCommands(*this);
    // 29. The start folder.
    SelectStartFolder();
    // 30. Placement.
    SetPlacementKey(QString::fromLatin1(profile::kMainWindowPlacementEntry));
    if (!RestorePlacement(this, placementKey(), QString::fromLatin1(profile::kPositionSection))) {
        ApplyStoredPlacement();
    }
    // 31. The ring buffers live in the engine context made with the libmpg123 handles.
    // 32. The drop target over the file list.
    InstallDropTarget(this, fileList_);
    // 33.
    ShowEncoderSummary();
    // 34.
    if (fileTree_ && fileTree_->isVisible()) fileTree_->setFocus();
    built_ = true;
    return true;
}

void CZEPHDlg::showEvent(QShowEvent* event) {
    CResizeDlg::showEvent(event);
    shown.store(1, std::memory_order_release);
}

int CZEPHDlg::DoModal() {
    if (!OnInitDialog()) return 0;
    setModal(true);
    if (forwardPending_) {
        // A second start asked while a start-up box was open: answered once the window shows.
        forwardPending_ = false;
        QTimer::singleShot(0, this, [this] { BringToFront(); });
    }
    return exec();
}

void CZEPHDlg::BringToFront() {
    if (!built_) {
        // A start-up box is open over a window still being built: the box comes forward now,
        // the window once it is built, never half made.
        forwardPending_ = true;
        if (QWidget* modal = QApplication::activeModalWidget(); modal && modal != this) {
            modal->raise();
            modal->activateWindow();
        }
        return;
    }
    if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
    if (!isVisible()) show();
    raise();
    activateWindow();
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && modal != this) {
        modal->raise();
        modal->activateWindow();
    }
}

void CZEPHDlg::ShowEncoderSummary() {
    if (!statusBar_) return;
    const QString text = QString::fromStdString(EncoderSummaryText(settings_));
    statusBar_->SetText(2, text);
    statusBar_->SetTipText(2, text);
}

bool CZEPHDlg::SaveSettings() {
    if (fileTree_) settings_.lastFolder = fileTree_->GetSelectedPath().toStdString();
    return velmora::SaveSettings(settings_);
}

void CZEPHDlg::EnterBusyState() {
    // The loader calls this from its own thread: the flag is set at once (the load goes on
    // only while it is set), the window work runs on the UI thread.
    auto windowPart = [this] {
        if (busyDialog_) busyDialog_->EnterBusy(this);
        // A disabled tree would hand its focus on to the list, and the next arrow key the user
        // meant for the tree would move the list instead: the window holds the focus meanwhile
        // and gives it back when the load ends.
        if (fileTree_ && fileTree_->hasFocus()) {
            treeHadFocus_ = true;
            setFocus(Qt::OtherFocusReason);
        }
        if (fileTree_) fileTree_->setEnabled(false);
        if (taskbarProgress) taskbarProgress->SetProgressState(TaskbarProgress::Indeterminate);
    };
    if (QThread::currentThread() == thread()) {
        windowPart();
    } else {
        QMetaObject::invokeMethod(this, windowPart, Qt::QueuedConnection);
    }
    busy.store(1, std::memory_order_release);
}

void CZEPHDlg::LeaveBusyState() {
    busy.store(0, std::memory_order_release);
    auto windowPart = [this] {
        if (busyDialog_) busyDialog_->LeaveBusy();
        if (taskbarProgress) taskbarProgress->SetProgressState(TaskbarProgress::NoProgress);
        if (fileTree_) fileTree_->setEnabled(true);
        // Unless the user has put the focus elsewhere meanwhile.
        if (std::exchange(treeHadFocus_, false) && fileTree_ && fileTree_->isVisible() &&
            (hasFocus() || !QApplication::focusWidget()))
            fileTree_->setFocus(Qt::OtherFocusReason);
    };
    if (QThread::currentThread() == thread()) {
        windowPart();
    } else {
        QMetaObject::invokeMethod(this, windowPart, Qt::QueuedConnection);
    }
}

void CZEPHDlg::OnFolderTreeRightClick(const QPoint& globalPos) {
    // The tree has already selected the item under the cursor (or left the selection).
    auto* menu = BuildPopup(FolderTreeContextMenu(), this);
    menu->setObjectName(QStringLiteral("folderTreeMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    activePopup_ = menu;
    menu->popup(globalPos);
}

void CZEPHDlg::closeEvent(QCloseEvent* event) {
    event->ignore();  // the close sequence decides
    RunCloseSequence();
}

void CZEPHDlg::reject() {
    // Escape never closes the main window; closing goes through the close sequence.
}

void CZEPHDlg::keyPressEvent(QKeyEvent* event) {
    // Neither Escape nor Enter closes the window or presses a button.
    switch (event->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            event->accept();
            return;
        default:
            CResizeDlg::keyPressEvent(event);
    }
}

bool CZEPHDlg::eventFilter(QObject* watched, QEvent* event) {
    // Plain pointers: events may arrive while a watched widget is being torn down.
    if (watched && watched == listViewportWatched_) {
        if (event->type() == QEvent::MouseButtonRelease) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::RightButton) {
                const QModelIndex index = fileList_->indexAt(mouse->position().toPoint());
                OnFileListRightClick(index.isValid() ? index.row() : -1, mouse->globalPosition().toPoint());
            }
        } else if (event->type() == QEvent::ContextMenu &&
                   static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Mouse) {
            return true;  // the release above has handled the click
        }
    }
    if (watched && watched == listWatched_) {
        if (event->type() == QEvent::KeyPress && IsContextMenuKey(static_cast<QKeyEvent*>(event))) {
            OpenFileListMenuFromKeyboard();
            return true;
        }
        // The window system follows the Menu key with a context-menu event: the key press has
        // opened the menu already.
        if (event->type() == QEvent::ContextMenu &&
            static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard)
            return true;
    }
    // The folder tree handles its own keys before the accelerators see them.
    if (watched && watched == treeWatched_ && event->type() == QEvent::ShortcutOverride) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (IsFolderTreeKey(key)) {
            key->accept();
            return true;
        }
    }
    return CResizeDlg::eventFilter(watched, event);
}

void CZEPHDlg::resizeEvent(QResizeEvent* event) {
    CResizeDlg::resizeEvent(event);
    RepositionBars();
    LayoutStatusBarParts();
}

void CZEPHDlg::RunCloseSequence() {
    // 1. A second request while closing is ignored.
    if (closing_) return;
    // 2.
    busy.store(1, std::memory_order_release);
    closing_ = true;
    ++closeSequenceRuns_;
    emit closeSequenceStarted();
    // 3. The ring buffers go with the engine context (its workers keep it while they run).
    joinEngine_.reset();
    // 4. Settings.
    if (!SaveSettings()) {
        QMessageBox box(QMessageBox::Critical, QString::fromLatin1(kProductName),
                        QString::fromLatin1(kSaveSettingsFailedText), QMessageBox::Ok, this);
        box.exec();
    }
    // 5. Placement.
    SavePlacement(this, QString::fromLatin1(profile::kMainWindowPlacementEntry),
                  QString::fromLatin1(profile::kPositionSection));
    // 6-8. Columns, sort keys and tree visibility.
    SaveFileListLayout();
    profile_.WriteProfileBinary(QString::fromLatin1(profile::kFileListSection),
                                QString::fromLatin1(profile::kShowLeftTreeEntry),
                                QByteArray(1, splitter_ && splitter_->IsLeftPaneShown() ? 1 : 0));
    // 9. The taskbar mirror.
    taskbarProgress = nullptr;
    taskbar_.reset();
    // 10. The splitter's bar position. Its window is left to the end of the process: the
    //     panes inside it may still be reached by a loader until then.
    if (splitter_) splitter_->SavePosition();
    profile_.Sync();
    // 11-13. The end of the modal run. (Each load reads with a handle of its own, which goes
    // with the load; the joining handle goes with the engine context.)
    done(1);
    ReapFinishedLoader(*this);
    // 14.
    ProcessEnd()(1);
}

}  // namespace velmora
