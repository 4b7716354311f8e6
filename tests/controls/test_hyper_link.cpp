#include <gtest/gtest.h>

#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <fstream>
#include <memory>

#include "controls/hyper_link.h"
#include "support/mp3_fixtures.h"
#include "support/palette_fixtures.h"

using namespace velmora;

namespace {

// A dialog with one link at (20, 20), shown and exposed.
struct LinkHost {
    LinkHost(const QString& text, const QString& target) {
        dialog.resize(300, 120);
        link = new CHyperLink(text, &dialog);
        link->setGeometry(20, 20, 150, 20);
        if (!target.isEmpty()) link->SetLinkTarget(target);
        link->Attach();
        dialog.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    }
    QDialog dialog;
    CHyperLink* link = nullptr;
};

// Runs `action` on the message box once it is the active modal widget, then presses its OK.
// Returns the text that box showed (empty when none came within the time limit).
struct MessageBoxWatcher {
    QString text;
    int seen = 0;
    QTimer timer;  // stops with the watcher, so no watcher outlives its test
    void Arm() {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            text = box->text();
            ++seen;
            QTest::keyClick(box, Qt::Key_Return);
        });
        timer.start();
    }
};

void HoverAt(CHyperLink* link, QPoint local) {
    QCursor::setPos(link->mapToGlobal(local));
    QTest::mouseMove(link, local);
    QApplication::processEvents();
}

}  // namespace

TEST(HyperLink, StartsWithTheLinkColourAndNoUnderline) {
    LinkHost host(QStringLiteral("www.example.com"), QString());
    EXPECT_EQ(host.link->currentColour(), QColor(0, 0, 238));
    EXPECT_EQ(host.link->palette().color(QPalette::WindowText), QColor(0, 0, 238));
    EXPECT_FALSE(host.link->font().underline());
    EXPECT_EQ(host.link->cursor().shape(), Qt::PointingHandCursor);
    // Without a target, the text becomes the target and the tooltip shows it.
    EXPECT_EQ(host.link->linkTarget(), "www.example.com");
    EXPECT_EQ(host.link->toolTip(), "www.example.com");
}

// Under a dark palette the link, visited or hovered, stays readable on the window's colour.
TEST(HyperLink, UnderADarkPaletteEveryStateIsReadable) {
    for (const QPalette& dark : velmora::testing::DarkPalettes()) {
        LinkHost host(QStringLiteral("www.example.com"), QString());
        host.link->setPalette(dark);
        for (const QColor& c : {host.link->linkColour(), host.link->visitedColour(), host.link->hoverColour()}) {
            host.link->SetColours(c, c, c);
            EXPECT_GE(velmora::testing::ContrastRatio(host.link->currentColour(), dark.color(QPalette::Window)), 4.5)
                << c.name().toStdString();
        }
    }
}

TEST(HyperLink, EmptyTextShowsItsTarget) {
    LinkHost host(QString(), QStringLiteral("mailto:support@example.com"));
    EXPECT_EQ(host.link->text(), "mailto:support@example.com");
    EXPECT_EQ(host.link->toolTip(), "mailto:support@example.com");
    // Fitted to the text: as wide as the text is, and the left edge kept.
    const QFontMetrics fm(host.link->font());
    EXPECT_EQ(host.link->width(), fm.size(0, host.link->text()).width());
    EXPECT_EQ(host.link->x(), 20);
}

TEST(HyperLink, HoverTurnsRedAndUnderlinedLeavingRestoresWithinAHundredMs) {
    LinkHost host(QStringLiteral("www.example.com"), QString());
    CHyperLink* link = host.link;
    HoverAt(link, QPoint(3, 3));
    EXPECT_TRUE(link->isOver());
    EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_TRUE(link->font().underline());
    EXPECT_TRUE(link->hoverTimerActive());

    // Still over the link after several timer ticks: stays hovered.
    QTest::qWait(250);
    EXPECT_TRUE(link->isOver());

    // Off the link: the next tick (at most 100 ms later) restores the look.
    QCursor::setPos(host.dialog.mapToGlobal(QPoint(280, 100)));
    QTest::mouseMove(&host.dialog, QPoint(280, 100));
    QElapsedTimer t;
    t.start();
    while (link->isOver() && t.elapsed() < 1000) QTest::qWait(5);
    EXPECT_FALSE(link->isOver());
    // A tick interval plus scheduling slack.
    EXPECT_LT(t.elapsed(), 100 + 60);
    EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(0, 0, 238));
    EXPECT_FALSE(link->font().underline());
    EXPECT_FALSE(link->hoverTimerActive());
}

TEST(HyperLink, AlwaysUnderlinedModeKeepsTheUnderlineAfterLeaving) {
    LinkHost host(QStringLiteral("www.example.com"), QString());
    host.link->SetUnderlineMode(1);
    EXPECT_TRUE(host.link->font().underline());
    HoverAt(host.link, QPoint(2, 2));
    QCursor::setPos(host.dialog.mapToGlobal(QPoint(280, 100)));
    QTest::qWait(250);
    EXPECT_FALSE(host.link->isOver());
    EXPECT_TRUE(host.link->font().underline());
}

TEST(HyperLink, SuccessfulClickShowsTheVisitedColour) {
    LinkHost host(QStringLiteral("www.example.com"), QString());
    QStringList opened;
    host.link->SetOpener([&](const QString& target) {
        opened << target;
        return 42;
    });
    MessageBoxWatcher watcher;
    watcher.Arm();
    QTest::mouseClick(host.link, Qt::LeftButton, {}, QPoint(3, 3));
    QTest::qWait(50);
    EXPECT_EQ(opened, QStringList{"www.example.com"});
    EXPECT_TRUE(host.link->isVisited());
    EXPECT_EQ(watcher.seen, 0);
    // Leave the link so the hover colour does not cover the visited one.
    QCursor::setPos(host.dialog.mapToGlobal(QPoint(280, 100)));
    QTest::qWait(150);
    EXPECT_EQ(host.link->palette().color(QPalette::WindowText), QColor(85, 26, 139));
}

TEST(HyperLink, FailingOpenWithSharingViolationShowsItsText) {
    LinkHost host(QStringLiteral("www.example.com"), QString());
    host.link->SetOpener([](const QString&) { return 26; });
    MessageBoxWatcher watcher;
    watcher.Arm();
    QTest::mouseClick(host.link, Qt::LeftButton, {}, QPoint(3, 3));
    EXPECT_EQ(watcher.seen, 1);
    EXPECT_EQ(watcher.text, "Unable to open hyperlink:\n\nA sharing violation occurred. ");
    EXPECT_FALSE(host.link->isVisited());
}

TEST(HyperLink, UnlistedCodeShowsTheUnknownErrorText) {
    LinkHost host(QStringLiteral("www.example.com"), QString());
    host.link->SetOpener([](const QString&) { return 4; });
    MessageBoxWatcher watcher;
    watcher.Arm();
    QTest::mouseClick(host.link, Qt::LeftButton, {}, QPoint(3, 3));
    EXPECT_EQ(watcher.seen, 1);
    EXPECT_EQ(watcher.text, "Unable to open hyperlink:\n\nUnknown Error (4) occurred.");
}

TEST(HyperLink, FailedClickClearsAnEarlierVisit) {
    LinkHost host(QStringLiteral("www.example.com"), QString());
    int result = 33;
    host.link->SetOpener([&](const QString&) { return result; });
    QTest::mouseClick(host.link, Qt::LeftButton, {}, QPoint(3, 3));
    EXPECT_TRUE(host.link->isVisited());
    result = 31;
    MessageBoxWatcher watcher;
    watcher.Arm();
    QTest::mouseClick(host.link, Qt::LeftButton, {}, QPoint(3, 3));
    EXPECT_FALSE(host.link->isVisited());
    EXPECT_EQ(watcher.text,
              "Unable to open hyperlink:\n\nThere is no application associated\nwith the given filename extension.");
}

TEST(HyperLink, ReleaseOutsideTheLinkIsNoClick) {
    LinkHost host(QStringLiteral("www.example.com"), QString());
    int calls = 0;
    host.link->SetOpener([&](const QString&) { return ++calls, 33; });
    QTest::mousePress(host.link, Qt::LeftButton, {}, QPoint(3, 3));
    QTest::mouseRelease(host.link, Qt::LeftButton, {}, QPoint(host.link->width() + 30, 3));
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(host.link->isVisited());
}

TEST(HyperLink, SetLinkTargetRefitsAndChangesTheTooltip) {
    LinkHost host(QStringLiteral("short"), QString());
    host.link->SetLinkTarget(QStringLiteral("https://www.example.com/downloads"));
    EXPECT_EQ(host.link->toolTip(), "https://www.example.com/downloads");
    EXPECT_EQ(host.link->text(), "short");  // the text stays
}

TEST(HyperLink, ErrorTextsOfTheListedCodes) {
    EXPECT_EQ(CHyperLink::OpenErrorText(2), "The specified file was not found.");
    EXPECT_EQ(CHyperLink::OpenErrorText(3), "The specified path was not found.");
    EXPECT_EQ(CHyperLink::OpenErrorText(5), "The operating system denied\naccess to the specified file.");
    EXPECT_EQ(CHyperLink::OpenErrorText(0), "The operating system is out\nof memory or resources.");
    EXPECT_EQ(CHyperLink::OpenErrorText(-7), "Unknown Error (-7) occurred.");
    EXPECT_EQ(CHyperLink::OpenErrorText(33), "Unknown Error (33) occurred.");
}

TEST(HyperLink, LocalTargetsThatCannotBeOpenedMapToFileCodes) {
    velmora::testing::TempDir dir;
    // Missing file in an existing folder, and in a missing folder; nothing reaches the desktop.
    EXPECT_EQ(CHyperLink::OpenTarget(QString::fromStdString((dir / "nothing.html").string())), 2);
    EXPECT_EQ(CHyperLink::OpenTarget(QString::fromStdString((dir / "no" / "where.html").string())), 3);
    EXPECT_EQ(CHyperLink::OpenTarget(QStringLiteral("file://") + QString::fromStdString((dir / "x.html").string())),
              2);
    EXPECT_EQ(CHyperLink::OpenTarget(QString()), 2);
    if (geteuid() != 0) {
        const auto locked = dir / "locked.html";
        std::ofstream(locked) << "<html></html>";
        std::filesystem::permissions(locked, std::filesystem::perms::none);
        EXPECT_EQ(CHyperLink::OpenTarget(QString::fromStdString(locked.string())), 5);
    }
}
