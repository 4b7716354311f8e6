// CResizeDlg layout: controls follow client-size changes by their modes; the grip follows
// the window state.
#include "controls/dialog_units.h"
#include "controls/resize_dlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <cmath>

using namespace velmora;

namespace {

class TestDlg : public CResizeDlg {
public:
    TestDlg() {
        resize(400, 300);
        stretch = Make(10, 1, 20, 380, 20);   // 1,1,1,1: grows both ways
        follow = Make(11, 1, 20, 250, 30);    // 1,1,2,2: width grows, moves down
        mover = Make(12, 300, 250, 80, 25);   // 2,2,2,2: moves with right and bottom
        centred = Make(13, 150, 260, 60, 20); // 3,3,2,2: stays centred, follows bottom
        still = Make(14, 5, 5, 40, 10);       // 0,0,0,0
        InitResizeDlg();
        AddControl(10, 1, 1, 1, 1);
        AddControl(11, 1, 1, 2, 2);
        AddControl(12, 2, 2, 2, 2);
        AddControl(13, 3, 3, 2, 2, 0, 1, -1, -1, -1);
        AddControl(14, 0, 0, 0, 0);
    }
    QWidget* Make(int id, int x, int y, int w, int h) {
        auto* l = new QLabel(QStringLiteral("c%1").arg(id), this);
        l->setGeometry(x, y, w, h);
        RegisterControl(id, l);
        return l;
    }
    using CResizeDlg::InitResizeDlg;
    QWidget *stretch, *follow, *mover, *centred, *still;
};

}  // namespace

TEST(ResizeDlg, AddControlRecordsRectModesAndCentreRatio) {
    TestDlg d;
    const auto& entries = d.layoutEntries();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].modes, 0x1111u);
    EXPECT_EQ(entries[1].modes, 0x2211u);
    EXPECT_EQ(entries[2].modes, 0x2222u);
    EXPECT_EQ(entries[3].modes, 0x2233u);
    EXPECT_EQ(entries[0].rect, QRect(1, 20, 380, 20));
    // Centre of 150..210 is 180, of a 400-wide client: 0.45 (the ratio argument is replaced).
    EXPECT_DOUBLE_EQ(entries[3].centreRatio, 0.45);
    // Registering an id again replaces its entry; an unknown id is refused.
    EXPECT_TRUE(d.AddControl(14, 2, 2, 0, 0));
    EXPECT_EQ(d.layoutEntries().size(), 5u);
    EXPECT_EQ(d.layoutEntries()[4].modes, 0x0022u);
    EXPECT_FALSE(d.AddControl(999, 1, 1, 1, 1));
    EXPECT_EQ(d.layoutEntries().size(), 5u);
}

TEST(ResizeDlg, WideningAndHeighteningFollowTheModes) {
    TestDlg d;
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    d.resize(400, 300);
    QApplication::processEvents();
    d.resize(500, 340);  // +100 wide, +40 high
    QApplication::processEvents();
    EXPECT_EQ(d.stretch->geometry(), QRect(1, 20, 480, 60));
    EXPECT_EQ(d.follow->geometry(), QRect(1, 60, 350, 30));
    EXPECT_EQ(d.mover->geometry(), QRect(400, 290, 80, 25));
    // Centre ratio 0.45 of 500 = 225, minus half the width 30: left 195.
    EXPECT_EQ(d.centred->geometry(), QRect(195, 300, 60, 20));
    EXPECT_EQ(d.still->geometry(), QRect(5, 5, 40, 10));

    d.resize(380, 290);  // shrink: growth is negative
    QApplication::processEvents();
    EXPECT_EQ(d.stretch->geometry(), QRect(1, 20, 360, 10));
    EXPECT_EQ(d.mover->geometry(), QRect(280, 240, 80, 25));
    EXPECT_EQ(d.centred->geometry().left(), static_cast<int>(0.45 * 380 - 30));
}

TEST(ResizeDlg, CentredControlKeepsItsFractionOverManyResizes) {
    TestDlg d;
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    const int widths[] = {401, 733, 520, 999, 413, 640, 457, 811, 400};
    for (int round = 0; round < 5; ++round) {
        for (int w : widths) {
            d.resize(w, 300 + round);
            QApplication::processEvents();
            const QRect g = d.centred->geometry();
            EXPECT_EQ(g.width(), 60);
            const double centre = (g.left() + g.left() + g.width()) / 2.0 / w;
            EXPECT_NEAR(centre, 0.45, 1.0 / w) << "width " << w;
        }
    }
    // Back at the first size, back at the first place: no drift.
    EXPECT_EQ(d.centred->geometry().left(), 150);
}

TEST(ResizeDlg, MinimiseAndRestoreLeaveControlsInPlace) {
    TestDlg d;
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    d.resize(520, 360);
    QApplication::processEvents();
    std::vector<QRect> before;
    for (QWidget* w : {d.stretch, d.follow, d.mover, d.centred, d.still}) before.push_back(w->geometry());
    d.showMinimized();
    QApplication::processEvents();
    EXPECT_TRUE(d.isMinimized());
    d.showNormal();
    QApplication::processEvents();
    std::vector<QRect> after;
    for (QWidget* w : {d.stretch, d.follow, d.mover, d.centred, d.still}) after.push_back(w->geometry());
    EXPECT_EQ(before, after);
}

TEST(ResizeDlg, MaximiseHidesTheGripAndRestoreShowsItInTheCorner) {
    TestDlg d;
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    ASSERT_NE(d.sizeGrip(), nullptr);
    EXPECT_TRUE(d.sizeGrip()->isVisible());
    EXPECT_EQ(d.sizeGrip()->geometry().bottomRight(), d.rect().bottomRight());

    d.showMaximized();
    QApplication::processEvents();
    QTRY_VERIFY(d.isMaximized());
    EXPECT_FALSE(d.sizeGrip()->isVisible());

    d.showNormal();
    QApplication::processEvents();
    QTRY_VERIFY(!d.isMaximized());
    EXPECT_TRUE(d.sizeGrip()->isVisible());
    EXPECT_EQ(d.sizeGrip()->geometry().bottomRight(), d.rect().bottomRight());
}

TEST(ResizeDlg, HideSizeGripLastsUntilTheNextSizeChange) {
    TestDlg d;
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    d.HideSizeGrip();
    EXPECT_FALSE(d.sizeGrip()->isVisible());
    d.resize(450, 320);
    QApplication::processEvents();
    EXPECT_TRUE(d.sizeGrip()->isVisible());
    // The grip is the lower-right triangle: its upper-left corner is not part of it.
    const QRegion mask = d.sizeGrip()->mask();
    EXPECT_FALSE(mask.contains(QPoint(1, 1)));
    EXPECT_TRUE(mask.contains(QPoint(d.sizeGrip()->width() - 2, d.sizeGrip()->height() - 2)));
}

TEST(ResizeDlg, MinimumAndFixedAxes) {
    TestDlg d;
    d.SetMinTrackSize(QSize(300, 200));
    d.SetResizable(true, false);
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    d.resize(100, 500);
    QApplication::processEvents();
    EXPECT_EQ(d.width(), 300);
    EXPECT_EQ(d.height(), 200);
    d.resize(600, 150);
    QApplication::processEvents();
    EXPECT_EQ(d.width(), 600);
    EXPECT_EQ(d.height(), 200);
}

TEST(ResizeDlg, LayoutRectModeTable) {
    LayoutEntry e;
    e.rect = QRect(10, 20, 30, 40);  // left 10, right 40, top 20, bottom 60
    // Only the left edge moved and its nibble is set: the left nibble decides.
    e.modes = 2 | 1 << 4 | 0 << 8 | 1 << 12;
    EXPECT_EQ(LayoutRect(e, kEdgeLeft | kEdgeBottom, 5, 7, 100), QRect(15, 20, 30, 47));
    // The right edge moved: the right nibble (stretch).
    EXPECT_EQ(LayoutRect(e, kEdgeRight | kEdgeBottom, 5, 7, 100), QRect(10, 20, 35, 47));
    // Near nibble 0 falls back to the far nibble when the far edge moved too.
    e.modes = 0 | 2 << 4;
    EXPECT_EQ(LayoutRect(e, kEdgeLeft | kEdgeRight, 5, 0, 100), QRect(15, 20, 30, 40));
    // Nothing moved: nothing changes.
    EXPECT_EQ(LayoutRect(e, 0, 5, 5, 100), e.rect);
}

TEST(DialogUnits, ConvertsFromTheFontMetrics) {
    const DialogUnits u(6, 13);
    EXPECT_EQ(u.ToPixelsX(367), 367 * 6 / 4);
    EXPECT_EQ(u.ToPixelsY(215), 215 * 13 / 8);
    EXPECT_EQ(u.ToPixels(QRect(7, 1, 354, 48)), QRect(10, 1, (361 * 6 / 4) - 10, (49 * 13 / 8) - 1));
    const DialogUnits fromFont(QApplication::font());
    EXPECT_GT(fromFont.avgCharWidth(), 2);
    EXPECT_GT(fromFont.charHeight(), 6);
    // A bigger font gives bigger dialogs.
    QFont big = QApplication::font();
    big.setPointSizeF(big.pointSizeF() * 2);
    EXPECT_GT(DialogUnits(big).ToPixelsX(100), fromFont.ToPixelsX(100));
}

TEST(DialogUnits, BuildTemplateMakesIdentifiedControls) {
    static const TemplateItem items[] = {
        {1, TemplateKind::PushButton, "Go", 10, 10, 40, 14},
        {2, TemplateKind::StaticRight, "0.00%", 60, 10, 30, 10},
        {3, TemplateKind::ListView, nullptr, 0, 30, 100, 50},
    };
    QWidget parent;
    const DialogUnits u(8, 16);
    auto controls = BuildTemplate(&parent, items, u);
    ASSERT_EQ(controls.size(), 2u);
    auto* button = qobject_cast<QPushButton*>(controls.at(1));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), QStringLiteral("Go"));
    EXPECT_EQ(button->geometry(), QRect(20, 20, 80, 28));
    EXPECT_EQ(ControlId(button), 1);
    auto* label = qobject_cast<QLabel*>(controls.at(2));
    ASSERT_NE(label, nullptr);
    EXPECT_TRUE(label->alignment() & Qt::AlignRight);
}
