#pragma once

#include "core/faxstate.h"
#include "core/faxtext.h"
#include "core/topics.h"
#include "mqtt/mqttclient.h"
#include "receiver/receiversettings.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

// kavrel-r's subscription to the office's MQTT broker, as its settings say:
// one connection for the receptions, and one for the documents when they
// are taken, so that no reception waits behind a document. Each reception the fax monitor publishes there comes out as the text a
// datagram would carry, so that the same reception by both roads is one
// notice. The broker keeps what comes while this desktop is away (logged
// out, asleep, reconnecting), for this user on this PC.
class Subscription : public QObject
{
    Q_OBJECT

public:
    // Messages taken at one turn of the event loop, at most.
    static constexpr int TakeBatch = 256;
    // A message larger than this is no reception (one line fits a datagram).
    static constexpr qsizetype MaxMessageSize = 1024 * 1024;
    // A reception's text is refused when it is larger than a datagram could
    // carry it, as it would be from any other road.
    static constexpr qsizetype MaxTextSize = 65507;
    // A fax's document is refused past this (a hundred pages are a few MiB).
    static constexpr qsizetype MaxDocumentSize = 50 * 1024 * 1024;
    // Fax servers told apart, at most (what a broker says is bounded too).
    static constexpr int MaxServers = 1024;
    // How a fax is known here: its server and its communication id, which
    // is unique on its server only.
    static QString faxKey(const QString &server, const QString &commId);
    // A picture of a first page, 256 pixels wide, is some KiB.
    static constexpr qsizetype MaxPictureSize = 1024 * 1024;
    // Bytes taken at one turn, at most (but always one message): documents
    // are large, and each is written and its picture drawn.
    static constexpr qint64 TakeBytes = 8 * 1024 * 1024;
    // States taken at one turn (small, and said all at once at each
    // connection: taken faster than receptions, so that few are dropped).
    static constexpr int TakeStates = 4096;

    explicit Subscription(QObject *parent = nullptr);

    // Subscribes as settings say, or not at all when they name no broker
    // (or one that cannot be used: the settings dialog refuses such a one).
    // A connection already made is let go when the settings for it change.
    void apply(const ReceiverSettings &settings);
    bool isActive() const { return m_client != nullptr; }
    // Whether requests can be made now (the states' connection is up).
    bool canRequest() const { return m_statesConnected; }
    // The client id this desktop is known by at the broker (several
    // desktops of one process, in tests); its user and host when not given.
    void setClientId(const QString &id) { m_clientId = id; }
    // What the connection went through last; empty while there is none.
    QString state() const { return m_state; }
    MqttClient *client() const { return m_client; }
    // Messages refused since the program started: larger than a reception
    // can be, or a stale one the broker kept (retained), or dropped while
    // too many waited.
    qint64 refused() const;
    // What the fax monitors call their departments, by id.
    const QHash<QString, QString> &departmentNames() const { return m_departmentNames; }
    // Milliseconds after connecting at which the departments that could
    // not be read are told (what the broker keeps comes at once).
    static constexpr int ReadCheckDelay = 5000;

    // Asks the fax monitor that received the fax key (faxKey()) to change
    // its state, as this desktop's user (the broker's user, or the login's
    // where the broker asks none) and person (the settings' name); false,
    // with the reason, when it cannot be asked (no broker, a fax of no
    // fax server).
    bool request(const QString &key, FaxState::Action action, const QString &memo, QString *error);
    // The user requests are made as; empty when there is none that can
    // stand in a topic.
    QString requestUser() const;

Q_SIGNALS:
    // One reception; source names the broker; commId is how its fax is
    // known (faxKey()), when its document follows.
    void received(const QString &text, const QString &source, const QString &commId, const QString &department);
    // The fax monitors told what their departments are called.
    void departmentsChanged();
    // Departments (their names) whose faxes the broker does not pass on to
    // this user, though they were asked for (or, asking for all, though a
    // fax monitor has them): said once a connection, a while after it is made.
    void departmentsUnreadable(const QStringList &names);
    // A reception's document (what it says is not checked here), and the
    // picture of its first page.
    void document(const QString &commId, const QByteArray &pdf);
    void picture(const QString &commId, const QByteArray &png);
    // A page of what the fax says, as its fax monitor read it.
    void text(const QString &commId, const FaxText &text);
    // The fax monitor could not make the document of a reception: none
    // will come.
    void documentFailed(const QString &commId, const QString &error);
    void stateChanged(const QString &text, bool connected);
    // The state of the fax key, as its fax monitor says it (one that is
    // not known, when the monitor let it go).
    // retained: one the broker kept from before (said at each connection),
    // not a change as it happens.
    void faxStateChanged(const QString &key, const FaxState &state, bool retained);
    // The broker refused to pass on what topic brings (its ACL).
    void subscriptionRefused(const QString &topic);

private:
    MqttClient *connectTo(const MqttClient::Options &options);
    void stop();
    // Lets go of the connection that ends a documents' session at the broker.
    void endEnding();
    void takeWaiting(MqttClient *client);
    void takeDocument(const Topics::Address &address, const QByteArray &payload);
    void take(const QByteArray &payload, const QString &topic, const Topics::Address &address);
    void refuse(const QString &what);
    void takeDepartments(const QByteArray &payload);
    void takeState(const Topics::Address &address, const QByteArray &payload, bool retained);
    void checkReadable();

    MqttClient *m_client = nullptr; // receptions
    MqttClient *m_bulk = nullptr;   // documents, when they are taken
    // The faxes' states, and this desk's requests: a clean session, so
    // that a monitor saying every state again never fills what the broker
    // keeps for this desk, nor the receptions' inbox.
    MqttClient *m_states = nullptr;
    bool m_statesConnected = false;
    MqttClient *m_ending = nullptr; // ends the documents' session when they are not
    QSet<QString> m_refusedTold;    // subscriptions the broker refused, said
    ReceiverSettings m_settings;
    QString m_root;
    // The fax servers whose receptions came on the layout's topic.
    QSet<QString> m_layoutServers;
    QStringList m_departments;      // subscribed to ("+" for all)
    QString m_clientId;
    QHash<QString, QString> m_departmentNames;
    QSet<QString> m_readable;       // departments whose "about" came
    QTimer *m_readCheck = nullptr;
    bool m_readableTold = false;
    QString m_state;
    qint64 m_refused = 0;
    qint64 m_droppedBefore = 0; // by clients let go
};
