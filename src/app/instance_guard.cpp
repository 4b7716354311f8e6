#include "app/instance_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

namespace velmora {

namespace {
constexpr char kRequest[] = "come-forward\n";
constexpr char kAnswer[] = "ok\n";
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
                if (socket->bytesAvailable() > 256) {
                    socket->abort();  // not one of ours
                }
                return;
            }
            const QByteArray line = socket->readLine();
            if (line == kRequest) {
                emit comeForward();
                socket->write(kAnswer);
                socket->flush();
            }
            socket->disconnectFromServer();
        });
    }
}

bool CInstanceGuard::AskRunningToComeForward(int timeoutMs) const {
    QLocalSocket socket;
    socket.connectToServer(SocketPath());
    if (!socket.waitForConnected(timeoutMs)) {
        return false;
    }
    socket.write(kRequest);
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
