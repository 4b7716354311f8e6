#include "screens_registry.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
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

QString ScratchHome() {
    static const QString home = [] {
        static QTemporaryDir* dir = new QTemporaryDir;  // lives until the process ends
        const QString h = dir->path() + QStringLiteral("/sam");
        for (const char* d : {"Desktop", "Music/Audiobooks/The Long Road", "Music/Live Sets/2024", "Music/Podcasts",
                              "Music/Radio Edits", "Music/Joined"})
            QDir().mkpath(h + QLatin1Char('/') + QLatin1String(d));
        qputenv("HOME", QFile::encodeName(h));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir->path()));
        return h;
    }();
    return home;
}

}  // namespace velmora::screens
