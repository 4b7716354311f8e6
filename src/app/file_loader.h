// The loader: fills the file list on a worker thread from the folder tree, the Add commands
// and dropped items. Only one load runs at a time; every list change it makes is carried out
// on the UI thread, by calls queued in order (rows and cells) or waited for (the start, the
// boxes and the closing steps).
#pragma once

#include <QFileInfo>
#include <QObject>
#include <QSemaphore>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>
#include <thread>

#include "filelist/file_scan.h"
#include "filelist/media_read_ahead.h"
#include "filelist/media_reader.h"

namespace velmora {

// The Add Files dialog's filters: every audio format a load takes first, then MP3 alone.
QStringList AddFilesFilters();

class CZEPHDlg;
class CFileLoader;
struct FileItemInfo;

// One load: the state its thread shares with the UI thread. Kept alive by both sides, so a
// load that is cut off can finish on its own without touching anything freed.
class LoaderRun : public std::enable_shared_from_this<LoaderRun> {
public:
    LoaderRun(CZEPHDlg* dlg, QStringList scanExtensions);

    // Loader thread: the load goes on while the window's busy flag is set and the load has
    // not been cut off.
    bool Going();
    // Loader thread: runs `work` on the UI thread and waits for it. False (nothing done)
    // once the load has been cut off; the wait itself ends when a cut comes.
    // It runs the queued calls first.
    bool CallUi(std::function<void()> work);
    // Loader thread: queues `work` for the UI thread without waiting for it; false (nothing
    // queued) once the load has been cut off. At most kQueuedCalls wait at a time: the
    // loader is held back rather than the UI thread given a long batch in one go.
    static constexpr size_t kQueuedCalls = 64;
    bool Post(std::function<void()> work);

    // UI thread: runs the queued calls in order, then the call the loader waits for, if any
    // (a UI thread that waits for the loader keeps it moving this way).
    void ServicePending();
    void Drain();
    // UI thread: the load may no longer reach the window; its later calls do nothing.
    void CutOff();
    bool IsCutOff() const { return cut_.load(std::memory_order_acquire) != 0; }
    // UI thread: the load is being stopped; a call of its that has not run yet never sets the
    // busy state again.
    void Stop() { stopping_.store(1, std::memory_order_release); }
    bool IsFinished() const { return finished_.load(std::memory_order_acquire) != 0; }
    void MarkFinished() { finished_.store(1, std::memory_order_release); }

    // The steps of a load (loader thread).
    void EnterBusy(bool showAtOnce, bool setTitle);
    void SetCaption(const QString& text);
    void ScanFolder(const QString& folder, bool includeSubfolders);
    // A dropped or opened file is loaded when its extension (the whole name without a ".")
    // is one this load takes.
    bool TakesFile(const QString& fileName) const { return scanExtensions_.contains(ExtensionOf(fileName)); }
    // Appends a found file's row and reads it here.
    void AddFoundFile(const QFileInfo& file, int& iconCache);
    void FinishLoad(bool sort);
    // "An Error Occurred While Loading Files!"
    void ReportLoadError();

    CZEPHDlg* dialog() const { return dlg_; }  // for UI-thread work only

private:
    struct Call {
        std::function<void()> work;
        QSemaphore done;
        std::atomic<int> ran{0};
    };
    void RunClaimed(Call* call);
    static int IconFor(int& iconCache);
    // Queues the row of a found file with the loader's own cells; its record, or null once
    // the load has been cut off.
    FileItemInfo* AppendFound(const FileRow& facts, int image, const QString& path);
    // Queues the cells a read gave to the row of `info`; a box for an unreadable file.
    void PublishRead(FileItemInfo* info, GatheringWriter writer);

    CZEPHDlg* dlg_;
    QStringList scanExtensions_;
    std::atomic<int> cut_{0};
    std::atomic<int> stopping_{0};
    std::atomic<int> reading_{0};
    std::atomic<int> finished_{0};
    std::atomic<Call*> pending_{nullptr};
    std::mutex queueMutex_;
    std::condition_variable queueSpace_;
    std::deque<std::function<void()>> queue_;
    bool draining_ = false;  // UI thread only
    bool redrain_ = false;
    // Each load reads with a decoder handle of its own: a load that is cut off may still be
    // reading a file while the next one starts.
    ReaderDecoder decoder_;
    MediaInfoReader reader_;
    // Folder walks read ahead on a small pool of their own (made on the first walk).
    std::unique_ptr<MediaReadAhead> readAhead_;
};

class CFileLoader : public QObject {
    Q_OBJECT
public:
    static constexpr int kGraceMs = 500;
    using Body = std::function<void(LoaderRun&)>;

    explicit CFileLoader(CZEPHDlg& dlg);
    ~CFileLoader() override;

    // Stops the running load and starts `body` on a new loader thread.
    void StartLoader(Body body);
    // Clears busy and waits up to the grace period for the running load, carrying out its
    // calls meanwhile; a load still running then is cut off from the list and left to end on
    // its own. True when no load was left running.
    bool StopLoader();

    // The five ways in (UI thread).
    void OnTreeSelectionChanged();
    void LoadTreeFolder(const QString& folder, Qt::KeyboardModifiers modifiers);
    void AddFilesFromDialog();
    void AddFolderFromDialog(bool includeSubfolders);
    // UM_FILES_DROPPED: a load of the paths, or nothing while the list is locked or busy.
    void OnFilesDropped(const QStringList& paths);
    // Files and folders from the command line or a later start: loaded as a drop is, once no
    // load runs and the list is not locked (they wait meanwhile, never lost).
    void QueueOpen(const QStringList& paths);
    int queuedOpens() const { return static_cast<int>(queued_.size()); }

    bool IsRunning() const;
    // Waits (processing events) until the current load's thread has ended; false on timeout.
    bool WaitIdle(int timeoutMs);
    int cutOffCount() const { return cutOffs_; }
    // Joins the loader thread once it has ended; never waits for a running load.
    void ReapFinished();
    // Stops any load and releases every row's record; the window calls this when it goes.
    void Shutdown();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    CZEPHDlg& dlg_;
    std::shared_ptr<LoaderRun> run_;
    std::thread thread_;
    int cutOffs_ = 0;
    // A cut-off load never runs its closing steps: the window is set as they would set it.
    void RestoreIdleWindow();
    bool shutDown_ = false;
    std::vector<QStringList> queued_;
    void StartQueuedOpen();
};

// The loader of a main window (made on first use).
CFileLoader& FileLoaderOf(CZEPHDlg& dlg);
// Stops the window's load and releases the rows' records (when the window goes).
void ShutdownFileLoader(CZEPHDlg& dlg);
// Joins the window's loader thread if it has ended (the close sequence ends the process
// before the window's destructor would).
void ReapFinishedLoader(CZEPHDlg& dlg);
// Wires the loads into the window: the tree's selection changes, the three Add commands.
void RegisterLoadCommands(CZEPHDlg& dlg);

}  // namespace velmora
