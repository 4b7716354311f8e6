// The real program on a real X server (Xvfb), driven with xdotool: start-up time, a second
// start, Escape and Enter, Exit, and a copy under another name.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include "app_env.h"
#include "x_server.h"
#include "settings/application_profile.h"
#include "settings/config_ini.h"

using velmora::testing::AppEnv;
using velmora::testing::XServer;

namespace {

constexpr char kTitle[] = "Velmora 5.0.9";

class AppProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            GTEST_SKIP() << "Xvfb or xdotool is not installed";
        binary_ = qEnvironmentVariable("VELMORA_BIN_DIR") + QStringLiteral("/velmora");
        if (!QFileInfo(binary_).isExecutable()) GTEST_SKIP() << "no velmora binary beside the tests";
        if (!x_.Start(91)) GTEST_SKIP() << "Xvfb could not start";
    }

    void TearDown() override {
        for (QProcess* p : started_) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(3000);
            }
            delete p;
        }
    }

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

    QProcess* Launch(const QString& program) {
        auto* p = new QProcess;
        p->setProcessEnvironment(Environment());
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(program, {});
        started_.push_back(p);
        p->waitForStarted(3000);
        return p;
    }

    // Still running after a short look (QProcess learns of an end only when asked).
    static bool IsRunning(QProcess* p) { return p->state() == QProcess::Running && !p->waitForFinished(50); }

    QString Xdotool(const QStringList& args, int timeoutMs = 5000) const {
        QProcess x;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("DISPLAY"), x_.display());
        x.setProcessEnvironment(e);
        x.start(QStringLiteral("xdotool"), args);
        x.waitForFinished(timeoutMs);
        return QString::fromLocal8Bit(x.readAllStandardOutput()).trimmed();
    }

    QStringList Windows() const {
        const QString out = Xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                                     QStringLiteral("^%1$").arg(QString::fromLatin1(kTitle))});
        return out.isEmpty() ? QStringList() : out.split(QLatin1Char('\n'));
    }

    // Waits until `count` main windows are mapped; returns the time it took, -1 on timeout.
    qint64 WaitForWindows(int count, int timeoutMs) const {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            if (Windows().size() >= count) return t.elapsed();
            QThread::msleep(50);
        }
        return -1;
    }

    AppEnv env_;
    XServer x_;
    QString binary_;
    std::vector<QProcess*> started_;
};

}  // namespace

TEST_F(AppProcessTest, StartsQuicklyAndASecondStartEndsLeavingOneWindow) {
    QElapsedTimer t;
    t.start();
    QProcess* first = Launch(binary_);
    ASSERT_TRUE(first->waitForStarted(3000));
    ASSERT_GE(WaitForWindows(1, 10000), 0) << "no window appeared";
    EXPECT_LT(t.elapsed(), 5000);
    ASSERT_EQ(Windows().size(), 1);

    QElapsedTimer second;
    second.start();
    QProcess* again = Launch(binary_);
    ASSERT_TRUE(again->waitForFinished(2000)) << "the second start did not end";
    EXPECT_LT(second.elapsed(), 2000);
    EXPECT_EQ(again->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(again->exitCode(), 0);
    QThread::msleep(200);
    EXPECT_EQ(Windows().size(), 1);
    EXPECT_TRUE(IsRunning(first));
}

TEST_F(AppProcessTest, TwoStartsAtOnceGiveOneWindow) {
    QProcess* a = Launch(binary_);
    QProcess* b = Launch(binary_);
    ASSERT_TRUE(a->waitForStarted(3000));
    ASSERT_TRUE(b->waitForStarted(3000));
    ASSERT_GE(WaitForWindows(1, 10000), 0);
    // Exactly one of them ends, the other keeps its window.
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 5000 && IsRunning(a) && IsRunning(b)) {
    }
    QThread::msleep(300);
    EXPECT_EQ(Windows().size(), 1);
    EXPECT_NE(IsRunning(a), IsRunning(b));
}

TEST_F(AppProcessTest, EscapeAndEnterLeaveTheWindowOpenAndExitSavesEverything) {
    QProcess* app = Launch(binary_);
    ASSERT_GE(WaitForWindows(1, 10000), 0);
    const QString id = Windows().value(0);
    Xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), id});
    for (const char* key : {"Escape", "Return", "KP_Enter", "Escape"}) {
        Xdotool({QStringLiteral("key"), QString::fromLatin1(key)});
        QThread::msleep(100);
    }
    EXPECT_EQ(Windows().size(), 1);
    EXPECT_TRUE(IsRunning(app));

    // File > Exit, by the mouse on the menu bar and the keyboard in the menu.
    const QString geometry = Xdotool({QStringLiteral("getwindowgeometry"), id});
    Xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), id, QStringLiteral("14"), QStringLiteral("8")});
    Xdotool({QStringLiteral("click"), QStringLiteral("1")});
    QThread::msleep(300);
    Xdotool({QStringLiteral("key"), QStringLiteral("Up")});
    QThread::msleep(100);
    Xdotool({QStringLiteral("key"), QStringLiteral("Return")});
    ASSERT_TRUE(app->waitForFinished(5000)) << "Exit did not end the program; window " << geometry.toStdString();
    EXPECT_EQ(app->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app->exitCode(), 1);
    EXPECT_TRUE(Windows().isEmpty());

    // The settings and the layout are on disk.
    const auto ini = velmora::LoadConfigIni(env_.SettingsFile().toStdString());
    ASSERT_TRUE(ini.has_value());
    EXPECT_TRUE(ini->Value("MP3", "LameBits").has_value());
    const QString profileFile = QString::fromStdString((env_.config() / "Orvatek Corporation" / "Velmora" / "velmora.conf").string());
    ASSERT_TRUE(QFile::exists(profileFile));
    auto profile = velmora::ApplicationProfile::AtPath(profileFile);
    EXPECT_TRUE(profile.GetProfileBinary("Position", "{BCE5C5B7-46CB-4890-9EB9-507AC16A7FB6}").has_value());
    EXPECT_EQ(profile.GetProfileBinary("FileList", "Column").value_or(QByteArray()).size(), 18 * 8);
    EXPECT_EQ(profile.GetProfileBinary("FileList", "ShowLeftTree").value_or(QByteArray()), QByteArray(1, 1));
    EXPECT_EQ(profile.GetProfileInt("splt\\init_v103", "VertSplitPos", -1), 200);
}

TEST_F(AppProcessTest, ACopyUnderAnotherNameIsAnotherInstance) {
    const QString copy = QString::fromStdString((env_.root() / "velmora-copy").string());
    ASSERT_TRUE(QFile::copy(binary_, copy));
    QFile::setPermissions(copy, QFile::permissions(copy) | QFileDevice::ExeOwner);
    QProcess* a = Launch(binary_);
    ASSERT_GE(WaitForWindows(1, 10000), 0);
    QProcess* b = Launch(copy);
    EXPECT_GE(WaitForWindows(2, 10000), 0);
    EXPECT_EQ(Windows().size(), 2);
    EXPECT_TRUE(IsRunning(a));
    EXPECT_TRUE(IsRunning(b));
}
