// The computer's "drives": "/" and the mounted volumes, with their kinds and labels.
#pragma once

#include <QList>
#include <QString>

namespace velmora {

// Kinds double as the bits of the tree's drive hide mask; Unknown is never hidden.
enum DriveKind : unsigned {
    DriveUnknown = 0,
    DriveRemovable = 1,
    DriveFixed = 2,
    DriveRemote = 4,
    DriveCdRom = 16,
    DriveRamDisk = 32,
};

struct VolumeInfo {
    QString rootPath;     // mount point, no trailing slash except "/"
    QString device;       // e.g. /dev/sda1, //server/share, server:/export
    QString fsType;       // e.g. ext4, cifs
    QString label;        // volume name, may be empty
};

struct DriveInfo {
    QString rootPath;
    QString device;
    QString fsType;
    QString displayName;  // the label the tree shows
    DriveKind kind = DriveUnknown;
};

class CDriveEnumerator {
public:
    virtual ~CDriveEnumerator() = default;

    // Rereads the mount table.
    void Refresh();
    const QList<DriveInfo>& Drives() const { return drives_; }

    // The drive whose mount point is exactly `path`, or null.
    const DriveInfo* Find(const QString& path) const;
    // The drive with the longest mount point that contains `path` (component-wise), or null.
    const DriveInfo* LongestMountFor(const QString& path) const;
    bool IsRemovableOrCd(const QString& path) const;

    // False when the volume's media cannot be read (an empty optical drive, say).
    virtual bool HasMedia(const QString& rootPath) const;

    // The process-wide instance, read on first use.
    static CDriveEnumerator& Shared();

    static DriveKind KindOf(const VolumeInfo& v);
    static bool IsPseudoFileSystem(const VolumeInfo& v);
    static QString DisplayNameOf(const VolumeInfo& v);

protected:
    // The raw mount table; test doubles return a table of their own.
    virtual QList<VolumeInfo> ReadVolumes() const;

private:
    QList<DriveInfo> drives_;
    bool read_ = false;
    friend class CFileTreeCtrl;
    void EnsureRead();
};

// True when `path` is `root` or lies below it, compared component-wise.
bool PathIsUnder(const QString& path, const QString& root);

}  // namespace velmora
