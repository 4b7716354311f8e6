// The Network item's contents: mounted network file systems grouped by server, and the
// local machine's own shares under its host name.
#pragma once

#include <QList>
#include <QString>

namespace velmora {

class CDriveEnumerator;
class CShareEnumerator;

// The fields of a network resource that the tree keeps with each network item.
struct NetResource {
    enum DisplayType { Generic = 0, Domain = 1, Server = 2, Share = 3, Network = 6 };
    enum Type { Any = 0, Disk = 1, Print = 2 };
    int scope = 2;  // globally visible
    int type = Disk;
    int displayType = Generic;
    int usage = 0;
    QString localName;   // mount point (or shared folder) of a share
    QString remoteName;  // "//server" or "//server/share"
    QString comment;
    QString provider;    // file-system type
};

// Splits a network device string into server and share: "//srv/music" (cifs),
// "srv:/export/music" (nfs), "user@srv:/data" (sshfs). False when it names no server.
bool SplitNetworkDevice(const QString& device, QString* server, QString* share);

class CNetworkEnumerator {
public:
    CNetworkEnumerator(const CDriveEnumerator& drives, const CShareEnumerator& shares);

    // The resources one level below `parent` (null: the Network item itself), filtered by
    // resource type (0 any). False when `parent` cannot be enumerated.
    bool Enumerate(const NetResource* parent, int resourceType, QList<NetResource>* out) const;

private:
    const CDriveEnumerator& drives_;
    const CShareEnumerator& shares_;
};

}  // namespace velmora
