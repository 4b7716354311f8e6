#include "join/processing.h"

#include "controls/dialog_units.h"

#include <QCloseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTimerEvent>

namespace velmora {

namespace {

// Template 157 (dialog units): 316 x 44, "Processing Audio Files...".
constexpr TemplateItem kTemplate157[] = {
    {CProcessing::kProgressId, TemplateKind::ProgressBar, nullptr, 7, 7, 302, 11},
    {CProcessing::kCancelId, TemplateKind::PushButton, "Cancel", 259, 23, 50, 14},
};
constexpr QSize kSize157(316, 44);

}  // namespace

CProcessing::CProcessing(QWidget* parent) : QDialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("Processing Audio Files..."));
    setModal(false);
    const DialogUnits units(font());
    auto controls = BuildTemplate(this, kTemplate157, units);
    bar_ = static_cast<QProgressBar*>(controls.at(kProgressId));
    cancel_ = static_cast<QPushButton*>(controls.at(kCancelId));
    setFixedSize(units.ToPixels(kSize157));  // modal frame: not resizable
    // Marquee: a bar without a range animates on its own.
    bar_->setRange(0, 0);
    connect(cancel_, &QPushButton::clicked, this, &CProcessing::OnCancel);
}

CProcessing::~CProcessing() { StopTimer(); }

void CProcessing::SetFlags(std::atomic<int>* listLocked, std::atomic<int>* busy) {
    listLocked_ = listLocked;
    busy_ = busy;
}

void CProcessing::OnCancel() {
    // Asks the running operation to stop; the window goes when the operation ends.
    if (listLocked_) listLocked_->store(1, std::memory_order_release);
    if (busy_) busy_->store(0, std::memory_order_release);
}

void CProcessing::StartTimer(int milliseconds) {
    StopTimer();
    timerId_ = startTimer(milliseconds);
}

void CProcessing::StopTimer() {
    if (timerId_) killTimer(timerId_);
    timerId_ = 0;
}

void CProcessing::timerEvent(QTimerEvent* e) {
    if (e->timerId() != timerId_) {
        QDialog::timerEvent(e);
        return;
    }
    StopTimer();
    if (!isVisible()) showNormal();
}

void CProcessing::EnterBusy(QWidget* owner) {
    if (owner) {
        const QRect o = owner->frameGeometry();
        move(o.center() - QPoint(width() / 2, height() / 2));
    }
    setWindowTitle(QString());
    StartTimer(kShowDelayMs);
}

void CProcessing::LeaveBusy() {
    StopTimer();
    hide();
}

// The close command (close box, Alt+F4; the dialog's close handling ends here) and Esc, which
// counts as one: hiding the window without asking the operation to stop would leave the user
// no way to stop it. The window is then hidden, dismissed as cancelled.
void CProcessing::reject() {
    OnCancel();
    QDialog::reject();
}

}  // namespace velmora
