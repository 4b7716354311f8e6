#include "foldertree/network_enumerator.h"

#include "foldertree/drive_enumerator.h"
#include "foldertree/share_enumerator.h"

#include <QSet>
#include <QSysInfo>

namespace velmora {

bool SplitNetworkDevice(const QString& device, QString* server, QString* share) {
    QString srv, shr;
    if (device.startsWith(QLatin1String("//"))) {
        const QString rest = device.mid(2);
        const int slash = rest.indexOf(QLatin1Char('/'));
        srv = slash < 0 ? rest : rest.left(slash);
        shr = slash < 0 ? QString() : rest.mid(slash + 1);
    } else {
        const int colon = device.indexOf(QLatin1Char(':'));
        if (colon <= 0) return false;
        srv = device.left(colon);
        const int at = srv.lastIndexOf(QLatin1Char('@'));
        if (at >= 0) srv = srv.mid(at + 1);
        shr = device.mid(colon + 1);
        while (shr.startsWith(QLatin1Char('/'))) shr.remove(0, 1);
    }
    while (shr.endsWith(QLatin1Char('/'))) shr.chop(1);
    if (srv.isEmpty()) return false;
    if (shr.isEmpty()) shr = QStringLiteral("/");
    *server = srv;
    *share = shr;
    return true;
}

CNetworkEnumerator::CNetworkEnumerator(const CDriveEnumerator& drives, const CShareEnumerator& shares)
    : drives_(drives), shares_(shares) {}

bool CNetworkEnumerator::Enumerate(const NetResource* parent, int resourceType, QList<NetResource>* out) const {
    out->clear();
    // Every resource here is a disk resource.
    const bool wanted = resourceType == NetResource::Any || resourceType == NetResource::Disk;
    const QString localHost = QSysInfo::machineHostName();

    if (!parent) {
        QSet<QString> seen;
        auto addServer = [&](const QString& server) {
            if (seen.contains(server.toLower())) return;
            seen.insert(server.toLower());
            NetResource r;
            r.displayType = NetResource::Server;
            r.remoteName = QStringLiteral("//") + server;
            out->push_back(r);
        };
        for (const DriveInfo& d : drives_.Drives()) {
            QString server, share;
            if (d.kind == DriveRemote && SplitNetworkDevice(d.device, &server, &share)) addServer(server);
        }
        bool localShares = false;
        for (const ShareEntry& e : shares_.Entries())
            if (!(e.type & CShareEnumerator::kAdminShareBit)) localShares = true;
        if (localShares && !localHost.isEmpty()) addServer(localHost);
        if (!wanted) out->clear();
        return true;
    }

    if (parent->displayType != NetResource::Server) return parent->displayType != NetResource::Share;
    const QString server = parent->remoteName.mid(2);
    for (const DriveInfo& d : drives_.Drives()) {
        QString srv, share;
        if (d.kind != DriveRemote || !SplitNetworkDevice(d.device, &srv, &share)) continue;
        if (srv.compare(server, Qt::CaseInsensitive) != 0) continue;
        NetResource r;
        r.displayType = NetResource::Share;
        r.remoteName = QStringLiteral("//%1/%2").arg(srv, share);
        r.localName = d.rootPath;
        r.provider = d.fsType;
        out->push_back(r);
    }
    if (server.compare(localHost, Qt::CaseInsensitive) == 0) {
        for (const ShareEntry& e : shares_.Entries()) {
            if (e.type & CShareEnumerator::kAdminShareBit) continue;
            NetResource r;
            r.displayType = NetResource::Share;
            r.remoteName = QStringLiteral("//%1/%2").arg(localHost, e.name);
            r.localName = e.path;
            r.comment = e.comment;
            r.provider = QStringLiteral("usershare");
            out->push_back(r);
        }
    }
    if (!wanted) out->clear();
    return true;
}

}  // namespace velmora
