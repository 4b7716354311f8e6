#include <gtest/gtest.h>

#include "tree_fixture.h"

#include <QApplication>

#include <cstdlib>

// The tree reads the home, desktop and music folders through the XDG variables, so every
// binary here runs under a temporary HOME of its own, set before Qt looks at any of them.
// No session bus either: the properties command then shows the program's own dialog
// instead of asking a file manager of the machine running the tests.
int main(int argc, char** argv) {
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    velmora::testing::TestHome home;
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
