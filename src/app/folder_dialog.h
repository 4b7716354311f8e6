// CFolderDialog: picks a folder with the desktop's folder browser. One object per modal run.
#pragma once

#include <QFileDialog>
#include <QPointer>
#include <QString>

class QWidget;

namespace velmora {

class CFolderDialog {
public:
    // Browser options, as the callers pass them.
    static constexpr unsigned kFileSystemOnly = 0x01;
    static constexpr unsigned kStatusText = 0x04;
    static constexpr unsigned kEditBox = 0x10;
    static constexpr unsigned kNewDialogStyle = 0x40;
    static constexpr unsigned kDefaultFlags = kFileSystemOnly | kEditBox | kNewDialogStyle;  // 0x51

    // Results of DoModal.
    static constexpr int kChosen = 1;      // a folder was chosen; FolderPath() holds it
    static constexpr int kNoPath = -1;     // the chosen item has no file-system path
    static constexpr int kCancelled = 2;   // the user cancelled

    // Longest initial folder the picker keeps; a longer one is dropped (the browser then
    // opens at its root) rather than cut into a different, wrong folder.
    static constexpr int kMaxInitialFolder = 4095;

    CFolderDialog(const QString& title, const QString& initialFolder = QString(), QWidget* parent = nullptr,
                  unsigned flags = kDefaultFlags);
    virtual ~CFolderDialog();
    CFolderDialog(const CFolderDialog&) = delete;
    CFolderDialog& operator=(const CFolderDialog&) = delete;

    // With an empty path: no root, the browser starts at the top of the file system. With a
    // path: the browser cannot leave it; false (old root kept) when it is no existing folder.
    bool SetBrowseRoot(const QString& path);
    QString browseRoot() const { return root_; }

    int DoModal();

    QString title() const { return title_; }
    QString initialFolder() const { return initialFolder_; }
    unsigned flags() const { return flags_; }
    // The confirmed folder, without a trailing "/" (except for "/" itself).
    QString FolderPath() const { return chosen_; }
    // The browser while it runs (null otherwise).
    QFileDialog* browser() const { return browser_; }

    // Callbacks of the running browser.
    virtual void OnInitialized();
    virtual void OnSelChanged(const QString& path);
    // The user confirmed a name that is no folder: beep; the browser stays open.
    virtual void OnValidateFailed(const QString& typed);

private:
    QString title_;
    QString initialFolder_;
    QString root_;
    QString chosen_;
    unsigned flags_;
    QPointer<QWidget> parent_;
    QPointer<QFileDialog> browser_;
};

}  // namespace velmora
