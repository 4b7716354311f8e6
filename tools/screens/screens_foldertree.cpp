// The folder tree in a representative state: a home of its own with desktop and music
// folders, a music folder selected and opened below the profile item.
#include "foldertree/file_tree_ctrl.h"
#include "screens_registry.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

// The tree reads the home and desktop folders when it fills; they come from a throwaway
// home so the picture never shows the real user's folders.
class ScratchHome {
public:
    ScratchHome() {
        home_ = dir_.path() + QStringLiteral("/alex");
        for (const char* d : {"Desktop/Mixes", "Desktop/Podcasts", "Desktop/To Sort/Old", "Documents",
                              "Music/Ambient/Drones", "Music/Jazz/Live 1999", "Music/Jazz/Studio Sessions",
                              "Music/Jazz/Trio", "Music/Rock/Singles", "Music/Soundtracks", "Videos"})
            QDir().mkpath(home_ + QLatin1Char('/') + QLatin1String(d));
        const QByteArray old = qgetenv("HOME");
        oldHome_ = old;
        qputenv("HOME", QFile::encodeName(home_));
    }
    ~ScratchHome() { qputenv("HOME", oldHome_); }
    QString home() const { return home_; }

private:
    QTemporaryDir dir_;
    QString home_;
    QByteArray oldHome_;
};

}  // namespace

VELMORA_SCREEN(folder_tree) {
    static ScratchHome* scratch = nullptr;  // lives until the process ends: the tree keeps its paths
    if (!scratch) scratch = new ScratchHome;
    auto tree = std::make_unique<velmora::CFileTreeCtrl>();
    tree->SetShowFiles(false);
    tree->SetAllowDelete(true);
    tree->SetAllowRename(true);
    tree->SetAllowCreateFolder(true);
    tree->AttachSystemImageList();
    tree->resize(300, 460);
    tree->SetSelectedPath(scratch->home() + QStringLiteral("/Music/Jazz"), true);
    return tree;
}
