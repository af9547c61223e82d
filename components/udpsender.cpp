#include "components/udpsender.h"

#include "components/shiftjis.h"

#include <QHostInfo>
#include <QRegularExpression>
#include <QScopedValueRollback>
#include <QUdpSocket>
#include <QUrl>

namespace {

int errorNumber(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::HostNotFoundError: return SenderErrors::HostNotFound;
    case QAbstractSocket::ConnectionRefusedError: return SenderErrors::ConnectionRefused;
    case QAbstractSocket::SocketAccessError: return SenderErrors::PermissionDenied;
    case QAbstractSocket::SocketResourceError: return SenderErrors::NoBufferSpace;
    case QAbstractSocket::DatagramTooLargeError: return SenderErrors::MessageTooLong;
    case QAbstractSocket::NetworkError: return SenderErrors::NetworkUnreachable;
    default: return SenderErrors::SocketError;
    }
}

// Addresses typed with the Japanese input method on come in full-width forms
// ("１９２．１６８．１．２５５"); NFKC folds those to ASCII.
QString narrowedHost(const QString &host)
{
    return host.normalized(QString::NormalizationForm_KC).trimmed();
}

bool looksNumeric(const QString &host)
{
    static const QRegularExpression numeric(QStringLiteral("^[0-9.]+$"));
    return numeric.match(host).hasMatch();
}

bool isValidHostName(const QString &host)
{
    const QByteArray ace = QUrl::toAce(host);
    if (ace.isEmpty() || ace.size() > 253)
        return false;
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    QString name = QString::fromLatin1(ace);
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    const QStringList labels = name.split(QLatin1Char('.'));
    for (const QString &l : labels) {
        if (!label.match(l).hasMatch())
            return false;
    }
    return true;
}

} // namespace

UdpSender::UdpSender(QObject *parent)
    : DatagramSender(parent)
{
}

UdpSender::~UdpSender()
{
    if (m_lookupId != -1)
        QHostInfo::abortHostLookup(m_lookupId);
}

void UdpSender::setProtocol(int protocol)
{
    if (protocol != Udp) {
        throw SenderError(SenderErrors::InvalidPropertyValue,
                          QStringLiteral("Invalid property value: protocol %1 is not supported; "
                                         "only 1 (UDP) is").arg(protocol));
    }
    m_protocol = protocol;
}

void UdpSender::setRemoteHost(const QString &host)
{
    const QString name = narrowedHost(host);
    QHostAddress address;
    const bool isAddress = !name.isEmpty() && address.setAddress(name);
    if (!name.isEmpty() && !isAddress && (looksNumeric(name) || !isValidHostName(name))) {
        throw SenderError(SenderErrors::InvalidPropertyValue,
                          QStringLiteral("Invalid property value: \"%1\" is neither an IP address "
                                         "nor a host name").arg(host));
    }

    dropLookup();
    m_failureReported = false;
    m_host = name;
    m_address = isAddress ? address : QHostAddress();
    if (!name.isEmpty() && !isAddress && !m_closed)
        m_lookupId = startLookup(name);
}

void UdpSender::setRemotePort(qint32 port)
{
    if (port < 1 || port > 65535) {
        throw SenderError(SenderErrors::InvalidPropertyValue,
                          QStringLiteral("Invalid property value: port %1 is out of range "
                                         "(1 to 65535)").arg(port));
    }
    m_port = port;
}

void UdpSender::sendData(const QString &text)
{
    // Socket errors inside the call fail the call; they are not raised as the
    // error event as well.
    const QScopedValueRollback<bool> inCall(m_inCall, true);
    if (m_closed)
        throw SenderError(SenderErrors::Closed, QStringLiteral("The sender has been closed"));
    if (m_protocol != Udp || m_port == 0) {
        throw SenderError(SenderErrors::NotConfigured,
                          QStringLiteral("The destination has not been configured"));
    }
    if (m_host.isEmpty()) {
        throw SenderError(SenderErrors::DestinationRequired,
                          QStringLiteral("No destination address has been set"));
    }

    QByteArray datagram = toWindowsShiftJis(text);
    if (datagram.size() > MaxDatagramSize) {
        throw SenderError(SenderErrors::MessageTooLong,
                          QStringLiteral("Message too long: %1 bytes (at most %2)")
                              .arg(datagram.size()).arg(MaxDatagramSize));
    }

    if (m_address.isNull() && m_lookupId == -1) {
        // The name could not be resolved last time; the network may be back,
        // so try again rather than give up on every later reception.
        m_lookupId = startLookup(m_host);
    }
    if (m_lookupId != -1) {
        if (m_held.size() >= MaxHeldDatagrams) {
            throw SenderError(SenderErrors::NoBufferSpace,
                              QStringLiteral("Still looking up %1; too many sends waiting").arg(m_host));
        }
        m_held.append(std::move(datagram));
        return;
    }
    transmit(m_address, datagram);
}

void UdpSender::close()
{
    m_closed = true;
    dropLookup();
    for (QUdpSocket *socket : {m_socket4, m_socket6}) {
        if (socket)
            socket->close();
    }
}

void UdpSender::hostLookedUp(const QHostInfo &info)
{
    if (info.lookupId() != m_lookupId)
        return;
    m_lookupId = -1;
    const QList<QByteArray> held = std::exchange(m_held, {});

    // Prefer an IPv4 address: the receivers listen on IPv4.
    const QList<QHostAddress> addresses = info.addresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            m_address = address;
            break;
        }
    }
    if (m_address.isNull() && !addresses.isEmpty())
        m_address = addresses.first();

    if (info.error() != QHostInfo::NoError || m_address.isNull()) {
        m_address = QHostAddress();
        // The user hears of a name once, not at every reception.
        if (std::exchange(m_failureReported, true))
            return;
        QString description = QStringLiteral("Host not found: %1").arg(m_host);
        if (!info.errorString().isEmpty())
            description += QStringLiteral(" (%1)").arg(info.errorString());
        Q_EMIT error(SenderErrors::HostNotFound, description);
        return;
    }

    m_failureReported = false;
    for (const QByteArray &datagram : held) {
        try {
            const QScopedValueRollback<bool> inCall(m_inCall, true);
            transmit(m_address, datagram);
        } catch (const SenderError &e) {
            // The caller has long gone; tell the user instead.
            Q_EMIT error(e.number(), e.description());
            return;
        }
    }
}

int UdpSender::startLookup(const QString &name)
{
    return QHostInfo::lookupHost(name, this, &UdpSender::hostLookedUp);
}

void UdpSender::abortLookup(int id)
{
    QHostInfo::abortHostLookup(id);
}

void UdpSender::dropLookup()
{
    if (m_lookupId != -1) {
        abortLookup(m_lookupId);
        m_lookupId = -1;
    }
    m_held.clear();
}

void UdpSender::transmit(const QHostAddress &address, const QByteArray &datagram)
{
    QUdpSocket *socket = socketFor(address.protocol());
    const qint64 written = socket->writeDatagram(datagram, address, static_cast<quint16>(m_port));
    if (written != datagram.size()) {
        throw SenderError(errorNumber(socket->error()),
                          QStringLiteral("Sending to %1 port %2 failed: %3")
                              .arg(address.toString()).arg(m_port).arg(socket->errorString()));
    }
}

QUdpSocket *UdpSender::socketFor(QAbstractSocket::NetworkLayerProtocol protocol)
{
    // One socket for each address family, made when first needed; Qt enables
    // broadcasting on UDP sockets, so subnet broadcast addresses work.
    QUdpSocket *&socket = protocol == QAbstractSocket::IPv6Protocol ? m_socket6 : m_socket4;
    if (!socket) {
        socket = new QUdpSocket(this);
        connect(socket, &QAbstractSocket::errorOccurred, this, [this, s = socket] { socketError(s); });
    }
    return socket;
}

void UdpSender::socketError(QUdpSocket *socket)
{
    // Errors inside a call fail that call; the rest the user hears of.
    if (m_inCall || m_closed)
        return;
    Q_EMIT error(errorNumber(socket->error()), socket->errorString());
}
