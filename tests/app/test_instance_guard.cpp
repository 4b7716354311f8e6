#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QFile>
#include <QSignalSpy>
#include <QLocalSocket>
#include <QTest>

#include "app/instance_guard.h"
#include "support/mp3_fixtures.h"

using namespace velmora;

namespace {

// Each test works in a runtime folder of its own, so nothing meets a real instance.
class InstanceGuardTest : public ::testing::Test {
protected:
    void SetUp() override {
        old_ = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(dir_.path().string()));
    }
    void TearDown() override { qputenv("XDG_RUNTIME_DIR", old_); }

    velmora::testing::TempDir dir_;
    QByteArray old_;
};

// The asking side blocks, as a second process would, so it asks from a thread of its own while
// this thread's loop lets the first answer. 1: answered, 0: not, -1: no end within waitMs.
int AskWhileServing(const std::function<bool()>& ask, int waitMs) {
    std::atomic<int> answered{-1};
    std::thread asker([&] { answered = ask() ? 1 : 0; });
    QElapsedTimer t;
    t.start();
    while (answered.load() < 0 && t.elapsed() < waitMs) QTest::qWait(10);
    asker.join();
    return answered.load();
}

}  // namespace

TEST_F(InstanceGuardTest, FilesAreKeyedByNameInTheRuntimeFolder) {
    CInstanceGuard guard(QStringLiteral("velmora"));
    EXPECT_EQ(guard.LockPath().toStdString(), (dir_.path() / "velmora.lock").string());
    EXPECT_EQ(guard.SocketPath().toStdString(), (dir_.path() / "velmora.sock").string());
}

TEST_F(InstanceGuardTest, SecondGuardOfTheSameNameIsNotFirst) {
    CInstanceGuard first(QStringLiteral("velmora"));
    ASSERT_TRUE(first.TryBecomeFirst());
    EXPECT_TRUE(first.TryBecomeFirst());  // asking again keeps the lock
    CInstanceGuard second(QStringLiteral("velmora"));
    EXPECT_FALSE(second.TryBecomeFirst());
    EXPECT_TRUE(QFile::exists(first.LockPath()));
}

TEST_F(InstanceGuardTest, DifferentNamesAreDifferentInstances) {
    CInstanceGuard a(QStringLiteral("velmora"));
    CInstanceGuard b(QStringLiteral("velmora-copy"));
    EXPECT_TRUE(a.TryBecomeFirst());
    EXPECT_TRUE(b.TryBecomeFirst());
}

TEST_F(InstanceGuardTest, LockIsFreedWhenTheFirstGoesAway) {
    {
        CInstanceGuard first(QStringLiteral("velmora"));
        ASSERT_TRUE(first.TryBecomeFirst());
    }
    CInstanceGuard next(QStringLiteral("velmora"));
    EXPECT_TRUE(next.TryBecomeFirst());
}

TEST_F(InstanceGuardTest, SimultaneousStartsGiveExactlyOneFirst) {
    for (int round = 0; round < 20; ++round) {
        constexpr int kStarts = 8;
        std::vector<std::unique_ptr<CInstanceGuard>> guards;
        for (int i = 0; i < kStarts; ++i) guards.push_back(std::make_unique<CInstanceGuard>(QStringLiteral("race")));
        std::atomic<int> firsts{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int i = 0; i < kStarts; ++i) {
            threads.emplace_back([&, i] {
                while (!go.load(std::memory_order_acquire)) {
                }
                if (guards[i]->TryBecomeFirst()) firsts.fetch_add(1);
            });
        }
        go.store(true, std::memory_order_release);
        for (auto& t : threads) t.join();
        ASSERT_EQ(firsts.load(), 1) << "round " << round;
    }
}

TEST_F(InstanceGuardTest, SecondStartAsksTheFirstToComeForward) {
    CInstanceGuard first(QStringLiteral("velmora"));
    ASSERT_TRUE(first.TryBecomeFirst());
    ASSERT_TRUE(first.Listen());
    QSignalSpy spy(&first, &CInstanceGuard::comeForward);

    CInstanceGuard second(QStringLiteral("velmora"));
    ASSERT_FALSE(second.TryBecomeFirst());
    EXPECT_EQ(AskWhileServing([&] { return second.AskRunningToComeForward(3000); }, 5000), 1);
    EXPECT_EQ(spy.count(), 1);
}

TEST_F(InstanceGuardTest, ASecondStartHandsItsPathsOverWhateverTheirNames) {
    CInstanceGuard first(QStringLiteral("velmora"));
    ASSERT_TRUE(first.TryBecomeFirst());
    ASSERT_TRUE(first.Listen());
    QSignalSpy forward(&first, &CInstanceGuard::comeForward);
    QSignalSpy open(&first, &CInstanceGuard::openPaths);
    const QStringList paths{QStringLiteral("/music/a b.mp3"), QStringLiteral("/music/new\nline %20.mp3"),
                            QStringLiteral("/m\u00fcsik/\u65e5\u672c/")};
    CInstanceGuard second(QStringLiteral("velmora"));
    ASSERT_FALSE(second.TryBecomeFirst());
    EXPECT_EQ(AskWhileServing([&] { return second.AskRunningToOpen(paths, 3000); }, 5000), 1);
    EXPECT_EQ(forward.count(), 1);
    ASSERT_EQ(open.count(), 1);
    EXPECT_EQ(open.front().front().toStringList(), paths);
}

TEST_F(InstanceGuardTest, NobodyListeningMeansNoAnswer) {
    CInstanceGuard first(QStringLiteral("velmora"));
    ASSERT_TRUE(first.TryBecomeFirst());  // holds the lock but does not listen yet
    CInstanceGuard second(QStringLiteral("velmora"));
    ASSERT_FALSE(second.TryBecomeFirst());
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(second.AskRunningToComeForward(500));
    EXPECT_LT(t.elapsed(), 3000);
}

TEST_F(InstanceGuardTest, StaleSocketFileDoesNotStopListening) {
    {
        QFile stale(QString::fromStdString((dir_.path() / "velmora.sock").string()));
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
        stale.write("left over");
    }
    CInstanceGuard first(QStringLiteral("velmora"));
    ASSERT_TRUE(first.TryBecomeFirst());
    EXPECT_TRUE(first.Listen());
}

TEST_F(InstanceGuardTest, ForeignBytesOnTheSocketAreIgnored) {
    CInstanceGuard first(QStringLiteral("velmora"));
    ASSERT_TRUE(first.TryBecomeFirst());
    ASSERT_TRUE(first.Listen());
    QSignalSpy spy(&first, &CInstanceGuard::comeForward);
    std::thread writer([&] {
        QLocalSocket s;
        s.connectToServer(first.SocketPath());
        if (s.waitForConnected(2000)) {
            s.write(QByteArray(1000, 'x'));
            s.waitForBytesWritten(2000);
            s.write("hello\n");
            s.waitForBytesWritten(2000);
            s.waitForDisconnected(2000);
        }
    });
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 500) QTest::qWait(10);
    writer.join();
    EXPECT_EQ(spy.count(), 0);
}

TEST_F(InstanceGuardTest, AnyNumberOfLongPathsIsHandedOverInPieces) {
    CInstanceGuard first(QStringLiteral("velmora"));
    ASSERT_TRUE(first.TryBecomeFirst());
    ASSERT_TRUE(first.Listen());
    QSignalSpy open(&first, &CInstanceGuard::openPaths);
    // 19,500 paths of some 200 non-ASCII characters: far more than 4 MiB once encoded.
    QStringList paths;
    const QString folder = QStringLiteral("/H\u00f6rb\u00fccher/") + QString(60, QChar(0x65E5)) + QLatin1Char('/');
    for (int i = 0; i < 19500; ++i)
        paths << folder + QString(120, QChar(0x00E9)) + QStringLiteral(" %1 Kapitel.mp3").arg(i);
    CInstanceGuard second(QStringLiteral("velmora"));
    ASSERT_FALSE(second.TryBecomeFirst());
    EXPECT_EQ(AskWhileServing([&] { return second.AskRunningToOpen(paths, 3000); }, 20000), 1);
    ASSERT_EQ(open.count(), 1);  // one request, in the order given
    EXPECT_EQ(open.front().front().toStringList(), paths);
}

TEST_F(InstanceGuardTest, ASecondStartThatCannotHandItsFilesOverSaysSoAndFails) {
    // The lock is held, but nobody answers on the socket. The runtime folder is private, as
    // a real one is (Qt warns of any other).
    std::filesystem::permissions(dir_.path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
    CInstanceGuard first(QStringLiteral("velmora"));
    ASSERT_TRUE(first.TryBecomeFirst());
    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(dir_.path().string()));
    env.insert(QStringLiteral("HOME"), QString::fromStdString(dir_.path().string()));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString((dir_.path() / "config").string()));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    second.setProcessEnvironment(env);
    second.start(qEnvironmentVariable("VELMORA_BIN_DIR") + QStringLiteral("/velmora"),
                 {QStringLiteral("/music/a.mp3"), QStringLiteral("/music/b")});
    ASSERT_TRUE(second.waitForFinished(20000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 1);
    const QString err = QString::fromLocal8Bit(second.readAllStandardError());
    EXPECT_EQ(err.count(QLatin1Char('\n')), 1) << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("did not confirm that it took the 2 file(s) and folder(s) given")))
        << err.toStdString();
}
