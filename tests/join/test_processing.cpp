// The busy dialog: shown only by its 500 ms timer; Cancel only changes the two flags.
#include "dialog_driver.h"
#include "join/processing.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <atomic>

using namespace velmora;
using velmora::testing::WaitUntil;

namespace {

// Counts how often a widget is shown.
struct ShowCounter : QObject {
    int shows = 0;
    qint64 firstShownAt = -1;
    QElapsedTimer clock;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Show) {
            if (shows++ == 0) firstShownAt = clock.elapsed();
        }
        return false;
    }
};

}  // namespace

TEST(Processing, TemplateTitleAndMarquee) {
    CProcessing dlg;
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Processing Audio Files..."));
    EXPECT_EQ(dlg.cancelButton()->text(), QStringLiteral("Cancel"));
    EXPECT_EQ(dlg.progressBar()->minimum(), 0);
    EXPECT_EQ(dlg.progressBar()->maximum(), 0);  // marquee
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_GT(dlg.width(), dlg.height() * 4);  // 316 x 44 dialog units
}

TEST(Processing, AShortOperationNeverShowsIt) {
    QWidget owner;
    owner.resize(600, 400);
    owner.show();
    CProcessing dlg;
    ShowCounter counter;
    counter.clock.start();
    dlg.installEventFilter(&counter);
    dlg.EnterBusy(&owner);
    // The operation: 100 ms of work, then the busy state ends.
    WaitUntil([] { return false; }, 100);
    dlg.LeaveBusy();
    WaitUntil([] { return false; }, 800);
    EXPECT_EQ(counter.shows, 0);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_FALSE(dlg.timerRunning());
}

TEST(Processing, ALongOperationShowsItAfterHalfASecondCentredOverTheOwner) {
    QWidget owner;
    owner.setGeometry(100, 80, 700, 500);
    owner.show();
    CProcessing dlg;
    ShowCounter counter;
    counter.clock.start();
    dlg.installEventFilter(&counter);
    dlg.EnterBusy(&owner);
    EXPECT_TRUE(dlg.windowTitle().isEmpty());
    EXPECT_FALSE(dlg.isVisible());
    ASSERT_TRUE(WaitUntil([&] { return dlg.isVisible(); }, 2000));
    EXPECT_GE(counter.firstShownAt, 450);
    EXPECT_LE(counter.firstShownAt, 1200);
    EXPECT_FALSE(dlg.timerRunning());  // timer 1 stops itself
    EXPECT_NEAR(dlg.frameGeometry().center().x(), owner.frameGeometry().center().x(), 2);
    EXPECT_NEAR(dlg.frameGeometry().center().y(), owner.frameGeometry().center().y(), 2);
    dlg.setWindowTitle(QStringLiteral("Scanning  /music"));
    WaitUntil([] { return false; }, 1500);  // the rest of a 2 s operation
    EXPECT_EQ(counter.shows, 1);
    dlg.LeaveBusy();
    EXPECT_FALSE(dlg.isVisible());
}

TEST(Processing, CancelOnlyChangesTheTwoFlags) {
    std::atomic<int> listLocked{0};
    std::atomic<int> busy{1};
    CProcessing dlg;
    dlg.SetFlags(&listLocked, &busy);
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    QTest::mouseClick(dlg.cancelButton(), Qt::LeftButton);
    EXPECT_EQ(listLocked.load(), 1);
    EXPECT_EQ(busy.load(), 0);
    EXPECT_TRUE(dlg.isVisible());  // hidden only when the operation ends
    // Clicking again changes nothing more.
    QTest::mouseClick(dlg.cancelButton(), Qt::LeftButton);
    EXPECT_EQ(listLocked.load(), 1);
    EXPECT_EQ(busy.load(), 0);
}

TEST(Processing, CloseCommandChangesTheFlagsAndHides) {
    std::atomic<int> listLocked{0};
    std::atomic<int> busy{1};
    CProcessing dlg;
    dlg.SetFlags(&listLocked, &busy);
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    dlg.close();
    EXPECT_EQ(listLocked.load(), 1);
    EXPECT_EQ(busy.load(), 0);
    EXPECT_FALSE(dlg.isVisible());

    listLocked = 0;
    busy = 1;
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_EQ(listLocked.load(), 1);
    EXPECT_EQ(busy.load(), 0);
    EXPECT_FALSE(dlg.isVisible());
}
