#pragma once

#include "receiver/receiversettings.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

class QSocketNotifier;

// Listens for the notification datagrams on one UDP port, IPv4 and IPv6,
// unicast and broadcast. The port is shared (SO_REUSEADDR), so that two
// desktop users on one PC each get every broadcast.
//
// Nothing heard is lost unseen: the receive buffer is enlarged for a burst
// (as far as the kernel allows a user), what the kernel had to drop all the
// same is read from it (SO_RXQ_OVFL) and counted, and so are datagrams from
// senders the settings do not take. A bounded share is read at each turn of
// the event loop, so that the windows keep answering in a flood.
//
// The sockets are the system's own rather than QUdpSocket's, which has no
// way to the kernel's count of drops.
class NoticeListener : public QObject
{
    Q_OBJECT

public:
    // Bytes asked of the kernel for each socket's receive buffer.
    static constexpr int BufferSize = 4 * 1024 * 1024;
    // Datagrams read at one turn of the event loop, at most.
    static constexpr int ReadBatch = 256;

    explicit NoticeListener(QObject *parent = nullptr);
    ~NoticeListener() override;

    // Listens as settings say (the port and the senders taken); false, with
    // the reason, when the port cannot be had: then it goes on as it was.
    bool listen(const ReceiverSettings &settings, QString *error);
    quint16 port() const { return m_port; }
    // Something the user should know of the sockets (IPv6 receptions that
    // another program takes), or the empty text.
    QString warning() const { return m_warning; }
    // The receive buffer the kernel gave, in bytes.
    int bufferSize() const { return m_bufferSize; }
    // Counted since the program started: datagrams from senders not taken,
    // and those the kernel dropped for want of room.
    qint64 refused() const { return m_refused; }
    qint64 lost() const { return m_lost; }

Q_SIGNALS:
    // One datagram, decoded from Shift_JIS.
    void received(const QString &text, const QHostAddress &from);
    // The kernel dropped count datagrams since it last said so.
    void dropped(int count);

private:
    struct Socket {
        int fd = -1;
        QSocketNotifier *notifier = nullptr;
        quint32 drops = 0; // the kernel's count, as last read
    };

    bool open(int family, quint16 port, Socket *socket, QString *error, int *failure);
    void readPending(Socket *socket);
    // The kernel's count of drops for socket is drops now.
    void countDrops(Socket *socket, quint32 drops);
    void close(Socket *socket);

    ReceiverSettings m_settings;
    Socket m_ipv4;
    Socket m_ipv6;
    quint16 m_port = 0;
    QString m_warning;
    int m_bufferSize = 0;
    qint64 m_refused = 0;
    qint64 m_lost = 0;
};
