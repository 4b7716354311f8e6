// "Chapters and Tags" in the real window, driven by key presses and clicks: what the dialog
// shows is what the join writes, read back from the joined file; and an edited chapter stays
// with its file when the list is reordered.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QImage>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>

#include <filesystem>

#include "app/book_dlg.h"
#include "app/command_ids.h"
#include "app/drop_target.h"
#include "app/file_loader.h"
#include "app/zeph_dlg.h"
#include "app_env.h"
#include "controls/report_ctrl.h"
#include "engine/output_tag.h"
#include "filelist/file_list_columns.h"
#include "filelist/list_locked.h"
#include "join/conv_prog.h"
#include "support/mp3_fixtures.h"
#include "window_helpers.h"

using namespace velmora;
using velmora::testing::AnswerModal;
using velmora::testing::AppEnv;
using velmora::testing::Q;
using velmora::testing::TempDir;
namespace fs = std::filesystem;

namespace {

struct ShownChapter {
    uint64_t startMs;
    QString title;
};

uint64_t ParseShownTime(const QString& text) {
    // H:MM:SS.mmm
    const QStringList hms = text.split(QLatin1Char(':'));
    EXPECT_EQ(hms.size(), 3) << text.toStdString();
    if (hms.size() != 3) return 0;
    const QStringList sms = hms[2].split(QLatin1Char('.'));
    return hms[0].toULongLong() * 3600000 + hms[1].toULongLong() * 60000 + sms[0].toULongLong() * 1000 +
           sms.value(1).toULongLong();
}

class BookDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedEnd_ = CZEPHDlg::ProcessEnd();
        CZEPHDlg::ProcessEnd() = [](int) {};
        LowerListLocked();
        dlg_ = velmora::testing::OpenShownMainWindow();
        FileLoaderOf(*dlg_).WaitIdle(20000);
        dlg_->settings().askOutputPath = 0;
        dlg_->settings().outputFolder = (out_.path().string()) + "/";
        dlg_->settings().defaultFileName = "Book";
        dlg_->settings().outputTags = 1;
        dlg_->settings().chapterMode = kChaptersPerFile;
    }
    void TearDown() override {
        velmora::testing::RejectOpenDialogs();
        dlg_.reset();
        CZEPHDlg::ProcessEnd() = savedEnd_;
    }

    CReportCtrl& List() { return *dlg_->fileList(); }

    void LoadTones(const std::vector<std::pair<std::string, double>>& tones) {
        QStringList paths;
        for (const auto& [name, seconds] : tones) {
            velmora::testing::ToneSpec tone;
            tone.seconds = seconds;
            tone.kbps = 96;
            ASSERT_TRUE(velmora::testing::MakeToneMp3(files_ / name, tone));
            paths << Q(files_ / name);
        }
        QCoreApplication::postEvent(dlg_.get(), new FilesDroppedEvent(paths));
        QTest::qWait(10);
        ASSERT_TRUE(FileLoaderOf(*dlg_).WaitIdle(20000));
        ASSERT_EQ(List().GetItemCount(), int(tones.size()));
        QApplication::setActiveWindow(dlg_.get());
        List().setFocus();
    }

    // Opens the dialog with Ctrl+B on the list; `drive` works it and closes it.
    void WithDialog(const std::function<void(CBookDlg*)>& drive) {
        bool reached = false;
        AnswerModal<CBookDlg>([&](CBookDlg* d) {
            reached = true;
            drive(d);
        });
        // The window a closed dialog leaves behind is active again, as it is for a user.
        QApplication::setActiveWindow(dlg_.get());
        List().setFocus();
        QTest::keyClick(&List(), Qt::Key_B, Qt::ControlModifier);
        EXPECT_TRUE(reached);
    }

    static QTreeWidget* Table(CBookDlg* d) { return d->findChild<QTreeWidget*>(QStringLiteral("chapterTable")); }
    static QPushButton* Button(QWidget* d, const char* name) { return d->findChild<QPushButton*>(QString::fromLatin1(name)); }
    static void ClickRow(QTreeWidget* t, int row, int column) {
        const QRect r = t->visualItemRect(t->topLevelItem(row));
        const int x = t->header()->sectionViewportPosition(column) + 4;
        QTest::mouseClick(t->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(x, r.center().y()));
    }
    // F2 on a row of the table, the new title typed over the old, Return.
    static void RenameRow(QTreeWidget* t, int row, const QString& title) {
        ClickRow(t, row, CBookDlg::kColNumber);
        QTest::keyClick(t, Qt::Key_F2);
        // The editor takes the focus through the event loop; a slow (sanitized) run needs a moment.
        QLineEdit* editor = nullptr;
        for (int i = 0; i < 200 && !(editor = qobject_cast<QLineEdit*>(QApplication::focusWidget())); ++i)
            QTest::qWait(10);
        ASSERT_NE(editor, nullptr);
        QTest::keyClick(editor, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(editor, title);
        QTest::keyClick(editor, Qt::Key_Return);
    }
    static std::vector<ShownChapter> Shown(QTreeWidget* t) {
        std::vector<ShownChapter> shown;
        for (int i = 0; i < t->topLevelItemCount(); ++i)
            shown.push_back({ParseShownTime(t->topLevelItem(i)->text(CBookDlg::kColStart)),
                             t->topLevelItem(i)->text(CBookDlg::kColTitle)});
        return shown;
    }
    static void ClickOk(CBookDlg* d) {
        auto* box = d->findChild<QDialogButtonBox*>();
        QTest::mouseClick(box->button(QDialogButtonBox::Ok), Qt::LeftButton);
    }

    // F3, then Finish once the progress dialog says the join is done.
    void JoinAndFinish() {
        bool finished = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* prog = qobject_cast<CConvProg*>(QApplication::activeModalWidget());
            if (!prog || finished || prog->windowTitle() != QStringLiteral("Finished Joining")) return;
            finished = true;
            QTimer::singleShot(0, [b = QPointer<QPushButton>(prog->cancelButton())] {
                if (b) QTest::mouseClick(b, Qt::LeftButton);
            });
        });
        poll.start(20);
        QApplication::setActiveWindow(dlg_.get());
        List().setFocus();
        QTest::keyClick(&List(), Qt::Key_F3);
        EXPECT_TRUE(finished);
    }

    AppEnv env_;
    TempDir files_;
    TempDir out_;
    std::unique_ptr<CZEPHDlg> dlg_;
    std::function<void(int)> savedEnd_;
};

TEST_F(BookDialogTest, RenamedMergedAndCoveredAsShownIsWhatTheJoinWrites) {
    LoadTones({{"01 - Intro.mp3", 1.0}, {"02 - Middle.mp3", 1.3}, {"03 - Coda.mp3", 0.7}});
    const fs::path cover = files_ / "cover.png";
    QImage picture(40, 30, QImage::Format_RGB32);
    picture.fill(QColor(200, 40, 90));
    ASSERT_TRUE(picture.save(Q(cover), "PNG"));

    std::vector<ShownChapter> shown;
    QString shownTitle;
    WithDialog([&](CBookDlg* d) {
        QTreeWidget* table = Table(d);
        ASSERT_NE(table, nullptr);
        ASSERT_EQ(table->topLevelItemCount(), 3);
        // The files' names give the chapters, track numbers left out.
        EXPECT_EQ(table->topLevelItem(1)->text(CBookDlg::kColTitle), QStringLiteral("Middle"));
        RenameRow(table, 0, QStringLiteral("Opening"));
        ClickRow(table, 1, CBookDlg::kColStart);
        QTest::mouseClick(Button(d, "mergeWithNext"), Qt::LeftButton);
        ASSERT_EQ(table->topLevelItemCount(), 2);
        // The merged chapter holds two files: it splits at the second one's start. (Another
        // cell than the click before, which would make a double click.)
        ClickRow(table, 1, CBookDlg::kColLength);
        EXPECT_TRUE(Button(d, "split")->isEnabled());
        ClickRow(table, 0, CBookDlg::kColStart);
        EXPECT_FALSE(Button(d, "split")->isEnabled());

        AnswerModal<QFileDialog>([&](QFileDialog* files) {
            files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(Q(cover));
            auto* buttons = files->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
            QTest::mouseClick(buttons->button(QDialogButtonBox::Open), Qt::LeftButton);
        });
        QTest::mouseClick(Button(d, "browseCover"), Qt::LeftButton);
        auto* preview = d->findChild<QLabel*>(QStringLiteral("coverPreview"));
        EXPECT_FALSE(preview->pixmap().isNull());

        shown = Shown(table);
        shownTitle = d->findChild<QLineEdit*>(QStringLiteral("title"))->text();
        ClickOk(d);
    });
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].title, QStringLiteral("Opening"));
    EXPECT_EQ(shown[1].title, QStringLiteral("Middle"));
    EXPECT_EQ(shown[0].startMs, 0u);

    JoinAndFinish();
    const fs::path output = out_ / "Book.mp3";
    ASSERT_TRUE(fs::exists(output));
    std::vector<ChapterEntry> written;
    ASSERT_TRUE(ReadChapters(output.string(), written));
    ASSERT_EQ(written.size(), shown.size());
    for (size_t i = 0; i < shown.size(); ++i) {
        EXPECT_EQ(QString::fromStdString(written[i].title), shown[i].title) << i;
        EXPECT_NEAR(double(written[i].startMs), double(shown[i].startMs), 1.0) << i;
    }

    TagLib::MPEG::File file(output.c_str(), false);
    ASSERT_NE(file.ID3v2Tag(), nullptr);
    EXPECT_EQ(QString::fromStdString(file.ID3v2Tag()->title().to8Bit(true)), shownTitle);
    const TagLib::ID3v2::FrameList pictures = file.ID3v2Tag()->frameListMap()["APIC"];
    ASSERT_EQ(pictures.size(), 1u);
    const auto* apic = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(pictures.front());
    ASSERT_NE(apic, nullptr);
    const std::string bytes(apic->picture().data(), apic->picture().size());
    EXPECT_EQ(bytes, velmora::testing::ReadFile(cover));
    EXPECT_EQ(apic->mimeType().to8Bit(), "image/png");
}

TEST_F(BookDialogTest, ARenamedChapterFollowsItsFileThroughASortAndGoesWithTheList) {
    LoadTones({{"a.mp3", 0.6}, {"b.mp3", 0.9}, {"c.mp3", 0.4}});
    WithDialog([&](CBookDlg* d) {
        RenameRow(Table(d), 0, QStringLiteral("First of all"));
        auto* title = d->findChild<QLineEdit*>(QStringLiteral("title"));
        title->setFocus();
        QTest::keyClick(title, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(title, QStringLiteral("The Book"));
        ClickOk(d);
    });

    // Sorted by name the other way round: "a.mp3" goes from the top to the bottom.
    QHeaderView* header = List().header();
    const int x = header->sectionViewportPosition(kColName) + 10;
    for (int clicks = 0; clicks < 2 && List().GetItemText(0, kColName) == QStringLiteral("a.mp3"); ++clicks) {
        QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(x, header->height() / 2));
        QTest::qWait(20);
    }
    ASSERT_EQ(List().GetItemText(2, kColName), QStringLiteral("a.mp3"));

    WithDialog([&](CBookDlg* d) {
        const std::vector<ShownChapter> shown = Shown(Table(d));
        ASSERT_EQ(shown.size(), 3u);
        EXPECT_EQ(shown[0].title, QStringLiteral("c"));
        EXPECT_EQ(shown[1].title, QStringLiteral("b"));
        EXPECT_EQ(shown[2].title, QStringLiteral("First of all"));
        // It starts where its file now starts: after the other two.
        EXPECT_GT(shown[2].startMs, shown[1].startMs);
        EXPECT_EQ(d->findChild<QLineEdit*>(QStringLiteral("title"))->text(), QStringLiteral("The Book"));
        QTest::keyClick(d, Qt::Key_Escape);
    });

    // Emptying the list forgets the edits; a file listed again gets its own chapter back.
    dlg_->CommandAction(ID_REMOVE_ALL)->trigger();
    ASSERT_EQ(List().GetItemCount(), 0);
    EXPECT_FALSE(dlg_->bookEdits().title.has_value());
    QCoreApplication::postEvent(dlg_.get(), new FilesDroppedEvent({Q(files_ / "a.mp3"), Q(files_ / "b.mp3")}));
    QTest::qWait(10);
    ASSERT_TRUE(FileLoaderOf(*dlg_).WaitIdle(20000));
    List().setFocus();
    WithDialog([&](CBookDlg* d) {
        const std::vector<ShownChapter> shown = Shown(Table(d));
        ASSERT_EQ(shown.size(), 2u);
        EXPECT_EQ(shown[0].title, QStringLiteral("a"));
        EXPECT_NE(d->findChild<QLineEdit*>(QStringLiteral("title"))->text(), QStringLiteral("The Book"));
        QTest::keyClick(d, Qt::Key_Escape);
    });
}

}  // namespace
