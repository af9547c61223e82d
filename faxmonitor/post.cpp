#include "faxmonitor/post.h"

#include "core/monitorprotocol.h"

#include <QLocalSocket>

#include <sys/socket.h>
#include <unistd.h>

Post::Post(int descriptor, int timeout, QObject *parent)
    : QObject(parent)
    , m_descriptor(descriptor)
    , m_timeout(timeout)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] { refuse(QStringLiteral("it was not finished in time")); });
}

Post::~Post()
{
    if (!m_socket && m_descriptor >= 0)
        ::close(m_descriptor);
}

void Post::start()
{
    QByteArray first(MonitorProtocol::MaxPostSize + 1, Qt::Uninitialized);
    const ssize_t received = ::recv(m_descriptor, first.data(), size_t(first.size()), MSG_DONTWAIT);
    first.resize(received > 0 ? received : 0);
    read(first);
    if (m_done)
        return;
    // The rest comes in pieces: waited for, within the time limit.
    m_socket = new QLocalSocket(this);
    m_socket->setSocketDescriptor(m_descriptor);
    connect(m_socket, &QLocalSocket::readyRead, this, [this] { read(m_socket->readAll()); });
    // One that hangs up early has posted nothing.
    connect(m_socket, &QLocalSocket::readChannelFinished, this, [this] { refuse(QStringLiteral("fields are missing")); });
    m_deadline.start(m_timeout);
}

void Post::read(const QByteArray &more)
{
    if (m_done)
        return;
    m_received += more;
    if (m_received.size() > MonitorProtocol::MaxPostSize) {
        refuse(QStringLiteral("it is over %1 bytes").arg(MonitorProtocol::MaxPostSize));
        return;
    }
    QList<QByteArray> fields;
    if (!MonitorProtocol::readPost(m_received, &fields))
        return;
    m_done = true;
    m_deadline.stop();
    Q_EMIT completed(fields);
    if (m_socket) {
        m_socket->write(MonitorProtocol::PostTaken);
        m_socket->disconnectFromServer();
        connect(m_socket, &QLocalSocket::disconnected, this, &QObject::deleteLater);
        if (m_socket->state() == QLocalSocket::UnconnectedState)
            deleteLater();
    } else {
        ::send(m_descriptor, MonitorProtocol::PostTaken.constData(), size_t(MonitorProtocol::PostTaken.size()),
               MSG_DONTWAIT | MSG_NOSIGNAL);
        finish();
    }
}

void Post::refuse(const QString &why)
{
    if (std::exchange(m_done, true))
        return;
    Q_EMIT refused(why);
    if (m_socket)
        m_socket->abort();
    finish();
}

void Post::finish()
{
    m_deadline.stop();
    if (!m_socket) {
        ::close(m_descriptor);
        m_descriptor = -1;
    }
    deleteLater();
}
