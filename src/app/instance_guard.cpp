#include "app/instance_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

namespace velmora {

namespace {
constexpr char kRequest[] = "come-forward\n";
// Paths to open go in lines of "open-more" and the paths, then one last line of "open" and
// the rest, each path percent-encoded (so any byte of a name fits on a line). The running
// instance gathers a connection's lines and takes the paths as one request at the last:
// any number of paths goes over in lines of a bounded size.
constexpr char kOpenRequest[] = "open";
constexpr char kOpenMoreRequest[] = "open-more";
constexpr qint64 kOpenLineBytes = 256 * 1024;
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
        auto gathered = std::make_shared<QStringList>();
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, gathered] {
            auto answer = [socket] {
                socket->write(kAnswer);
                socket->flush();
                socket->disconnectFromServer();
            };
            while (socket->canReadLine()) {
                const QByteArray line = socket->readLine(kMaxRequestBytes + 1);
                if (line == kRequest) {
                    emit comeForward();
                    answer();
                    return;
                }
                const QList<QByteArray> words = line.endsWith('\n') ? line.chopped(1).split(' ') : QList<QByteArray>{};
                const bool more = !words.isEmpty() && words.front() == kOpenMoreRequest;
                if (!more && (words.isEmpty() || words.front() != kOpenRequest)) {
                    socket->abort();  // not one of ours
                    return;
                }
                for (const QByteArray& word : words.mid(1))
                    if (!word.isEmpty()) *gathered << QFile::decodeName(QByteArray::fromPercentEncoding(word));
                if (more) continue;
                const QStringList paths = std::exchange(*gathered, {});
                emit comeForward();
                emit openPaths(paths);
                answer();
                return;
            }
            if (socket->bytesAvailable() > kMaxRequestBytes) socket->abort();  // not one of ours
        });
    }
}

bool CInstanceGuard::AskRunningToComeForward(int timeoutMs) const { return Ask(kRequest, timeoutMs); }

bool CInstanceGuard::AskRunningToOpen(const QStringList& paths, int timeoutMs) const {
    if (paths.isEmpty()) return AskRunningToComeForward(timeoutMs);
    QByteArray request;
    QByteArray line;
    for (const QString& p : paths) {
        const QByteArray word = QFile::encodeName(p).toPercentEncoding();
        if (!line.isEmpty() && line.size() + 1 + word.size() > kOpenLineBytes) {
            request += kOpenMoreRequest + line + '\n';
            line.clear();
        }
        line += ' ' + word;
    }
    return Ask(request + kOpenRequest + line + '\n', timeoutMs);
}

bool CInstanceGuard::Ask(const QByteArray& request, int timeoutMs) const {
    QLocalSocket socket;
    socket.connectToServer(SocketPath());
    if (!socket.waitForConnected(timeoutMs)) {
        return false;
    }
    // A long request goes out over many waits; each may take up to the timeout.
    socket.write(request);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(timeoutMs)) {
            return false;
        }
    }
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs)) {
            return false;
        }
    }
    return socket.readLine() == kAnswer;
}

}  // namespace velmora
