// The local machine's shared folders, read from Samba's user shares when Samba keeps them.
#pragma once

#include <QList>
#include <QString>

namespace velmora {

struct ShareEntry {
    QString name;
    QString path;
    QString comment;
    unsigned type = 0;  // 0 disk, 1 print queue; bit 0x80000000 marks administrative shares
};

class CShareEnumerator {
public:
    static constexpr unsigned kAdminShareBit = 0x80000000u;

    // `usershareDir` is where Samba keeps one small file per user share.
    explicit CShareEnumerator(QString usershareDir = QStringLiteral("/var/lib/samba/usershares"));

    // Drops the last list and reads the shares again; no Samba, no shares.
    void Refresh();
    bool IsShared(const QString& path) const;
    const QList<ShareEntry>& Entries() const { return entries_; }
    int EntryCount() const { return int(entries_.size()); }

    static CShareEnumerator& Shared();

private:
    QString dir_;
    QList<ShareEntry> entries_;
};

}  // namespace velmora
