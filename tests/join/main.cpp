#include <gtest/gtest.h>

#include <QApplication>

// Dialog tests need a QApplication; CTest runs them on the offscreen platform.
int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmora"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
