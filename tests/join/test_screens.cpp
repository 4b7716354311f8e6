// velmora-screens renders every registered window to a PNG in the folder it is given.
#include "support/mp3_fixtures.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>

namespace {

QString ScreensTool() {
    const QString bin = qEnvironmentVariable("VELMORA_BIN_DIR");
    return QDir(bin.isEmpty() ? QDir::currentPath() : bin).filePath(QStringLiteral("velmora-screens"));
}

bool HasColour(const QImage& image, bool (*pred)(const QColor&)) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (pred(image.pixelColor(x, y))) return true;
    return false;
}

}  // namespace

TEST(Screens, WritesOnePngPerWindow) {
    const QString tool = ScreensTool();
    ASSERT_TRUE(QFile::exists(tool)) << tool.toStdString();
    QProcess list;
    list.start(tool, {QStringLiteral("--list")});
    ASSERT_TRUE(list.waitForFinished(30000));
    const QStringList names = QString::fromUtf8(list.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const char* expected : {"conv_prog_running", "conv_prog_paused", "conv_prog_finished", "processing", "resize_dlg"})
        EXPECT_TRUE(names.contains(QString::fromLatin1(expected))) << expected;
    // With the application layer built in, the windows that live only inside a modal run too.
    if (names.contains(QStringLiteral("main_window_fresh"))) {
        for (const char* expected : {"folder_picker", "join_save_as", "join_progress_from_window", "options"})
            EXPECT_TRUE(names.contains(QString::fromLatin1(expected))) << expected;
    }

    velmora::testing::TempDir dir;
    const QString out = QString::fromStdString((dir / "shots").string());
    QProcess run;
    run.start(tool, {out});
    ASSERT_TRUE(run.waitForFinished(120000));
    EXPECT_EQ(run.exitCode(), 0) << run.readAllStandardError().toStdString();
    for (const QString& name : names) {
        QImage image(QDir(out).filePath(name + QStringLiteral(".png")));
        ASSERT_FALSE(image.isNull()) << name.toStdString();
        EXPECT_GT(image.width(), 100);
        EXPECT_GT(image.height(), 40);
    }
    // The finished dialog shows its information lines in blue and its error line in red.
    const QImage finished(QDir(out).filePath(QStringLiteral("conv_prog_finished.png")));
    EXPECT_TRUE(HasColour(finished, [](const QColor& c) { return c.red() > 200 && c.green() < 60 && c.blue() < 60; }));
    EXPECT_TRUE(HasColour(finished, [](const QColor& c) { return c.blue() > 200 && c.red() < 60 && c.green() < 60; }));

    // A name picks one window.
    QProcess one;
    const QString single = QString::fromStdString((dir / "one").string());
    one.start(tool, {single, QStringLiteral("processing")});
    ASSERT_TRUE(one.waitForFinished(60000));
    EXPECT_EQ(one.exitCode(), 0);
    EXPECT_EQ(QDir(single).entryList(QDir::Files), QStringList{QStringLiteral("processing.png")});
}
