// The progress dialog over real joins of generated inputs: the engine, the encoder module and
// the dialog's own sink, no stand-ins.
#include "dialog_driver.h"
#include "join_fixture.h"
#include "join/conv_prog.h"
#include "settings/application_profile.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTime>
#include <QTreeWidget>

using namespace velmora;
using namespace velmora::testing;

namespace {

struct RealJoinTest : ::testing::Test {
    TempDir dir;
    std::unique_ptr<ApplicationProfile> profile = std::make_unique<ApplicationProfile>(
        ApplicationProfile::AtPath(QString::fromStdString((dir / "profile.conf").string())));
    RecordingTaskbar taskbar;
    std::unique_ptr<CConvProg> dlg;

    void SetUp() override { taskbarProgress = &taskbar; }
    void TearDown() override {
        if (dlg) {
            std::shared_ptr<JoinEngine> engine = dlg->engine();
            dlg.reset();
            EXPECT_TRUE(StopJoinWorkers(*engine->activeRun, 10000));
        }
        taskbarProgress = nullptr;
    }

    QStringList LogTexts() const {
        QStringList out;
        for (int i = 0; i < dlg->logList()->topLevelItemCount(); ++i) out << dlg->logList()->topLevelItem(i)->text(3);
        return out;
    }
    bool Finished(int timeoutMs = 60000) {
        return WaitUntil([&] { return dlg->windowTitle() == QStringLiteral("Finished Joining"); }, timeoutMs);
    }
    // Opens the dialog on `task`, waits for the encoder's first samples and presses Pause.
    void OpenAndPauseWhileEncoding(const CConversionTask& task) {
        dlg = std::make_unique<CConvProg>(MakeJoinEngine(task, 100), nullptr, profile.get());
        dlg->show();
        ASSERT_TRUE(WaitUntil([&] { return dlg->run().overallSamplesDone.load() > 0; }, 20000));
        QTest::mouseClick(dlg->pauseButton(), Qt::LeftButton);
        ASSERT_EQ(dlg->pauseButton()->text(), QStringLiteral("Resume"));
    }
    // The join ran to its end and `out` holds all of the task's samples (give or take the
    // encoder's two frames of padding).
    void ExpectFinishedWhole(const std::filesystem::path& out, const CConversionTask& task) {
        ASSERT_TRUE(Finished());
        const DecodedMp3 d = DecodeMp3(out);
        ASSERT_TRUE(d.ok);
        EXPECT_NEAR(static_cast<double>(d.samples.size()), static_cast<double>(task.totalSamples), 2 * 1152 * 2);
    }
};

}  // namespace

// The middle input was listed as readable but is no MP3 by now: it is named, the rest is joined,
// and the run ends as failed.
TEST_F(RealJoinTest, NumberedTimedColouredLinesAndALostInputEndsInTheFailedState) {
    CConversionTask task;
    const auto out = dir / "joined.mp3";
    ASSERT_TRUE(MakeJoinTask({{dir / "a.mp3", 3.0, 44100, 2, 440}, {dir / "b.bad.mp3", 2.0}, {dir / "c.mp3", 3.0, 44100, 2, 660}},
                             out, task));
    const uint64_t expectedSamples = (*task.files)[0].totalSamples + (*task.files)[2].totalSamples;
    auto engine = MakeJoinEngine(task);
    const int firstLine = CConvProg::logLinesAdded() + 1;

    dlg = std::make_unique<CConvProg>(engine, nullptr, profile.get());
    QElapsedTimer clock;
    clock.start();
    dlg->show();
    ASSERT_TRUE(WaitUntil([&] { return dlg->logList()->topLevelItemCount() > 0; }, 10000));
    // The job thread waits 500 ms before its first line.
    EXPECT_GE(clock.elapsed(), 450);
    EXPECT_TRUE(WaitUntil([&] { return dlg->windowTitle() == QStringLiteral("Joining..."); }, 5000) ||
                dlg->windowTitle() == QStringLiteral("Joining Failed"));
    ASSERT_TRUE(WaitUntil([&] { return dlg->windowTitle() == QStringLiteral("Joining Failed"); }, 60000));

    const QStringList lines = LogTexts();
    ASSERT_GE(lines.size(), 4);
    EXPECT_EQ(lines[0], QStringLiteral("Start a new joining task."));
    EXPECT_EQ(lines[1], QStringLiteral("Destination: %1.").arg(QString::fromStdString(out.string())));
    EXPECT_TRUE(lines.contains(QStringLiteral("No audio could be decoded from %1.")
                                   .arg(QString::fromStdString((dir / "b.bad.mp3").string()))));
    EXPECT_EQ(lines.back(), QStringLiteral("Joining status: ERROR."));
    QTreeWidget* log = dlg->logList();
    int errors = 0;
    for (int i = 0; i < log->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = log->topLevelItem(i);
        EXPECT_EQ(item->text(1), QString::asprintf("%03d ", firstLine + i));
        const QTime t = QTime::fromString(item->text(2), QStringLiteral("HH:mm:ss"));
        ASSERT_TRUE(t.isValid()) << item->text(2).toStdString();
        EXPECT_LE(std::abs(t.secsTo(QTime::currentTime())), 120);
        const int kind = item->data(0, Qt::UserRole).toInt();
        if (kind == kMessageError) {
            ++errors;
            EXPECT_EQ(CConvProg::LogTextColour(kind, log->palette()), QColor(255, 0, 0));
        }
    }
    EXPECT_GE(errors, 2);  // the lost input, the status
    EXPECT_EQ(dlg->pauseButton()->text(), QStringLiteral("Open Dir"));
    EXPECT_TRUE(dlg->pauseButton()->isEnabled());
    EXPECT_EQ(dlg->cancelButton()->text(), QStringLiteral("Close"));
    EXPECT_EQ(dlg->text(CConvProg::kDestinationValue), QString::fromStdString(out.string()));
    EXPECT_EQ(dlg->text(CConvProg::kSourceValue), QString::fromStdString((dir / "c.mp3").string()));
    ASSERT_FALSE(taskbar.states.empty());
    EXPECT_EQ(taskbar.states.back(), TaskbarProgress::Error);

    // The output holds the two good inputs, in order.
    const DecodedMp3 d = DecodeMp3(out);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.channels, 2);
    EXPECT_NEAR(static_cast<double>(d.samples.size()), static_cast<double>(expectedSamples), 2 * 1152 * 2);
    EXPECT_NEAR(EstimateFrequency(d, 44100 / 2, 44100), 440, 15);
    EXPECT_NEAR(EstimateFrequency(d, 44100 * 4, 44100), 660, 15);

    QTest::mouseClick(dlg->cancelButton(), Qt::LeftButton);  // Close
    EXPECT_FALSE(dlg->isVisible());
}

TEST_F(RealJoinTest, PauseHoldsTheEncoderAndNoProgressArrives) {
    CConversionTask task;
    const auto out = dir / "paused.mp3";
    ASSERT_TRUE(MakeJoinTask({{dir / "a.mp3", 25.0}, {dir / "b.mp3", 25.0, 44100, 2, 660}}, out, task));
    OpenAndPauseWhileEncoding(task);
    // Let a chunk in flight land, then watch.
    WaitUntil([] { return false; }, 300);
    const uint64_t samples = dlg->run().overallSamplesDone.load();
    const int reports = CConvProg::progressMessagesHandled();
    const QString shown = dlg->text(CConvProg::kDoneValue);
    WaitUntil([] { return false; }, 800);
    EXPECT_EQ(dlg->run().overallSamplesDone.load(), samples);
    EXPECT_EQ(CConvProg::progressMessagesHandled(), reports);
    EXPECT_EQ(dlg->text(CConvProg::kDoneValue), shown);
    EXPECT_LT(samples, task.totalSamples);
    EXPECT_EQ(taskbar.states.back(), TaskbarProgress::Paused);

    QTest::mouseClick(dlg->pauseButton(), Qt::LeftButton);
    EXPECT_EQ(dlg->pauseButton()->text(), QStringLiteral("Pause"));
    ExpectFinishedWhole(out, task);
}

TEST_F(RealJoinTest, APauseLongerThanTheEndOfTaskWaitNeverFailsTheJoin) {
    CConversionTask task;
    const auto out = dir / "held.mp3";
    ASSERT_TRUE(MakeJoinTask({{dir / "a.mp3", 1.0}, {dir / "b.mp3", 1.0, 44100, 2, 660}}, out, task));
    auto engine = MakeJoinEngine(task, 300);
    engine->workerWaitMs = 200;  // the end-of-task wait, shortened
    dlg = std::make_unique<CConvProg>(engine, nullptr, profile.get());
    QElapsedTimer wall;
    wall.start();
    dlg->show();
    QTest::mouseClick(dlg->pauseButton(), Qt::LeftButton);  // before the job's first step
    ASSERT_EQ(dlg->pauseButton()->text(), QStringLiteral("Resume"));
    // Decoding ends at once (both inputs fit the buffer); the encoder stays held far longer
    // than the wait.
    WaitUntil([] { return false; }, 2500);
    EXPECT_FALSE(LogTexts().contains(QStringLiteral("Joining status: ERROR.")));
    EXPECT_EQ(dlg->run().running.load(), 1);
    QTest::mouseClick(dlg->pauseButton(), Qt::LeftButton);
    ExpectFinishedWhole(out, task);
    EXPECT_TRUE(LogTexts().contains(QStringLiteral("Joining status: OK.")));
    // The pause is said in the log and counts as no work: the time shown is at most the wall
    // time less the pause's two and a half seconds (whole seconds, so one more), and a speed is
    // shown even for so short a join.
    EXPECT_EQ(LogTexts().filter(QRegularExpression(QStringLiteral("^(Paused|Resumed)\\.$"))),
              (QStringList{QStringLiteral("Paused."), QStringLiteral("Resumed.")}));
    const QTime shown = QTime::fromString(qobject_cast<QLabel*>(dlg->Control(CConvProg::kElapsedValue))->text(),
                                          QStringLiteral("HH:mm:ss"));
    ASSERT_TRUE(shown.isValid());
    EXPECT_LE(shown.msecsSinceStartOfDay() / 1000, (wall.elapsed() - 2500) / 1000 + 1);
    EXPECT_NE(qobject_cast<QLabel*>(dlg->Control(CConvProg::kSpeedValue))->text().trimmed(), QStringLiteral("0.00x"));
}

TEST_F(RealJoinTest, ARunStoppedWhilePausedBringsTheDialogToItsEndState) {
    CConversionTask task;
    const auto out = dir / "stopped.mp3";
    ASSERT_TRUE(MakeJoinTask({{dir / "a.mp3", 8.0}, {dir / "b.mp3", 8.0, 44100, 2, 660}}, out, task));
    OpenAndPauseWhileEncoding(task);
    dlg->run().running = 0;  // as the engine stops a run that cannot go on
    ASSERT_TRUE(WaitUntil([&] { return dlg->windowTitle() == QStringLiteral("Joining Failed"); }, 20000));
    EXPECT_EQ(dlg->pauseButton()->text(), QStringLiteral("Open Dir"));
    EXPECT_TRUE(dlg->pauseButton()->isEnabled());
    EXPECT_EQ(dlg->cancelButton()->text(), QStringLiteral("Close"));
    EXPECT_EQ(taskbar.states.back(), TaskbarProgress::Error);
    EXPECT_EQ(LogTexts().back(), QStringLiteral("Joining status: ERROR."));
    QTest::mouseClick(dlg->cancelButton(), Qt::LeftButton);  // closes without a question
    EXPECT_FALSE(dlg->isVisible());
}

TEST_F(RealJoinTest, CancelAnsweredNoResumesUnpausedAndTheJoinCompletes) {
    CConversionTask task;
    const auto out = dir / "kept.mp3";
    ASSERT_TRUE(MakeJoinTask({{dir / "a.mp3", 12.0}, {dir / "b.mp3", 12.0}}, out, task));
    auto engine = MakeJoinEngine(task, 100);
    dlg = std::make_unique<CConvProg>(engine, nullptr, profile.get());
    dlg->show();
    ASSERT_TRUE(WaitUntil([&] { return dlg->run().overallSamplesDone.load() > 0; }, 20000));
    auto answer = AnswerNextMessageBox(QMessageBox::No);
    QTest::mouseClick(dlg->cancelButton(), Qt::LeftButton);
    ASSERT_TRUE(answer->answered);
    EXPECT_EQ(dlg->run().paused.load(), 0);
    EXPECT_TRUE(dlg->isVisible());
    ExpectFinishedWhole(out, task);
}

TEST_F(RealJoinTest, CancelAnsweredYesClosesQuicklyAndLeavesAValidShorterMp3) {
    CConversionTask task;
    const auto out = dir / "short.mp3";
    ASSERT_TRUE(MakeJoinTask({{dir / "a.mp3", 25.0}, {dir / "b.mp3", 25.0, 44100, 2, 660}}, out, task));
    auto engine = MakeJoinEngine(task, 100);
    dlg = std::make_unique<CConvProg>(engine, nullptr, profile.get());
    dlg->show();
    ASSERT_TRUE(WaitUntil([&] { return dlg->run().overallSamplesDone.load() > task.totalSamples / 20; }, 20000));
    ASSERT_TRUE(dlg->run().running.load());
    auto answer = AnswerNextMessageBox(QMessageBox::Yes);
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(dlg->cancelButton(), Qt::LeftButton);  // returns once the dialog is closed
    ASSERT_TRUE(answer->answered);
    EXPECT_LT(clock.elapsed(), 4000);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Aborting, Please Wait..."));
    EXPECT_TRUE(StopJoinWorkers(dlg->run(), 5000));

    const DecodedMp3 d = DecodeMp3(out);
    ASSERT_TRUE(d.ok);
    EXPECT_GT(d.samples.size(), 0u);
    EXPECT_LT(d.samples.size(), task.totalSamples);
    EXPECT_NEAR(EstimateFrequency(d, 1000, 22050), 440, 15);
}
