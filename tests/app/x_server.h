// A private Xvfb server for the tests that run the real program: the first free display number
// from a given one up, taken once it answers, ended with the object.
#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QThread>

namespace velmora::testing {

class XServer {
public:
    // Starts Xvfb on the first display number that is free.
    bool Start(int firstDisplay) {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty()) return false;
        for (int n = firstDisplay; n < firstDisplay + 70; ++n) {
            if (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)) ||
                QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)))
                continue;
            server_.start(xvfb, {QStringLiteral(":%1").arg(n), QStringLiteral("-screen"), QStringLiteral("0"),
                                 QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                                 QStringLiteral("-noreset")});
            if (!server_.waitForStarted(3000)) return false;
            QElapsedTimer t;
            t.start();
            while (t.elapsed() < 5000) {
                if (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)) && Answers(n)) {
                    display_ = QStringLiteral(":%1").arg(n);
                    return true;
                }
                if (server_.state() == QProcess::NotRunning) break;  // display taken meanwhile
                QThread::msleep(20);
            }
            server_.kill();
            server_.waitForFinished(2000);
        }
        return false;
    }
    ~XServer() {
        if (server_.state() != QProcess::NotRunning) {
            server_.terminate();
            if (!server_.waitForFinished(3000)) {
                server_.kill();
                server_.waitForFinished(2000);
            }
        }
    }
    const QString& display() const { return display_; }

private:
    // The server takes clients once a query of its screen succeeds.
    static bool Answers(int n) {
        QProcess probe;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(n));
        probe.setProcessEnvironment(e);
        probe.start(QStringLiteral("xdotool"), {QStringLiteral("getdisplaygeometry")});
        return probe.waitForFinished(3000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
    }

private:
    QProcess server_;
    QString display_;
};

}  // namespace velmora::testing
