// The whole job in the real program on a real X server, driven by X events like a person
// (xdotool): start, pick a folder of MP3s in the tree, sort by a column, Join with F3, wait for
// "Finished Joining", click Finish, leave by File > Exit. Then the output is decoded and the
// settings file and the profile are read back.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <taglib/fileref.h>
#include <taglib/tag.h>

#include <filesystem>
#include <map>

#include "app_under_x.h"
#include "controls/report_ctrl.h"
#include "filelist/file_list_columns.h"
#include "settings/app_settings.h"
#include "settings/application_profile.h"
#include "settings/config_ini.h"
#include "settings/settings_store.h"
#include "support/mp3_fixtures.h"

namespace fs = std::filesystem;
using velmora::testing::AppUnderXTest;
using velmora::testing::DecodeMp3;
using velmora::testing::EstimateFrequency;
using velmora::testing::MakeToneMp3;
using velmora::testing::ToneSpec;

namespace {

constexpr char kMainTitle[] = "Velmora 5.0.9";

struct Geometry {
    int x = 0, y = 0, w = 0, h = 0;
};

class EndToEndJoin : public AppUnderXTest {
protected:
    EndToEndJoin() : AppUnderXTest(171) {}

    void TearDown() override {
        if (app_.state() != QProcess::NotRunning) {
            app_.kill();
            app_.waitForFinished(3000);
        }
    }

    Geometry GeometryOf(const QString& id) const {
        Geometry g;
        const QString out = Xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), id});
        for (const QString& line : out.split(QLatin1Char('\n'))) {
            const QString key = line.section(QLatin1Char('='), 0, 0), value = line.section(QLatin1Char('='), 1);
            if (key == QLatin1String("X")) g.x = value.toInt();
            if (key == QLatin1String("Y")) g.y = value.toInt();
            if (key == QLatin1String("WIDTH")) g.w = value.toInt();
            if (key == QLatin1String("HEIGHT")) g.h = value.toInt();
        }
        return g;
    }
    void ClickIn(const QString& id, int x, int y) const {
        Xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), id, QString::number(x), QString::number(y)});
        QThread::msleep(100);
        Xdotool({QStringLiteral("click"), QStringLiteral("1")});
    }
    void Key(const char* key) const {
        Xdotool({QStringLiteral("key"), QString::fromLatin1(key)});
        QThread::msleep(150);
    }

    QProcess app_;
};

struct Tone {
    const char* file;
    const char* title;
    double frequency;
};

TEST_F(EndToEndJoin, PickSortJoinFinishAndExit) {
    // A folder the tree starts on, and beside it (next in name order) the folder of tones.
    const fs::path home = env_.home();
    const fs::path start = home / "00 Start";
    const fs::path tones = home / "01 Tones";
    const fs::path outFolder = home / "Joined";
    fs::create_directories(start);
    fs::create_directories(tones);
    // Each file a tone of its own, so the order of the output can be heard back.
    const Tone inputs[] = {{"a.mp3", "Alpha", 400}, {"b.mp3", "Bravo", 1600}, {"c.mp3", "Charlie", 800}};
    std::map<std::string, size_t> frames;
    for (const Tone& t : inputs) {
        ToneSpec toneSpec;
        toneSpec.seconds = 0.8;
        toneSpec.frequency = t.frequency;
        const fs::path p = tones / t.file;
        ASSERT_TRUE(MakeToneMp3(p, toneSpec));
        {
            TagLib::FileRef f(p.c_str());
            ASSERT_FALSE(f.isNull());
            f.tag()->setTitle(t.title);
            ASSERT_TRUE(f.save());
        }
        const auto d = DecodeMp3(p);
        ASSERT_TRUE(d.ok);
        frames[t.title] = d.frames();
    }

    // The settings this run starts with: the tree on the start folder, output into a folder
    // that does not exist yet under a name of our own.
    velmora::AppSettings s;
    s.lastFolder = start.string();
    s.outputFolder = outFolder.string() + "/";
    s.defaultFileName = "Together";
    fs::create_directories(fs::path(env_.SettingsFile().toStdString()).parent_path());
    ASSERT_TRUE(velmora::SaveSettings(s, env_.SettingsFile().toStdString()));

    app_.setProcessEnvironment(Environment());
    app_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    app_.start(binary_, {});
    ASSERT_TRUE(app_.waitForStarted(5000));
    const QString main = WaitForWindow(QString::fromLatin1(kMainTitle), 15000);
    ASSERT_FALSE(main.isEmpty()) << "the main window did not appear";
    Xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), main});
    QThread::msleep(800);

    // A click on the tones folder in the tree (just below the start folder, which the tree
    // shows selected under the expanded home folder) loads it into the list.
    ClickIn(main, 120, 145);
    QThread::msleep(3000);

    // A click on the Name header: the list comes sorted by Name ascending, so this turns it
    // to descending.
    ClickIn(main, 260, 92);
    QThread::msleep(800);

    // Join.
    Xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), main});
    Key("F3");
    const QString done = WaitForWindow(QStringLiteral("Finished Joining"), 60000);
    ASSERT_FALSE(done.isEmpty()) << "the join did not finish";
    // Finish: the button in the dialog's lower right (template 367 x 215, button at 243,199
    // size 48 x 13).
    const Geometry g = GeometryOf(done);
    ClickIn(done, g.w * 267 / 367, g.h * 205 / 215);
    QElapsedTimer t;
    t.start();
    while (!Xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                     QStringLiteral("^Finished Joining$")})
                .isEmpty() &&
           t.elapsed() < 5000)
        QThread::msleep(100);
    EXPECT_LT(t.elapsed(), 5000) << "Finish did not close the progress dialog";

    // File > Exit.
    Xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), main});
    ClickIn(main, 14, 8);
    QThread::msleep(300);
    Key("Up");
    Key("Return");
    ASSERT_TRUE(app_.waitForFinished(8000)) << "Exit did not end the program";

    // The output: the three inputs in descending Name order (c, b, a), no more and no less.
    const fs::path output = outFolder / "Together.mp3";
    ASSERT_TRUE(fs::exists(output));
    const auto out = DecodeMp3(output);
    ASSERT_TRUE(out.ok);
    const size_t c = frames["Charlie"], b = frames["Bravo"], a = frames["Alpha"];
    EXPECT_EQ(out.frames(), a + b + c);
    const size_t probe = 4096;
    EXPECT_NEAR(EstimateFrequency(out, c / 2 - probe / 2, probe), 800, 20);
    EXPECT_NEAR(EstimateFrequency(out, c + b / 2 - probe / 2, probe), 1600, 40);
    EXPECT_NEAR(EstimateFrequency(out, c + b + a / 2 - probe / 2, probe), 400, 10);
    // (The log line "Joining status: OK." lives in the dialog's list, which X does not show
    // as text; the decoded output above is the stronger check.)

    // The settings of this run: the folder picked in the tree, and the output settings.
    velmora::AppSettings stored;
    ASSERT_TRUE(velmora::LoadSettings(stored, env_.SettingsFile().toStdString()));
    EXPECT_EQ(fs::path(stored.lastFolder).lexically_normal(), tones.lexically_normal());
    EXPECT_EQ(stored.outputFolder, outFolder.string() + "/");
    EXPECT_EQ(stored.defaultFileName, "Together");
    // The profile: Name is the primary sort key, now descending.
    // (The program's profile is named after the program, velmora.)
    const QString profileFile =
        QString::fromStdString((env_.config() / "Orvatek Corporation" / "Velmora" / "velmora.conf").string());
    ASSERT_TRUE(QFile::exists(profileFile));
    auto profile = velmora::ApplicationProfile::AtPath(profileFile);
    const auto blob = profile.GetProfileBinary("FileList", "SortEx");
    ASSERT_TRUE(blob.has_value());
    const auto keys = velmora::CReportCtrl::ParseSortListBlob(*blob, velmora::kFileListColumnCount);
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(keys.front().column, velmora::kColName);
    EXPECT_EQ(keys.front().ascending, 0);
}

}  // namespace
