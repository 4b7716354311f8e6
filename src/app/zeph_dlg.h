// CZEPHDlg: the application's only top-level window. A resizable dialog with a menu bar, a
// toolbar, the folder tree and the file list side by side in a splitter, and a three-pane
// status bar. Its creation sets up the process-wide objects; its close sequence saves the
// settings and the layout and ends the process.
#pragma once

#include <QPointer>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>

#include "app/main_menus.h"
#include "filelist/file_list_summary.h"
#include "join/book_edits.h"
#include "controls/resize_dlg.h"
#include "settings/app_settings.h"
#include "settings/application_profile.h"

class QAction;
class QMenu;
class QMenuBar;
class QToolBar;
class QTreeWidgetItem;

namespace velmora {

class CFileTreeCtrl;
class CReportCtrl;
class CProcessing;
class CSSplitter;
class CStatusBar;
class TaskbarProgress;
struct JoinEngine;

class CZEPHDlg : public CResizeDlg {
    Q_OBJECT
public:
    // Control ids of the template.
    static constexpr int kPlaceholderId = 1056;
    static constexpr int kFolderTreeId = 1000;
    static constexpr int kFileListId = 1003;
    static constexpr int kSplitterId = 103;
    static constexpr int kStatusBarId = 0xE801;
    static constexpr int kToolBarId = 0xE800;
    static constexpr int kRebarId = 0xE804;
    static constexpr int kStatusBarHeight = 25;
    static constexpr int kSplitterMinLeft = 100;
    static constexpr int kSplitterMinRight = 150;

    explicit CZEPHDlg(QWidget* parent = nullptr);
    ~CZEPHDlg() override;

    // The creation sequence; runs once (DoModal runs it when nobody has).
    bool OnInitDialog();
    // Shows the window and runs its modal loop.
    int DoModal();
    // A second start asked for us: restore when minimised, raise, and raise the dialog that
    // is modal over us, if any.
    void BringToFront();

    // ---- commands
    // Routes a command id to its handler; an id without a handler does nothing.
    void OnCommand(int command);
    // Later features register the handlers of their commands here.
    void SetCommandHandler(int command, std::function<void()> handler);
    bool HasCommandHandler(int command) const;
    QAction* CommandAction(int command) const;
    // Runs the update handlers of a pop-up's items (the check mark of Show/Hide Folder Tree).
    void UpdateMenu(QMenu* menu);
    // Builds a pop-up of the command actions, with its items updated each time it opens.
    QMenu* BuildPopup(std::span<const MenuEntry> entries, QWidget* parent);
    // The context menu open at the moment (null when none).
    QMenu* activePopup() const;
    void OnFolderTreeRightClick(const QPoint& globalPos);
    // A right click on the file list: the row under the click (-1 for none) and where.
    void OnFileListRightClick(int row, const QPoint& globalPos);
    // Shift+F10 or the Menu key in the list: its menu at the focused row.
    void OpenFileListMenuFromKeyboard();
    // A line about the last join (what a cancel kept) in the status bar's first pane, until
    // the list's summary takes the pane again.
    void ShowJoinStatus(const QString& text);
    // The sort marks of the header: ascending or descending on the primary column.
    void OnReportSorted(int column, bool ascending);

    // ---- state shared with the loader, the list commands and the busy dialog
    void EnterBusyState();
    void LeaveBusyState();
    bool IsBusy() const { return busy.load(std::memory_order_acquire) != 0; }
    bool IsClosing() const { return closing_; }
    std::atomic<int> busy{0};
    // Set once the window has been shown; a load's message boxes wait for it (loader thread).
    std::atomic<int> shown{0};

    // Writes the encoder summary into pane 2 of the status bar and its tooltip.
    void ShowEncoderSummary();
    // Refreshes lastFolder from the tree and writes the settings file.
    bool SaveSettings();

    AppSettings& settings() { return settings_; }
    // What "Chapters and Tags" changed for the joins of this list; emptied with the list.
    BookEdits& bookEdits() { return bookEdits_; }
    ApplicationProfile& profile() { return profile_; }
    CStatusBar* statusBar() const { return statusBar_; }
    QToolBar* toolBar() const { return toolBar_; }
    QWidget* rebar() const { return rebar_; }
    QMenuBar* menuBar() const { return menuBar_; }
    CSSplitter* splitter() const;
    CFileTreeCtrl* fileTree() const;
    CReportCtrl* fileList() const;
    CProcessing* busyDialog() const { return busyDialog_; }
    // The engine context with the ring buffers and the joining handle.
    std::shared_ptr<JoinEngine> joinEngine() const { return joinEngine_; }
    QStringList scanExtensions;
    // The running totals behind the list summary (file count, MiB, seconds).
    FileListTotals totals;

    // How the close sequence ends the process; tests replace it to stay alive.
    static std::function<void(int)>& ProcessEnd();
    int closeSequenceRuns() const { return closeSequenceRuns_; }

signals:
    // Emitted at the start of the close sequence (once).
    void closeSequenceStarted();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool event(QEvent* event) override;
    void reject() override;

private:
    void BuildTemplate();
    void CreateCommandActions();
    bool CreateStatusBar();
    bool CreateToolBar();
    void RepositionBars();
    void LayoutStatusBarParts();
    void InitMpg123();
    void ApplyTreeOptions();
    void RestoreTreeVisibility();
    void SelectStartFolder();
    void RunCloseSequence();
    void InitFileList();
    void SaveFileListLayout();
    void ToggleFolderTree();
    void ExpandFolder();
    void RegisterBuiltInCommands();
    void ShowCommandPrompt(const QString& prompt);

    bool initialised_ = false;
    bool closing_ = false;
    bool built_ = false;           // OnInitDialog has run to its end
    bool forwardPending_ = false;  // a second start asked before the window was built
    int closeSequenceRuns_ = 0;

    AppSettings settings_;
    BookEdits bookEdits_;
    ApplicationProfile profile_;
    QMenuBar* menuBar_ = nullptr;
    QWidget* placeholder_ = nullptr;
    CStatusBar* statusBar_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QWidget* rebar_ = nullptr;
    QPointer<CSSplitter> splitter_;
    QPointer<CFileTreeCtrl> fileTree_;
    QPointer<CReportCtrl> fileList_;
    CProcessing* busyDialog_ = nullptr;
    QPointer<QMenu> activePopup_;
    QObject* treeWatched_ = nullptr;
    QObject* listViewportWatched_ = nullptr;
    QObject* listWatched_ = nullptr;
    bool treeHadFocus_ = false;  // the tree had the focus when the busy state began
    // Pane 0 while a command's prompt covers it; restored when the pointer leaves the command.
    QString promptShown_;
    QString paneUnderPrompt_;

    std::map<int, QAction*> actions_;
    std::map<int, std::function<void()>> handlers_;
    std::map<int, std::function<void(QAction*)>> updateHandlers_;

    std::shared_ptr<JoinEngine> joinEngine_;
    std::unique_ptr<TaskbarProgress> taskbar_;
};

// The main window, set during its creation; null before.
extern CZEPHDlg* mainDialog;

}  // namespace velmora
