// CSSplitter: bar geometry, limits, dragging with the mouse, Esc, hiding the left pane and
// the position kept in the profile.
#include "controls/s_splitter.h"
#include "settings/application_profile.h"
#include "support/mp3_fixtures.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTest>

#include <memory>

using namespace velmora;

namespace {

struct SplitterTest : ::testing::Test {
    velmora::testing::TempDir dir;
    QString path = QString::fromStdString((dir / "profile.conf").string());
    std::unique_ptr<ApplicationProfile> profile = std::make_unique<ApplicationProfile>(ApplicationProfile::AtPath(path));
    std::unique_ptr<QWidget> window;
    CSSplitter* splitter = nullptr;
    QWidget* tree = nullptr;
    QWidget* list = nullptr;
    QLineEdit* other = nullptr;

    void Make(int width = 600, int height = 300) {
        window = std::make_unique<QWidget>();
        window->resize(width + 20, height + 20);
        other = new QLineEdit(window.get());
        other->setGeometry(0, height + 2, 50, 16);
        tree = new QWidget(window.get());
        list = new QWidget(window.get());
        splitter = new CSSplitter(window.get());
        splitter->SetProfile(profile.get());
        splitter->SetLiveDrag(false);
        splitter->CreateSplitter(0x50000001, window.get(), tree, list, 103, QRect(0, 0, width, height), 100, 150);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    int Stored() { return profile->GetProfileInt(profile::SplitterSection(103), QStringLiteral("VertSplitPos"), -1); }

    void Press(int x) { QTest::mousePress(splitter, Qt::LeftButton, Qt::NoModifier, QPoint(x, 50)); }
    void Move(int x) {
        QMouseEvent move(QEvent::MouseMove, QPointF(x, 50), splitter->mapToGlobal(QPointF(x, 50)), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(splitter, &move);
    }
    void Release(int x) { QTest::mouseRelease(splitter, Qt::LeftButton, Qt::NoModifier, QPoint(x, 50)); }
};

}  // namespace

TEST_F(SplitterTest, FreshStartPutsTheBarAt200) {
    Make();
    EXPECT_EQ(splitter->leftWidth(), 200);
    EXPECT_EQ(tree->geometry(), QRect(0, 0, 200, 300));
    EXPECT_EQ(list->geometry().left(), 203);  // 3-pixel gap
    EXPECT_EQ(list->geometry().right(), 599);
    EXPECT_EQ(splitter->barRect().width(), 6);
    EXPECT_EQ(tree->parentWidget(), splitter);
    EXPECT_EQ(list->parentWidget(), splitter);
}

TEST_F(SplitterTest, DragStopsAtTheLeftMinimumAndTheRightMinimum) {
    Make();
    const int bar = splitter->barRect().center().x();
    Press(bar);
    ASSERT_TRUE(splitter->tracking());
    Move(40);
    ASSERT_NE(splitter->dragOutline(), nullptr);  // outline shown, panes not moved yet
    EXPECT_EQ(tree->width(), 200);
    Release(40);
    EXPECT_FALSE(splitter->tracking());
    EXPECT_EQ(splitter->dragOutline(), nullptr);
    EXPECT_EQ(tree->width(), 99);  // bar at 100
    EXPECT_EQ(list->geometry().left(), 102);
    EXPECT_EQ(splitter->leftWidth(), 99);

    Press(splitter->barRect().center().x());
    Move(590);
    Release(590);
    // The bar stops 150 pixels from the right edge.
    EXPECT_EQ(tree->width(), 600 - 150 - 1);
    EXPECT_GE(list->width(), 147);
}

TEST_F(SplitterTest, WideningKeepsTheTreeWidthAndNarrowingBelow250KeepsTheBarAt100) {
    Make();
    splitter->resize(900, 300);
    QApplication::processEvents();
    EXPECT_EQ(tree->width(), 200);
    EXPECT_EQ(list->width(), 900 - 203);
    splitter->resize(240, 300);
    QApplication::processEvents();
    EXPECT_EQ(tree->width(), 99);  // the left minimum wins
    splitter->resize(700, 300);
    QApplication::processEvents();
    EXPECT_EQ(tree->width(), 200);  // the kept width comes back
}

TEST_F(SplitterTest, EscDuringADragChangesNothing) {
    Make();
    other->setFocus();
    QApplication::processEvents();
    Press(splitter->barRect().center().x());
    Move(320);
    ASSERT_NE(splitter->dragOutline(), nullptr);
    QTest::keyClick(splitter, Qt::Key_Escape);
    EXPECT_FALSE(splitter->tracking());
    EXPECT_EQ(splitter->dragOutline(), nullptr);
    Release(320);  // the release after Esc is not a drop
    EXPECT_EQ(tree->width(), 200);
    EXPECT_EQ(list->geometry().left(), 203);
    EXPECT_EQ(QApplication::focusWidget(), other);  // focus goes back
}

TEST_F(SplitterTest, LiveDragMovesThePanesWithTheMouse) {
    Make();
    splitter->SetLiveDrag(true);
    Press(splitter->barRect().center().x());
    Move(300);
    EXPECT_EQ(splitter->dragOutline(), nullptr);
    EXPECT_EQ(tree->width(), 299);
    Release(300);
    EXPECT_EQ(splitter->leftWidth(), 299);
}

TEST_F(SplitterTest, HideGivesTheListEverythingAndShowRestores) {
    Make();
    splitter->HideLeftPane();
    EXPECT_FALSE(splitter->IsLeftPaneShown());
    EXPECT_FALSE(tree->isVisible());
    EXPECT_EQ(list->geometry(), QRect(0, 0, 600, 300));
    // The bar cannot be grabbed while hidden.
    Press(200);
    EXPECT_FALSE(splitter->tracking());
    Release(200);
    splitter->resize(650, 300);
    QApplication::processEvents();
    EXPECT_EQ(list->geometry(), QRect(0, 0, 650, 300));
    splitter->ShowLeftPane();
    EXPECT_TRUE(tree->isVisible());
    EXPECT_EQ(tree->width(), 200);
    EXPECT_EQ(list->geometry().left(), 203);
}

TEST_F(SplitterTest, WidthWrittenOnDestructionIsThePreviousWidthEvenWhileHidden) {
    Make();
    Press(splitter->barRect().center().x());
    Move(260);
    Release(260);
    ASSERT_EQ(tree->width(), 259);
    splitter->HideLeftPane();
    window.reset();  // destroys the splitter
    EXPECT_EQ(Stored(), 259);

    // The next start reads it back.
    Make();
    EXPECT_EQ(tree->width(), 259);
}

TEST_F(SplitterTest, StoredPositionOutsideTheLimitsIsClampedAtTheNextSizeChange) {
    profile->WriteProfileInt(profile::SplitterSection(103), QStringLiteral("VertSplitPos"), 900);
    Make();
    EXPECT_EQ(splitter->leftWidth(), 900);  // taken as it is at creation
    splitter->resize(601, 300);
    QApplication::processEvents();
    EXPECT_EQ(tree->width(), 601 - 150 - 1);
}
