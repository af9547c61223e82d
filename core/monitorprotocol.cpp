#include "core/monitorprotocol.h"

#include <QDeadlineTimer>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace MonitorProtocol {

QString systemFolder() { return QStringLiteral("/run/kavrel-faxmon"); }
QString linkSocketName() { return QStringLiteral("orvex-monitor.sock"); }
QString postSocketName() { return QStringLiteral("post.sock"); }
QString systemLinkSocket() { return systemFolder() + QLatin1Char('/') + linkSocketName(); }

namespace {

QString systemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Waits until fd is ready for events or the deadline passes.
bool waitFor(int fd, short events, const QDeadlineTimer &deadline)
{
    for (;;) {
        pollfd ready{fd, events, 0};
        const int result = ::poll(&ready, 1, int(qMax<qint64>(0, deadline.remainingTime())));
        if (result > 0)
            return true;
        if (result == 0 || errno != EINTR)
            return false;
    }
}

} // namespace

bool readPost(const QByteArray &bytes, QList<QByteArray> *fields)
{
    const bool routed = bytes.startsWith(RoutedPostMark + '\0');
    const bool extended = routed || bytes.startsWith(ExtendedPostMark + '\0');
    const int fieldCount = routed ? RoutedPostFields : extended ? ExtendedPostFields : PostFields;
    if (bytes.count('\0') < fieldCount + (extended ? 1 : 0))
        return false;
    QList<QByteArray> all = bytes.split('\0');
    if (extended)
        all.removeFirst();
    all.resize(fieldCount);
    *fields = all;
    return true;
}

bool post(const QString &folder, const QList<QByteArray> &fields, int timeout, QString *error)
{
    QByteArray message;
    if (fields.size() > ExtendedPostFields)
        message = RoutedPostMark + '\0';
    else if (fields.size() > PostFields)
        message = ExtendedPostMark + '\0';
    for (const QByteArray &field : fields)
        message += QByteArray(field).replace('\0', ' ') + '\0';
    if (message.size() > MaxPostSize) {
        *error = QStringLiteral("the reception is over %1 bytes").arg(MaxPostSize);
        return false;
    }
    const QByteArray path = QFile::encodeName(folder + QLatin1Char('/') + postSocketName());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= qsizetype(sizeof address.sun_path)) {
        *error = QStringLiteral("%1: the path is too long for a socket").arg(QFile::decodeName(path));
        return false;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));

    const QDeadlineTimer deadline(timeout);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = systemReason();
        return false;
    }
    bool done = false;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        && !(errno == EINPROGRESS || errno == EAGAIN)) {
        *error = QStringLiteral("the fax monitor is not running (%1)").arg(systemReason());
    } else {
        qsizetype sent = 0;
        while (sent < message.size() && waitFor(fd, POLLOUT, deadline)) {
            const ssize_t n = ::send(fd, message.constData() + sent, size_t(message.size() - sent), MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
            sent += qMax<ssize_t>(n, 0);
        }
        QByteArray answer;
        while (sent == message.size() && answer.size() < PostTaken.size() && waitFor(fd, POLLIN, deadline)) {
            char buffer[8];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                break;
            answer.append(buffer, qMax<ssize_t>(n, 0));
        }
        done = answer.startsWith(PostTaken);
        if (!done)
            *error = sent < message.size() ? QStringLiteral("the fax monitor did not read the reception")
                                           : QStringLiteral("the fax monitor did not take the reception");
    }
    ::close(fd);
    return done;
}

} // namespace MonitorProtocol
