// CProcessing: the busy dialog of long list operations. A marquee bar and a Cancel button;
// shown only when the operation is still running half a second after it began.
#pragma once

#include <QDialog>

#include <atomic>

class QProgressBar;
class QPushButton;

namespace velmora {

class CProcessing : public QDialog {
    Q_OBJECT
public:
    static constexpr int kProgressId = 1054;
    static constexpr int kCancelId = 3;
    static constexpr int kShowDelayMs = 500;

    explicit CProcessing(QWidget* parent = nullptr);
    ~CProcessing() override;

    // The flags Cancel and the close command change: the process-wide list lock (raised) and
    // the busy flag of whoever runs the operation (cleared).
    void SetFlags(std::atomic<int>* listLocked, std::atomic<int>* busy);

    // Timer 1: when it fires, the dialog shows itself (if it is not visible already).
    void StartTimer(int milliseconds = kShowDelayMs);
    void StopTimer();
    bool timerRunning() const { return timerId_ != 0; }

    // The busy-state steps of the owner: centre over `owner`, empty title, timer 1 of 500 ms;
    // and at the end, timer off and hidden.
    void EnterBusy(QWidget* owner);
    void LeaveBusy();

    QProgressBar* progressBar() const { return bar_; }
    QPushButton* cancelButton() const { return cancel_; }

protected:
    void timerEvent(QTimerEvent* e) override;
    void reject() override;

private:
    void OnCancel();

    QProgressBar* bar_ = nullptr;
    QPushButton* cancel_ = nullptr;
    int timerId_ = 0;
    std::atomic<int>* listLocked_ = nullptr;
    std::atomic<int>* busy_ = nullptr;
};

}  // namespace velmora
