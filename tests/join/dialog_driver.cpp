#include "dialog_driver.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace velmora::testing {

std::shared_ptr<BoxAnswer> AnswerNextMessageBox(QMessageBox::StandardButton button, int timeoutMs) {
    auto answer = std::make_shared<BoxAnswer>();
    auto* timer = new QTimer(qApp);
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    QObject::connect(timer, &QTimer::timeout, timer, [timer, answer, button, started, timeoutMs] {
        if (answer->abandon) {
            timer->stop();
            timer->deleteLater();
            return;
        }
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box && box->isVisible()) {
            if (QAbstractButton* b = box->button(button)) {
                answer->text = box->text();
                answer->title = box->windowTitle();
                answer->answered = true;
                timer->stop();
                timer->deleteLater();
                QTest::mouseClick(b, Qt::LeftButton);
                return;
            }
        }
        if (started->elapsed() > timeoutMs) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(5);
    return answer;
}

}  // namespace velmora::testing
