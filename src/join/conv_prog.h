// CConvProg: the modal, resizable dialog a join runs under. It owns the run (the engine's
// JoinRunState), starts the job thread when it opens, receives the engine's reports through
// its JoinSink (posted to the UI thread), and offers Pause/Resume, Cancel, Clear and, when the
// join is done, Open Dir.
#pragma once

#include "controls/resize_dlg.h"
#include "engine/join_runner.h"
#include "join/taskbar_progress.h"

#include <QString>

#include <functional>
#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace velmora {

class CConvProg : public CResizeDlg {
    Q_OBJECT
public:
    enum Id {
        kProgressGroup = 1072,
        kProgressBar = 1074,
        kDoneLabel = 1077,
        kDoneValue = 1081,
        kSpeedLabel = 1079,
        kSpeedValue = 1083,
        kElapsedLabel = 1084,
        kElapsedValue = 1086,
        kEtaLabel = 1089,
        kEtaValue = 1091,
        kSourceLabel = 1094,
        kSourceValue = 1092,
        kDestinationLabel = 1095,
        kDestinationValue = 1093,
        kLogList = 1003,
        kClearButton = 1096,
        kPauseButton = 1075,
        kCancelButton = 2,
    };
    static constexpr const char* kPlacementKey = "{B827E556-AD4D-480E-98F0-2BC7A581B10A}";
    static constexpr uint32_t kStopWaitMs = 1000;  // per worker, when cancelling

    // `engine` holds the ring buffers; `run` (default: engine->activeRun) is the run to start,
    // with its tasks and overallSamplesTotal filled. It becomes the engine's run when it starts,
    // never while a worker of the engine's earlier run lives. `profile` keeps the placement
    // (null: the user's own profile).
    explicit CConvProg(std::shared_ptr<JoinEngine> engine, QWidget* parent = nullptr,
                       ApplicationProfile* profile = nullptr, std::shared_ptr<JoinRunState> run = nullptr);
    ~CConvProg() override;

    JoinRunState& run() const { return *run_; }
    const std::shared_ptr<JoinEngine>& engine() const { return engine_; }
    // The sink the engine reports to while this dialog is open.
    std::shared_ptr<JoinSink> sink() const { return sink_; }

    // The message handlers (UI thread).
    void OnJoinProgress(float taskPercent, float overallPercent);
    void ShowSpeed(double workingSeconds);
    void OnJoinMessage(const QString& text, int kind);
    void OnJoinDone();
    void OnJoinFailed();
    void OnPause();
    void OnCancel();
    void OnClear();
    // Waits for the conversion, encoder and job threads in turn, at most kStopWaitMs each.
    // A worker still running after that is left to end by itself at its next poll of the
    // cleared `running` flag; it holds what it uses. True when all have ended.
    bool StopWorkers();
    // One log line: "%03d " number, wall-clock time, text; the kind colours it.
    void AddLogLine(const QString& text, int kind);

    QTreeWidget* logList() const { return log_; }
    QPushButton* pauseButton() const { return pause_; }
    QPushButton* cancelButton() const { return cancel_; }
    QPushButton* clearButton() const { return clear_; }
    QProgressBar* progressBar() const { return bar_; }
    QString text(int id) const;

    // The counters of the program run: log lines added (the "#" column) and progress
    // messages handled. Never reset.
    static int logLinesAdded();
    static int progressMessagesHandled();

    // "%02d:%02d:%02d" of the truncated whole seconds.
    static QString FormatHms(double seconds);
    // Remaining seconds for `percent` done after `elapsed` seconds: (100 − p) × j ÷ p.
    static double RemainingSeconds(double percent, double elapsed);
    // Text and background colours of a log cell under `palette` (invalid text: the palette's).
    static QColor LogTextColour(int kind, const QPalette& palette);
    static QColor LogBackground(int row, const QPalette& palette);

    // Opens a folder for Open Dir (replaceable, so tools and tests need not start a file
    // manager). Returns whether the folder was opened.
    static std::function<bool(const QString&)>& FolderOpener();

protected:
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void reject() override;

private:
    void StartRun();
    void SetTaskbarState(TaskbarProgress::State s);

    std::shared_ptr<JoinEngine> engine_;
    std::shared_ptr<JoinRunState> run_;
    std::shared_ptr<JoinSink> sink_;
    QProgressBar* bar_ = nullptr;
    QTreeWidget* log_ = nullptr;
    QPushButton* clear_ = nullptr;
    QPushButton* pause_ = nullptr;
    QPushButton* cancel_ = nullptr;
    bool started_ = false;
    bool closing_ = false;
    bool ended_ = false;  // the done or the failed state was entered
};

}  // namespace velmora
