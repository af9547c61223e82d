#pragma once

#include "core/reception.h"
#include "faxmonitor/routing.h"
#include "faxmonitor/textreader.h"
#include "mqtt/mqttclient.h"

#include <QList>
#include <QObject>
#include <QString>

class DocumentMaker;
struct FaxText;
class StateKeeper;
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
//   Server=fax1
//   ClientId=kavrel-faxmon
//   User=faxserver
//   PasswordFile=/etc/kavrel-faxmon.password
//
//   [Documents]
//   Publish=true
//   Spool=/var/spool/hylafax
//   FaxUser=uucp
//   Text=true          ; what each fax says, read with tesseract (TextReader)
//   TextPages=20       ; of a fax, at most
//
// With [Departments] and [Routes] (see Routing), each reception goes to
// the departments it is for: on MQTT under each one's level of the topics
// (receptions, documents and pictures), as datagrams to the destinations
// each department has besides those of every reception, and to the
// kavrel-s of each department's Unix group:
//
//   [Datagrams]
//   Destinations=192.168.1.255:21825     ; every reception
//   sales=192.168.2.255:21825            ; the sales department's
//
//   [Groups]
//   sales=kavrel-sales
//
// Each reception goes as one datagram to every destination, with exactly
// the bytes kavrel-s sends (the same sender), and as one JSON message to the
// broker, on the layout's topic under the parent of Topic (core/topics.h;
// Server names this fax server there, the host name by default) and on
// Topic itself for older desktops. With [Documents], the received fax
// itself follows through the broker (never by datagram): a PDF and a
// picture of its first page, once converted, on a connection of their own,
// so that the notice never waits for them. Nothing here ever holds up a
// post: sends are immediate and the broker is served from threads of its
// own. What cannot be used is said at start; the monitor serves its links
// all the same. Secrets are never said.
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
    // that is unknown or cannot be used, is said (in the journal, and one a
    // line in *error, when false is returned); what can be used is set up
    // all the same.
    bool load(const QString &path, QString *error);
    // Milliseconds between attempts to reach the broker, at most (tests).
    void setMaxRetryDelay(int milliseconds) { m_maxRetryDelay = milliseconds; }
    // Where the faxes' shared states are kept ([MQTT] States=true); before
    // load().
    void setStateFolder(const QString &folder) { m_stateFolder = folder; }
    static QString defaultStateFolder() { return QStringLiteral("/var/lib/kavrel-faxmon"); }
    StateKeeper *states() const { return m_states; }
    // Requests taken at one turn of the event loop, at most: a flood of
    // them never holds a reception up long.
    static constexpr int RequestShare = 64;

    void relay(const Reception &reception);
    // Says what is lost as the monitor ends: receptions the broker has not
    // taken yet.
    void end();

    // Datagram destinations, of every reception and of departments.
    int destinations() const;
    const Routing &routing() const { return m_routing; }
    // The Unix group of each department's people, by department id.
    const QHash<QString, QString> &linkGroups() const { return m_groups; }
    MqttClient *mqtt() const { return m_mqtt; }
    // The connection the documents go on; none without [Documents].
    MqttClient *documents() const { return m_bulk; }
    // Whether a document and its picture, of bytes, may join queued
    // messages of queuedBytes waiting for the broker; *error says why not.
    // Documents have a queue of their own, and always leave room in it for
    // the notices that one will not come.
    static bool admitDocument(int queued, qint64 queuedBytes, qint64 bytes, QString *error);
    // Whether a page's text, in messages, may join queued ones: texts take
    // half the room documents have at most.
    static bool admitText(int queued, int messages) { return queued + messages <= (MaxBulkQueued - BulkRoomForNotices) / 2; }

    static constexpr int MaxBulkQueued = 64;
    static constexpr qint64 MaxBulkQueuedBytes = 256 * 1024 * 1024;
    static constexpr int BulkRoomForNotices = 16;

private:
    struct Destination {
        QString name;
        UdpSender *sender;
        bool failing = false; // said, until a send works again
    };

    void setUp(const QString &path);
    // What cannot be used, said at start.
    void problem(const QString &text);
    void addDestination(const QString &text, const QString &department = QString());
    void send(Destination &destination, const QString &line);
    void setUpRouting(const QByteArray &content, const QVariantMap &settings, const QString &path);
    void announceDepartments();
    void setUpStates();
    void takeRequests();
    QStringList takeDocumentDepartments(const QString &commId);
    void documentFailed(const QString &commId, const QString &why);
    void setUpDocuments(const QVariantMap &settings, const QString &path);
    // Whether texts are read ([Documents] Text), and how; what cannot be
    // used is said.
    bool readTextSettings(const QVariantMap &settings, const QString &path, TextReader::Options *options);
    void setUpText(const TextReader::Options &options);
    void publishText(const QString &commId, const FaxText &text);
    struct MqttSettings {
        QString broker, caFile, topic, server, clientId, user, passwordFile;
    };
    void setUpMqtt(const MqttSettings &settings);

    QStringList m_problems;
    QList<Destination> m_senders;
    QHash<QString, QList<Destination>> m_departmentSenders;
    Routing m_routing;
    QHash<QString, QString> m_groups;
    // The departments of the documents being made, by communication id
    // (a few: as many as are converted or wait to be).
    QHash<QString, QStringList> m_documentDepartments;
    QStringList m_documentOrder;
    MqttClient *m_mqtt = nullptr;    // receptions (and whatever else is small)
    MqttClient *m_bulk = nullptr;    // documents
    MqttClient::Options m_mqttOptions;
    RefusalLog *m_drops = nullptr;
    QString m_topic;  // the 1.x receptions' topic
    QString m_root;
    QString m_server;
    DocumentMaker *m_documents = nullptr;
    TextReader *m_text = nullptr;
    // The departments of the faxes whose text is read or waits to be.
    QHash<QString, QStringList> m_textDepartments;
    int m_maxRetryDelay = 30000;
    bool m_ended = false;
    bool m_announced = false; // once queued at start; again at each connection after
    QString m_stateFolder = defaultStateFolder();
    bool m_statesWanted = false;
    StateKeeper *m_states = nullptr;
    MqttClient *m_stateClient = nullptr; // requests in, states out
};
