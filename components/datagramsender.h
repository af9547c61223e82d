#pragma once

#include <QObject>
#include <QString>

// Error numbers, in the style of the Windows socket errors that receivers'
// administrators know, for the problems the sender reports through error().
namespace SenderErrors {
enum : int {
    SocketError = 10004,
    PermissionDenied = 10013,
    MessageTooLong = 10040,
    NetworkUnreachable = 10051,
    NoBufferSpace = 10055,
    ConnectionRefused = 10061,
    HostNotFound = 11001,
};
}

// What the server needs of its datagram sender. The settings come first
// (protocol, then remote host and port); each send then goes as one datagram
// to the destination set last. A setting or a send that the sender cannot
// carry out fails in the call: it returns false, says why in *error and
// changes nothing. Problems the sender notices later, on its own, come as
// error().
class DatagramSender : public QObject
{
    Q_OBJECT

public:
    enum Protocol { Udp = 1 };

    explicit DatagramSender(QObject *parent = nullptr);

    virtual bool setProtocol(int protocol, QString *error) = 0;
    virtual bool setRemoteHost(const QString &host, QString *error) = 0;
    virtual bool setRemotePort(qint32 port, QString *error) = 0;
    // Whether setRemoteHost(host) followed by setRemotePort(port) would be
    // taken, changing nothing; so a destination can be checked whole before
    // either half of it is applied.
    virtual bool checkDestination(const QString &host, qint32 port, QString *error) const = 0;
    virtual bool sendData(const QString &text, QString *error) = 0;
    virtual void close() = 0;

Q_SIGNALS:
    // A problem the sender noticed on its own, outside any call.
    void error(int number, const QString &description);
};
