// The process-wide icon source of the folder tree: the desktop theme's icons with Qt's
// file icon provider behind them. Folder icons are shared, not looked up per path, so a
// folder with thousands of subfolders fills quickly.
#pragma once

#include <QFileIconProvider>
#include <QHash>
#include <QIcon>
#include <QString>

namespace velmora {

class CSystemImageList {
public:
    enum Special { DesktopIcon, HomeIcon, DocumentsIcon, ComputerIcon, NetworkIcon, ServerIcon, ShareIcon };

    static CSystemImageList& Instance();

    // Normal (`open` false) or selected (`open` true) icon of a file or folder.
    QIcon PathIcon(const QString& path, bool isDir, bool open);
    QIcon SpecialFolderIcon(Special which);
    QIcon DriveIcon(unsigned driveKind);
    // The icon with the share emblem over its lower left corner.
    QIcon SharedOverlay(const QIcon& base);

private:
    CSystemImageList() = default;
    QIcon Themed(const char* name, QAbstractFileIconProvider::IconType fallback);

    QFileIconProvider provider_;
    QHash<QString, QIcon> cache_;
};

}  // namespace velmora
