#include "components/udpsender.h"

#include "components/shiftjis.h"

#include <QHostInfo>
#include <QTimer>
#include <QScopedValueRollback>
#include <QUdpSocket>
#include <QUrl>

#include <algorithm>

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

QString notAnAddress(const QString &host, const QString &why)
{
    return QStringLiteral("「%1」は送信先として使えません。%2").arg(host, why);
}

const QString Ipv4Form = QStringLiteral("IPv4アドレスは 0～255 の数４つをピリオドで区切って書いてください（例：192.168.1.255）。");

// An IPv4 address in its one usual form: four decimal numbers from 0 to 255,
// separated by dots. The C library also reads "192.168.1" or "21825" as
// addresses, and "010" as octal; an office typing those meant something
// else, so they are refused with the form that is expected.
bool parseIpv4(const QString &name, QHostAddress *address, QString *why)
{
    const QStringList parts = name.split(QLatin1Char('.'));
    quint32 value = 0;
    bool wellFormed = parts.size() == 4;
    for (const QString &part : parts) {
        bool ok = false;
        const uint number = part.toUInt(&ok, 10);
        if (!ok || part.size() > 3 || number > 255 || (part.size() > 1 && part.startsWith(QLatin1Char('0'))))
            wellFormed = false;
        value = value << 8 | (number & 0xff);
    }
    if (!wellFormed) {
        *why = Ipv4Form;
        return false;
    }
    if (value == 0) {
        *why = QStringLiteral("0.0.0.0 にはどこにも届きません。") + Ipv4Form;
        return false;
    }
    address->setAddress(value);
    return true;
}

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

bool isAsciiLetterOrDigit(QChar c)
{
    return isAsciiDigit(c) || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// The last label of a host name is never a number; getaddrinfo would read
// "10.1" or "0x7f.1" as an address. (Checked by hand rather than with a
// regular expression, whose engine the resident program would otherwise
// load and keep for this alone.)
bool looksNumeric(const QString &name)
{
    if (!name.isEmpty()
        && std::all_of(name.cbegin(), name.cend(), [](QChar c) { return isAsciiDigit(c) || c == u'.'; }))
        return true;
    QStringView last(name);
    if (last.endsWith(u'.'))
        last.chop(1);
    last = last.mid(last.lastIndexOf(u'.') + 1);
    if (last.isEmpty())
        return false;
    if (std::all_of(last.cbegin(), last.cend(), isAsciiDigit))
        return true;
    return last.size() >= 2 && last[0] == u'0' && (last[1] == u'x' || last[1] == u'X')
        && std::all_of(last.cbegin() + 2, last.cend(),
                       [](QChar c) { return isAsciiDigit(c) || (c.toLower() >= u'a' && c.toLower() <= u'f'); });
}

// A label of a host name: 1 to 63 letters, digits and hyphens, not starting
// or ending with a hyphen.
bool isValidLabel(QStringView label)
{
    return !label.isEmpty() && label.size() <= 63 && isAsciiLetterOrDigit(label.front())
        && isAsciiLetterOrDigit(label.back())
        && std::all_of(label.cbegin(), label.cend(), [](QChar c) { return isAsciiLetterOrDigit(c) || c == u'-'; });
}

bool isValidHostName(const QString &host)
{
    const QByteArray ace = QUrl::toAce(host);
    if (ace.isEmpty() || ace.size() > 253)
        return false;
    QString name = QString::fromLatin1(ace);
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    const QStringList labels = name.split(QLatin1Char('.'));
    return std::all_of(labels.cbegin(), labels.cend(), [](const QString &l) { return isValidLabel(l); });
}

} // namespace

UdpSender::UdpSender(QObject *parent)
    : DatagramSender(parent)
{
}

void UdpSender::refresh()
{
    if (m_closed || !m_byName || m_lookupId != -1 || m_address.isNull())
        return;
    m_refreshing = true;
    m_lookupId = startLookup(m_host);
}

UdpSender::~UdpSender()
{
    if (m_lookupId != -1)
        QHostInfo::abortHostLookup(m_lookupId);
}

bool UdpSender::setProtocol(int protocol, QString *error)
{
    if (protocol != Udp) {
        *error = QStringLiteral("Invalid property value: protocol %1 is not supported; only 1 (UDP) is").arg(protocol);
        return false;
    }
    m_protocol = protocol;
    return true;
}

bool UdpSender::parseHost(const QString &host, Destination *destination, QString *error)
{
    destination->name = narrowedHost(host);
    destination->address = QHostAddress();
    const QString &name = destination->name;
    QString why;
    if (name.isEmpty()) {
        why = QStringLiteral("送信先のＩＰアドレスが入力されていません。");
    } else if (name.contains(QLatin1Char(':'))) {
        // IPv6; the address's own syntax is unambiguous.
        if (!destination->address.setAddress(name)
            || destination->address.protocol() != QAbstractSocket::IPv6Protocol
            || destination->address.isEqual(QHostAddress::AnyIPv6))
            why = QStringLiteral("IPv6アドレスとして読めません。");
    } else if (looksNumeric(name)) {
        parseIpv4(name, &destination->address, &why);
    } else if (!isValidHostName(name)) {
        why = QStringLiteral("IPアドレスでもホスト名でもありません。") + Ipv4Form;
    }
    if (!why.isEmpty()) {
        *error = notAnAddress(host, why);
        return false;
    }
    return true;
}

bool UdpSender::checkPort(qint32 port, QString *error)
{
    if (port < 1 || port > 65535) {
        *error = QStringLiteral("ポート番号 %1 は使えません（1～65535）。").arg(port);
        return false;
    }
    return true;
}

bool UdpSender::checkDestination(const QString &host, qint32 port, QString *error) const
{
    Destination destination;
    return parseHost(host, &destination, error) && checkPort(port, error);
}

bool UdpSender::setRemoteHost(const QString &host, QString *error)
{
    Destination destination;
    if (!parseHost(host, &destination, error))
        return false;
    dropLookup();
    if (m_refresh)
        m_refresh->stop();
    m_failureReported = false;
    m_host = destination.name;
    m_address = destination.address;
    m_byName = m_address.isNull();
    if (m_address.isNull() && !m_closed)
        m_lookupId = startLookup(m_host);
    return true;
}

bool UdpSender::setRemotePort(qint32 port, QString *error)
{
    if (!checkPort(port, error))
        return false;
    m_port = port;
    return true;
}

bool UdpSender::sendData(const QString &text, QString *error)
{
    // Socket errors inside the call fail the call; they are not raised as the
    // error event as well.
    const QScopedValueRollback<bool> inCall(m_inCall, true);
    if (m_closed) {
        *error = QStringLiteral("The sender has been closed");
        return false;
    }
    if (m_protocol != Udp || m_port == 0) {
        *error = QStringLiteral("The destination has not been configured");
        return false;
    }
    if (m_host.isEmpty()) {
        *error = QStringLiteral("No destination address has been set");
        return false;
    }

    QByteArray datagram = toWindowsShiftJis(text);
    if (datagram.size() > MaxDatagramSize) {
        *error = QStringLiteral("Message too long: %1 bytes (at most %2)").arg(datagram.size()).arg(MaxDatagramSize);
        return false;
    }

    if (m_address.isNull() && m_lookupId == -1) {
        // The name could not be resolved last time; the network may be back,
        // so try again rather than give up on every later reception.
        m_lookupId = startLookup(m_host);
    }
    if (m_lookupId != -1 && !m_refreshing) {
        if (m_held.size() >= MaxHeldDatagrams) {
            *error = QStringLiteral("Still looking up %1; too many sends waiting").arg(m_host);
            return false;
        }
        m_held.append(std::move(datagram));
        return true;
    }
    if (transmit(m_address, datagram, error))
        return true;
    // The name may have moved where the address no longer goes.
    refresh();
    return false;
}

void UdpSender::close()
{
    m_closed = true;
    dropLookup();
    if (m_refresh)
        m_refresh->stop();
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
    QHostAddress found;
    const QList<QHostAddress> addresses = info.addresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            found = address;
            break;
        }
    }
    if (found.isNull() && !addresses.isEmpty())
        found = addresses.first();
    if (!m_refresh) {
        m_refresh = new QTimer(this);
        m_refresh->setSingleShot(true);
        connect(m_refresh, &QTimer::timeout, this, &UdpSender::refresh);
    }
    if (std::exchange(m_refreshing, false)) {
        // A name that does not resolve for a while keeps its last address;
        // it is asked again at the next turn.
        if (info.error() == QHostInfo::NoError && !found.isNull())
            m_address = found;
        m_refresh->start(m_refreshInterval);
        return;
    }
    m_address = found;

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
    m_refresh->start(m_refreshInterval);
    const QScopedValueRollback<bool> inCall(m_inCall, true);
    for (const QByteArray &datagram : held) {
        QString failure;
        int number = 0;
        if (!transmit(m_address, datagram, &failure, &number)) {
            // The caller has long gone; tell the user instead.
            Q_EMIT error(number, failure);
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
    m_refreshing = false;
    m_held.clear();
}

bool UdpSender::transmit(const QHostAddress &address, const QByteArray &datagram, QString *error, int *number)
{
    QUdpSocket *socket = socketFor(address.protocol());
    const qint64 written = socket->writeDatagram(datagram, address, static_cast<quint16>(m_port));
    if (written == datagram.size())
        return true;
    *error = QStringLiteral("Sending to %1 port %2 failed: %3")
                 .arg(address.toString()).arg(m_port).arg(socket->errorString());
    if (number)
        *number = errorNumber(socket->error());
    return false;
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
