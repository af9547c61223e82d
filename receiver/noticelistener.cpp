#include "receiver/noticelistener.h"

#include "components/shiftjis.h"
#include "receiver/logging.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

#include <memory>

NoticeListener::NoticeListener(QObject *parent)
    : QObject(parent)
{
}

void NoticeListener::close()
{
    delete m_ipv4;
    m_ipv4 = nullptr;
    delete m_ipv6;
    m_ipv6 = nullptr;
    m_port = 0;
}

bool NoticeListener::listen(const ReceiverSettings &settings, QString *error)
{
    if (!settings.check(error))
        return false;
    // The new sockets first: when they cannot be had, the old ones go on.
    const auto mode = QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint;
    auto ipv4 = std::make_unique<QUdpSocket>(this);
    if (!ipv4->bind(QHostAddress::AnyIPv4, quint16(settings.port), mode)) {
        *error = QStringLiteral("ポート %1 で受信できません（%2）。").arg(settings.port).arg(ipv4->errorString());
        return false;
    }
    // IPv6 as well where the machine has it.
    auto ipv6 = std::make_unique<QUdpSocket>(this);
    if (!ipv6->bind(QHostAddress::AnyIPv6, quint16(settings.port), mode))
        ipv6.reset();
    close();
    m_settings = settings;
    m_ipv4 = ipv4.release();
    m_ipv6 = ipv6.release();
    m_port = quint16(settings.port);
    qCInfo(lcListener, "listening on UDP port %u%s", m_port, m_ipv6 ? " (IPv4 and IPv6)" : " (IPv4)");
    for (QUdpSocket *socket : {m_ipv4, m_ipv6}) {
        if (socket)
            connect(socket, &QUdpSocket::readyRead, this, [this, socket] { readPending(socket); });
    }
    return true;
}

void NoticeListener::readPending(QUdpSocket *socket)
{
    // A bounded share at a time: in a flood the window still gets its turn
    // (the socket stays readable, so the rest comes at the next one).
    for (int taken = 0; taken < 256 && socket->hasPendingDatagrams(); ++taken) {
        const QNetworkDatagram datagram = socket->receiveDatagram();
        if (!datagram.isValid())
            continue;
        if (!m_settings.accepts(datagram.senderAddress())) {
            ++m_dropped;
            continue;
        }
        Q_EMIT received(fromWindowsShiftJis(datagram.data()), datagram.senderAddress());
    }
}
