#include "app/instance_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

namespace velmora {

namespace {
constexpr char kRequest[] = "come-forward\n";
// "open" and the paths, each percent-encoded (so any byte of a name fits on the line).
constexpr char kOpenRequest[] = "open";
constexpr char kAnswer[] = "ok\n";
// A request line larger than this is not one of ours.
constexpr qint64 kMaxRequestBytes = 4 << 20;
}  // namespace

CInstanceGuard::CInstanceGuard(QString instanceName, QObject* parent)
    : QObject(parent), name_(std::move(instanceName)) {}

CInstanceGuard::~CInstanceGuard() {
    // The first instance normally ends the process without coming here; when it does come
    // here (tests), give the names back.
    if (server_) {
        server_->close();
    }
    if (lockFd_ >= 0) {
        ::close(lockFd_);
    }
}

QString CInstanceGuard::RuntimeFolder() {
    QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty() || !QDir(dir).exists()) {
        // Qt's fallback is a private folder per user under the temporary folder.
        dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    }
    return dir;
}

QString CInstanceGuard::LockPath() const { return RuntimeFolder() + QLatin1Char('/') + name_ + QStringLiteral(".lock"); }
QString CInstanceGuard::SocketPath() const { return RuntimeFolder() + QLatin1Char('/') + name_ + QStringLiteral(".sock"); }

bool CInstanceGuard::TryBecomeFirst() {
    if (lockFd_ >= 0) {
        return true;
    }
    const QByteArray path = QFile::encodeName(LockPath());
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return true;  // no lock possible: start as the first instance
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        return err != EWOULDBLOCK;  // only a held lock means another instance runs
    }
    lockFd_ = fd;
    return true;
}

bool CInstanceGuard::Listen() {
    if (server_) {
        return true;
    }
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // We hold the lock, so a socket file left there belongs to an instance that has ended.
    QLocalServer::removeServer(SocketPath());
    if (!server_->listen(SocketPath())) {
        delete server_;
        server_ = nullptr;
        return false;
    }
    connect(server_, &QLocalServer::newConnection, this, &CInstanceGuard::OnNewConnection);
    return true;
}

void CInstanceGuard::OnNewConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kMaxRequestBytes) {
                    socket->abort();  // not one of ours
                }
                return;
            }
            const QByteArray line = socket->readLine(kMaxRequestBytes + 1);
            if (line == kRequest) {
                emit comeForward();
                socket->write(kAnswer);
                socket->flush();
            } else if (line.startsWith(kOpenRequest) && line.endsWith('\n')) {
                QStringList paths;
                for (const QByteArray& word : line.chopped(1).split(' ').mid(1))
                    if (!word.isEmpty()) paths << QFile::decodeName(QByteArray::fromPercentEncoding(word));
                emit comeForward();
                emit openPaths(paths);
                socket->write(kAnswer);
                socket->flush();
            }
            socket->disconnectFromServer();
        });
    }
}

bool CInstanceGuard::AskRunningToComeForward(int timeoutMs) const { return Ask(kRequest, timeoutMs); }

bool CInstanceGuard::AskRunningToOpen(const QStringList& paths, int timeoutMs) const {
    if (paths.isEmpty()) return AskRunningToComeForward(timeoutMs);
    QByteArray line = kOpenRequest;
    for (const QString& p : paths) line += ' ' + QFile::encodeName(p).toPercentEncoding();
    return Ask(line + '\n', timeoutMs);
}

bool CInstanceGuard::Ask(const QByteArray& request, int timeoutMs) const {
    QLocalSocket socket;
    socket.connectToServer(SocketPath());
    if (!socket.waitForConnected(timeoutMs)) {
        return false;
    }
    socket.write(request);
    if (!socket.waitForBytesWritten(timeoutMs)) {
        return false;
    }
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs)) {
            return false;
        }
    }
    return socket.readLine() == kAnswer;
}

}  // namespace velmora
