// The folder tree in a representative state: a home of its own with desktop and music
// folders, a music folder selected and opened below the profile item.
#include "foldertree/file_tree_ctrl.h"
#include "screens_registry.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

// The tree reads the home and desktop folders when it fills; they come from a throwaway
// home so the picture never shows the real user's folders. HOME points there only while
// the tree fills, so the windows rendered after this one see the real environment.
class ScratchHome {
public:
    ScratchHome() {
        home_ = dir_.path() + QStringLiteral("/alex");
        for (const char* d : {"Desktop/Mixes", "Desktop/Podcasts", "Desktop/To Sort/Old", "Documents",
                              "Music/Ambient/Drones", "Music/Jazz/Live 1999", "Music/Jazz/Studio Sessions",
                              "Music/Jazz/Trio", "Music/Rock/Singles", "Music/Soundtracks", "Videos"})
            QDir().mkpath(home_ + QLatin1Char('/') + QLatin1String(d));
    }
    QString home() const { return home_; }

private:
    QTemporaryDir dir_;
    QString home_;
};

class HomeOverride {
public:
    explicit HomeOverride(const QString& home) : old_(qgetenv("HOME")) { qputenv("HOME", QFile::encodeName(home)); }
    ~HomeOverride() { qputenv("HOME", old_); }

private:
    QByteArray old_;
};

}  // namespace

VELMORA_SCREEN(folder_tree) {
    static ScratchHome scratch;  // its folders stay while the picture is taken
    HomeOverride home(scratch.home());
    auto tree = std::make_unique<velmora::CFileTreeCtrl>();
    tree->SetShowFiles(false);
    tree->SetAllowDelete(true);
    tree->SetAllowRename(true);
    tree->SetAllowCreateFolder(true);
    tree->AttachSystemImageList();
    tree->resize(300, 460);
    tree->SetSelectedPath(scratch.home() + QStringLiteral("/Music/Jazz"), true);
    return tree;
}
