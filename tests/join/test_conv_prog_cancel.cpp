// Cancelling at every moment of a real run never hangs: before the first line, mid-decode,
// during conversion, while paused, near and during the encoder's final report. One engine
// serves every run, as in the program, so each run also starts after the previous cancel.
#include "dialog_driver.h"
#include "join_fixture.h"
#include "join/conv_prog.h"
#include "settings/application_profile.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <filesystem>
#include <random>

using namespace velmora;
using namespace velmora::testing;

TEST(ConvProgCancel, FiftyCancelsAtEveryMomentNeverHang) {
    TempDir dir;
    auto profile = std::make_unique<ApplicationProfile>(
        ApplicationProfile::AtPath(QString::fromStdString((dir / "profile.conf").string())));
    CConversionTask plain, converting;
    ASSERT_TRUE(MakeJoinTask({{dir / "a.mp3", 3.0}, {dir / "b.mp3", 3.0, 44100, 2, 660}}, dir / "plain.mp3", plain));
    ASSERT_TRUE(MakeJoinTask({{dir / "a.mp3", 3.0}, {dir / "m.mp3", 3.0, 22050, 1, 330}}, dir / "conv.mp3", converting));
    ASSERT_TRUE(converting.needsConversion);

    auto engine = MakeJoinEngine(plain, 300);
    std::mt19937 random(2024);
    int cancelled = 0, finishedFirst = 0;
    constexpr int kRounds = 50;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        const int moment = round % 6;
        CConversionTask task = (round % 2) ? converting : plain;
        task.outputPath = (dir / ("out" + std::to_string(round) + ".mp3")).string();
        // The previous run's workers have all ended: the cancel left nothing running.
        ASSERT_TRUE(StopJoinWorkers(*engine->activeRun, 5000));
        ResetRun(*engine, task);
        engine->startDelayMs = moment == 0 ? 300 : 20;

        auto dlg = std::make_unique<CConvProg>(engine, nullptr, profile.get());
        dlg->SetPlacementKey(QString());
        dlg->show();
        JoinRunState& run = dlg->run();
        const auto total = task.totalSamples;
        switch (moment) {
        case 0:  // before the first line
            break;
        case 1:  // as soon as the first line is there: decoding has begun
            WaitUntil([&] { return dlg->logList()->topLevelItemCount() > 0; }, 5000);
            break;
        case 2:  // while paused
            WaitUntil([&] { return run.overallSamplesDone.load() > 0; }, 5000);
            QTest::mouseClick(dlg->pauseButton(), Qt::LeftButton);
            WaitUntil([] { return false; }, 30);
            break;
        case 3:  // close to the end: the last chunk and the final report
            WaitUntil([&] { return run.overallSamplesDone.load() * 100 >= total * 97 || !run.running.load(); }, 10000);
            break;
        case 4: {  // while the encoder waits for the UI thread to take its final report
            WaitUntil([&] { return run.overallSamplesDone.load() >= total || !run.running.load(); }, 10000);
            break;
        }
        default: {  // anywhere
            std::uniform_int_distribution<int> ms(0, 400);
            WaitUntil([] { return false; }, ms(random));
            break;
        }
        }
        auto answer = AnswerNextMessageBox(QMessageBox::Yes, 5000);
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(dlg->cancelButton(), Qt::LeftButton);
        const qint64 took = clock.elapsed();
        answer->abandon = true;  // a run that ended first closed without asking
        EXPECT_FALSE(dlg->isVisible());
        EXPECT_LT(took, 4000) << "moment " << moment;
        if (answer->answered) {
            ++cancelled;
            EXPECT_EQ(run.stopped.load(), 1);
            EXPECT_EQ(run.running.load(), 0);
        } else {
            // No question: the run had ended by itself before the click.
            ++finishedFirst;
            EXPECT_EQ(run.running.load(), 0);
            EXPECT_EQ(run.stopped.load(), 0);
        }
        dlg.reset();
        QApplication::processEvents();

        // Whatever was written is a valid MP3 (the encoder finishes its file after a stop).
        const auto out = std::filesystem::path(task.outputPath);
        std::error_code ec;
        if (std::filesystem::exists(out, ec) && std::filesystem::file_size(out, ec) > 8192) {
            const DecodedMp3 d = DecodeMp3(out);
            EXPECT_TRUE(d.ok) << "moment " << moment;
            EXPECT_LE(d.samples.size(), total + 2 * 1152 * 2);
        }
    }
    EXPECT_TRUE(StopJoinWorkers(*engine->activeRun, 5000));
    // Most rounds really cancelled a running join.
    EXPECT_GE(cancelled, kRounds / 2);
    std::cout << "cancelled " << cancelled << ", finished first " << finishedFirst << "\n";
}
