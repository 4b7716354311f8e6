#include <gtest/gtest.h>

#include "app/status_bar.h"

#include <QLabel>

using namespace velmora;

TEST(StatusBar, PanesFollowTheirRightEdges) {
    CStatusBar bar;
    bar.resize(800, 25);
    bar.SetParts(200, 400);
    EXPECT_EQ(bar.PaneRect(0).left(), 0);
    EXPECT_EQ(bar.PaneRect(0).right() + 1, 200);
    EXPECT_EQ(bar.PaneRect(1).left(), 200);
    EXPECT_EQ(bar.PaneRect(1).right() + 1, 400);
    EXPECT_EQ(bar.PaneRect(2).left(), 400);
    EXPECT_LE(bar.PaneRect(2).right() + 1, 800);
    EXPECT_GT(bar.PaneRect(2).width(), 300);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(bar.PaneRect(i).height(), 25) << i;
}

TEST(StatusBar, EdgesBeyondTheWidthAreClamped) {
    CStatusBar bar;
    bar.resize(100, 25);
    bar.SetParts(300, 50);
    EXPECT_EQ(bar.PaneRect(0).width(), 100);
    EXPECT_EQ(bar.PaneRect(1).width(), 0);
    EXPECT_GE(bar.PaneRect(2).width(), 0);
}

TEST(StatusBar, TextAndTips) {
    CStatusBar bar;
    bar.SetText(0, QStringLiteral("No file"));
    bar.SetText(2, QStringLiteral("summary"));
    bar.SetTipText(2, QStringLiteral("summary"));
    bar.SetText(7, QStringLiteral("ignored"));
    EXPECT_EQ(bar.Text(0), "No file");
    EXPECT_EQ(bar.Text(1), "");
    EXPECT_EQ(bar.Text(2), "summary");
    EXPECT_EQ(bar.TipText(2), "summary");
    EXPECT_EQ(bar.Text(7), "");
}

// With a font twice the size (a desktop scaled 2x), a pane whose text outgrows its share
// widens to show it whole; the last pane, squeezed, shows its text cut with an ellipsis and
// still reports the whole text.
TEST(StatusBar, PanesWidenToTheirTextsAndTheLastIsCutVisibly) {
    CStatusBar bar;
    QFont big = bar.font();
    big.setPointSizeF(big.pointSizeF() * 2);
    bar.setFont(big);
    bar.resize(900, 50);
    bar.SetParts(225, 450);
    const QString summary = QStringLiteral("1234 file(s)   5678.90 MB   123:45:06");
    const QString encoder = QStringLiteral("  MP3:  CBR 128 kbps; Automatic Frequency; Automatic Channel; Loudness: podcast (-16 LUFS);");
    bar.SetText(0, summary);
    bar.SetText(1, QStringLiteral("No file selected"));
    bar.SetText(2, encoder);
    auto* pane0 = bar.findChild<QLabel*>(QStringLiteral("statusPane0"));
    auto* pane2 = bar.findChild<QLabel*>(QStringLiteral("statusPane2"));
    ASSERT_TRUE(pane0 && pane2);
    EXPECT_GE(bar.PaneRect(0).width(), pane0->fontMetrics().horizontalAdvance(summary));
    EXPECT_EQ(pane0->text(), summary);
    EXPECT_EQ(bar.PaneRect(1).left(), bar.PaneRect(0).right() + 1);
    EXPECT_GE(bar.PaneRect(1).width(), pane0->fontMetrics().horizontalAdvance(QStringLiteral("No file selected")));
    EXPECT_TRUE(pane2->text().endsWith(QChar(0x2026))) << pane2->text().toStdString();
    EXPECT_LE(pane2->fontMetrics().horizontalAdvance(pane2->text()), bar.PaneRect(2).width());
    EXPECT_EQ(bar.Text(2), encoder);
    // Wide enough again, the whole text shows.
    bar.resize(3000, 50);
    bar.SetParts(750, 1500);  // as the window does on its resize
    EXPECT_EQ(pane2->text(), encoder);
}
