#include "app/folder_dialog.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace velmora {

namespace {

// The desktop's folder browser in Qt's own form, so that it runs the same everywhere (also
// offscreen) and its accept can refuse a name that is no folder.
class FolderBrowser : public QFileDialog {
public:
    FolderBrowser(CFolderDialog& owner, QWidget* parent, const QString& title)
        : QFileDialog(parent, title), owner_(owner) {}

    void accept() override {
        const QStringList files = selectedFiles();
        const QString typed = files.isEmpty() ? QString() : files.first();
        const QFileInfo info(typed);
        if (typed.isEmpty() || !info.exists() || !info.isDir()) {
            owner_.OnValidateFailed(typed);
            return;
        }
        QFileDialog::accept();
    }

private:
    CFolderDialog& owner_;
};

QString WithoutTrailingSlash(QString path) {
    while (path.size() > 1 && path.endsWith(QLatin1Char('/'))) path.chop(1);
    return path;
}

}  // namespace

CFolderDialog::CFolderDialog(const QString& title, const QString& initialFolder, QWidget* parent, unsigned flags)
    : title_(title), flags_(flags), parent_(parent) {
    if (initialFolder.size() <= kMaxInitialFolder) initialFolder_ = initialFolder;
}

CFolderDialog::~CFolderDialog() = default;

bool CFolderDialog::SetBrowseRoot(const QString& path) {
    if (path.isEmpty()) {
        root_.clear();
        return true;
    }
    const QFileInfo info(path);
    if (!info.exists() || !info.isDir()) return false;
    root_ = WithoutTrailingSlash(info.absoluteFilePath());
    return true;
}

void CFolderDialog::OnInitialized() {
    if (!browser_) return;
    if (!initialFolder_.isEmpty() && QFileInfo(initialFolder_).isDir()) {
        browser_->setDirectory(initialFolder_);
    } else if (!root_.isEmpty()) {
        browser_->setDirectory(root_);
    }
}

void CFolderDialog::OnSelChanged(const QString& path) {
    // The status line shows the selected path only when the caller asked for it.
    if (!(flags_ & kStatusText) || !browser_ || path.isEmpty()) return;
    browser_->setToolTip(path);
}

void CFolderDialog::OnValidateFailed(const QString&) { QApplication::beep(); }

int CFolderDialog::DoModal() {
    // 1. The owner: the given window, else the window that is active now.
    QWidget* owner = parent_ ? parent_.data() : QApplication::activeWindow();
    FolderBrowser browser(*this, owner, title_);
    browser.setObjectName(QStringLiteral("folderBrowser"));
    browser.setFileMode(QFileDialog::Directory);
    browser.setOption(QFileDialog::ShowDirsOnly, true);
    // Qt's own widget dialog: the same behaviour on every desktop, and one that a test can drive.
    browser.setOption(QFileDialog::DontUseNativeDialog, true);
    browser.setAcceptMode(QFileDialog::AcceptOpen);
    browser.setLabelText(QFileDialog::Accept, QStringLiteral("Select Folder"));
    if (!root_.isEmpty()) {
        // The browser cannot go above its root: the sidebar holds only the root and a change of
        // folder out of it is taken back.
        browser.setSidebarUrls({QUrl::fromLocalFile(root_)});
        QObject::connect(&browser, &QFileDialog::directoryEntered, &browser, [&browser, this](const QString& dir) {
            const QString clean = WithoutTrailingSlash(QDir::cleanPath(dir));
            if (clean != root_ && !clean.startsWith(root_ + QLatin1Char('/'))) browser.setDirectory(root_);
        });
    }
    QObject::connect(&browser, &QFileDialog::currentChanged, &browser,
                     [this](const QString& path) { OnSelChanged(path); });
    browser_ = &browser;
    // 2. Initialised: select the initial folder.
    OnInitialized();
    const int result = browser.exec();
    browser_ = nullptr;
    if (result != QDialog::Accepted) return kCancelled;
    // 3. The confirmed item's path.
    const QStringList files = browser.selectedFiles();
    if (files.isEmpty()) return kNoPath;
    const QFileInfo info(files.first());
    if (!info.isDir()) return kNoPath;
    chosen_ = WithoutTrailingSlash(info.absoluteFilePath());
    return kChosen;
}

}  // namespace velmora
