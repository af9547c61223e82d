#include "core/linkserver.h"

#include <QLocalSocket>

#include <sys/socket.h>
#include <unistd.h>

LinkServer::LinkServer(QObject *parent)
    : QObject(parent)
{
    connect(&m_listener, &UnixListener::accepted, this, &LinkServer::take);
    connect(&m_listener, &UnixListener::acceptFailed, this, &LinkServer::acceptFailed);
    connect(&m_listener, &UnixListener::socketLost, this, &LinkServer::socketLost);
}

LinkServer::~LinkServer()
{
    close();
}

bool LinkServer::listen(const QString &path, mode_t mode, QString *error)
{
    if (!m_listener.listen(path, mode, error))
        return false;
    // Listening again (the socket file was taken away) is no new start.
    if (!m_listening.isValid())
        m_listening.start();
    return true;
}

void LinkServer::close()
{
    m_listener.close();
    for (const Link &link : std::as_const(m_links)) {
        link.socket->disconnect(this);
        link.socket->abort();
        delete link.socket;
    }
    m_links.clear();
}

qint64 LinkServer::queuedBytes() const
{
    qint64 total = 0;
    for (const Link &link : m_links)
        total += link.socket->bytesToWrite();
    return total;
}

void LinkServer::take(int descriptor, uint uid, int pid)
{
    QString refusal;
    if (m_links.size() >= m_limits.maxLinks) {
        refusal = QStringLiteral("%1 links are connected already").arg(m_links.size());
    } else if (std::count_if(m_links.cbegin(), m_links.cend(), [uid](const Link &l) { return l.uid == uid; })
               >= m_limits.maxLinksPerUser) {
        refusal = QStringLiteral("the user has %1 links already").arg(m_limits.maxLinksPerUser);
    }
    if (!refusal.isEmpty()) {
        ::close(descriptor);
        Q_EMIT linkRefused(uid, refusal);
        return;
    }

    auto *socket = new QLocalSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(descriptor);
        delete socket;
        return;
    }
    connect(socket, &QLocalSocket::disconnected, this, [this, socket] { forget(socket); });
    // Links only listen: whatever they write is dropped.
    connect(socket, &QLocalSocket::readyRead, socket, [socket] { socket->readAll(); });
    m_links.append(Link{socket, uid, pid, m_sequence});

    Q_EMIT linkConnected(uid, int(m_links.size()));
    if (holding()) {
        // What was held counts as what waits, like anything published. A
        // process whose earlier link has not been seen to go yet had what
        // that link had.
        quint64 had = m_departed.value(pid, 0);
        for (qsizetype i = 0; i + 1 < m_links.size(); ++i) {
            if (m_links.at(i).pid == pid)
                had = qMax(had, m_links.at(i).lastSequence);
        }
        for (const Held &held : m_held) {
            if (held.sequence <= had || (held.takes && !held.takes(uid)))
                continue;
            if (m_links.last().socket->bytesToWrite() + held.bytes.size() > m_limits.maxQueuedPerLink) {
                drop(m_links.size() - 1, QStringLiteral("it does not read what was held for it"));
                return;
            }
            write(m_links.last(), held.bytes);
        }
        keepWithinBudget();
    }
}

void LinkServer::publish(const QByteArray &bytes, const Takes &takes)
{
    ++m_sequence;
    if (holding() && qsizetype(m_held.size()) < m_limits.maxHeld
        && m_heldBytes + bytes.size() <= m_limits.maxHeldBytes) {
        m_held.push_back(Held{m_sequence, bytes, takes});
        m_heldBytes += bytes.size();
    }
    for (qsizetype i = 0; i < m_links.size();) {
        Link &link = m_links[i];
        if (takes && !takes(link.uid)) {
            ++i;
            continue;
        }
        if (link.socket->bytesToWrite() + bytes.size() > m_limits.maxQueuedPerLink) {
            drop(i, QStringLiteral("it does not read (%1 bytes waiting)").arg(link.socket->bytesToWrite()));
            continue;
        }
        write(link, bytes);
        ++i;
    }
    keepWithinBudget();
}

void LinkServer::keepWithinBudget()
{
    // Over the budget for all links together: the slowest go first.
    for (qint64 total = queuedBytes(); total > m_limits.maxQueuedTotal;) {
        qsizetype slowest = 0;
        for (qsizetype i = 1; i < m_links.size(); ++i) {
            if (m_links.at(i).socket->bytesToWrite() > m_links.at(slowest).socket->bytesToWrite())
                slowest = i;
        }
        const qint64 waiting = m_links.at(slowest).socket->bytesToWrite();
        drop(slowest, QStringLiteral("it is the slowest (%1 bytes waiting, %2 for all links)").arg(waiting).arg(total));
        total -= waiting;
    }
}

void LinkServer::write(Link &link, const QByteArray &bytes)
{
    link.lastSequence = m_sequence;
    // Straight to the socket when nothing waits before it (Qt would write it
    // on the next turn of the event loop); what does not fit waits in the
    // link's buffer, after anything already waiting.
    qsizetype sent = 0;
    if (link.socket->bytesToWrite() == 0) {
        const ssize_t n = ::send(int(link.socket->socketDescriptor()), bytes.constData(), size_t(bytes.size()),
                                 MSG_DONTWAIT | MSG_NOSIGNAL);
        sent = n > 0 ? n : 0;
    }
    if (sent < bytes.size())
        link.socket->write(bytes.constData() + sent, bytes.size() - sent);
}

void LinkServer::drop(qsizetype index, const QString &why)
{
    const Link link = m_links.takeAt(index);
    if (holding())
        m_departed.insert(link.pid, link.lastSequence);
    link.socket->disconnect(this);
    link.socket->abort();
    link.socket->deleteLater();
    Q_EMIT linkDropped(link.uid, why);
}

void LinkServer::forget(QLocalSocket *socket)
{
    for (qsizetype i = 0; i < m_links.size(); ++i) {
        if (m_links.at(i).socket == socket) {
            const Link link = m_links.takeAt(i);
            if (holding())
                m_departed.insert(link.pid, link.lastSequence);
            socket->deleteLater();
            Q_EMIT linkLeft(link.uid, int(m_links.size()));
            return;
        }
    }
}

bool LinkServer::holding()
{
    if (m_limits.holdTime > 0 && m_listening.isValid()
        && (m_clock ? m_clock() : m_listening.elapsed()) < m_limits.holdTime)
        return true;
    if (!m_held.empty() || !m_departed.isEmpty()) {
        m_held.clear();
        m_heldBytes = 0;
        m_departed.clear();
    }
    return false;
}
