#include "join/conv_prog.h"

#include "controls/desktop_open.h"
#include "controls/dialog_units.h"
#include "controls/view_look.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTime>
#include <QTreeWidget>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

namespace velmora {

namespace {

// Template 170 (dialog units): 367 x 215, resizable, empty title.
constexpr TemplateItem kTemplate170[] = {
    {CConvProg::kProgressGroup, TemplateKind::GroupBox, "Progress", 7, 1, 354, 48},
    {CConvProg::kProgressBar, TemplateKind::SmoothProgressBar, nullptr, 13, 17, 339, 10},
    {CConvProg::kDoneLabel, TemplateKind::Static, "Done:", 24, 33, 20, 10},
    {CConvProg::kDoneValue, TemplateKind::StaticRight, "0.00%", 48, 33, 30, 10},
    {CConvProg::kSpeedLabel, TemplateKind::Static, "Speed:", 106, 33, 26, 10},
    {CConvProg::kSpeedValue, TemplateKind::StaticRight, "0.00x", 134, 33, 27, 10},
    {CConvProg::kElapsedLabel, TemplateKind::Static, "Elapsed:", 191, 33, 28, 10},
    {CConvProg::kElapsedValue, TemplateKind::StaticRight, "00:00:00", 222, 34, 33, 10},
    {CConvProg::kEtaLabel, TemplateKind::Static, "ETA:", 283, 33, 17, 10},
    {CConvProg::kEtaValue, TemplateKind::StaticRight, "00:00:00", 302, 34, 33, 10},
    {CConvProg::kSourceLabel, TemplateKind::Static, "Source:", 9, 54, 34, 10},
    {CConvProg::kSourceValue, TemplateKind::Static, nullptr, 62, 54, 298, 10},
    {CConvProg::kDestinationLabel, TemplateKind::Static, "Destination:", 9, 71, 43, 10},
    {CConvProg::kDestinationValue, TemplateKind::Static, nullptr, 62, 71, 298, 10},
    {CConvProg::kLogList, TemplateKind::ListView, nullptr, 3, 88, 362, 105},
    {CConvProg::kClearButton, TemplateKind::PushButton, "Clear", 75, 199, 48, 13},
    {CConvProg::kPauseButton, TemplateKind::PushButton, "Pause", 159, 199, 48, 13},
    {CConvProg::kCancelButton, TemplateKind::PushButton, "Cancel", 243, 199, 48, 13},
};
constexpr QSize kSize170(367, 215);

// Counters of the program run (UI thread only).
int gLogLines = 0;
int gProgressMessages = 0;

// ---- the engine's reports, carried to the UI thread as posted events ----

enum class Report { Progress, Message, Done, Failed, Title, Source, Destination, MessageBox };

const QEvent::Type kReportEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct ReportEvent : QEvent {
    ReportEvent(Report r) : QEvent(kReportEvent), report(r) {}
    Report report;
    float taskPercent = 0;
    float overallPercent = 0;
    int kind = 0;
    QString text;
    std::shared_ptr<std::atomic<bool>> handled;  // set once a blocking report has been handled
};

// Lives on the UI thread for as long as the sink; hands reports to the dialog while it exists
// and drops them afterwards (a worker left behind by a cancel may still report).
class Relay : public QObject {
public:
    explicit Relay(CConvProg* dialog) : dialog_(dialog) {}

    bool event(QEvent* e) override {
        if (e->type() != kReportEvent) return QObject::event(e);
        auto* r = static_cast<ReportEvent*>(e);
        if (CConvProg* d = dialog_.data()) {
            switch (r->report) {
            case Report::Progress: d->OnJoinProgress(r->taskPercent, r->overallPercent); break;
            case Report::Message: d->OnJoinMessage(r->text, r->kind); break;
            case Report::Done: d->OnJoinDone(); break;
            case Report::Failed: d->OnJoinFailed(); break;
            case Report::Title: d->setWindowTitle(r->text); break;
            case Report::Source:
                if (auto* l = qobject_cast<QLabel*>(d->Control(CConvProg::kSourceValue))) l->setText(r->text);
                break;
            case Report::Destination:
                if (auto* l = qobject_cast<QLabel*>(d->Control(CConvProg::kDestinationValue))) l->setText(r->text);
                break;
            case Report::MessageBox: {
                // Not modal: the engine does not wait for it, and the run goes on behind it.
                auto* box = new QMessageBox(QMessageBox::Critical, QString::fromLatin1(kProductName), r->text,
                                            QMessageBox::Ok, d);
                box->setAttribute(Qt::WA_DeleteOnClose);
                box->setWindowModality(Qt::NonModal);
                box->show();
                break;
            }
            }
        }
        if (r->handled) r->handled->store(true, std::memory_order_release);
        return true;
    }

private:
    QPointer<CConvProg> dialog_;
};

class ConvProgSink : public JoinSink {
public:
    explicit ConvProgSink(CConvProg* dialog) : relay_(new Relay(dialog)) {}
    // The last owner may be a worker thread; deleteLater hands the deletion to the UI thread.
    ~ConvProgSink() override { relay_->deleteLater(); }

    void Progress(float taskPercent, float overallPercent, bool final, const JoinRunState& run) override {
        auto* e = new ReportEvent(Report::Progress);
        e->taskPercent = taskPercent;
        e->overallPercent = overallPercent;
        std::shared_ptr<std::atomic<bool>> handled;
        if (final) {
            handled = std::make_shared<std::atomic<bool>>(false);
            e->handled = handled;
        }
        QCoreApplication::postEvent(relay_, e);
        if (!final) return;
        // The final report waits for its handler, but never for a UI thread that has stopped
        // the run: that thread may be waiting for this very worker.
        while (!handled->load(std::memory_order_acquire) && run.running.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    void Message(std::string text, int kind) override {
        auto* e = new ReportEvent(Report::Message);
        e->text = QString::fromStdString(text);
        e->kind = kind;
        QCoreApplication::postEvent(relay_, e);
    }
    void Done() override { QCoreApplication::postEvent(relay_, new ReportEvent(Report::Done)); }
    void Failed() override { QCoreApplication::postEvent(relay_, new ReportEvent(Report::Failed)); }
    void SetTitle(std::string text) override { PostText(Report::Title, text); }
    void SetSource(std::string text) override { PostText(Report::Source, text); }
    void SetDestination(std::string text) override { PostText(Report::Destination, text); }
    void ShowMessageBox(std::string text) override { PostText(Report::MessageBox, text); }

private:
    void PostText(Report r, const std::string& text) {
        auto* e = new ReportEvent(r);
        e->text = QString::fromStdString(text);
        QCoreApplication::postEvent(relay_, e);
    }

    Relay* relay_;
};

class LogDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    // Colours are chosen per cell at paint time, from the row number and the line's kind.
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        option->backgroundBrush = CConvProg::LogBackground(index.row(), option->palette);
        const int kind = index.sibling(index.row(), 0).data(Qt::UserRole).toInt();
        const QColor text = CConvProg::LogTextColour(kind, option->palette);
        if (text.isValid()) {
            option->palette.setColor(QPalette::Text, text);
            option->palette.setColor(QPalette::HighlightedText, text);
        }
    }
};

}  // namespace

// ---- construction ----

CConvProg::CConvProg(std::shared_ptr<JoinEngine> engine, QWidget* parent, ApplicationProfile* profile,
                     std::shared_ptr<JoinRunState> run)
    : CResizeDlg(parent), engine_(std::move(engine)), run_(std::move(run)) {
    if (!engine_) engine_ = std::make_shared<JoinEngine>();
    if (!run_) run_ = engine_->activeRun;
    run_->threadsStarted = 1;
    sink_ = std::make_shared<ConvProgSink>(this);
    SetProfile(profile);
    setModal(true);
    // The program's name and icon (the application's) until the join names its state.
    setWindowTitle(QStringLiteral("Velmora"));

    const DialogUnits units(font());
    auto controls = BuildTemplate(this, kTemplate170, units);
    log_ = new QTreeWidget(this);
    SetControlId(log_, kLogList);
    for (const TemplateItem& item : kTemplate170)
        if (item.id == kLogList) log_->setGeometry(TemplateRect(item, units));
    controls[kLogList] = log_;
    // The template's order is the tab order; the list was created last.
    QWidget::setTabOrder(controls[kDestinationValue], log_);
    QWidget::setTabOrder(log_, controls[kClearButton]);
    RegisterControls(controls);
    bar_ = static_cast<QProgressBar*>(controls[kProgressBar]);
    clear_ = static_cast<QPushButton*>(controls[kClearButton]);
    pause_ = static_cast<QPushButton*>(controls[kPauseButton]);
    cancel_ = static_cast<QPushButton*>(controls[kCancelButton]);
    resize(units.ToPixels(kSize170));

    InitResizeDlg();

    bar_->setRange(0, 100);
    bar_->setValue(0);

    // The log: report style, selection always shown, headers not clickable.
    log_->setColumnCount(4);
    log_->setHeaderLabels({QString(), QStringLiteral("#"), QStringLiteral("Time"), QStringLiteral("Description")});
    log_->setRootIsDecorated(false);
    log_->setUniformRowHeights(true);
    log_->setSelectionBehavior(QAbstractItemView::SelectRows);
    log_->setSelectionMode(QAbstractItemView::SingleSelection);
    log_->setAllColumnsShowFocus(true);
    log_->setItemDelegate(new LogDelegate(log_));
    QHeaderView* header = log_->header();
    header->setSectionsClickable(false);
    header->setSectionsMovable(true);
    header->setMinimumSectionSize(0);
    header->resizeSection(0, 0);
    // At least wide enough for their texts in the desktop's font.
    const QFontMetrics metrics(log_->font());
    header->resizeSection(1, std::max(55, metrics.horizontalAdvance(QStringLiteral("0000 ")) + 12));
    header->resizeSection(2, std::max(63, metrics.horizontalAdvance(QStringLiteral("00:00:00")) + 12));
    header->resizeSection(3, 500);
    // The description fills the width and no sideways scroll bar comes and goes under the
    // newest line; a line too long to show whole shows it on hover.
    header->setStretchLastSection(true);
    log_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    log_->setTextElideMode(Qt::ElideMiddle);
    log_->headerItem()->setTextAlignment(1, Qt::AlignCenter);
    log_->headerItem()->setTextAlignment(2, Qt::AlignCenter);

    // Layout rules: left, right, top, bottom modes.
    for (int id : {kProgressGroup, kProgressBar}) AddControl(id, 1, 1, 0, 0);
    for (int id : {kSourceValue, kDestinationValue}) AddControl(id, 1, 1, 0, 0, 0, 1, -1, -1, -1);
    for (int id : {kClearButton, kPauseButton, kCancelButton}) AddControl(id, 3, 3, 2, 2, 0, 1, -1, -1, -1);
    for (int id : {kDoneLabel, kSpeedLabel, kElapsedLabel, kEtaLabel, kDoneValue, kSpeedValue, kElapsedValue, kEtaValue})
        AddControl(id, 3, 3, 0, 0, 0, 1, -1, -1, -1);
    AddControl(kLogList, 1, 1, 1, 1, 0, 1, -1, -1, -1);

    connect(clear_, &QPushButton::clicked, this, &CConvProg::OnClear);
    connect(pause_, &QPushButton::clicked, this, &CConvProg::OnPause);
    connect(cancel_, &QPushButton::clicked, this, &CConvProg::OnCancel);

    SetPlacementKey(QString::fromLatin1(kPlacementKey));
    const QString section = QStringLiteral("Position");
    try {
        RestorePlacement(this, placementKey(), section);
    } catch (...) {
        ApplyStoredPlacement();
    }
}

CConvProg::~CConvProg() {
    if (run_->threadsStarted) {
        if (!run_->stopped) {
            // The dialog is going away: the run goes with it. Clearing `running` first ends the
            // workers at their next poll and releases an encoder waiting on its final report.
            // Closed by the user, it counts as cancelled: what was joined is kept.
            run_->stopped = 1;
            run_->running = 0;
            StopWorkers();
        }
        SetTaskbarState(TaskbarProgress::NoProgress);
    }
    // A worker left running must not report to a dialog that is gone.
    if (engine_->sink == sink_ && StopJoinWorkers(*run_, 0)) engine_->sink.reset();
    SavePlacementOnDestroy();
}

// ---- opening ----

void CConvProg::showEvent(QShowEvent* e) {
    CResizeDlg::showEvent(e);
    if (!started_) {
        started_ = true;
        StartRun();
    }
}

void CConvProg::StartRun() {
    // Checked before anything is reset or replaced: a worker of the engine's earlier run still
    // reads that run's flags, the ring buffers, the sink and the settings.
    const std::shared_ptr<JoinRunState> earlier = engine_->activeRun;
    if (!earlier->WorkerStillRunning() && !run_->WorkerStillRunning()) {
        engine_->activeRun = run_;
        run_->ResetForRun();
        SetTaskbarState(TaskbarProgress::Normal);
        engine_->sink = sink_;
        if (StartJoinRun(engine_)) return;
    }
    // A run this dialog never started is left as it is; its own workers still poll it.
    if (run_ != earlier) run_->running = 0;
    AddLogLine(QStringLiteral("The previous join is still stopping; close this window and try again."), kMessageError);
    OnJoinFailed();
}

// ---- handlers ----

void CConvProg::OnJoinProgress(float /*taskPercent*/, float overallPercent) {
    if (!run_->running) return;
    ++gProgressMessages;
    const double p = overallPercent;
    if (auto* l = qobject_cast<QLabel*>(Control(kDoneValue))) l->setText(QString::asprintf("%5.2lf%%", p));
    // The engine does not clamp its percentages; the bar's range does.
    bar_->setValue(static_cast<int>(std::clamp(p, 0.0, 100.0)));
    if (gProgressMessages % 10 != 0) return;
    // Paused time is no work: it counts in none of Elapsed, Speed and ETA.
    const uint32_t now = TickCount();
    const double t = WorkingMs(*run_, run_->taskStartTick, run_->taskPausedAtStart, now) / 1000.0;
    const double j = WorkingMs(*run_, run_->jobStartTick, run_->jobPausedAtStart, now) / 1000.0;
    if (t <= 0.1) return;
    if (auto* l = qobject_cast<QLabel*>(Control(kElapsedValue))) l->setText(FormatHms(j));
    if (p > 0)
        if (auto* l = qobject_cast<QLabel*>(Control(kEtaValue))) l->setText(FormatHms(RemainingSeconds(p, j)));
    ShowSpeed(j);
    if (taskbarProgress) taskbarProgress->SetProgressValue(static_cast<uint64_t>(std::clamp(p, 0.0, 100.0)), 100);
}

void CConvProg::ShowSpeed(double workingSeconds) {
    if (auto* l = qobject_cast<QLabel*>(Control(kSpeedValue)))
        l->setText(QString::asprintf(" %5.2fx", workingSeconds > 0 ? run_->overallSecondsDone.load() / workingSeconds : 0.0));
}

void CConvProg::OnJoinMessage(const QString& text, int kind) {
    AddLogLine(text, kind);
    if (kind > 0) SetTaskbarState(TaskbarProgress::Error);
}

void CConvProg::OnJoinDone() {
    ended_ = true;
    run_->running = 0;
    if (auto* l = qobject_cast<QLabel*>(Control(kDoneValue))) l->setText(QStringLiteral("100.0%"));
    bar_->setValue(100);
    if (auto* l = qobject_cast<QLabel*>(Control(kEtaValue))) l->setText(QStringLiteral("00:00:00"));
    // A join shorter than the progress refresh still gets its speed and time.
    const double j = WorkingMs(*run_, run_->jobStartTick, run_->jobPausedAtStart, TickCount()) / 1000.0;
    if (auto* l = qobject_cast<QLabel*>(Control(kElapsedValue))) l->setText(FormatHms(j));
    ShowSpeed(j);
    pause_->setEnabled(true);
    pause_->setText(QStringLiteral("Open Dir"));
    cancel_->setText(QStringLiteral("Finish"));
    setWindowTitle(QStringLiteral("Finished Joining"));
    AddLogLine(QStringLiteral("Finished joining, all done ^_^"), kMessageInfo);
    if (taskbarProgress) taskbarProgress->SetProgressValue(100, 100);
}

void CConvProg::OnJoinFailed() {
    // Sent once when a run ends without finishing; a cancel closes the dialog anyway, and a
    // run that finished keeps its done state.
    if (closing_ || run_->stopped || ended_) return;
    ended_ = true;
    SetPaused(*run_, false);
    pause_->setEnabled(true);
    pause_->setText(QStringLiteral("Open Dir"));
    cancel_->setEnabled(true);
    cancel_->setText(QStringLiteral("Close"));
    setWindowTitle(QStringLiteral("Joining Failed"));
    SetTaskbarState(TaskbarProgress::Error);
}

void CConvProg::OnPause() {
    if (run_->running) {
        const bool nowPaused = !run_->paused;
        SetPaused(*run_, nowPaused);
        AddLogLine(nowPaused ? QStringLiteral("Paused.") : QStringLiteral("Resumed."), kMessageInfo);
        pause_->setText(nowPaused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
        SetTaskbarState(nowPaused ? TaskbarProgress::Paused : TaskbarProgress::Normal);
        return;
    }
    // Done or failed: open the output folder.
    if (run_->tasks.empty()) return;
    const QString path = QString::fromStdString(run_->tasks.front().outputPath);
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0) return;
    FolderOpener()(path.left(slash + 1));
}

void CConvProg::OnCancel() {
    if (closing_) return;
    if (run_->running) {
        const bool wasPaused = run_->paused;
        SetPaused(*run_, true);  // holds the encoder while the question is up
        const auto answer = QMessageBox::question(this, QString::fromLatin1(kProductName),
                                                  QStringLiteral("Do You Want to Cancel?"),
                                                  QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
        if (answer != QMessageBox::Yes) {
            // The join goes on unpaused, whatever it was before; the button says so. A join that
            // ended while the question was open keeps its end state.
            SetPaused(*run_, false);
            if (run_->running) {
                pause_->setText(QStringLiteral("Pause"));
                if (wasPaused) SetTaskbarState(TaskbarProgress::Normal);
            }
            return;
        }
        SetTaskbarState(TaskbarProgress::Indeterminate);
        run_->stopped = 1;
        run_->running = 0;
        pause_->setEnabled(false);
        cancel_->setEnabled(false);
        setWindowTitle(QStringLiteral("Aborting, Please Wait..."));
        repaint();
        StopWorkers();
    }
    closing_ = true;
    done(0);
}

bool CConvProg::StopWorkers() { return StopJoinWorkers(*run_, kStopWaitMs); }

void CConvProg::OnClear() { log_->clear(); }

void CConvProg::AddLogLine(const QString& text, int kind) {
    ++gLogLines;
    auto* item = new QTreeWidgetItem(log_);
    item->setData(0, Qt::UserRole, kind);
    item->setText(1, QString::asprintf("%03d ", gLogLines));
    item->setTextAlignment(1, Qt::AlignCenter);
    const QTime now = QTime::currentTime();
    item->setText(2, now.isValid() ? QString::asprintf("%02d:%02d:%02d", now.hour(), now.minute(), now.second())
                                   : QStringLiteral("-1:-1:-1"));
    item->setTextAlignment(2, Qt::AlignCenter);
    item->setText(3, text);
    item->setToolTip(3, text);
    log_->scrollToItem(item);
}

QString CConvProg::text(int id) const {
    QWidget* w = Control(id);
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    return QString();
}

// ---- keys and closing ----

void CConvProg::keyPressEvent(QKeyEvent* e) {
    // While a join runs neither Esc nor Enter closes the dialog; once it has ended, Esc closes
    // it as Finish or Close does.
    switch (e->key()) {
    case Qt::Key_Escape:
        if (ended_ && !run_->running) OnCancel();
        e->accept();
        return;
    case Qt::Key_Enter:
    case Qt::Key_Return:
        e->accept();
        return;
    default:
        CResizeDlg::keyPressEvent(e);
    }
}

void CConvProg::closeEvent(QCloseEvent* e) {
    // The close box is the Cancel button: it asks while the join runs.
    e->ignore();
    OnCancel();
}

void CConvProg::reject() { OnCancel(); }

void CConvProg::SetTaskbarState(TaskbarProgress::State s) {
    if (taskbarProgress) taskbarProgress->SetProgressState(s);
}

// ---- helpers ----

int CConvProg::logLinesAdded() { return gLogLines; }
int CConvProg::progressMessagesHandled() { return gProgressMessages; }

QString CConvProg::FormatHms(double seconds) {
    const long long s = seconds > 0 ? static_cast<long long>(seconds) : 0;
    return QString::asprintf("%02lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
}

double CConvProg::RemainingSeconds(double percent, double elapsed) { return (100.0 - percent) * elapsed / percent; }

QColor CConvProg::LogTextColour(int kind, const QPalette& palette) {
    if (kind == kMessageInfo) return LogInfoColour(palette);
    if (kind == kMessageError) return LogErrorColour(palette);
    return QColor();
}

QColor CConvProg::LogBackground(int row, const QPalette& palette) { return ListRowShade(palette, (row % 2) != 0, false); }

std::function<bool(const QString&)>& CConvProg::FolderOpener() {
    static std::function<bool(const QString&)> opener = [](const QString& folder) {
        return OpenWithDesktop(folder, QApplication::activeWindow());
    };
    return opener;
}

}  // namespace velmora
