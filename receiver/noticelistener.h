#pragma once

#include "receiver/receiversettings.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

class QUdpSocket;

// Listens for the notification datagrams on one UDP port, IPv4 and IPv6,
// unicast and broadcast. The port is shared (SO_REUSEADDR), so that two
// desktop users on one PC each get every broadcast. Datagrams from senders
// the settings do not accept are dropped and counted.
class NoticeListener : public QObject
{
    Q_OBJECT

public:
    explicit NoticeListener(QObject *parent = nullptr);

    // Listens as settings say; false, with the reason, when the port cannot
    // be had: then it goes on as it was.
    bool listen(const ReceiverSettings &settings, QString *error);
    quint16 port() const { return m_port; }
    int dropped() const { return m_dropped; }

Q_SIGNALS:
    // One datagram, decoded from Shift_JIS.
    void received(const QString &text, const QHostAddress &from);

private:
    void readPending(QUdpSocket *socket);
    void close();

    ReceiverSettings m_settings;
    QUdpSocket *m_ipv4 = nullptr;
    QUdpSocket *m_ipv6 = nullptr;
    quint16 m_port = 0;
    int m_dropped = 0;
};
