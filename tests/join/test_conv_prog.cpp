// The progress dialog's handlers, driven through its real sink from the UI thread and from
// worker threads. The run here has no tasks and a long start delay, so the engine stays quiet
// and every report comes from the test.
#include "dialog_driver.h"
#include "join_fixture.h"
#include "join/conv_prog.h"
#include "support/palette_fixtures.h"
#include "settings/application_profile.h"
#include "support/mp3_fixtures.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <atomic>
#include <thread>
#include <vector>

using namespace velmora;
using velmora::testing::AnswerNextMessageBox;
using velmora::testing::RecordingTaskbar;
using velmora::testing::WaitUntil;

namespace {

struct ConvProgTest : ::testing::Test {
    velmora::testing::TempDir dir;
    std::unique_ptr<ApplicationProfile> profile = std::make_unique<ApplicationProfile>(
        ApplicationProfile::AtPath(QString::fromStdString((dir / "profile.conf").string())));
    RecordingTaskbar taskbar;
    std::shared_ptr<JoinEngine> engine = std::make_shared<JoinEngine>();
    std::unique_ptr<CConvProg> dlg;

    void SetUp() override {
        taskbarProgress = &taskbar;
        engine->startDelayMs = 600000;  // the job thread waits (polling `running`) until the dialog goes
        CConversionTask task;
        task.outputPath = (dir / "out" / "joined.mp3").string();
        engine->activeRun->tasks.push_back(task);
    }
    void TearDown() override {
        dlg.reset();
        taskbarProgress = nullptr;
    }
    void Open() {
        dlg = std::make_unique<CConvProg>(engine, nullptr, profile.get());
        dlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
        // The opening (0, 0) report arrives through the event queue.
        QApplication::processEvents();
    }
    void Progress(float overall) {
        dlg->sink()->Progress(overall, overall, false, dlg->run());
        QApplication::processEvents();
    }
    // Feeds reports until the next one is the tenth counted.
    void ProgressUntilBeforeTenth(float overall) {
        while (CConvProg::progressMessagesHandled() % 10 != 9) Progress(overall);
    }
    void Message(const std::string& text, int kind) {
        dlg->sink()->Message(text, kind);
        QApplication::processEvents();
    }
};

}  // namespace

TEST_F(ConvProgTest, OpeningShowsTheTemplateAndFormatsTheFirstReport) {
    const int before = CConvProg::progressMessagesHandled();
    Open();
    EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Velmora"));
    EXPECT_EQ(dlg->run().running.load(), 1);
    EXPECT_EQ(CConvProg::progressMessagesHandled(), before + 1);  // the opening (0, 0)
    EXPECT_EQ(dlg->text(CConvProg::kDoneValue), QStringLiteral(" 0.00%"));
    EXPECT_EQ(dlg->text(CConvProg::kSpeedValue), QStringLiteral("0.00x"));
    EXPECT_EQ(dlg->text(CConvProg::kElapsedValue), QStringLiteral("00:00:00"));
    EXPECT_EQ(dlg->text(CConvProg::kEtaValue), QStringLiteral("00:00:00"));
    EXPECT_EQ(dlg->text(CConvProg::kProgressGroup), QString());
    EXPECT_EQ(dlg->clearButton()->text(), QStringLiteral("Clear"));
    EXPECT_EQ(dlg->pauseButton()->text(), QStringLiteral("Pause"));
    EXPECT_EQ(dlg->cancelButton()->text(), QStringLiteral("Cancel"));
    EXPECT_EQ(dlg->progressBar()->value(), 0);
    EXPECT_EQ(dlg->logList()->topLevelItemCount(), 0);
    QHeaderView* h = dlg->logList()->header();
    EXPECT_EQ(h->sectionSize(0), 0);
    EXPECT_GE(h->sectionSize(1), 55);
    EXPECT_GE(h->sectionSize(2), 63);
    EXPECT_GE(h->sectionSize(2), dlg->logList()->fontMetrics().horizontalAdvance(QStringLiteral("00:00:00")));
    EXPECT_EQ(h->sectionPosition(3) + h->sectionSize(3), dlg->logList()->viewport()->width());  // fills the width
    EXPECT_FALSE(h->sectionsClickable());
    EXPECT_EQ(dlg->logList()->headerItem()->text(1), QStringLiteral("#"));
    EXPECT_EQ(dlg->logList()->headerItem()->text(3), QStringLiteral("Description"));
    ASSERT_FALSE(taskbar.states.empty());
    EXPECT_EQ(taskbar.states.front(), TaskbarProgress::Normal);
}

// However many lines and however long the newest, it shows whole above the dialog's edge,
// with no sideways scroll bar over it; its full text is its tooltip.
TEST_F(ConvProgTest, TheNewestLogLineIsNeverHiddenAndALongOneShowsOnHover) {
    Open();
    for (int i = 0; i < 40; ++i) Message("Line " + std::to_string(i), kMessageInfo);
    const std::string longLine = "Trouble with /" + std::string(400, 'x') + "/Disc 2/Chapter 12.mp3: damaged";
    Message(longLine, kMessageError);
    QTreeWidget* log = dlg->logList();
    QTreeWidgetItem* last = log->topLevelItem(log->topLevelItemCount() - 1);
    EXPECT_FALSE(log->horizontalScrollBar()->isVisible());
    const QRect shown = log->visualItemRect(last);
    EXPECT_GE(shown.top(), 0);
    EXPECT_LE(shown.bottom(), log->viewport()->rect().bottom()) << shown.bottom() << " " << log->viewport()->height();
    EXPECT_EQ(last->toolTip(3).toStdString(), longLine);
}

TEST_F(ConvProgTest, TimesAndSpeedChangeOnlyOnEveryTenthReport) {
    Open();
    const uint32_t start = TickCount();
    dlg->run().jobStartTick = start - 10000;
    dlg->run().taskStartTick = start - 10000;
    dlg->run().overallSecondsDone = 20.0f;
    ProgressUntilBeforeTenth(12.5f);
    EXPECT_EQ(dlg->text(CConvProg::kDoneValue), QStringLiteral("12.50%"));
    EXPECT_EQ(dlg->progressBar()->value(), 12);
    EXPECT_EQ(dlg->text(CConvProg::kElapsedValue), QStringLiteral("00:00:00"));
    EXPECT_EQ(dlg->text(CConvProg::kEtaValue), QStringLiteral("00:00:00"));
    // Ten seconds before the tenth report, however long the others took.
    const uint32_t now = TickCount();
    dlg->run().jobStartTick = now - 10000;
    dlg->run().taskStartTick = now - 10000;
    Progress(12.5f);  // the tenth
    EXPECT_EQ(dlg->text(CConvProg::kElapsedValue), QStringLiteral("00:00:10"));
    EXPECT_EQ(dlg->text(CConvProg::kEtaValue), QStringLiteral("00:01:10"));
    EXPECT_EQ(dlg->text(CConvProg::kSpeedValue), QStringLiteral("  2.00x"));
    ASSERT_FALSE(taskbar.values.empty());
    EXPECT_EQ(taskbar.values.back(), (std::pair<uint64_t, uint64_t>(12, 100)));

    // 0 % on a tenth report: elapsed and speed move, the remaining time stays.
    ProgressUntilBeforeTenth(0.0f);
    dlg->run().jobStartTick = TickCount() - 20000;
    Progress(0.0f);
    EXPECT_EQ(dlg->text(CConvProg::kElapsedValue), QStringLiteral("00:00:20"));
    EXPECT_EQ(dlg->text(CConvProg::kEtaValue), QStringLiteral("00:01:10"));
    EXPECT_EQ(dlg->text(CConvProg::kDoneValue), QStringLiteral(" 0.00%"));
}

TEST_F(ConvProgTest, RemainingTimeArithmetic) {
    EXPECT_EQ(CConvProg::FormatHms(CConvProg::RemainingSeconds(12.5, 10.0)), QStringLiteral("00:01:10"));
    EXPECT_EQ(CConvProg::FormatHms(3725.9), QStringLiteral("01:02:05"));
    EXPECT_EQ(CConvProg::FormatHms(0.99), QStringLiteral("00:00:00"));
}

TEST_F(ConvProgTest, ReportsOutsideARunAreNotCountedAndOverRangeIsClamped) {
    Open();
    Progress(130.0f);  // the engine does not clamp
    EXPECT_EQ(dlg->text(CConvProg::kDoneValue), QStringLiteral("130.00%"));
    EXPECT_EQ(dlg->progressBar()->value(), 100);
    dlg->run().running = 0;
    const int count = CConvProg::progressMessagesHandled();
    Progress(50.0f);
    EXPECT_EQ(CConvProg::progressMessagesHandled(), count);
    EXPECT_EQ(dlg->text(CConvProg::kDoneValue), QStringLiteral("130.00%"));
}

TEST_F(ConvProgTest, LogLinesAreNumberedTimedAndColoured) {
    Open();
    const int first = CConvProg::logLinesAdded() + 1;
    Message("Start a new joining task.", kMessageInfo);
    Message("Trouble with mpg123: broken", kMessageError);
    Message("Joining status: OK.", kMessageInfo);
    QTreeWidget* log = dlg->logList();
    ASSERT_EQ(log->topLevelItemCount(), 3);
    for (int i = 0; i < 3; ++i) {
        QTreeWidgetItem* item = log->topLevelItem(i);
        EXPECT_EQ(item->text(1), QString::asprintf("%03d ", first + i));
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$")).match(item->text(2)).hasMatch())
            << item->text(2).toStdString();
    }
    EXPECT_EQ(log->topLevelItem(1)->text(3), QStringLiteral("Trouble with mpg123: broken"));
    EXPECT_EQ(log->topLevelItem(1)->data(0, Qt::UserRole).toInt(), kMessageError);
    // An error line turns the taskbar entry to its error state.
    EXPECT_EQ(taskbar.states.back(), TaskbarProgress::Error);

    // What the list paints: stripes and the kind's text colour.
    log->clearSelection();
    log->setCurrentItem(nullptr);
    const QImage image = log->viewport()->grab().toImage();
    auto rowHas = [&](int row, auto pred) {
        const QRect r = log->visualItemRect(log->topLevelItem(row)).intersected(image.rect());
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x)
                if (pred(image.pixelColor(x, y))) return true;
        return false;
    };
    auto background = [&](int row) {
        const QRect r = log->visualItemRect(log->topLevelItem(row));
        return image.pixelColor(r.left() + log->header()->sectionPosition(1) + 2, r.top() + 1);
    };
    EXPECT_EQ(background(0), QColor(Qt::white));
    EXPECT_EQ(background(1), QColor(243, 245, 252));
    EXPECT_EQ(background(2), QColor(Qt::white));
    auto blue = [](const QColor& c) { return c.blue() > 180 && c.red() < 120 && c.green() < 120; };
    auto red = [](const QColor& c) { return c.red() > 180 && c.green() < 120 && c.blue() < 120; };
    EXPECT_TRUE(rowHas(0, blue));
    EXPECT_FALSE(rowHas(0, red));
    EXPECT_TRUE(rowHas(1, red));
    EXPECT_FALSE(rowHas(1, blue));

    // Under dark palettes the stripes are dark and each line's text, of every kind, stands out
    // from its background by at least 4.5:1 where the glyphs are solid.
    for (const QPalette& dark : velmora::testing::DarkPalettes()) {
        log->setPalette(dark);
        const QImage painted = log->viewport()->grab().toImage();
        for (int row = 0; row < 3; ++row) {
            const QRect r = log->visualItemRect(log->topLevelItem(row)).intersected(painted.rect());
            const QColor back = painted.pixelColor(r.left() + log->header()->sectionPosition(1) + 2, r.top() + 1);
            EXPECT_LT(back.lightnessF(), 0.5) << row;
            double best = 1;
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = r.left() + log->header()->sectionPosition(3); x <= r.right(); ++x)
                    best = std::max(best, velmora::testing::ContrastRatio(painted.pixelColor(x, y), back));
            EXPECT_GE(best, 4.5) << row;
        }
    }
}

TEST_F(ConvProgTest, ClearThenANewLineContinuesTheNumbering) {
    Open();
    Message("one", kMessageInfo);
    Message("two", kMessageInfo);
    const QString last = dlg->logList()->topLevelItem(1)->text(1);
    QTest::mouseClick(dlg->clearButton(), Qt::LeftButton);
    EXPECT_EQ(dlg->logList()->topLevelItemCount(), 0);
    Message("three", kMessageInfo);
    ASSERT_EQ(dlg->logList()->topLevelItemCount(), 1);
    EXPECT_EQ(dlg->logList()->topLevelItem(0)->text(1), QString::asprintf("%03d ", last.trimmed().toInt() + 1));
}

TEST_F(ConvProgTest, EscAndEnterDoNothing) {
    Open();
    for (QWidget* target : {static_cast<QWidget*>(dlg.get()), static_cast<QWidget*>(dlg->logList()),
                            static_cast<QWidget*>(dlg->cancelButton())}) {
        target->setFocus();
        for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
            QTest::keyClick(target, key);
            QApplication::processEvents();
            EXPECT_TRUE(dlg->isVisible());
            EXPECT_EQ(QApplication::activeModalWidget(), dlg.get());  // no question was asked
            EXPECT_EQ(dlg->run().running.load(), 1);
            EXPECT_EQ(dlg->run().paused.load(), 0);
        }
    }
}

TEST_F(ConvProgTest, PauseTogglesTheFlagTheCaptionAndTheTaskbar) {
    Open();
    QTest::mouseClick(dlg->pauseButton(), Qt::LeftButton);
    EXPECT_EQ(dlg->run().paused.load(), 1);
    EXPECT_EQ(dlg->pauseButton()->text(), QStringLiteral("Resume"));
    EXPECT_EQ(taskbar.states.back(), TaskbarProgress::Paused);
    QTest::mouseClick(dlg->pauseButton(), Qt::LeftButton);
    EXPECT_EQ(dlg->run().paused.load(), 0);
    EXPECT_EQ(dlg->pauseButton()->text(), QStringLiteral("Pause"));
    EXPECT_EQ(taskbar.states.back(), TaskbarProgress::Normal);
}

TEST_F(ConvProgTest, CancelAnsweredNoGoesOnUnpaused) {
    Open();
    QTest::mouseClick(dlg->pauseButton(), Qt::LeftButton);
    ASSERT_EQ(dlg->run().paused.load(), 1);
    std::atomic<int> pausedWhileAsked{-1};
    auto answer = AnswerNextMessageBox(QMessageBox::No);
    QTimer::singleShot(1, [&] { pausedWhileAsked = dlg->run().paused.load(); });
    QTest::mouseClick(dlg->cancelButton(), Qt::LeftButton);
    ASSERT_TRUE(answer->answered);
    EXPECT_EQ(answer->text, QStringLiteral("Do You Want to Cancel?"));
    EXPECT_EQ(answer->title, QStringLiteral("Velmora"));
    EXPECT_EQ(pausedWhileAsked.load(), 1);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(dlg->run().running.load(), 1);
    EXPECT_EQ(dlg->run().paused.load(), 0);
    EXPECT_EQ(dlg->pauseButton()->text(), QStringLiteral("Pause"));
}

TEST_F(ConvProgTest, CancelAnsweredYesStopsTheWorkersAndCloses) {
    Open();
    std::shared_ptr<WorkerThread> job = dlg->run().jobThread.load();
    ASSERT_TRUE(job);
    auto answer = AnswerNextMessageBox(QMessageBox::Yes);
    QTest::mouseClick(dlg->cancelButton(), Qt::LeftButton);
    ASSERT_TRUE(answer->answered);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->result(), 0);
    EXPECT_EQ(dlg->run().stopped.load(), 1);
    EXPECT_EQ(dlg->run().running.load(), 0);
    EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Aborting, Please Wait..."));
    EXPECT_FALSE(dlg->pauseButton()->isEnabled());
    EXPECT_FALSE(dlg->cancelButton()->isEnabled());
    EXPECT_TRUE(job->Finished());  // the job thread saw the cleared flag within the wait
    EXPECT_NE(std::find(taskbar.states.begin(), taskbar.states.end(), TaskbarProgress::Indeterminate),
              taskbar.states.end());
    dlg.reset();
    EXPECT_EQ(taskbar.states.back(), TaskbarProgress::NoProgress);
}

TEST_F(ConvProgTest, CloseBoxAsksWhileRunning) {
    Open();
    auto answer = AnswerNextMessageBox(QMessageBox::No);
    dlg->close();
    EXPECT_TRUE(answer->answered);
    EXPECT_TRUE(dlg->isVisible());
}

TEST_F(ConvProgTest, CancelAnsweredNoAfterTheJoinFinishedKeepsOpenDir) {
    Open();
    // The join finishes while the question is open: its done report arrives in the box's loop.
    QTimer::singleShot(0, [this] { dlg->sink()->Done(); });
    auto answer = AnswerNextMessageBox(QMessageBox::No);
    QTest::mouseClick(dlg->cancelButton(), Qt::LeftButton);
    ASSERT_TRUE(answer->answered);
    EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Finished Joining"));
    EXPECT_EQ(dlg->pauseButton()->text(), QStringLiteral("Open Dir"));
    EXPECT_EQ(dlg->cancelButton()->text(), QStringLiteral("Finish"));
}

TEST_F(ConvProgTest, DoneStateThenOpenDirAndFinish) {
    Open();
    QString opened;
    auto saved = CConvProg::FolderOpener();
    CConvProg::FolderOpener() = [&](const QString& f) {
        opened = f;
        return true;
    };
    dlg->sink()->Done();
    QApplication::processEvents();
    EXPECT_EQ(dlg->run().running.load(), 0);
    EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Finished Joining"));
    EXPECT_EQ(dlg->text(CConvProg::kDoneValue), QStringLiteral("100.0%"));
    EXPECT_EQ(dlg->text(CConvProg::kEtaValue), QStringLiteral("00:00:00"));
    EXPECT_EQ(dlg->progressBar()->value(), 100);
    EXPECT_EQ(dlg->pauseButton()->text(), QStringLiteral("Open Dir"));
    EXPECT_EQ(dlg->cancelButton()->text(), QStringLiteral("Finish"));
    QTreeWidget* log = dlg->logList();
    ASSERT_GT(log->topLevelItemCount(), 0);
    EXPECT_EQ(log->topLevelItem(log->topLevelItemCount() - 1)->text(3), QStringLiteral("Finished joining, all done ^_^"));
    EXPECT_EQ(taskbar.values.back(), (std::pair<uint64_t, uint64_t>(100, 100)));

    QTest::mouseClick(dlg->pauseButton(), Qt::LeftButton);
    EXPECT_EQ(opened, QString::fromStdString((dir / "out").string()) + QStringLiteral("/"));
    opened.clear();
    QTest::mouseClick(dlg->pauseButton(), Qt::LeftButton);  // again, until the dialog closes
    EXPECT_FALSE(opened.isEmpty());

    // Finish closes at once, no question.
    QTest::mouseClick(dlg->cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->run().stopped.load(), 0);
    CConvProg::FolderOpener() = saved;
}

TEST_F(ConvProgTest, EscapeClosesTheFinishedDialog) {
    Open();
    dlg->sink()->Done();
    QApplication::processEvents();
    ASSERT_EQ(dlg->windowTitle(), QStringLiteral("Finished Joining"));
    dlg->logList()->setFocus();
    QTest::keyClick(dlg->logList(), Qt::Key_Escape);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->run().stopped.load(), 0);
}

TEST_F(ConvProgTest, TitleSourceDestinationAndFinalReportFromAWorkerThread) {
    Open();
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        dlg->sink()->SetTitle("Joining...");
        dlg->sink()->SetSource("/music/a.mp3");
        dlg->sink()->SetDestination("/music/out.mp3");
        dlg->sink()->Progress(100.0f, 100.0f, true, dlg->run());  // blocks until handled
        returned = true;
    });
    // The final report waits for the UI thread.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(returned.load());
    ASSERT_TRUE(WaitUntil([&] { return returned.load(); }, 5000));
    worker.join();
    EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Joining..."));
    EXPECT_EQ(dlg->text(CConvProg::kSourceValue), QStringLiteral("/music/a.mp3"));
    EXPECT_EQ(dlg->text(CConvProg::kDestinationValue), QStringLiteral("/music/out.mp3"));
    EXPECT_EQ(dlg->text(CConvProg::kDoneValue), QStringLiteral("100.00%"));
}

TEST_F(ConvProgTest, FinalReportGivesUpOnceTheRunIsStopped) {
    Open();
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        dlg->sink()->Progress(50.0f, 50.0f, true, dlg->run());
        returned = true;
    });
    // The UI thread does not serve events now, as when it waits for the workers.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load());
    dlg->run().running = 0;
    worker.join();  // would hang if the report waited for the UI thread
    EXPECT_TRUE(returned.load());
}

TEST_F(ConvProgTest, PlacementIsSavedUnderItsOwnKey) {
    Open();
    dlg->setGeometry(QRect(31, 47, 640, 420));
    QApplication::processEvents();
    dlg->run().running = 0;  // done or failed: closing needs no question
    QTest::mouseClick(dlg->cancelButton(), Qt::LeftButton);
    dlg.reset();
    const auto bytes = profile->GetProfileBinary(QStringLiteral("Position"),
                                                 QStringLiteral("{B827E556-AD4D-480E-98F0-2BC7A581B10A}"));
    ASSERT_TRUE(bytes.has_value());
    ASSERT_EQ(bytes->size(), 44);
    EXPECT_EQ(WindowPlacement::Deserialize(*bytes)->normalRect(), QRect(31, 47, 640, 420));

    // The next dialog opens there.
    dlg = std::make_unique<CConvProg>(engine, nullptr, profile.get());
    EXPECT_EQ(dlg->geometry(), QRect(31, 47, 640, 420));
}

TEST_F(ConvProgTest, ResizingKeepsButtonsCentredAndTheLogStretched) {
    Open();
    dlg->resize(dlg->width(), dlg->height());
    const QRect log0 = dlg->logList()->geometry();
    const QRect cancel0 = dlg->cancelButton()->geometry();
    const QRect bar0 = dlg->progressBar()->geometry();
    const QRect source0 = dlg->Control(CConvProg::kSourceValue)->geometry();
    const double ratio = (cancel0.left() + cancel0.right() + 1) / 2.0 / dlg->width();
    dlg->resize(dlg->width() + 200, dlg->height() + 100);
    QApplication::processEvents();
    EXPECT_EQ(dlg->logList()->geometry().width(), log0.width() + 200);
    EXPECT_EQ(dlg->logList()->geometry().height(), log0.height() + 100);
    const QRect cancel1 = dlg->cancelButton()->geometry();
    EXPECT_EQ(cancel1.top(), cancel0.top() + 100);
    EXPECT_NEAR((cancel1.left() + cancel1.right() + 1) / 2.0 / dlg->width(), ratio, 1.0 / dlg->width());
    EXPECT_EQ(dlg->progressBar()->geometry(), bar0.adjusted(0, 0, 200, 0));
    EXPECT_EQ(dlg->Control(CConvProg::kSourceValue)->geometry(), source0.adjusted(0, 0, 200, 0));
}
