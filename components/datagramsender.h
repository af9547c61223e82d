#pragma once

#include <QObject>
#include <QString>

#include <exception>

// A setting or a send that the sender cannot carry out fails in the call with
// this; the callers' error guards catch it.
class SenderError : public std::exception
{
public:
    SenderError(int number, const QString &description);

    int number() const { return m_number; }
    QString description() const { return m_description; }
    const char *what() const noexcept override { return m_what.constData(); }

private:
    int m_number;
    QString m_description;
    QByteArray m_what;
};

// Error numbers, in the style of the Windows socket errors that receivers'
// administrators know.
namespace SenderErrors {
enum : int {
    InvalidPropertyValue = 380,
    Closed = 10038,
    DestinationRequired = 10039,
    MessageTooLong = 10040,
    NetworkDown = 10050,
    NetworkUnreachable = 10051,
    NoBufferSpace = 10055,
    NotConfigured = 10057,
    ConnectionRefused = 10061,
    HostUnreachable = 10065,
    PermissionDenied = 10013,
    HostNotFound = 11001,
    SocketError = 10004,
};
}

// What the server needs of its datagram sender. The settings come first
// (protocol, then remote host and port); each send then goes as one datagram
// to the destination set last.
class DatagramSender : public QObject
{
    Q_OBJECT

public:
    enum Protocol { Udp = 1 };

    explicit DatagramSender(QObject *parent = nullptr);

    virtual void setProtocol(int protocol) = 0;
    virtual void setRemoteHost(const QString &host) = 0;
    virtual void setRemotePort(qint32 port) = 0;
    // Throws SenderError, changing nothing, when setRemoteHost(host) followed
    // by setRemotePort(port) would be refused; so a destination can be
    // checked whole before either half of it is applied.
    virtual void checkDestination(const QString &host, qint32 port) const = 0;
    virtual void sendData(const QString &text) = 0;
    virtual void close() = 0;

Q_SIGNALS:
    // A problem the sender noticed on its own, outside any call.
    void error(int number, const QString &description);
};
