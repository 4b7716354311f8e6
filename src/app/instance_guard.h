// One running instance per user and executable name.
//
// The first start takes an exclusive lock on "<runtime dir>/<instance name>.lock" (flock: the
// kernel drops it with the process, so a crash leaves no stale lock) and listens on the local
// socket "<runtime dir>/<instance name>.sock". A later start fails to take the lock, connects to
// that socket, asks the running instance to come to the front, and ends. The runtime dir is
// $XDG_RUNTIME_DIR (per user), so different users never meet, and the executable's name keys
// both files, so copies under different names are different instances.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;

namespace velmora {

class CInstanceGuard : public QObject {
    Q_OBJECT
public:
    explicit CInstanceGuard(QString instanceName, QObject* parent = nullptr);
    ~CInstanceGuard() override;

    // Race-free test-and-take of the lock: of two starts at the same moment exactly one gets
    // true. A lock that cannot be created at all (no runtime folder, say) counts as first
    // instance, so the program still starts.
    bool TryBecomeFirst();

    // First instance: starts answering come-to-front requests (emitted as comeForward).
    bool Listen();

    // Second instance: asks the running one to come to the front and waits up to timeoutMs
    // for its answer. False when nobody answered (it is still building its window, say).
    bool AskRunningToComeForward(int timeoutMs) const;
    // Second instance: the same, handing over files and folders to load (absolute paths),
    // any number of them: they go over in lines of a bounded size, taken as one request.
    bool AskRunningToOpen(const QStringList& paths, int timeoutMs) const;

    QString LockPath() const;
    QString SocketPath() const;
    static QString RuntimeFolder();

signals:
    void comeForward();
    // A later start handed these paths over (after comeForward).
    void openPaths(const QStringList& paths);

private:
    void OnNewConnection();
    bool Ask(const QByteArray& request, int timeoutMs) const;

    QString name_;
    int lockFd_ = -1;
    QLocalServer* server_ = nullptr;
};

}  // namespace velmora
