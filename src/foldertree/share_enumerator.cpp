#include "foldertree/share_enumerator.h"

#include <QDir>
#include <QFile>
#include <QTextStream>

namespace velmora {

namespace {
QString CleanPath(QString p) {
    while (p.size() > 1 && p.endsWith(QLatin1Char('/'))) p.chop(1);
    return p;
}
}  // namespace

CShareEnumerator::CShareEnumerator(QString usershareDir) : dir_(std::move(usershareDir)) { Refresh(); }

void CShareEnumerator::Refresh() {
    entries_.clear();
    QDir dir(dir_);
    if (dir_.isEmpty() || !dir.exists()) return;
    for (const QString& file : dir.entryList(QDir::Files | QDir::Readable, QDir::Name)) {
        QFile f(dir.filePath(file));
        // A share file is a handful of short lines; anything big is not one.
        if (f.size() > 64 * 1024 || !f.open(QIODevice::ReadOnly | QIODevice::Text)) continue;
        ShareEntry e;
        e.name = file;
        QTextStream in(&f);
        while (!in.atEnd()) {
            const QString line = in.readLine();
            const int eq = line.indexOf(QLatin1Char('='));
            if (eq <= 0) continue;
            const QString key = line.left(eq).trimmed();
            const QString value = line.mid(eq + 1).trimmed();
            if (key == QLatin1String("path")) e.path = CleanPath(value);
            else if (key == QLatin1String("comment")) e.comment = value;
            else if (key == QLatin1String("sharename")) e.name = value;
        }
        // Shares ending in "$" are hidden, administrative ones on the Samba side as well.
        if (e.name.endsWith(QLatin1Char('$'))) e.type |= kAdminShareBit;
        if (!e.path.isEmpty()) entries_.push_back(e);
    }
}

bool CShareEnumerator::IsShared(const QString& path) const {
    // Linux paths are case-sensitive, so the comparison is exact: /srv/Music is not /srv/music.
    const QString p = CleanPath(path);
    for (const ShareEntry& e : entries_) {
        if (e.type & kAdminShareBit) continue;
        if ((e.type == 0 || e.type == 1) && e.path == p) return true;
    }
    return false;
}

CShareEnumerator& CShareEnumerator::Shared() {
    static CShareEnumerator instance;
    return instance;
}

}  // namespace velmora
