// The base of the tests that run the real program on a private Xvfb server and drive it with
// xdotool: skips when either tool or the program is missing, gives the program a private
// account (AppEnv) and the server's display.
#pragma once

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>

#include "app_env.h"
#include "x_server.h"

namespace velmora::testing {

class AppUnderXTest : public ::testing::Test {
protected:
    // Each test program takes display numbers from its own start, so programs run side by side.
    explicit AppUnderXTest(int firstDisplay) : firstDisplay_(firstDisplay) {}

    void SetUp() override {
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            GTEST_SKIP() << "Xvfb or xdotool is not installed";
        binary_ = qEnvironmentVariable("VELMORA_BIN_DIR") + QStringLiteral("/velmora");
        if (!QFileInfo(binary_).isExecutable()) GTEST_SKIP() << "no velmora binary beside the tests";
        if (!x_.Start(firstDisplay_)) GTEST_SKIP() << "Xvfb could not start";
    }

    // What the program runs with: the server's display and the private account, no session bus.
    QProcessEnvironment Environment() const {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("DISPLAY"), x_.display());
        e.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        e.insert(QStringLiteral("HOME"), QString::fromStdString(env_.home().string()));
        e.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString(env_.config().string()));
        e.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(env_.runtime().string()));
        e.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        return e;
    }

    QString Xdotool(const QStringList& args, int timeoutMs = 5000) const {
        QProcess x;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("DISPLAY"), x_.display());
        x.setProcessEnvironment(e);
        x.start(QStringLiteral("xdotool"), args);
        x.waitForFinished(timeoutMs);
        return QString::fromLocal8Bit(x.readAllStandardOutput()).trimmed();
    }

    // The ids of the mapped windows titled exactly `title`.
    QStringList WindowsTitled(const QString& title) const {
        const QString out = Xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                                     QStringLiteral("^%1$").arg(title)});
        return out.isEmpty() ? QStringList() : out.split(QLatin1Char('\n'));
    }

    // The first window titled `title` once it is mapped; empty on timeout.
    QString WaitForWindow(const QString& title, int timeoutMs) const {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            const QStringList ids = WindowsTitled(title);
            if (!ids.isEmpty()) return ids.first();
            QThread::msleep(100);
        }
        return {};
    }

    AppEnv env_;
    XServer x_;
    QString binary_;

private:
    int firstDisplay_;
};

}  // namespace velmora::testing
