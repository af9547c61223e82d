#include "receiver/noticelistener.h"

#include "components/shiftjis.h"
#include "receiver/logging.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

NoticeListener::NoticeListener(QObject *parent)
    : QObject(parent)
{
}

NoticeListener::~NoticeListener()
{
    close(&m_ipv4);
    close(&m_ipv6);
}

void NoticeListener::close(Socket *socket)
{
    delete socket->notifier;
    if (socket->fd >= 0)
        ::close(socket->fd);
    *socket = Socket();
}

bool NoticeListener::open(int family, quint16 port, Socket *socket, QString *error, int *failure)
{
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    *failure = fd < 0 ? errno : 0;
    if (fd < 0) {
        *error = systemReason(*failure);
        return false;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // The kernel's count of what it dropped comes with each datagram.
    setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    // Room for a burst; the kernel caps it at what it allows a user.
    const int size = BufferSize;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    int bound = -1;
    if (family == AF_INET6) {
        // IPv6 alone: IPv4 comes on a socket of its own, and an IPv4-mapped
        // source on this one is no IPv4 sender.
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        address.sin6_addr = in6addr_any;
        bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    if (bound != 0) {
        *failure = errno;
        *error = systemReason(*failure);
        ::close(fd);
        return false;
    }
    int given = 0;
    socklen_t length = sizeof given;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &given, &length) == 0)
        m_bufferSize = given;
    socket->fd = fd;
    return true;
}

bool NoticeListener::listen(const ReceiverSettings &settings, QString *error)
{
    if (!settings.checkListening(error))
        return false;
    // The new sockets first: when they cannot be had, the old ones go on.
    Socket ipv4, ipv6;
    QString reason;
    int failure = 0;
    const quint16 port = quint16(settings.port);
    if (!open(AF_INET, port, &ipv4, &reason, &failure)) {
        *error = QStringLiteral("ポート %1 で受信できません（%2）。").arg(port).arg(reason);
        return false;
    }
    QString warning;
    if (!open(AF_INET6, port, &ipv6, &reason, &failure)) {
        // A machine without IPv6 has nothing to tell; another program on
        // the port would take every IPv6 reception.
        if (failure == EADDRINUSE || failure == EACCES)
            warning = QStringLiteral("IPv6 のポート %1 はほかのプログラムが使っているため、IPv6 で届く通知は受信できません（%2）。")
                          .arg(port)
                          .arg(reason);
    }
    close(&m_ipv4);
    close(&m_ipv6);
    m_ipv4 = ipv4;
    m_ipv6 = ipv6;
    m_settings = settings;
    m_port = port;
    m_warning = warning;
    for (Socket *socket : {&m_ipv4, &m_ipv6}) {
        if (socket->fd < 0)
            continue;
        socket->notifier = new QSocketNotifier(socket->fd, QSocketNotifier::Read, this);
        connect(socket->notifier, &QSocketNotifier::activated, this, [this, socket] { readPending(socket); });
    }
    qCInfo(lcListener, "listening on UDP port %u%s, with %d bytes of room", m_port,
           m_ipv6.fd >= 0 ? " (IPv4 and IPv6)" : " (IPv4)", m_bufferSize);
    if (!m_warning.isEmpty())
        qCWarning(lcListener).noquote() << m_warning;
    return true;
}

void NoticeListener::readPending(Socket *socket)
{
    static QByteArray buffer(65536, Qt::Uninitialized);
    // A bounded share at a time: in a flood the windows still get their turn
    // (the socket stays readable, so the rest comes at the next one).
    for (int taken = 0; taken < ReadBatch && socket->fd >= 0; ++taken) {
        sockaddr_storage source{};
        iovec data{buffer.data(), size_t(buffer.size())};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(quint32))];
        msghdr message{};
        message.msg_name = &source;
        message.msg_namelen = sizeof source;
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t size = ::recvmsg(socket->fd, &message, MSG_DONTWAIT);
        if (size < 0)
            break; // nothing more now (or an error the next datagram clears)
        for (cmsghdr *header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SO_RXQ_OVFL)
                continue;
            quint32 drops = 0;
            std::memcpy(&drops, CMSG_DATA(header), sizeof drops);
            countDrops(socket, drops);
        }
        if (size == 0)
            continue; // says nothing: no notice
        const QHostAddress from(reinterpret_cast<const sockaddr *>(&source));
        if (!m_settings.accepts(from)) {
            ++m_refused;
            continue;
        }
        Q_EMIT received(fromWindowsShiftJis(QByteArrayView(buffer.constData(), size)), from);
    }
    // A datagram carries the count as it was when the datagram was queued:
    // what was dropped after the last one queued (the end of a burst) is
    // asked of the socket itself.
    quint32 memory[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof memory;
    if (socket->fd >= 0 && getsockopt(socket->fd, SOL_SOCKET, SO_MEMINFO, memory, &length) == 0
        && length > socklen_t(SK_MEMINFO_DROPS * sizeof(quint32)))
        countDrops(socket, memory[SK_MEMINFO_DROPS]);
}

void NoticeListener::countDrops(Socket *socket, quint32 drops)
{
    const quint32 more = drops - socket->drops;
    if (more == 0 || more >= 0x80000000u)
        return;
    socket->drops = drops;
    m_lost += more;
    Q_EMIT dropped(int(more));
}
