#pragma once

#include "core/reception.h"

#include <QList>
#include <QObject>
#include <QString>

class DocumentMaker;
class MqttClient;
class RefusalLog;
class UdpSender;

// The fax monitor's own relays, for a fax server with no desktop (and so no
// kavrel-s) or an office beyond one subnet, set up in
// /etc/kavrel-faxmon.conf:
//
//   [Datagrams]
//   Destinations=192.168.1.255:21825, 192.168.2.255:21825
//
//   [MQTT]
//   Broker=mqtts://broker.office.example:8883
//   CAFile=/etc/ssl/certs/office-ca.pem
//   Topic=kavrel/fax/received
//   ClientId=kavrel-faxmon
//   User=faxserver
//   PasswordFile=/etc/kavrel-faxmon.password
//
//   [Documents]
//   Publish=true
//   Spool=/var/spool/hylafax
//   FaxUser=uucp
//
// Each reception goes as one datagram to every destination, with exactly
// the bytes kavrel-s sends (the same sender), and as one JSON message to the
// broker. With [Documents], the received fax itself follows through the
// broker (never by datagram): a PDF and a picture of its first page, each
// on a topic of its own beside the receptions' (kavrel/fax/document/<commid>,
// kavrel/fax/picture/<commid>), once converted; the notice never waits for it. Nothing here ever holds up a post: sends are immediate and the
// broker is served from a thread of its own. What cannot be used is said at
// start; the monitor serves its links all the same. Secrets are never said.
class Relays : public QObject
{
    Q_OBJECT

public:
    static QString defaultConfigFile() { return QStringLiteral("/etc/kavrel-faxmon.conf"); }
    static QString defaultTopic() { return QStringLiteral("kavrel/fax/received"); }

    explicit Relays(QObject *parent = nullptr);
    ~Relays() override;

    // Reads the configuration at path and sets the relays up. A file that
    // is missing sets up nothing; one that cannot be read, and every key
    // that is unknown or cannot be used, is said.
    void load(const QString &path);
    // Milliseconds between attempts to reach the broker, at most (tests).
    void setMaxRetryDelay(int milliseconds) { m_maxRetryDelay = milliseconds; }

    void relay(const Reception &reception);
    // Says what is lost as the monitor ends: receptions the broker has not
    // taken yet.
    void end();

    int destinations() const { return int(m_senders.size()); }
    MqttClient *mqtt() const { return m_mqtt; }
    // The topics a reception's document and picture are published to.
    QString documentTopic(const QString &commId) const;
    QString pictureTopic(const QString &commId) const;

private:
    struct Destination {
        QString name;
        UdpSender *sender;
        bool failing = false; // said, until a send works again
    };

    void addDestination(const QString &text);
    void documentFailed(const QString &commId, const QString &why);
    void setUpDocuments(const QVariantMap &settings, const QString &path);
    void setUpMqtt(const QString &broker, const QString &caFile, const QString &topic, const QString &clientId,
                   const QString &user, const QString &passwordFile);

    QList<Destination> m_senders;
    MqttClient *m_mqtt = nullptr;
    RefusalLog *m_drops = nullptr;
    QString m_topic;
    DocumentMaker *m_documents = nullptr;
    int m_maxRetryDelay = 30000;
    bool m_ended = false;
};
