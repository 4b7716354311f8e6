// Dropping files and folders on the window: where drops are taken, which drags are refused,
// and which paths are posted. Drag events are delivered to the window as the platform
// delivers them; the posted paths are caught on their way to the owner.
#include <gtest/gtest.h>

#include "app/drop_target.h"
#include "app/zeph_app.h"
#include "app/zeph_dlg.h"
#include "app_env.h"
#include "controls/report_ctrl.h"
#include "filelist/file_item_info.h"
#include "filelist/file_list_columns.h"
#include "filelist/list_locked.h"
#include "foldertree/file_tree_ctrl.h"
#include "support/mp3_fixtures.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QHBoxLayout>
#include <QMimeData>
#include <QTest>
#include <QToolBar>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <vector>

namespace fs = std::filesystem;
using namespace velmora;
using velmora::testing::AppEnv;
using velmora::testing::TempDir;

namespace {

// Catches UM_FILES_DROPPED on its way to the owner and keeps the paths; lets it through.
class DropCatcher : public QObject {
public:
    std::vector<QStringList> posts;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == UM_FILES_DROPPED) posts.push_back(static_cast<FilesDroppedEvent*>(e)->paths);
        return false;
    }
};

std::unique_ptr<QMimeData> FileDrag(const QStringList& paths, bool fromOwnList = false) {
    auto data = std::make_unique<QMimeData>();
    QList<QUrl> urls;
    for (const QString& p : paths) urls << QUrl::fromLocalFile(p);
    data->setUrls(urls);
    if (fromOwnList) data->setData(QString::fromLatin1(ownDragFormat), QByteArray("rows"));
    return data;
}

// What the window answers to a drag that enters at `pos` and moves to it: the action of the
// move, or nullopt when the enter was refused (no moves follow then).
std::optional<Qt::DropAction> DragTo(QWidget* window, const QMimeData* data, QPoint pos) {
    QDragEnterEvent enter(pos, Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, data, Qt::LeftButton, {});
    QApplication::sendEvent(window, &enter);
    if (!enter.isAccepted()) return std::nullopt;
    QDragMoveEvent move(pos, Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, data, Qt::LeftButton, {});
    QApplication::sendEvent(window, &move);
    QDragLeaveEvent leave;
    QApplication::sendEvent(window, &leave);
    return move.isAccepted() ? move.dropAction() : Qt::IgnoreAction;
}

bool DropAt(QWidget* window, const QMimeData* data, QPoint pos) {
    QDragEnterEvent enter(pos, Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, {});
    QApplication::sendEvent(window, &enter);
    QDragMoveEvent move(pos, Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, {});
    QApplication::sendEvent(window, &move);
    QDropEvent drop(QPointF(pos), Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, {});
    QApplication::sendEvent(window, &drop);
    QCoreApplication::sendPostedEvents();
    return drop.isAccepted();
}

QPoint CentreIn(QWidget* window, QWidget* child) {
    return child->mapTo(window, child->rect().center());
}

void Touch(const fs::path& p) { std::ofstream(p) << "x"; }

// A small window laid out like the main one: a toolbar, a tree and the file list.
class DropTargetTest : public ::testing::Test {
protected:
    void SetUp() override {
        LowerListLocked();
        auto* column = new QVBoxLayout(&window_);
        toolbar_ = new QToolBar(&window_);
        toolbar_->addAction(QStringLiteral("Join"));
        column->addWidget(toolbar_);
        auto* row = new QHBoxLayout;
        tree_ = new QTreeWidget(&window_);
        list_ = new CReportCtrl(&window_);
        for (const FileListColumnInfo& c : kFileListColumns)
            list_->InsertColumnEx(list_->GetColumnCount(), QString::fromLatin1(c.title), int(c.align), c.defaultWidth);
        row->addWidget(tree_);
        row->addWidget(list_);
        column->addLayout(row);
        window_.resize(800, 500);
        target_ = InstallDropTarget(&window_, list_);
        window_.installEventFilter(&catcher_);
        window_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window_));
    }
    void TearDown() override { LowerListLocked(); }

    void AddRow(const fs::path& p) {
        records_.push_back(std::make_unique<FileItemInfo>());
        const int r = list_->InsertItemEx(list_->GetItemCount(), QString::fromStdString(p.filename().string()),
                                          records_.back().get());
        list_->SetItemTextEx(r, kColPath, QString::fromStdString(p.parent_path().string()) + "/");
    }
    QString Q(const fs::path& p) const { return QString::fromStdString(p.string()); }

    TempDir dir_;
    QWidget window_;
    QToolBar* toolbar_ = nullptr;
    QTreeWidget* tree_ = nullptr;
    CReportCtrl* list_ = nullptr;
    CMyDropTarget* target_ = nullptr;
    DropCatcher catcher_;
    std::vector<std::unique_ptr<FileItemInfo>> records_;
};

TEST_F(DropTargetTest, InstalledOnTheWindowAndTurnedOn) {
    ASSERT_NE(target_, nullptr);
    EXPECT_TRUE(window_.acceptDrops());
    EXPECT_EQ(target_->owner, &window_);
    EXPECT_EQ(target_->enabled, 1);
}

TEST_F(DropTargetTest, CopyOverTheListRefusedOverTreeAndToolbar) {
    Touch(dir_ / "a.mp3");
    auto data = FileDrag({Q(dir_ / "a.mp3")});
    EXPECT_EQ(DragTo(&window_, data.get(), CentreIn(&window_, list_)), Qt::CopyAction);
    EXPECT_EQ(DragTo(&window_, data.get(), CentreIn(&window_, tree_)), Qt::IgnoreAction);
    EXPECT_EQ(DragTo(&window_, data.get(), CentreIn(&window_, toolbar_)), Qt::IgnoreAction);
    // A drop outside the list posts nothing.
    EXPECT_FALSE(DropAt(&window_, data.get(), CentreIn(&window_, tree_)));
    EXPECT_TRUE(catcher_.posts.empty());
}

TEST_F(DropTargetTest, RowsDraggedFromOurOwnListAreRefusedEverywhere) {
    Touch(dir_ / "a.mp3");
    AddRow(dir_ / "a.mp3");
    auto data = FileDrag({Q(dir_ / "a.mp3")}, /*fromOwnList=*/true);
    for (QWidget* over : {static_cast<QWidget*>(list_), static_cast<QWidget*>(tree_), static_cast<QWidget*>(toolbar_)}) {
        const auto action = DragTo(&window_, data.get(), CentreIn(&window_, over));
        EXPECT_TRUE(!action || *action == Qt::IgnoreAction);
    }
    EXPECT_FALSE(DropAt(&window_, data.get(), CentreIn(&window_, list_)));
    EXPECT_TRUE(catcher_.posts.empty());
}

TEST_F(DropTargetTest, DragsWithoutFilesAreRefused) {
    QMimeData text;
    text.setText(QStringLiteral("just words"));
    EXPECT_FALSE(DragTo(&window_, &text, CentreIn(&window_, list_)).has_value());
    QMimeData web;
    web.setUrls({QUrl(QStringLiteral("https://example.org/a.mp3"))});
    EXPECT_FALSE(DragTo(&window_, &web, CentreIn(&window_, list_)).has_value());
}

TEST_F(DropTargetTest, ThreeDroppedOneListedPostsTheOtherTwoInDropOrder) {
    for (const char* n : {"c.mp3", "a.mp3", "b.mp3"}) Touch(dir_ / n);
    AddRow(dir_ / "a.mp3");
    auto data = FileDrag({Q(dir_ / "c.mp3"), Q(dir_ / "a.mp3"), Q(dir_ / "b.mp3")});
    EXPECT_TRUE(DropAt(&window_, data.get(), CentreIn(&window_, list_)));
    ASSERT_EQ(catcher_.posts.size(), 1u);
    EXPECT_EQ(catcher_.posts[0], QStringList({Q(dir_ / "c.mp3"), Q(dir_ / "b.mp3")}));
}

TEST_F(DropTargetTest, ListedPathsMatchExactlyAsTheFileSystemNamesThem) {
    Touch(dir_ / "a.mp3");
    Touch(dir_ / "A.mp3");
    Touch(dir_ / "äsong.mp3");
    AddRow(dir_ / "a.mp3");
    AddRow(dir_ / "Äsong.mp3");
    // Another letter case is another file: only the listed path itself is left out.
    auto data = FileDrag({Q(dir_ / "A.mp3"), Q(dir_ / "a.mp3"), Q(dir_ / "äsong.mp3")});
    EXPECT_TRUE(DropAt(&window_, data.get(), CentreIn(&window_, list_)));
    ASSERT_EQ(catcher_.posts.size(), 1u);
    EXPECT_EQ(catcher_.posts[0], QStringList({Q(dir_ / "A.mp3"), Q(dir_ / "äsong.mp3")}));
}

TEST_F(DropTargetTest, AllAlreadyListedPostsAnEmptyArray) {
    Touch(dir_ / "a.mp3");
    Touch(dir_ / "b.mp3");
    AddRow(dir_ / "a.mp3");
    AddRow(dir_ / "b.mp3");
    auto data = FileDrag({Q(dir_ / "b.mp3"), Q(dir_ / "a.mp3")});
    EXPECT_TRUE(DropAt(&window_, data.get(), CentreIn(&window_, list_)));
    ASSERT_EQ(catcher_.posts.size(), 1u);
    EXPECT_TRUE(catcher_.posts[0].isEmpty());
}

TEST_F(DropTargetTest, ADroppedFolderIsPostedAsItsPath) {
    fs::create_directories(dir_ / "album");
    QMimeData data;
    // File managers often end a folder's address with a slash.
    data.setUrls({QUrl::fromLocalFile(Q(dir_ / "album") + "/")});
    EXPECT_TRUE(DropAt(&window_, &data, CentreIn(&window_, list_)));
    ASSERT_EQ(catcher_.posts.size(), 1u);
    EXPECT_EQ(catcher_.posts[0], QStringList({Q(dir_ / "album")}));
}

TEST_F(DropTargetTest, NothingPostedWhileTurnedOffOrWhileTheListIsLocked) {
    Touch(dir_ / "a.mp3");
    auto data = FileDrag({Q(dir_ / "a.mp3")});
    target_->enabled = 0;
    EXPECT_TRUE(DropAt(&window_, data.get(), CentreIn(&window_, list_)));
    EXPECT_TRUE(catcher_.posts.empty());
    target_->enabled = 1;
    RaiseListLocked();
    EXPECT_EQ(DragTo(&window_, data.get(), CentreIn(&window_, list_)), Qt::IgnoreAction);
    EXPECT_FALSE(DropAt(&window_, data.get(), CentreIn(&window_, list_)));
    EXPECT_TRUE(catcher_.posts.empty());
    LowerListLocked();
    EXPECT_TRUE(DropAt(&window_, data.get(), CentreIn(&window_, list_)));
    EXPECT_EQ(catcher_.posts.size(), 1u);
}

// The main window carries a drop target over its own list.
TEST(MainWindowDrops, TheWindowTakesFilesOverItsListOnly) {
    AppEnv env;
    auto savedEnd = CZEPHDlg::ProcessEnd();
    CZEPHDlg::ProcessEnd() = [](int) {};
    {
        TempDir dir;
        Touch(dir / "x.mp3");
        CZEPHDlg dlg;
        ASSERT_TRUE(dlg.OnInitDialog());
        dlg.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
        auto* target = dlg.findChild<CMyDropTarget*>();
        ASSERT_NE(target, nullptr);
        EXPECT_EQ(target->enabled, 1);
        EXPECT_EQ(target->owner, &dlg);
        auto data = FileDrag({QString::fromStdString((dir / "x.mp3").string())});
        EXPECT_EQ(DragTo(&dlg, data.get(), CentreIn(&dlg, dlg.fileList())), Qt::CopyAction);
        EXPECT_EQ(DragTo(&dlg, data.get(), CentreIn(&dlg, dlg.fileTree())),
                  Qt::IgnoreAction);
        auto own = FileDrag({QString::fromStdString((dir / "x.mp3").string())}, true);
        const auto refused = DragTo(&dlg, own.get(), CentreIn(&dlg, dlg.fileList()));
        EXPECT_TRUE(!refused || *refused == Qt::IgnoreAction);
        dlg.hide();
    }
    CZEPHDlg::ProcessEnd() = savedEnd;
}

}  // namespace
