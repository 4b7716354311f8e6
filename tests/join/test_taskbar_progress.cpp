// The taskbar mirror sends com.canonical.Unity.LauncherEntry.Update signals on a real bus (a
// private dbus-daemon started for the test); without a bus there is no mirror.
#include "dialog_driver.h"
#include "join/taskbar_progress.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QProcess>
#include <QStandardPaths>
#include <QVariantMap>

#include <vector>

using namespace velmora;

class UpdateListener : public QObject {
    Q_OBJECT
public:
    struct Update {
        QString uri;
        QVariantMap props;
    };
    std::vector<Update> updates;

public slots:
    void OnUpdate(const QString& uri, const QVariantMap& props) { updates.push_back({uri, props}); }
};

namespace {

struct PrivateBus {
    QProcess daemon;
    QString address;
    bool Start() {
        const QString exe = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (exe.isEmpty()) return false;
        daemon.start(exe, {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (!daemon.waitForStarted(5000)) return false;
        if (!daemon.waitForReadyRead(5000)) return false;
        address = QString::fromUtf8(daemon.readLine()).trimmed();
        return !address.isEmpty();
    }
    ~PrivateBus() {
        daemon.terminate();
        daemon.waitForFinished(3000);
    }
};

}  // namespace

TEST(TaskbarProgress, SendsLauncherEntryUpdates) {
    PrivateBus bus;
    if (!bus.Start()) GTEST_SKIP() << "dbus-daemon is not available";
    QDBusConnection sender = QDBusConnection::connectToBus(bus.address, QStringLiteral("taskbar-sender"));
    QDBusConnection receiver = QDBusConnection::connectToBus(bus.address, QStringLiteral("taskbar-receiver"));
    ASSERT_TRUE(sender.isConnected());
    ASSERT_TRUE(receiver.isConnected());
    UpdateListener listener;
    ASSERT_TRUE(receiver.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                 QStringLiteral("Update"), &listener, SLOT(OnUpdate(QString, QVariantMap))));
    {
        std::unique_ptr<TaskbarProgress> taskbar = CreateTaskbarProgress(QStringLiteral("velmora.desktop"), sender);
        ASSERT_TRUE(taskbar);
        taskbar->SetProgressState(TaskbarProgress::Normal);
        taskbar->SetProgressValue(37, 100);
        taskbar->SetProgressState(TaskbarProgress::Error);
        taskbar->SetProgressValue(250, 100);  // more than done: shown full
    }  // going away clears the entry
    ASSERT_TRUE(velmora::testing::WaitUntil([&] { return listener.updates.size() >= 5; }, 5000));
    const auto& u = listener.updates;
    for (const auto& one : u) EXPECT_EQ(one.uri, QStringLiteral("application://velmora.desktop"));
    EXPECT_TRUE(u[0].props.value(QStringLiteral("progress-visible")).toBool());
    EXPECT_DOUBLE_EQ(u[1].props.value(QStringLiteral("progress")).toDouble(), 0.37);
    EXPECT_TRUE(u[2].props.value(QStringLiteral("urgent")).toBool());
    EXPECT_DOUBLE_EQ(u[3].props.value(QStringLiteral("progress")).toDouble(), 1.0);
    EXPECT_FALSE(u[4].props.value(QStringLiteral("progress-visible")).toBool());
    QDBusConnection::disconnectFromBus(QStringLiteral("taskbar-sender"));
    QDBusConnection::disconnectFromBus(QStringLiteral("taskbar-receiver"));
}

TEST(TaskbarProgress, NoBusMeansNoMirror) {
    QDBusConnection none = QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/velmora-bus"),
                                                         QStringLiteral("taskbar-none"));
    EXPECT_FALSE(none.isConnected());
    EXPECT_EQ(CreateTaskbarProgress(QStringLiteral("velmora.desktop"), none), nullptr);
    QDBusConnection::disconnectFromBus(QStringLiteral("taskbar-none"));
}

#include "test_taskbar_progress.moc"
