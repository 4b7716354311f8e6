// Helpers of the window tests: answering the next modal window, and a main window shown as
// the application shows it.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

#include "app/zeph_dlg.h"

namespace velmora::testing {

// Answers the next modal widget of type T by `answer`, polling; gives up after `ms`.
template <typename T>
void AnswerModal(std::function<void(T*)> answer, int ms = 15000) {
    auto* timer = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(timer, &QTimer::timeout, [timer, clock, answer, ms] {
        if (auto* w = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            answer(w);
        } else if (clock->elapsed() > ms) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(20);
}

// Closes every modal dialog still open (a test that failed half-way leaves them).
inline void RejectOpenDialogs() {
    while (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        d->reject();
        QApplication::processEvents();
    }
}

// A main window built and shown as the application shows it, without its modal loop.
inline std::unique_ptr<CZEPHDlg> OpenShownMainWindow() {
    auto dlg = std::make_unique<CZEPHDlg>();
    EXPECT_TRUE(dlg->OnInitDialog());
    dlg->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    QApplication::setActiveWindow(dlg.get());
    QTest::qWait(20);
    return dlg;
}

}  // namespace velmora::testing
