#pragma once

#include "components/datagramsender.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QList>

class QHostInfo;
class QTimer;
class QUdpSocket;

// The datagram sender on a UDP socket. The destination is an IPv4 address in
// dotted decimal (a subnet broadcast address included), an IPv6 address or a
// host name; a host name is
// resolved in the background, and sends made meanwhile wait for it, in order.
// A name that cannot be resolved is reported once; later sends try it again.
// A name that resolved is looked up again now and then, and after a send
// that failed, so that a name that moves to another address is followed;
// sends go on to the address known meanwhile.
class UdpSender : public DatagramSender
{
    Q_OBJECT

public:
    // The largest payload one IPv4 datagram can carry.
    static constexpr qsizetype MaxDatagramSize = 65507;
    // Sends held while a host name is being resolved, at most.
    static constexpr qsizetype MaxHeldDatagrams = 1024;

    // Milliseconds between lookups of a host name that resolved.
    static constexpr int RefreshInterval = 30000;

    explicit UdpSender(QObject *parent = nullptr);
    void setRefreshInterval(int milliseconds) { m_refreshInterval = milliseconds; }
    ~UdpSender() override;

    bool setProtocol(int protocol, QString *error) override;
    bool setRemoteHost(const QString &host, QString *error) override;
    bool setRemotePort(qint32 port, QString *error) override;
    bool checkDestination(const QString &host, qint32 port, QString *error) const override;
    bool sendData(const QString &text, QString *error) override;
    void close() override;

protected:
    // Starts resolving name in the background; the answer goes to
    // hostLookedUp(). Returns the lookup's id.
    virtual int startLookup(const QString &name);
    virtual void abortLookup(int id);
    void hostLookedUp(const QHostInfo &info);

private:
    struct Destination {
        QString name;          // as given, after full-width forms are narrowed
        QHostAddress address;  // null for a host name
    };
    // Reads an address or host name.
    static bool parseHost(const QString &host, Destination *destination, QString *error);
    static bool checkPort(qint32 port, QString *error);
    // Stops the lookup under way, if any, and drops the sends waiting for it.
    void dropLookup();
    // Looks the host name up again, sends going on to the known address.
    void refresh();
    // With number, the error number of a failure as error() gives it.
    bool transmit(const QHostAddress &address, const QByteArray &datagram, QString *error, int *number = nullptr);
    QUdpSocket *socketFor(QAbstractSocket::NetworkLayerProtocol protocol);
    void socketError(QUdpSocket *socket);

    int m_protocol = 0;
    QString m_host;            // as given, after full-width forms are narrowed
    QHostAddress m_address;    // known once the host is an address or resolved
    bool m_byName = false;     // the host is a name, not an address
    qint32 m_port = 0;
    int m_lookupId = -1;       // a host name lookup under way
    bool m_refreshing = false; // that lookup is a refresh: sends do not wait for it
    int m_refreshInterval = RefreshInterval;
    QTimer *m_refresh = nullptr;
    QList<QByteArray> m_held;  // sends waiting for that lookup
    QUdpSocket *m_socket4 = nullptr;
    QUdpSocket *m_socket6 = nullptr;
    bool m_failureReported = false; // the host name's lookup failed, and the user knows
    bool m_inCall = false;     // errors raised inside a call fail that call
    bool m_closed = false;
};
