#include "screens_registry.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace velmora::screens {

std::vector<Screen>& Registry() {
    static std::vector<Screen> screens;
    return screens;
}

void Settle(int ms) {
    QElapsedTimer t;
    t.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    } while (t.elapsed() < ms);
}

}  // namespace velmora::screens
