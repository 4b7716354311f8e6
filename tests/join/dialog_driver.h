// Drives the message boxes a dialog opens: answers the next one with a real click.
#pragma once

#include <QMessageBox>
#include <QString>

#include <memory>

namespace velmora::testing {

struct BoxAnswer {
    bool answered = false;
    QString text;
    QString title;
    bool abandon = false;  // set to stop waiting for the box
};

// From now on, answers the next modal message box that appears by clicking `button`; the
// returned record tells what it said. Gives up after `timeoutMs`.
std::shared_ptr<BoxAnswer> AnswerNextMessageBox(QMessageBox::StandardButton button, int timeoutMs = 10000);

// Processes events until `pred` holds or `timeoutMs` passes; returns pred().
template <typename Pred>
bool WaitUntil(Pred pred, int timeoutMs);

}  // namespace velmora::testing

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

template <typename Pred>
bool velmora::testing::WaitUntil(Pred pred, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs) return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}
