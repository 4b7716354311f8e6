#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <lame/lame.h>
#include <sox.h>
#include <taglib/taglib.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "app/about_dlg.h"
#include "app/command_ids.h"
#include "app/help_commands.h"
#include "app/zeph_dlg.h"
#include "settings/settings_store.h"
#include "app_env.h"
#include "fake_xdg_open.h"
#include "window_helpers.h"
#include "controls/hyper_link.h"
#include "support/mp3_fixtures.h"

using namespace velmora;
using velmora::testing::AppEnv;
using velmora::testing::TempDir;

namespace {

QStringList LabelTexts(QWidget* w) {
    QStringList out;
    for (auto* l : w->findChildren<QLabel*>()) out << l->text();
    return out;
}

// Presses OK of the About box once it is up (or closes whatever is modal after five seconds).
class AboutCloser {
public:
    AboutCloser() {
        timer_.setInterval(15);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            QWidget* w = QApplication::activeModalWidget();
            if (auto* about = qobject_cast<CAboutDlg*>(w); about && about->isVisible()) {
                seen = true;
                texts = LabelTexts(about);
                auto* ok = qobject_cast<QPushButton*>(about->findChild<QPushButton*>());
                if (ok) QTest::mouseClick(ok, Qt::LeftButton);
            } else if (++ticks_ > 330 && w) {
                w->close();
            }
        });
        timer_.start();
    }
    bool seen = false;
    QStringList texts;

private:
    QTimer timer_;
    int ticks_ = 0;
};

}  // namespace

TEST(AboutBox, ShowsNameVersionLinksAndThanks) {
    CAboutDlg about;
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    EXPECT_EQ(about.windowTitle(), "About Velmora");
    const QStringList texts = LabelTexts(&about);
    EXPECT_TRUE(texts.contains("Velmora 5.0.9"));
    EXPECT_TRUE(texts.contains("Homepage:"));
    EXPECT_TRUE(texts.contains("Support:"));
    EXPECT_TRUE(texts.contains("Thanks for using this FREEWARE. We hope you like it."));
    EXPECT_TRUE(texts.contains(QString::fromLatin1(kMakerNoticeLine1)));
    EXPECT_TRUE(texts.contains(QString::fromLatin1(kMakerNoticeLine2)));

    ASSERT_NE(about.homepageLink(), nullptr);
    ASSERT_NE(about.supportLink(), nullptr);
    EXPECT_EQ(about.Control(CAboutDlg::IDC_HOMEPAGE), about.homepageLink());
    EXPECT_EQ(about.Control(CAboutDlg::IDC_SUPPORT), about.supportLink());
    // A host name without a scheme, and a mail address.
    EXPECT_EQ(about.homepageLink()->linkTarget(), "www.example.com/velmora");
    EXPECT_FALSE(about.homepageLink()->linkTarget().contains("://"));
    EXPECT_EQ(about.supportLink()->linkTarget(), "mailto:support@example.com");
    EXPECT_EQ(about.supportLink()->text(), "support@example.com");
    EXPECT_EQ(about.supportLink()->toolTip(), "mailto:support@example.com");
    EXPECT_TRUE(about.homepageLink()->attached());
    EXPECT_EQ(about.homepageLink()->currentColour(), QColor(0, 0, 238));
    EXPECT_EQ(about.homepageLink()->cursor().shape(), Qt::PointingHandCursor);
}

// The licence, and every library credited with the version the program runs with, as each
// library tells it itself.
TEST(AboutBox, NamesTheLicenceAndTheLibrariesWithTheirVersions) {
    CAboutDlg about;
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    const QStringList texts = LabelTexts(&about);
    EXPECT_TRUE(texts.contains("Velmora is free software under the GNU General Public License, version 3 or later."));
    const QString credits = CAboutDlg::CreditsText();
    EXPECT_TRUE(texts.contains(credits));
    lame_version_t lame{};
    get_lame_version_numerical(&lame);
    // The ffmpeg program of the same FFmpeg packages: "ffmpeg version 5.1.6-0+deb12u1 ...".
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), {QStringLiteral("-version")});
    ASSERT_TRUE(ffmpeg.waitForFinished(10000));
    const QString ffmpegVersion = QString::fromUtf8(ffmpeg.readAllStandardOutput()).section(QLatin1Char(' '), 2, 2);
    ASSERT_FALSE(ffmpegVersion.isEmpty());
    for (const QString& part : {QStringLiteral("Built on Qt %1, ").arg(qVersion()), QStringLiteral("libmpg123 1."),
                                QStringLiteral("SoX %1, ").arg(sox_version()),
                                QStringLiteral("TagLib %1.%2").arg(TAGLIB_MAJOR_VERSION).arg(TAGLIB_MINOR_VERSION),
                                QStringLiteral("LAME %1.%2").arg(lame.major).arg(lame.minor),
                                QStringLiteral(" and FFmpeg %1.").arg(ffmpegVersion)})
        EXPECT_TRUE(credits.contains(part)) << part.toStdString() << " in " << credits.toStdString();
    // The box grew for them: nothing overlaps the OK button.
    auto* ok = about.findChild<QPushButton*>();
    auto* line = about.findChild<QLabel*>(QStringLiteral("creditsLine"));
    ASSERT_TRUE(ok && line);
    EXPECT_LE(line->geometry().top() + line->heightForWidth(line->width()), ok->geometry().top());
}

TEST(AboutBox, ClickingTheSupportLinkOpensTheMailTargetAndShowsVisited) {
    CAboutDlg about;
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    QStringList opened;
    about.supportLink()->SetOpener([&](const QString& target) {
        opened << target;
        return 42;
    });
    QTest::mouseClick(about.supportLink(), Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_EQ(opened, QStringList{"mailto:support@example.com"});
    EXPECT_TRUE(about.supportLink()->isVisited());
    EXPECT_FALSE(about.homepageLink()->isVisited());
}

TEST(AboutBox, OkEndsTheBox) {
    CAboutDlg about;
    AboutCloser closer;
    EXPECT_EQ(about.exec(), QDialog::Accepted);
    EXPECT_TRUE(closer.seen);
}

TEST(HelpCommands, HelpFileBesideTheExecutableThenInTheInstalledTree) {
    TempDir dir;
    std::filesystem::create_directories(dir / "prefix" / "bin");
    std::filesystem::create_directories(dir / "prefix" / "share" / "doc" / "velmora");
    const QString bin = QString::fromStdString((dir / "prefix" / "bin").string());
    // Neither: the path beside the executable (opening it then fails quietly).
    EXPECT_EQ(HelpFilePath(bin), bin + "/Help.html");
    std::ofstream(dir / "prefix" / "share" / "doc" / "velmora" / "Help.html") << "<html></html>";
    EXPECT_EQ(HelpFilePath(bin),
              QString::fromStdString((dir / "prefix" / "share" / "doc" / "velmora" / "Help.html").string()));
    std::ofstream(dir / "prefix" / "bin" / "Help.html") << "<html></html>";
    EXPECT_EQ(HelpFilePath(bin), bin + "/Help.html");
}

TEST(HelpCommands, TargetsOfTheCommands) {
    const QString bin = QStringLiteral("/nonexistent/bin");
    EXPECT_EQ(HelpCommandTarget(ID_HELP_CONTENT, bin), "/nonexistent/bin/Help.html");
    EXPECT_EQ(HelpCommandTarget(ID_EMAIL_SUPPORT, bin), "mailto:support@example.com");
    EXPECT_TRUE(HelpCommandTarget(ID_DOWNLOAD, bin).startsWith("https://www.example.com/"));
    EXPECT_TRUE(HelpCommandTarget(ID_ONLINE_SUPPORT, bin).startsWith("https://www.example.com/"));
    EXPECT_TRUE(HelpCommandTarget(ID_ABOUT, bin).isEmpty());
}

// F1 on a desktop without a program to open the guide says so, whether xdg-open is missing
// or finds no program.
TEST(HelpCommands, F1SaysWhenNoProgramCouldOpenTheGuide) {
    AppEnv env;
    auto savedEnd = CZEPHDlg::ProcessEnd();
    CZEPHDlg::ProcessEnd() = [](int) {};
    {
        CZEPHDlg main;
        ASSERT_TRUE(main.OnInitDialog());
        main.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
        const QString guide = HelpCommandTarget(ID_HELP_CONTENT, QString::fromStdString(ModuleFolder()));
        for (std::optional<int> exitCode : {std::optional<int>(), std::optional<int>(4)}) {
            velmora::testing::FakeXdgOpen desktop(exitCode);
            QString said;
            velmora::testing::AnswerModal<QMessageBox>([&](QMessageBox* box) {
                said = box->text();
                box->accept();
            });
            QApplication::setActiveWindow(&main);
            QTest::keyClick(&main, Qt::Key_F1);
            EXPECT_TRUE(QTest::qWaitFor([&] { return !said.isEmpty(); }, 10000)) << exitCode.value_or(-1);
            EXPECT_EQ(said, "No program could open " + guide + ".");
        }
        main.close();
    }
    CZEPHDlg::ProcessEnd() = savedEnd;
}

// The guide F1 finds in the build tree shows every picture it names.
TEST(HelpCommands, TheBuildTreesGuideHasItsPictures) {
    const QString guide = HelpFilePath(QString::fromLocal8Bit(qgetenv("VELMORA_BIN_DIR")));
    QFile file(guide);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << guide.toStdString();
    const QString html = QString::fromUtf8(file.readAll());
    int pictures = 0;
    for (const QRegularExpressionMatch& m : QRegularExpression(QStringLiteral("<img[^>]*src=\"([^\"]+)\"")).globalMatch(html)) {
        ++pictures;
        EXPECT_TRUE(QFileInfo(QFileInfo(guide).dir(), m.captured(1)).isFile()) << m.captured(1).toStdString();
    }
    EXPECT_GE(pictures, 3);
}

TEST(HelpCommands, MainWindowRoutesF1TheHelpMenuAndAbout) {
    AppEnv env;
    auto savedEnd = CZEPHDlg::ProcessEnd();
    CZEPHDlg::ProcessEnd() = [](int) {};
    auto savedOpener = HelpOpener();
    QStringList opened;
    HelpOpener() = [&](const QString& target) { opened << target; };
    {
        CZEPHDlg main;
        ASSERT_TRUE(main.OnInitDialog());
        main.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
        QApplication::setActiveWindow(&main);
        QTest::qWait(20);

        QTest::keyClick(&main, Qt::Key_F1);
        ASSERT_EQ(opened.size(), 1);
        EXPECT_TRUE(opened.back().endsWith("/Help.html")) << opened.back().toStdString();
        main.OnCommand(ID_DOWNLOAD);
        main.OnCommand(ID_EMAIL_SUPPORT);
        main.OnCommand(ID_ONLINE_SUPPORT);
        ASSERT_EQ(opened.size(), 4);
        EXPECT_EQ(opened[2], "mailto:support@example.com");
        EXPECT_TRUE(opened[3].startsWith("https://www.example.com/"));

        AboutCloser closer;
        main.OnCommand(ID_ABOUT);
        EXPECT_TRUE(closer.seen);
        EXPECT_TRUE(closer.texts.contains("Velmora 5.0.9"));
        main.close();
    }
    HelpOpener() = savedOpener;
    CZEPHDlg::ProcessEnd() = savedEnd;
}
