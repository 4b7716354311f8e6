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

#include "app_under_x.h"
#include "settings/application_profile.h"
#include "settings/config_ini.h"

using velmora::testing::AppUnderXTest;

namespace {

constexpr char kTitle[] = "Velmora 5.0.9";

class AppProcessTest : public AppUnderXTest {
protected:
    AppProcessTest() : AppUnderXTest(91) {}

    void TearDown() override {
        for (QProcess* p : started_) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(3000);
            }
            delete p;
        }
    }

    QProcess* Launch(const QString& program, const QStringList& args = {}) {
        auto* p = new QProcess;
        p->setProcessEnvironment(Environment());
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(program, args);
        started_.push_back(p);
        p->waitForStarted(3000);
        return p;
    }

    // Still running after a short look (QProcess learns of an end only when asked).
    static bool IsRunning(QProcess* p) { return p->state() == QProcess::Running && !p->waitForFinished(50); }

    QStringList Windows() const { return WindowsTitled(QString::fromLatin1(kTitle)); }

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

TEST_F(AppProcessTest, ASecondStartWithFilesHandsThemOverAndEnds) {
    QProcess* first = Launch(binary_, {QStringLiteral("a.mp3"), QStringLiteral("folder/")});
    ASSERT_GE(WaitForWindows(1, 10000), 0) << "no window appeared";
    QElapsedTimer second;
    second.start();
    // A relative name: the running instance gets it made absolute.
    QProcess* again = Launch(binary_, {QStringLiteral("b.mp3")});
    ASSERT_TRUE(again->waitForFinished(2000)) << "the second start did not end";
    EXPECT_LT(second.elapsed(), 2000);
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
