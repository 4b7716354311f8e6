#include "foldertree/system_image_list.h"

#include "foldertree/drive_enumerator.h"

#include <QDir>
#include <QFileInfo>
#include <QPainter>
#include <QPixmap>
#include <QStandardPaths>

namespace velmora {

CSystemImageList& CSystemImageList::Instance() {
    static CSystemImageList instance;
    return instance;
}

QIcon CSystemImageList::Themed(const char* name, QAbstractFileIconProvider::IconType fallback) {
    const QString key = QLatin1String(name);
    auto it = cache_.find(key);
    if (it != cache_.end()) return *it;
    QIcon icon = QIcon::fromTheme(key);
    if (icon.isNull()) icon = provider_.icon(fallback);
    cache_.insert(key, icon);
    return icon;
}

QIcon CSystemImageList::PathIcon(const QString& path, bool isDir, bool open) {
    if (isDir) {
        if (path == QDir::homePath()) return SpecialFolderIcon(HomeIcon);
        return open ? Themed("folder-open", QAbstractFileIconProvider::Folder)
                    : Themed("folder", QAbstractFileIconProvider::Folder);
    }
    // Files: by suffix, so one lookup serves every file of a kind.
    const QString key = QStringLiteral("file:") + QFileInfo(path).suffix().toLower();
    auto it = cache_.find(key);
    if (it != cache_.end()) return *it;
    QIcon icon = provider_.icon(QFileInfo(path));
    if (icon.isNull()) icon = provider_.icon(QAbstractFileIconProvider::File);
    cache_.insert(key, icon);
    return icon;
}

QIcon CSystemImageList::SpecialFolderIcon(Special which) {
    switch (which) {
    case DesktopIcon: return Themed("user-desktop", QAbstractFileIconProvider::Desktop);
    case HomeIcon: return Themed("user-home", QAbstractFileIconProvider::Folder);
    case DocumentsIcon: return Themed("folder-documents", QAbstractFileIconProvider::Folder);
    case ComputerIcon: return Themed("computer", QAbstractFileIconProvider::Computer);
    case NetworkIcon: return Themed("network-workgroup", QAbstractFileIconProvider::Network);
    case ServerIcon: return Themed("network-server", QAbstractFileIconProvider::Computer);
    case ShareIcon: return Themed("folder-remote", QAbstractFileIconProvider::Folder);
    }
    return {};
}

QIcon CSystemImageList::DriveIcon(unsigned driveKind) {
    switch (driveKind) {
    case DriveRemovable: return Themed("drive-removable-media", QAbstractFileIconProvider::Drive);
    case DriveCdRom: return Themed("drive-optical", QAbstractFileIconProvider::Drive);
    case DriveRemote: return Themed("folder-remote", QAbstractFileIconProvider::Network);
    default: return Themed("drive-harddisk", QAbstractFileIconProvider::Drive);
    }
}

QIcon CSystemImageList::SharedOverlay(const QIcon& base) {
    const QString key = QStringLiteral("shared:%1").arg(base.cacheKey());
    auto it = cache_.find(key);
    if (it != cache_.end()) return *it;
    QPixmap pm = base.pixmap(16, 16);
    if (pm.isNull()) {
        pm = QPixmap(16, 16);
        pm.fill(Qt::transparent);
    }
    {
        QPainter p(&pm);
        const QIcon emblem = QIcon::fromTheme(QStringLiteral("emblem-shared"));
        if (!emblem.isNull()) {
            p.drawPixmap(0, 8, emblem.pixmap(8, 8));
        } else {
            // No themed emblem: a small hand-drawn marker in the same corner.
            p.setRenderHint(QPainter::Antialiasing);
            p.setBrush(QColor(40, 110, 200));
            p.setPen(Qt::white);
            p.drawEllipse(QRectF(0.5, 8.5, 7, 7));
        }
    }
    QIcon icon(pm);
    cache_.insert(key, icon);
    return icon;
}

}  // namespace velmora
