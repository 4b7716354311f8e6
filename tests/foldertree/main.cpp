#include <gtest/gtest.h>

#include "tree_fixture.h"

#include <QApplication>

// The tree reads the home, desktop and music folders through the XDG variables, so every
// binary here runs under a temporary HOME of its own, set before Qt looks at any of them.
int main(int argc, char** argv) {
    velmora::testing::TestHome home;
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
