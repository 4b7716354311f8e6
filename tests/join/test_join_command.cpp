// The Join command over a real list control, real MP3 files and real joins through the
// encoder module. Every dialog it opens is answered with real key presses and clicks.
#include <gtest/gtest.h>

#include "controls/report_ctrl.h"
#include "controls/report_item_info.h"
#include "engine/join_runner.h"
#include "filelist/file_item_info.h"
#include "filelist/file_list_columns.h"
#include "filelist/list_locked.h"
#include "join/conv_prog.h"
#include "join/join_command.h"
#include "settings/app_settings.h"
#include "support/mp3_fixtures.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <filesystem>
#include <fstream>
#include <functional>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace velmora;
using velmora::testing::DecodeMp3;
using velmora::testing::EstimateFrequency;
using velmora::testing::MakeToneMp3;
using velmora::testing::TempDir;
using velmora::testing::ToneSpec;

namespace {

// Answers the modal windows as they come up. Each step names the kind of window it waits for
// and what a person does to it. A window no step expects is noted and closed by Escape, and
// after the time limit whatever is modal is closed, so a test never stays blocked.
class ModalScript {
public:
    // A step looks at the modal window and, when it is the one it waits for, returns what a
    // person does to it. The action may open a nested modal loop (a click that brings up a
    // question), so the script moves on before it runs the action.
    using Action = std::function<void()>;
    using Step = std::function<Action(QWidget*)>;

    explicit ModalScript(int limitMs = 40000) : limitMs_(limitMs) {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
        clock_.start();
        timer_.start();
    }
    void Add(Step s) { steps_.push_back(std::move(s)); }
    bool done() const { return next_ == steps_.size(); }
    QStringList unexpected;
    QStringList boxTexts;
    QStringList boxTitles;
    bool progressShown = false;

private:
    void Tick() {
        QWidget* w = QApplication::activeModalWidget();
        if (qobject_cast<CConvProg*>(w)) progressShown = true;
        if (clock_.elapsed() > limitMs_) {
            if (w) QMetaObject::invokeMethod(w, "reject", Qt::QueuedConnection);
            return;
        }
        if (w != last_ && qEnvironmentVariableIsSet("JOIN_TEST_TRACE")) {
            last_ = w;
            fprintf(stderr, "modal: %s %s\n", w ? w->metaObject()->className() : "-",
                    w ? qPrintable(w->windowTitle()) : "");
        }
        if (!w) return;
        if (auto* box = qobject_cast<QMessageBox*>(w); box && !seen_.contains(box)) {
            seen_.push_back(box);
            boxTexts << box->text();
            boxTitles << box->windowTitle();
        }
        if (next_ < steps_.size()) {
            if (Action act = steps_[next_](w)) {
                ++next_;
                // Queued: a timer is not re-entered while its own slot runs, so an action
                // that opens a nested loop must run outside this tick.
                QTimer::singleShot(0, std::move(act));
            }
        }
    }
    QTimer timer_;
    QElapsedTimer clock_;
    int limitMs_;
    std::vector<Step> steps_;
    size_t next_ = 0;
    QList<QObject*> seen_;
    QWidget* last_ = nullptr;
};

ModalScript::Step ClickBoxButton(QMessageBox::StandardButton which) {
    return [which](QWidget* w) -> ModalScript::Action {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box || !box->isVisible()) return {};
        QAbstractButton* b = box->button(which);
        if (!b) return {};
        return [b = QPointer<QAbstractButton>(b)] { if (b) QTest::mouseClick(b, Qt::LeftButton); };
    };
}

ModalScript::Step PressFinishWhenDone(bool* finished) {
    return [finished](QWidget* w) -> ModalScript::Action {
        auto* dlg = qobject_cast<CConvProg*>(w);
        if (!dlg || dlg->windowTitle() != QStringLiteral("Finished Joining")) return {};
        *finished = true;
        return [b = QPointer<QPushButton>(dlg->cancelButton())] { if (b) QTest::mouseClick(b, Qt::LeftButton); };
    };
}

QFileDialog* VisibleFileDialog(QWidget* w) {
    auto* d = qobject_cast<QFileDialog*>(w);
    return d && d->isVisible() ? d : nullptr;
}

// Types the name into the dialog's name box (the box's completer would take a typed Return,
// so the name is set whole) and clicks the dialog's Save button.
ModalScript::Action ChooseAndSave(QFileDialog* d, const fs::path& path) {
    auto* edit = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    auto* buttons = d->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    if (!edit || !buttons) return {};
    d->setDirectory(QString::fromStdString(path.parent_path().string()));
    edit->setText(QString::fromStdString(path.filename().string()));
    QPushButton* save = buttons->button(QDialogButtonBox::Save);
    if (!save) save = buttons->button(QDialogButtonBox::Open);
    if (!save || !save->isEnabled()) return {};
    return [b = QPointer<QPushButton>(save)] { if (b) QTest::mouseClick(b, Qt::LeftButton); };
}

struct ListedFile {
    fs::path path;
    double frequency;
    QString title;
};

class JoinCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        LowerListLocked();
        list_ = std::make_unique<CReportCtrl>();
        for (const FileListColumnInfo& c : kFileListColumns)
            list_->InsertColumnEx(list_->GetColumnCount(), QString::fromLatin1(c.title), int(c.align), c.defaultWidth);
        list_->resize(900, 300);
        list_->show();
        settings_.askOutputPath = 0;
        settings_.outputFolder = (dir_.path() / "Out" / "Deeper").string() + "/";
        settings_.defaultFileName = "Untitled";
        engine_ = std::make_shared<JoinEngine>();
        engine_->startDelayMs = 0;
    }
    void TearDown() override { LowerListLocked(); }

    // A tone file of its own, listed with the record the media reader would give it.
    void AddTone(const std::string& name, double frequency, const QString& title, double seconds = 0.6,
                 bool unreadable = false) {
        const fs::path p = dir_ / name;
        ToneSpec toneSpec;
        toneSpec.seconds = seconds;
        toneSpec.frequency = frequency;
        ASSERT_TRUE(MakeToneMp3(p, toneSpec));
        auto decoded = DecodeMp3(p);
        ASSERT_TRUE(decoded.ok);
        auto info = std::make_unique<FileItemInfo>();
        info->sampleRate = int(decoded.rate);
        info->channels = decoded.channels;
        info->totalSamples = decoded.samples.size();
        info->unreadable = unreadable ? 1 : 0;
        info->title = title;
        const int row = list_->InsertItemEx(list_->GetItemCount(), QString::fromStdString(name), info.get());
        list_->SetItemTextEx(row, kColPath, QString::fromStdString(dir_.path().string()) + "/");
        list_->SetItemTextEx(row, kColTitle, title);
        records_.push_back(std::move(info));
        files_.push_back({p, frequency, title});
        frames_.push_back(decoded.frames());
    }

    JoinCommandContext Context() {
        JoinCommandContext c;
        c.list = list_.get();
        c.settings = &settings_;
        c.engine = engine_;
        c.isBusy = [this] { return busy_; };
        return c;
    }

    fs::path OutFolder() const { return fs::u8path(settings_.outputFolder); }

    TempDir dir_;
    std::unique_ptr<CReportCtrl> list_;
    std::vector<std::unique_ptr<FileItemInfo>> records_;
    std::vector<ListedFile> files_;
    std::vector<size_t> frames_;
    AppSettings settings_;
    std::shared_ptr<JoinEngine> engine_;
    bool busy_ = false;
};

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(JoinCommandTest, FilterTextIsTheThreePieces) {
    EXPECT_EQ(SaveAsFilterText(), QStringLiteral("MP3 Files (*.mp3)||"));
}

TEST_F(JoinCommandTest, OnlyTheMiddleOfThreeSelectedIsNotEnough) {
    AddTone("a.mp3", 440, "A");
    AddTone("b.mp3", 550, "B");
    AddTone("c.mp3", 660, "C");
    list_->SetItemStateFlags(1, kStateSelected);
    ASSERT_EQ(list_->CountItemsByState(kStateSelected), 1);

    ModalScript script;
    script.Add(ClickBoxButton(QMessageBox::Ok));
    EXPECT_EQ(JoinFiles(Context(), true), JoinOutcome::NotEnoughFiles);
    ASSERT_EQ(script.boxTexts.size(), 1);
    EXPECT_EQ(script.boxTexts[0], QString::fromLatin1(kNotEnoughFilesText));
    EXPECT_EQ(script.boxTitles[0], QStringLiteral("Not Enough Files"));
    EXPECT_FALSE(script.progressShown);
    EXPECT_EQ(list_->GetItemCount(), 3);
    EXPECT_FALSE(fs::exists(OutFolder() / "Untitled.mp3"));
}

TEST_F(JoinCommandTest, RowOfADeletedFileIsRemovedThenNotEnough) {
    AddTone("first.mp3", 440, "A");
    AddTone("second.mp3", 550, "B");
    fs::remove(files_[1].path);

    ModalScript script;
    script.Add(ClickBoxButton(QMessageBox::Ok));
    EXPECT_EQ(JoinFiles(Context(), false), JoinOutcome::NotEnoughFiles);
    ASSERT_EQ(list_->GetItemCount(), 1);
    EXPECT_EQ(list_->GetItemText(0, kColName), QStringLiteral("first.mp3"));
    ASSERT_EQ(script.boxTitles.size(), 1);
    EXPECT_EQ(script.boxTitles[0], QStringLiteral("Not Enough Files"));
}

TEST_F(JoinCommandTest, TheWindowsOwnRemoveDeadIsCalledWhenGiven) {
    AddTone("a.mp3", 440, "A");
    AddTone("b.mp3", 550, "B");
    int calls = 0;
    auto c = Context();
    // Stands for the window's command, which also takes the rows out: here it takes one.
    c.removeDead = [&] {
        ++calls;
        list_->DeleteItemEx(1);
    };
    ModalScript script;
    script.Add(ClickBoxButton(QMessageBox::Ok));
    EXPECT_EQ(JoinFiles(c, false), JoinOutcome::NotEnoughFiles);
    EXPECT_EQ(calls, 1);
}

TEST_F(JoinCommandTest, NothingWhileListLockedOrBusy) {
    AddTone("a.mp3", 440, "A");
    fs::remove(files_[0].path);  // a dead row: untouched, as Remove Dead must not run
    ModalScript script;
    RaiseListLocked();
    EXPECT_EQ(JoinFiles(Context(), false), JoinOutcome::Ignored);
    LowerListLocked();
    busy_ = true;
    EXPECT_EQ(JoinFiles(Context(), false), JoinOutcome::Ignored);
    EXPECT_EQ(list_->GetItemCount(), 1);
    EXPECT_TRUE(script.boxTexts.isEmpty());
}

TEST_F(JoinCommandTest, EveryRowUnreadableIsRefusedLikeTooFewFiles) {
    AddTone("a.mp3", 440, "A", 0.3, true);
    AddTone("b.mp3", 550, "B", 0.3, true);
    ModalScript script;
    script.Add(ClickBoxButton(QMessageBox::Ok));
    EXPECT_EQ(JoinFiles(Context(), false), JoinOutcome::NotEnoughFiles);
    ASSERT_EQ(script.boxTitles.size(), 1);
    EXPECT_EQ(script.boxTitles[0], QStringLiteral("Not Enough Files"));
    EXPECT_FALSE(script.progressShown);
    EXPECT_FALSE(fs::exists(OutFolder() / "Untitled.mp3"));
}

// Sorted by Title with a click on the header, joined into a folder that does not exist yet,
// then joined again next to the first output.
TEST_F(JoinCommandTest, SortedByTitleJoinsInThatOrderIntoCreatedFolderThenAFreeName) {
    AddTone("one.mp3", 400, "Charlie", 0.8);
    AddTone("two.mp3", 1600, "Alpha", 0.8);
    AddTone("three.mp3", 800, "Bravo", 0.8, /*unreadable=*/false);
    AddTone("four.mp3", 3000, "Delta", 0.4, /*unreadable=*/true);  // left out, without a word
    ASSERT_FALSE(fs::exists(OutFolder()));

    QHeaderView* header = list_->header();
    const int x = header->sectionViewportPosition(kColTitle) + header->sectionSize(kColTitle) / 2;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
    QTest::qWait(50);
    ASSERT_EQ(list_->GetItemText(0, kColTitle), QStringLiteral("Alpha"));
    ASSERT_EQ(list_->GetItemText(1, kColTitle), QStringLiteral("Bravo"));
    ASSERT_EQ(list_->GetItemText(2, kColTitle), QStringLiteral("Charlie"));

    bool finished = false;
    {
        ModalScript script;
        script.Add(PressFinishWhenDone(&finished));
        EXPECT_EQ(JoinFiles(Context(), false), JoinOutcome::Ran);
        EXPECT_TRUE(script.boxTexts.isEmpty());
    }
    ASSERT_TRUE(finished);
    const fs::path first = OutFolder() / "Untitled.mp3";
    ASSERT_TRUE(fs::exists(first));
    auto out = DecodeMp3(first);
    ASSERT_TRUE(out.ok);
    // Alpha (1600 Hz), Bravo (800 Hz), Charlie (400 Hz); the unreadable row adds nothing.
    const size_t a = frames_[1], b = frames_[2], c = frames_[0];
    EXPECT_EQ(out.frames(), a + b + c);
    const size_t probe = 4096;
    EXPECT_NEAR(EstimateFrequency(out, a / 2 - probe / 2, probe), 1600, 40);
    EXPECT_NEAR(EstimateFrequency(out, a + b / 2 - probe / 2, probe), 800, 20);
    EXPECT_NEAR(EstimateFrequency(out, a + b + c / 2 - probe / 2, probe), 400, 10);

    finished = false;
    {
        ModalScript script;
        script.Add(PressFinishWhenDone(&finished));
        EXPECT_EQ(JoinFiles(Context(), false), JoinOutcome::Ran);
    }
    ASSERT_TRUE(finished);
    const fs::path second = OutFolder() / "Untitled (2).mp3";
    ASSERT_TRUE(fs::exists(second));
    EXPECT_EQ(DecodeMp3(second).frames(), a + b + c);
    EXPECT_EQ(DecodeMp3(first).frames(), a + b + c);  // the first output is untouched
}

TEST_F(JoinCommandTest, AJoinWhileAWorkerOfACancelledOneIsBlockedIsRefused) {
    AddTone("a.mp3", 440, "A", 0.3);
    AddTone("b.mp3", 550, "B", 0.3);
    // An encoder that outlives its cancel: it holds the run it started in, ignores `running`
    // until released, then writes to that run as an encoder does.
    std::atomic<bool> release{false};
    engine_->workerWaitMs = 500;
    engine_->encodeTask = [&release](JoinEngine& e, CConversionTask& t) {
        const std::shared_ptr<JoinRunState> run = e.activeRun;
        t.encoding = 1;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        run->taskSamplesDone = 4242;
        t.encoding = 0;
        return 1;
    };
    auto progressWithLine = [](const QString& line) {
        return [line](QWidget* w) -> ModalScript::Action {
            auto* dlg = qobject_cast<CConvProg*>(w);
            if (!dlg) return {};
            QTreeWidget* log = dlg->logList();
            for (int i = 0; i < log->topLevelItemCount(); ++i)
                if (log->topLevelItem(i)->text(3) == line)
                    return [b = QPointer<QPushButton>(dlg->cancelButton())] { if (b) QTest::mouseClick(b, Qt::LeftButton); };
            return {};
        };
    };
    {
        ModalScript script;
        script.Add(progressWithLine(QStringLiteral("Start a new joining task.")));
        script.Add(ClickBoxButton(QMessageBox::Yes));
        EXPECT_EQ(JoinFiles(Context(), false), JoinOutcome::Ran);
        EXPECT_TRUE(script.done());
    }
    const std::shared_ptr<JoinRunState> first = engine_->activeRun;
    ASSERT_TRUE(first->WorkerStillRunning());

    settings_.bitrateIndex = 3;
    {
        ModalScript script;
        script.Add(progressWithLine(QStringLiteral("The previous join is still stopping; close this window and try again.")));
        EXPECT_EQ(JoinFiles(Context(), false), JoinOutcome::Ran);
        EXPECT_TRUE(script.done());
    }
    // Nothing of the engine was replaced under the worker; once released it ends in its own run.
    EXPECT_EQ(engine_->activeRun, first);
    EXPECT_NE(engine_->settings.bitrateIndex, 3);
    release = true;
    ASSERT_TRUE(StopJoinWorkers(*first, 10000));
    EXPECT_EQ(first->taskSamplesDone.load(), 4242u);
}

TEST_F(JoinCommandTest, CancelInSaveAsShowsNothingAndWritesNothing) {
    AddTone("a.mp3", 440, "A", 0.3);
    AddTone("b.mp3", 550, "B", 0.3);
    settings_.askOutputPath = 1;
    bool sawDialog = false;
    ModalScript script;
    script.Add([&](QWidget* w) -> ModalScript::Action {
        QFileDialog* d = VisibleFileDialog(w);
        if (!d) return {};
        sawDialog = true;
        EXPECT_EQ(d->acceptMode(), QFileDialog::AcceptSave);
        EXPECT_EQ(d->defaultSuffix(), QStringLiteral("mp3"));
        EXPECT_EQ(d->nameFilters().value(0), QStringLiteral("MP3 Files (*.mp3)"));
        return [d = QPointer<QFileDialog>(d)] { if (d) QTest::keyClick(d, Qt::Key_Escape); };
    });
    const auto before = std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator());
    EXPECT_EQ(JoinFiles(Context(), false), JoinOutcome::Cancelled);
    EXPECT_TRUE(sawDialog);
    EXPECT_FALSE(script.progressShown);
    EXPECT_TRUE(script.boxTexts.isEmpty());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), before);
}

TEST_F(JoinCommandTest, SaveAsOntoAnInputIsRefusedAndTheInputKept) {
    AddTone("keep.mp3", 440, "A", 0.3);
    AddTone("other.mp3", 550, "B", 0.3);
    settings_.askOutputPath = 1;
    const std::string original = ReadAll(files_[0].path);
    ModalScript script;
    script.Add([&](QWidget* w) -> ModalScript::Action {
        QFileDialog* d = VisibleFileDialog(w);
        if (!d) return {};
        return ChooseAndSave(d, files_[0].path);
    });
    // The dialog first asks whether to replace the existing file: yes. Then the refusal.
    script.Add(ClickBoxButton(QMessageBox::Yes));
    script.Add(ClickBoxButton(QMessageBox::Ok));
    EXPECT_EQ(JoinFiles(Context(), false), JoinOutcome::OutputIsInput);
    ASSERT_EQ(script.boxTexts.size(), 2);
    EXPECT_TRUE(script.boxTexts[1].contains(QStringLiteral("is one of the files to join")));
    EXPECT_TRUE(script.boxTexts[1].contains(QString::fromStdString(files_[0].path.string())));
    EXPECT_FALSE(script.progressShown);
    EXPECT_EQ(ReadAll(files_[0].path), original);
}

// A cancel leaves the window a line on what the kept file holds, by its decoded length, of the
// whole join's length.
TEST_F(JoinCommandTest, ACancelTellsTheWindowWhatTheKeptFileHolds) {
    // Long enough that a fast machine is still joining when the script presses Cancel.
    AddTone("a.mp3", 440, "A", 20.0);
    AddTone("b.mp3", 880, "B", 110.0);
    QString status;
    JoinCommandContext context = Context();
    context.showStatus = [&](const QString& text) { status = text; };
    ModalScript script;
    script.Add([](QWidget* w) -> ModalScript::Action {
        auto* dlg = qobject_cast<CConvProg*>(w);
        if (!dlg || dlg->run().taskSamplesDone.load() < 44100u * 2 * 5) return {};  // 5 s in
        return [b = QPointer<QPushButton>(dlg->cancelButton())] { if (b) QTest::mouseClick(b, Qt::LeftButton); };
    });
    script.Add(ClickBoxButton(QMessageBox::Yes));
    EXPECT_EQ(JoinFiles(context, false), JoinOutcome::Ran);
    EXPECT_TRUE(script.done());
    std::vector<fs::path> outputs;
    for (const auto& e : fs::directory_iterator(OutFolder())) outputs.push_back(e.path());
    ASSERT_EQ(outputs.size(), 1u);
    const auto kept = DecodeMp3(outputs[0]);
    ASSERT_TRUE(kept.ok);
    const long long seconds = static_cast<long long>(kept.frames() / 44100);
    EXPECT_GE(seconds, 5);
    EXPECT_LT(seconds, 130);
    // The count of samples encoded may run a frame ahead of or behind the decoded file.
    const QString expected = QStringLiteral("Cancelled: %1 holds %2 of 2:10").arg(QString::fromStdString(outputs[0].filename().string()));
    EXPECT_TRUE(status == expected.arg(QString::asprintf("%lld:%02lld", seconds / 60, seconds % 60)) ||
                status == expected.arg(QString::asprintf("%lld:%02lld", (seconds + 1) / 60, (seconds + 1) % 60)) ||
                status == expected.arg(QString::asprintf("%lld:%02lld", (seconds - 1) / 60, (seconds - 1) % 60)))
        << status.toStdString();
}

TEST_F(JoinCommandTest, SaveAsToANewNameJoins) {
    AddTone("a.mp3", 440, "A", 0.4);
    AddTone("b.mp3", 880, "B", 0.4);
    settings_.askOutputPath = 1;
    const fs::path target = dir_ / "chosen";  // the dialog adds ".mp3"
    bool finished = false;
    ModalScript script;
    script.Add([&](QWidget* w) -> ModalScript::Action {
        QFileDialog* d = VisibleFileDialog(w);
        if (!d) return {};
        return ChooseAndSave(d, target);
    });
    script.Add(PressFinishWhenDone(&finished));
    EXPECT_EQ(JoinFiles(Context(), false), JoinOutcome::Ran);
    ASSERT_TRUE(finished);
    auto out = DecodeMp3(dir_ / "chosen.mp3");
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.frames(), frames_[0] + frames_[1]);
    EXPECT_FALSE(fs::exists(OutFolder()));  // the settings' folder plays no part here
}

}  // namespace
