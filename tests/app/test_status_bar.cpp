#include <gtest/gtest.h>

#include "app/status_bar.h"

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
