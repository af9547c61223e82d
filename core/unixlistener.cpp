#include "core/unixlistener.h"

#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool socketAddress(const QByteArray &path, sockaddr_un *address)
{
    *address = {};
    address->sun_family = AF_UNIX;
    if (path.size() >= qsizetype(sizeof address->sun_path))
        return false;
    std::memcpy(address->sun_path, path.constData(), size_t(path.size()));
    return true;
}

// Whether a process listens on the socket at address.
bool answers(const sockaddr_un &address)
{
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    const int result = ::connect(probe, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    // A full backlog (EAGAIN) still means a listener.
    const bool listening = result == 0 || errno == EAGAIN || errno == EINPROGRESS;
    ::close(probe);
    return listening;
}

// Out of descriptors, accepting pauses this long (milliseconds) rather than
// spin.
constexpr int ResumeDelay = 100;
// Connections taken at one turn of the event loop, at most: a flood of
// connections on one socket (anybody may connect to the post socket) must
// not keep the others, and the timers, from their turn.
constexpr int AcceptBatch = 16;

} // namespace

UnixListener::UnixListener(QObject *parent)
    : QObject(parent)
{
    m_resume.setSingleShot(true);
    connect(&m_resume, &QTimer::timeout, this, [this] {
        if (m_notifier)
            m_notifier->setEnabled(true);
        acceptPending();
    });
}

UnixListener::~UnixListener()
{
    close();
}

bool UnixListener::listen(const QString &path, mode_t mode, QString *error)
{
    close();
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address;
    if (!socketAddress(native, &address)) {
        *error = QStringLiteral("%1: the path is too long for a socket").arg(path);
        return false;
    }
    struct stat st;
    if (lstat(native.constData(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = QStringLiteral("%1 is there and is not a socket; it is left alone").arg(path);
            return false;
        }
        if (answers(address)) {
            *error = QStringLiteral("another process is listening at %1").arg(path);
            return false;
        }
        ::unlink(native.constData());
    }

    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        *error = QStringLiteral("cannot make a socket: %1").arg(systemReason(errno));
        return false;
    }
    // Nobody can connect before listen(), so the permissions are in place
    // before anybody could use the socket.
    const int bound = ::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    const int bindError = errno;
    if (bound != 0 || ::chmod(native.constData(), mode) != 0 || ::listen(m_fd, SOMAXCONN) != 0
        || ::stat(native.constData(), &st) != 0) {
        *error = QStringLiteral("cannot listen at %1: %2").arg(path, systemReason(bound != 0 ? bindError : errno));
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    m_path = path;
    m_inode = st.st_ino;
    m_spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UnixListener::acceptPending);
    m_watcher = new QFileSystemWatcher({QFileInfo(path).absolutePath()}, this);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &UnixListener::checkSocketFile);
    return true;
}

void UnixListener::close()
{
    m_resume.stop();
    // Either may be the sender of the signal being handled.
    if (m_notifier) {
        m_notifier->setEnabled(false);
        m_notifier->deleteLater();
        m_notifier = nullptr;
    }
    if (m_watcher) {
        m_watcher->disconnect(this);
        m_watcher->deleteLater();
        m_watcher = nullptr;
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
        struct stat st;
        const QByteArray native = QFile::encodeName(m_path);
        if (::stat(native.constData(), &st) == 0 && st.st_ino == m_inode)
            ::unlink(native.constData());
    }
    if (m_spare >= 0) {
        ::close(m_spare);
        m_spare = -1;
    }
}

void UnixListener::acceptPending()
{
    // What is left waits for the next turn: the socket stays readable.
    for (int taken = 0; taken < AcceptBatch; ++taken) {
        ucred peer{};
        const int connection = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (connection >= 0) {
            socklen_t length = sizeof peer;
            if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
                ::close(connection);
                continue;
            }
            Q_EMIT accepted(connection, uint(peer.uid), int(peer.pid));
            if (m_fd < 0)
                return; // closed by whoever took the connection
            continue;
        }
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK)
            return;
        if (error == EINTR || error == ECONNABORTED || error == EPROTO)
            continue;
        // Out of descriptors or memory: the connection waiting at the head
        // of the queue is taken with the spare descriptor and closed, so that
        // it does not keep the socket readable and the loop spinning.
        if (m_spare >= 0) {
            ::close(m_spare);
            m_spare = -1;
            const int turnedAway = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (turnedAway >= 0)
                ::close(turnedAway);
            m_spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        }
        Q_EMIT acceptFailed(systemReason(error));
        // Let the descriptors come back before trying again.
        m_notifier->setEnabled(false);
        m_resume.start(ResumeDelay);
        return;
    }
}

void UnixListener::checkSocketFile()
{
    struct stat st;
    if (m_fd >= 0 && (::lstat(QFile::encodeName(m_path).constData(), &st) != 0 || st.st_ino != m_inode))
        Q_EMIT socketLost();
}
