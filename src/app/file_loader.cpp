#include "app/file_loader.h"

#include <QTimer>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QMessageBox>
#include <QThread>

#include <chrono>
#include <thread>
#include <exception>

#include "app/command_ids.h"
#include "app/drop_target.h"
#include "app/folder_dialog.h"
#include "app/status_bar.h"
#include "app/zeph_dlg.h"
#include "controls/report_ctrl.h"
#include "controls/s_splitter.h"
#include "filelist/file_item_info.h"
#include "filelist/file_list_columns.h"
#include "filelist/file_list_summary.h"
#include "filelist/file_scan.h"
#include "filelist/list_locked.h"
#include "foldertree/file_tree_ctrl.h"
#include "join/processing.h"

namespace velmora {

namespace {

const char kLoadingTitle[] = "Loading files, this may takes up to minutes, please wait...";
const char kIdleTitle[] = "Velmora 5.0.9";
const char kLoadErrorText[] = "An Error Occurred While Loading Files!";

QString BoxTitle() { return QString::fromLatin1(kProductName); }

}  // namespace

// ---------------------------------------------------------------- LoaderRun

LoaderRun::LoaderRun(CZEPHDlg* dlg, QStringList scanExtensions)
    : dlg_(dlg), scanExtensions_(std::move(scanExtensions)), decoder_(false), reader_(decoder_.handle()) {}

bool LoaderRun::Going() {
    // The reading mark and the cut are both sequentially consistent: a cut that is seen as
    // not yet made means the UI thread waits for the mark to go before the window may go.
    reading_.store(1, std::memory_order_seq_cst);
    bool going = false;
    if (cut_.load(std::memory_order_seq_cst) == 0) going = dlg_->busy.load(std::memory_order_acquire) != 0;
    reading_.store(0, std::memory_order_seq_cst);
    return going;
}

void LoaderRun::CutOff() {
    cut_.store(1, std::memory_order_seq_cst);
    while (reading_.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
}

void LoaderRun::RunClaimed(Call* call) {
    try {
        call->work();
    } catch (...) {
        // A failing list step must not unwind through the event loop; the loader goes on.
    }
    // The semaphore orders the work before the loader's wake-up; the flag says so in a way
    // the thread sanitizer sees too (Qt's own synchronisation is invisible to it).
    call->ran.store(1, std::memory_order_release);
    call->done.release();
}

bool LoaderRun::CallUi(std::function<void()> work) {
    if (IsCutOff()) return false;
    auto call = std::make_shared<Call>();
    call->work = std::move(work);
    pending_.store(call.get(), std::memory_order_seq_cst);
    // Posted to the application object, which outlives every window: the call runs only
    // when the load has not been cut off, so it never reaches a window that is gone.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self = shared_from_this(), call] {
            if (self->IsCutOff()) return;
            self->Drain();
            Call* expected = call.get();
            if (self->pending_.compare_exchange_strong(expected, nullptr, std::memory_order_seq_cst))
                self->RunClaimed(call.get());
        },
        Qt::QueuedConnection);
    while (!call->done.tryAcquire(1, 5)) {
        if (!IsCutOff()) continue;
        Call* expected = call.get();
        if (pending_.compare_exchange_strong(expected, nullptr, std::memory_order_seq_cst)) return false;
        // Already taken by the UI thread: it is running now and ends on its own.
        call->done.acquire();
        return call->ran.load(std::memory_order_acquire) != 0;
    }
    return call->ran.load(std::memory_order_acquire) != 0;
}

bool LoaderRun::Post(std::function<void()> work) {
    if (IsCutOff()) return false;
    bool wake = false;
    {
        std::unique_lock<std::mutex> lock(queueMutex_);
        // Timed, so a cut made while the queue is full ends the wait.
        while (queue_.size() >= kQueuedCalls && !IsCutOff()) queueSpace_.wait_for(lock, std::chrono::milliseconds(5));
        if (IsCutOff()) return false;
        wake = queue_.empty();
        queue_.push_back(std::move(work));
    }
    // One wake-up per batch: the UI thread takes everything queued by then.
    if (wake)
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self = shared_from_this()] {
                if (!self->IsCutOff()) self->Drain();
            },
            Qt::QueuedConnection);
    return true;
}

void LoaderRun::Drain() {
    // A call that opens a nested event loop (a box) may meet the next wake-up inside it: the
    // drain under way takes what came meanwhile afterwards, so the calls keep their order.
    if (draining_) {
        redrain_ = true;
        return;
    }
    draining_ = true;
    do {
        redrain_ = false;
        std::deque<std::function<void()>> batch;
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            batch.swap(queue_);
        }
        queueSpace_.notify_all();
        for (std::function<void()>& work : batch) {
            if (IsCutOff()) break;
            try {
                work();
            } catch (...) {
                // As for a waited-for call: a failing list step must not unwind the event loop.
            }
        }
    } while (redrain_ && !IsCutOff());
    draining_ = false;
}

void LoaderRun::ServicePending() {
    Drain();
    Call* call = pending_.exchange(nullptr, std::memory_order_seq_cst);
    if (call) RunClaimed(call);
}

void LoaderRun::EnterBusy(bool showAtOnce, bool setTitle) {
    CallUi([this, showAtOnce, setTitle] {
        if (stopping_.load(std::memory_order_acquire)) return;
        CReportCtrl* list = dlg_->fileList();
        // The list keeps painting: with updates off, X11 shows a black or stale rectangle for the
        // whole load. Rows reach the view in batches, which are cheap to paint.
        if (list) list->Model()->HoldAppends(true);
        dlg_->EnterBusyState();
        if (showAtOnce && dlg_->busyDialog()) {
            dlg_->busyDialog()->StopTimer();
            dlg_->busyDialog()->showNormal();
        }
        if (setTitle) dlg_->setWindowTitle(QString::fromLatin1(kLoadingTitle));
    });
}

void LoaderRun::SetCaption(const QString& text) {
    Post([this, text] {
        if (dlg_->busyDialog()) dlg_->busyDialog()->setWindowTitle(text);
    });
}

void LoaderRun::ScanFolder(const QString& folder, bool includeSubfolders) {
    // The walk of the file scan, with the busy flag as its stop signal; each folder names
    // itself in the busy dialog as its scan begins. The icon cache starts anew per pass.
    if (scanExtensions_.isEmpty()) return;
    // Files found are read a few ahead on the read-ahead pool; everything the list sees
    // (captions, rows, cells, boxes) is still carried out here in the walk's order.
    if (!readAhead_) readAhead_ = std::make_unique<MediaReadAhead>(MediaReadAhead::DefaultThreads(), false);
    // How far the reads may run ahead of the rows: enough that the readers never wait for
    // the list (measured: 4 files ahead left the window 1.4x slower than velmora-cli list,
    // 32 brings it to 1.1x), little enough that a stop drops and waits for only a few.
    constexpr size_t depth = 32;
    struct Pending {
        QString caption;  // a folder's caption, or
        FileRow facts;    // a file found
        int image = 0;
        QString path;
    };
    std::deque<Pending> pending;
    size_t filesPending = 0;
    auto processFront = [&] {
        Pending p = std::move(pending.front());
        pending.pop_front();
        if (!p.path.isEmpty()) {
            --filesPending;
            std::unique_ptr<MediaRead> read = readAhead_->TakeFront();
            FileItemInfo* info = AppendFound(p.facts, p.image, p.path);
            if (info) PublishRead(info, std::move(read->writer));
        } else {
            SetCaption(p.caption);
        }
    };
    int iconCache = -1;
    QString lastFolder;
    std::atomic<int> going{Going() ? 1 : 0};
    velmora::ScanFolder(
        folder, includeSubfolders,
        [&](const QFileInfo& file) {
            Pending p;
            FillFileFacts(file, p.facts);
            p.image = IconFor(iconCache);
            p.path = file.absoluteFilePath();
            readAhead_->Queue(p.path, p.facts, file.isFile() ? file.size() : -1);  // the scan's stat
            pending.push_back(std::move(p));
            ++filesPending;
            while (filesPending > depth && Going()) processFront();
            going.store(Going() ? 1 : 0, std::memory_order_release);
        },
        &going,
        [&](const QString& f) {
            if (f != lastFolder) iconCache = -1;
            lastFolder = f;
            Pending p;
            p.caption = QStringLiteral("Scanning  ") + f;
            pending.push_back(std::move(p));
            if (filesPending == 0) processFront();
            going.store(Going() ? 1 : 0, std::memory_order_release);
        },
        scanExtensions_);
    while (!pending.empty() && Going()) processFront();
    // A stopped walk leaves its reads behind: they are taken and dropped.
    while (readAhead_->TakeFront()) {
    }
}

int LoaderRun::IconFor(int& iconCache) {
    // The list carries one icon for audio files (index 0), set when the window starts: the
    // lookup the cache saves is that choice, made once per run.
    if (iconCache < 0) iconCache = 0;
    return iconCache;
}

FileItemInfo* LoaderRun::AppendFound(const FileRow& facts, int image, const QString& path) {
    // The record is made here and handed to the list by the queued call; a call that never
    // runs (the load was cut off) frees it with itself.
    auto owned = std::make_shared<std::unique_ptr<FileItemInfo>>(std::make_unique<FileItemInfo>());
    FileItemInfo* const info = owned->get();
    info->fileType = facts.info.fileType;
    info->sizeMB = facts.info.sizeMB;
    // The row is appended and given the loader's own cells; the busy dialog then names the
    // file while its stream and tags are read.
    if (!Post([this, facts, image, path, owned] {
            CReportCtrl* list = dlg_->fileList();
            if (!list) return;
            const int row = list->InsertItemEx(list->GetItemCount(), QString(), nullptr, image, 0);
            FileItemInfo* record = owned->release();
            list->SetItemUserData(row, record);
            for (int c : {int(kColName), int(kColPath), int(kColType), int(kColSize), int(kColLastModified)})
                list->SetItemTextEx(row, c, facts.cells[static_cast<size_t>(c)]);
            dlg_->totals.fileCount += 1;
            dlg_->totals.totalSizeMB += record->sizeMB;
            if (dlg_->busyDialog()) dlg_->busyDialog()->setWindowTitle(QStringLiteral("Reading  ") + path);
        }))
        return nullptr;
    return info;
}

void LoaderRun::AddFoundFile(const QFileInfo& file, int& iconCache) {
    FileRow facts;
    FillFileFacts(file, facts);
    const QString path = file.absoluteFilePath();
    FileItemInfo* info = AppendFound(facts, IconFor(iconCache), path);
    if (!info) return;
    MediaRead read;
    read.path = path;
    read.row = facts;
    ReadFileMedia(reader_, read);
    PublishRead(info, std::move(read.writer));
}

void LoaderRun::PublishRead(FileItemInfo* info, GatheringWriter writer) {
    const QString trouble = std::move(writer.unreadable);
    Post([this, writer = std::move(writer), info] {
        CReportCtrl* list = dlg_->fileList();
        if (!list) return;
        // Found by its record: a sort or move may have changed its place meanwhile; a row
        // removed meanwhile takes nothing. It is nearly always still the last row.
        const int last = list->GetItemCount() - 1;
        const int row = last >= 0 && list->GetItemUserData(last) == info ? last : list->FindItemByUserData(info);
        if (row < 0) return;
        for (const auto& [column, text] : writer.cells) list->SetItemTextEx(row, column, text);
        if (writer.stored) CopyMediaFields(*info, writer.record);
        dlg_->totals.totalSeconds += writer.seconds;
    });
    // The box holds the load until it is answered, one per unreadable file. It never shows
    // before the main window does: a start-up load reads while the window is being built.
    if (!trouble.isEmpty())
        while (!dlg_->shown.load(std::memory_order_acquire) && Going())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!trouble.isEmpty())
        CallUi([this, trouble] {
            QMessageBox box(QMessageBox::Critical, BoxTitle(), trouble, QMessageBox::Ok, dlg_);
            box.setObjectName(QStringLiteral("loaderTroubleBox"));
            box.exec();
        });
}

void LoaderRun::FinishLoad(bool sort) {
    CallUi([this, sort] {
        CReportCtrl* list = dlg_->fileList();
        CProcessing* busyDialog = dlg_->busyDialog();
        if (sort && busyDialog) busyDialog->hide();
        if (CStatusBar* bar = dlg_->statusBar()) {
            const QString summary = ListSummaryText(dlg_->totals);
            bar->SetText(0, summary);
            bar->SetTipText(0, summary);
            bar->SetText(1, QStringLiteral(" ") + QString::fromLatin1(kNoFileSelectedText));
            bar->SetTipText(1, QString::fromLatin1(kNoFileSelectedText));
        }
        if (list) {
            list->Model()->HoldAppends(false);
            list->setUpdatesEnabled(true);
            if (sort) {
                list->SortRows(0, list->GetItemCount() - 1, true);
            } else {
                list->RecolorRows(false);
            }
            if (!list->GetSortList().empty()) {
                const ColumnSortInfo primary = list->GetSortList().front();
                dlg_->OnReportSorted(primary.column, primary.ascending != 0);
            }
        }
        LowerListLocked();
        dlg_->LeaveBusyState();
        dlg_->setWindowTitle(QString::fromLatin1(kIdleTitle));
    });
}

void LoaderRun::ReportLoadError() {
    CallUi([this] {
        QMessageBox box(QMessageBox::Critical, BoxTitle(), QString::fromLatin1(kLoadErrorText), QMessageBox::Ok, dlg_);
        box.exec();
    });
}

// ---------------------------------------------------------------- CFileLoader

CFileLoader::CFileLoader(CZEPHDlg& dlg) : QObject(&dlg), dlg_(dlg) {
    setObjectName(QStringLiteral("fileLoader"));
    dlg.installEventFilter(this);
}

CFileLoader::~CFileLoader() { Shutdown(); }

bool CFileLoader::IsRunning() const { return run_ && !run_->IsFinished(); }

bool CFileLoader::StopLoader() {
    dlg_.busy.store(0, std::memory_order_release);
    // Taken over here: a call carried out below may open a box whose event loop starts the
    // next load, which must find no load left to stop.
    std::shared_ptr<LoaderRun> run = std::move(run_);
    std::thread thread = std::move(thread_);
    if (!run) return true;
    run->Stop();
    QElapsedTimer clock;
    clock.start();
    while (!run->IsFinished() && clock.elapsed() < kGraceMs) {
        run->ServicePending();
        if (!run->IsFinished()) QThread::usleep(200);
    }
    // A load that ended leaves nothing queued (its closing call ran the queue first), but
    // anything that is goes in now, before the next load starts.
    if (run->IsFinished()) run->Drain();
    // A load stopped before its closing steps leaves no rows held back from the view.
    if (CReportCtrl* list = dlg_.fileList()) list->Model()->HoldAppends(false);
    if (run->IsFinished()) {
        if (thread.joinable()) thread.join();
        return true;
    }
    // Never killed: cut off from the list, it ends by itself at its next check.
    run->CutOff();
    if (thread.joinable()) thread.detach();
    ++cutOffs_;
    RestoreIdleWindow();
    return false;
}

void CFileLoader::RestoreIdleWindow() {
    if (CReportCtrl* list = dlg_.fileList()) list->setUpdatesEnabled(true);
    if (CProcessing* busyDialog = dlg_.busyDialog()) busyDialog->hide();
    LowerListLocked();
    dlg_.LeaveBusyState();
    dlg_.setWindowTitle(QString::fromLatin1(kIdleTitle));
}

void CFileLoader::StartLoader(Body body) {
    if (shutDown_) return;
    StopLoader();
    run_ = std::make_shared<LoaderRun>(&dlg_, dlg_.scanExtensions);
    thread_ = std::thread([run = run_, body = std::move(body)] {
        try {
            body(*run);
        } catch (...) {
        }
        run->MarkFinished();
    });
}

void CFileLoader::ReapFinished() {
    if (run_ && run_->IsFinished() && thread_.joinable()) thread_.join();
}

bool CFileLoader::WaitIdle(int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (IsRunning() && clock.elapsed() < timeoutMs) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QCoreApplication::processEvents();
    if (IsRunning()) return false;
    if (thread_.joinable()) thread_.join();
    return true;
}

void CFileLoader::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    StopLoader();
    dlg_.removeEventFilter(this);
    if (CReportCtrl* list = dlg_.fileList()) {
        for (int r = 0; r < list->GetItemCount(); ++r) {
            delete static_cast<FileItemInfo*>(list->GetItemUserData(r));
            list->SetItemUserData(r, nullptr);
        }
    }
}

// A load body shared by the tree and the Add commands: catches what goes wrong, says so, and
// always runs the closing steps.
namespace {
void GuardedLoad(LoaderRun& run, bool reportErrors, bool sort, const std::function<void()>& steps) {
    try {
        steps();
    } catch (...) {
        if (reportErrors) run.ReportLoadError();
    }
    run.FinishLoad(sort);
}
}  // namespace

void CFileLoader::OnTreeSelectionChanged() {
    CSSplitter* splitter = dlg_.splitter();
    CFileTreeCtrl* tree = dlg_.fileTree();
    if (!tree || !splitter || !splitter->IsLeftPaneShown()) return;
    const QString path = tree->GetSelectedPath();
    if (path.isEmpty() || !tree->IsFolder(path) || !QFileInfo::exists(path)) return;
    // The keys are taken with the selection change, not later on the loader thread.
    LoadTreeFolder(path, QGuiApplication::keyboardModifiers());
}

void CFileLoader::LoadTreeFolder(const QString& folder, Qt::KeyboardModifiers modifiers) {
    const bool keepList = modifiers & Qt::ShiftModifier;
    const bool includeSubfolders = modifiers & Qt::ControlModifier;
    StartLoader([folder, keepList, includeSubfolders](LoaderRun& run) {
        run.EnterBusy(false, true);
        GuardedLoad(run, true, true, [&] {
            if (!keepList) {
                run.CallUi([&run] {
                    CZEPHDlg* dlg = run.dialog();
                    if (CReportCtrl* list = dlg->fileList()) {
                        for (int r = list->GetItemCount() - 1; r >= 0; --r) {
                            auto* info = static_cast<FileItemInfo*>(list->GetItemUserData(r));
                            list->DeleteItemEx(r, false);
                            delete info;
                        }
                        list->viewport()->update();
                    }
                    if (CStatusBar* bar = dlg->statusBar()) {
                        bar->SetText(0, QStringLiteral("No file"));
                        bar->SetTipText(0, QStringLiteral("No file"));
                    }
                    dlg->totals.Reset();
                });
            }
            run.ScanFolder(folder, includeSubfolders);
        });
    });
}

QStringList AddFilesFilters() {
    QStringList patterns;
    for (const QString& extension : scanExtensions()) patterns << QStringLiteral("*.") + extension.toLower();
    return {QStringLiteral("Audio files (%1)").arg(patterns.join(QLatin1Char(' '))), QStringLiteral("MP3 files (*.mp3)")};
}

void CFileLoader::AddFilesFromDialog() {
    // Dialogs belong to the UI thread here: the running load is stopped first (the command
    // replaces it), the files are chosen, and the loader then adds them.
    StopLoader();
    QFileDialog dialog(&dlg_);
    dialog.setObjectName(QStringLiteral("addFilesDialog"));
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setDefaultSuffix(QStringLiteral("mp3"));
    dialog.setNameFilters(AddFilesFilters());
    if (dialog.exec() != QDialog::Accepted) return;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) return;
    StartLoader([files](LoaderRun& run) {
        run.EnterBusy(false, true);
        GuardedLoad(run, true, true, [&] {
            for (const QString& f : files) {
                int iconCache = -1;
                const QFileInfo info(f);
                // A name that no longer exists adds nothing.
                if (info.exists() && !info.isDir() && run.Going()) run.AddFoundFile(info, iconCache);
            }
        });
    });
}

void CFileLoader::AddFolderFromDialog(bool includeSubfolders) {
    StopLoader();
    CFolderDialog picker(QString::fromLatin1(includeSubfolders ? "Add a Folder including sub-folders"
                                                              : "Add a Folder excluding sub-folders"),
                         QString(), &dlg_, CFolderDialog::kDefaultFlags);
    QString chosen;
    if (picker.DoModal() == CFolderDialog::kChosen) chosen = picker.FolderPath();
    StartLoader([chosen, includeSubfolders](LoaderRun& run) {
        // A cancelled picker still runs the closing steps: the list is sorted again.
        if (chosen.isEmpty()) {
            run.FinishLoad(true);
            return;
        }
        run.EnterBusy(false, true);
        GuardedLoad(run, true, true, [&] { run.ScanFolder(chosen, includeSubfolders); });
    });
}

// The drop load's body, on the loader thread: folders with their subfolders, MP3 files as they
// are; the dropped files stay at the end of the list (no sort).
void LoadDroppedItems(LoaderRun& run, const QStringList& paths) {
    run.EnterBusy(true, false);
    GuardedLoad(run, false, false, [&] {
        // Every dropped file is added even after a Cancel; Cancel stops folder scans.
        for (const QString& p : paths) {
            int iconCache = -1;
            const QFileInfo info(p);
            if (!info.exists()) continue;
            if (info.isDir()) {
                run.ScanFolder(info.absoluteFilePath(), true);
            } else if (info.isFile() && run.TakesFile(info.fileName())) {
                run.AddFoundFile(info, iconCache);
            }
        }
    });
}

void CFileLoader::OnFilesDropped(const QStringList& paths) {
    if (IsListLocked() || dlg_.IsBusy()) return;  // refused: the drop is lost
    StartLoader([paths](LoaderRun& run) { LoadDroppedItems(run, paths); });
}

void CFileLoader::QueueOpen(const QStringList& paths) {
    if (paths.isEmpty() || shutDown_) return;
    queued_.push_back(paths);
    StartQueuedOpen();
}

void CFileLoader::StartQueuedOpen() {
    if (queued_.empty() || shutDown_) return;
    // Busy, locked or not yet shown (a load's boxes wait for the window): look again shortly.
    if (IsListLocked() || dlg_.IsBusy() || IsRunning() || !dlg_.isVisible()) {
        QTimer::singleShot(100, this, &CFileLoader::StartQueuedOpen);
        return;
    }
    const QStringList paths = queued_.front();
    queued_.erase(queued_.begin());
    StartLoader([paths](LoaderRun& run) { LoadDroppedItems(run, paths); });
    if (!queued_.empty()) QTimer::singleShot(100, this, &CFileLoader::StartQueuedOpen);
}

CFileLoader& FileLoaderOf(CZEPHDlg& dlg) {
    if (auto* loader = dlg.findChild<CFileLoader*>(QStringLiteral("fileLoader"), Qt::FindDirectChildrenOnly))
        return *loader;
    return *new CFileLoader(dlg);
}

bool CFileLoader::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &dlg_ && event->type() == UM_FILES_DROPPED) {
        // The event owns the paths; a refused drop lets them go with it.
        OnFilesDropped(static_cast<FilesDroppedEvent*>(event)->paths);
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void ShutdownFileLoader(CZEPHDlg& dlg) {
    if (auto* loader = dlg.findChild<CFileLoader*>(QStringLiteral("fileLoader"), Qt::FindDirectChildrenOnly))
        loader->Shutdown();
}

void ReapFinishedLoader(CZEPHDlg& dlg) {
    if (auto* loader = dlg.findChild<CFileLoader*>(QStringLiteral("fileLoader"), Qt::FindDirectChildrenOnly))
        loader->ReapFinished();
}

void RegisterLoadCommands(CZEPHDlg& dlg) {
    CFileLoader& loader = FileLoaderOf(dlg);
    dlg.SetCommandHandler(ID_ADD_FILES, [&loader] { loader.AddFilesFromDialog(); });
    dlg.SetCommandHandler(ID_ADD_FOLDER, [&loader] { loader.AddFolderFromDialog(false); });
    dlg.SetCommandHandler(ID_ADD_FOLDER_SUB, [&loader] { loader.AddFolderFromDialog(true); });
    if (CFileTreeCtrl* tree = dlg.fileTree())
        QObject::connect(tree, &CFileTreeCtrl::selectionChanged, &loader, [&loader] { loader.OnTreeSelectionChanged(); });
}

}  // namespace velmora
