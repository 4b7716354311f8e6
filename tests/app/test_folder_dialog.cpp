#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <functional>

#include "app/folder_dialog.h"
#include "app_env.h"
#include "support/mp3_fixtures.h"

using namespace velmora;
using velmora::testing::TempDir;

namespace {

// Runs `action` on the folder browser once it is the active modal widget; gives up (and
// closes any modal widget) after five seconds so a test never blocks.
class BrowserDriver {
public:
    explicit BrowserDriver(std::function<void(QFileDialog*)> action) : action_(std::move(action)) {
        timer_.setInterval(15);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* browser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (browser && browser->isVisible() && action_) {
                auto action = std::move(action_);
                action_ = nullptr;
                action(browser);
            } else if (++ticks_ > 330) {
                if (QWidget* w = QApplication::activeModalWidget()) w->close();
            }
        });
        timer_.start();
    }
    bool ran() const { return !action_; }

private:
    std::function<void(QFileDialog*)> action_;
    QTimer timer_;
    int ticks_ = 0;
};

QLineEdit* NameEdit(QFileDialog* browser) { return browser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")); }

QPushButton* AcceptButton(QFileDialog* browser) {
    auto* box = browser->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    return box ? box->button(QDialogButtonBox::Open) : nullptr;
}

void Type(QFileDialog* browser, const QString& text) {
    QLineEdit* edit = NameEdit(browser);
    ASSERT_NE(edit, nullptr);
    edit->setFocus();
    edit->selectAll();
    QApplication::clipboard()->setText(text);
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
}

void Accept(QFileDialog* browser) {
    QPushButton* accept = AcceptButton(browser);
    ASSERT_NE(accept, nullptr);
    QTest::mouseClick(accept, Qt::LeftButton);
}

using velmora::testing::Q;

// Counts the failed validations instead of (as well as) beeping.
class CountingFolderDialog : public CFolderDialog {
public:
    using CFolderDialog::CFolderDialog;
    void OnValidateFailed(const QString& typed) override {
        failures << typed;
        CFolderDialog::OnValidateFailed(typed);
    }
    QStringList failures;
};

}  // namespace

TEST(FolderDialog, CancelReturnsTwoAndNoFolder) {
    TempDir dir;
    CFolderDialog picker(QStringLiteral("Add a Folder including sub-folders"), Q(dir.path()));
    QString title;
    BrowserDriver driver([&](QFileDialog* browser) {
        title = browser->windowTitle();
        QTest::keyClick(browser, Qt::Key_Escape);
    });
    EXPECT_EQ(picker.DoModal(), CFolderDialog::kCancelled);
    EXPECT_TRUE(driver.ran());
    EXPECT_EQ(title, "Add a Folder including sub-folders");
    EXPECT_TRUE(picker.FolderPath().isEmpty());
    EXPECT_EQ(picker.browser(), nullptr);
}

TEST(FolderDialog, StartsAtTheInitialFolderAndConfirmingItReturnsIt) {
    TempDir dir;
    std::filesystem::create_directories(dir / "Music" / "Albums");
    CFolderDialog picker(QStringLiteral("Specify the Output Folder"), Q(dir / "Music" / "Albums") + "/");
    QString start;
    BrowserDriver driver([&](QFileDialog* browser) {
        start = browser->directory().absolutePath();
        Accept(browser);  // nothing typed: the folder the browser shows
    });
    EXPECT_EQ(picker.DoModal(), CFolderDialog::kChosen);
    EXPECT_EQ(start, Q(dir / "Music" / "Albums"));
    EXPECT_EQ(picker.FolderPath(), Q(dir / "Music" / "Albums"));  // no trailing "/"
}

TEST(FolderDialog, TypedFolderIsReturnedWithoutTrailingSlash) {
    TempDir dir;
    std::filesystem::create_directories(dir / "a" / "b");
    CFolderDialog picker(QStringLiteral("Add a Folder excluding sub-folders"), Q(dir.path()));
    BrowserDriver driver([&](QFileDialog* browser) {
        Type(browser, Q(dir / "a" / "b") + "/");
        Accept(browser);
    });
    EXPECT_EQ(picker.DoModal(), CFolderDialog::kChosen);
    EXPECT_EQ(picker.FolderPath(), Q(dir / "a" / "b"));
}

TEST(FolderDialog, TypingAMissingFolderKeepsTheBrowserOpen) {
    TempDir dir;
    std::filesystem::create_directories(dir / "real");
    std::ofstream(dir / "plain.txt") << "not a folder";
    CountingFolderDialog picker(QStringLiteral("Specify the Output Folder"), Q(dir.path()));
    bool stillOpenAfterMissing = false;
    bool stillOpenAfterFile = false;
    BrowserDriver driver([&](QFileDialog* browser) {
        Type(browser, Q(dir / "does-not-exist"));
        // The browser offers no accept button for a name that is no folder; Enter still tries.
        EXPECT_FALSE(AcceptButton(browser)->isEnabled());
        QTest::keyClick(NameEdit(browser), Qt::Key_Return);
        stillOpenAfterMissing = browser->isVisible();
        Type(browser, Q(dir / "plain.txt"));
        QTest::keyClick(NameEdit(browser), Qt::Key_Return);
        stillOpenAfterFile = browser->isVisible();
        QTest::keyClick(browser, Qt::Key_Escape);
    });
    EXPECT_EQ(picker.DoModal(), CFolderDialog::kCancelled);
    EXPECT_TRUE(stillOpenAfterMissing);
    EXPECT_TRUE(stillOpenAfterFile);
    ASSERT_EQ(picker.failures.size(), 2);
    EXPECT_TRUE(picker.failures[0].endsWith("does-not-exist")) << picker.failures[0].toStdString();
    EXPECT_TRUE(picker.failures[1].endsWith("plain.txt")) << picker.failures[1].toStdString();
    EXPECT_TRUE(picker.FolderPath().isEmpty());
}

TEST(FolderDialog, BrowseRoot) {
    TempDir dir;
    std::filesystem::create_directories(dir / "root" / "inner");
    CFolderDialog picker(QStringLiteral("t"));
    EXPECT_TRUE(picker.SetBrowseRoot(Q(dir / "root")));
    EXPECT_EQ(picker.browseRoot(), Q(dir / "root"));
    // A path that is no folder keeps the old root.
    EXPECT_FALSE(picker.SetBrowseRoot(Q(dir / "missing")));
    EXPECT_EQ(picker.browseRoot(), Q(dir / "root"));
    // None: back to the top.
    EXPECT_TRUE(picker.SetBrowseRoot(QString()));
    EXPECT_TRUE(picker.browseRoot().isEmpty());
}

TEST(FolderDialog, BrowserStartsAtTheRootWithoutAnInitialFolderAndCannotLeaveIt) {
    TempDir dir;
    std::filesystem::create_directories(dir / "root" / "inner");
    CFolderDialog picker(QStringLiteral("t"));
    ASSERT_TRUE(picker.SetBrowseRoot(Q(dir / "root")));
    QString start, afterUp;
    BrowserDriver driver([&](QFileDialog* browser) {
        start = browser->directory().absolutePath();
        // Backspace is the browser's "up" key; the root takes the browser back.
        QTest::keyClick(browser->findChild<QWidget*>(QStringLiteral("listView")), Qt::Key_Backspace);
        QApplication::processEvents();
        afterUp = browser->directory().absolutePath();
        QTest::keyClick(browser, Qt::Key_Escape);
    });
    EXPECT_EQ(picker.DoModal(), CFolderDialog::kCancelled);
    EXPECT_EQ(start, Q(dir / "root"));
    EXPECT_EQ(afterUp, Q(dir / "root"));
}

TEST(FolderDialog, OverlongInitialFolderIsDropped) {
    const QString longPath = QStringLiteral("/") + QString(CFolderDialog::kMaxInitialFolder + 10, QLatin1Char('a'));
    CFolderDialog picker(QStringLiteral("t"), longPath);
    EXPECT_TRUE(picker.initialFolder().isEmpty());
    CFolderDialog fits(QStringLiteral("t"), QStringLiteral("/tmp"));
    EXPECT_EQ(fits.initialFolder(), "/tmp");
    EXPECT_EQ(fits.flags(), 0x51u);
}
