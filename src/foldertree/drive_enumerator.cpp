#include "foldertree/drive_enumerator.h"

#include <QStorageInfo>

#include <algorithm>

namespace velmora {

bool PathIsUnder(const QString& path, const QString& root) {
    if (root == QLatin1String("/")) return path.startsWith(QLatin1Char('/'));
    if (!path.startsWith(root)) return false;
    return path.size() == root.size() || path.at(root.size()) == QLatin1Char('/');
}

DriveKind CDriveEnumerator::KindOf(const VolumeInfo& v) {
    const QString t = v.fsType.toLower();
    if (t == QLatin1String("iso9660") || t == QLatin1String("udf")) return DriveCdRom;
    static const char* const remote[] = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "sshfs", "fuse.sshfs"};
    for (const char* r : remote)
        if (t == QLatin1String(r)) return DriveRemote;
    if (t == QLatin1String("tmpfs") || t == QLatin1String("ramfs")) return DriveRamDisk;
    if (PathIsUnder(v.rootPath, QStringLiteral("/media")) || PathIsUnder(v.rootPath, QStringLiteral("/run/media")))
        return DriveRemovable;
    return DriveFixed;
}

bool CDriveEnumerator::IsPseudoFileSystem(const VolumeInfo& v) {
    if (v.rootPath == QLatin1String("/")) return false;
    static const char* const pseudo[] = {
        "proc", "sysfs", "devtmpfs", "devpts", "cgroup", "cgroup2", "securityfs", "pstore", "bpf",
        "debugfs", "tracefs", "configfs", "fusectl", "mqueue", "hugetlbfs", "autofs", "binfmt_misc",
        "efivarfs", "rpc_pipefs", "nsfs", "overlay", "squashfs", "fuse.gvfsd-fuse", "fuse.portal",
        "selinuxfs", "rootfs"};
    const QString t = v.fsType.toLower();
    for (const char* p : pseudo)
        if (t == QLatin1String(p)) return true;
    // The system's own trees are no place for the user's music, whatever their file system.
    for (const char* sys : {"/proc", "/sys", "/dev", "/run", "/boot/efi", "/snap"})
        if (PathIsUnder(v.rootPath, QLatin1String(sys)) && !PathIsUnder(v.rootPath, QStringLiteral("/run/media")))
            return true;
    return false;
}

QString CDriveEnumerator::DisplayNameOf(const VolumeInfo& v) {
    // Like the shell's "Label (C:)": the label with its mount point, or the mount point alone.
    if (!v.label.isEmpty() && v.label != v.rootPath)
        return QStringLiteral("%1 (%2)").arg(v.label, v.rootPath);
    return v.rootPath;
}

QList<VolumeInfo> CDriveEnumerator::ReadVolumes() const {
    QList<VolumeInfo> out;
    bool haveRoot = false;
    for (const QStorageInfo& s : QStorageInfo::mountedVolumes()) {
        VolumeInfo v;
        v.rootPath = s.rootPath();
        v.device = QString::fromLocal8Bit(s.device());
        v.fsType = QString::fromLatin1(s.fileSystemType());
        v.label = s.name();
        if (v.rootPath == QLatin1String("/")) haveRoot = true;
        out.push_back(v);
    }
    if (!haveRoot) out.push_front(VolumeInfo{QStringLiteral("/"), QString(), QString(), QString()});
    return out;
}

void CDriveEnumerator::Refresh() {
    drives_.clear();
    for (const VolumeInfo& v : ReadVolumes()) {
        if (v.rootPath.isEmpty() || IsPseudoFileSystem(v)) continue;
        QString root = v.rootPath;
        while (root.size() > 1 && root.endsWith(QLatin1Char('/'))) root.chop(1);
        // A mount point mounted over twice is listed once (the last mount is the visible one).
        auto same = std::find_if(drives_.begin(), drives_.end(), [&](const DriveInfo& d) { return d.rootPath == root; });
        VolumeInfo clean = v;
        clean.rootPath = root;
        DriveInfo d{root, v.device, v.fsType, DisplayNameOf(clean), KindOf(clean)};
        if (same != drives_.end()) *same = d; else drives_.push_back(d);
    }
    std::sort(drives_.begin(), drives_.end(), [](const DriveInfo& a, const DriveInfo& b) {
        return a.rootPath.compare(b.rootPath, Qt::CaseInsensitive) < 0;
    });
    read_ = true;
}

void CDriveEnumerator::EnsureRead() {
    if (!read_) Refresh();
}

const DriveInfo* CDriveEnumerator::Find(const QString& path) const {
    for (const DriveInfo& d : drives_)
        if (d.rootPath == path) return &d;
    return nullptr;
}

const DriveInfo* CDriveEnumerator::LongestMountFor(const QString& path) const {
    const DriveInfo* best = nullptr;
    for (const DriveInfo& d : drives_)
        if (PathIsUnder(path, d.rootPath) && (!best || d.rootPath.size() > best->rootPath.size())) best = &d;
    return best;
}

bool CDriveEnumerator::IsRemovableOrCd(const QString& path) const {
    const DriveInfo* d = Find(path);
    return d && (d->kind == DriveRemovable || d->kind == DriveCdRom);
}

bool CDriveEnumerator::HasMedia(const QString& rootPath) const {
    QStorageInfo s(rootPath);
    return s.isValid() && s.isReady();
}

CDriveEnumerator& CDriveEnumerator::Shared() {
    static CDriveEnumerator instance;
    instance.EnsureRead();
    return instance;
}

}  // namespace velmora
