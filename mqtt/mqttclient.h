#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

struct mosquitto;
struct mosquitto_message;

// A connection to an MQTT broker through libmosquitto (the Eclipse project's
// client), for the fax monitor, which publishes every reception, and for
// kavrel-r, which subscribes to them.
//
// The connection lives on a thread of its own, so that a broker that is
// down, slow or far away (a host name that takes long to look up, a TLS
// handshake that hangs) never holds up the caller's event loop; only that
// thread calls the library. It waits on its socket with poll(), not the
// library's select() loop, which fails outright once a process has more
// than 1024 descriptors (a fax monitor serving many links). Publications
// go with QoS 1 and wait in a bounded queue, in order, until the broker has
// acknowledged them: while the broker is away they are kept, and when it
// comes back they are sent again. When the queue is full the oldest is
// dropped, and that is said. What the connection goes through (connected,
// unreachable, refused) is said once for each change, not once per post.
class MqttClient : public QObject
{
    Q_OBJECT

public:
    // Messages that wait for the broker, at most, unless the options say
    // otherwise.
    static constexpr int MaxQueued = 1000;
    static constexpr qint64 MaxQueuedBytes = 256 * 1024 * 1024;

    struct Options {
        QString host;
        int port = 1883;
        bool tls = false;
        QString caFile;     // with TLS: the authority the broker's certificate is checked against
        QString clientId;   // the library makes one up when empty
        QString user;
        QString password;
        int keepAlive = 30;
        // A subscriber that wants what was published while it was away asks
        // the broker to keep its session (and then needs a client id).
        bool cleanSession = true;
        int connectTimeout = 15000; // milliseconds for the connection and the broker's answer
        int firstRetryDelay = 1000; // milliseconds, doubling up to maxRetryDelay
        int maxRetryDelay = 30000;
        // Messages that may wait for the broker, at most, in number and in
        // bytes; past these the oldest go.
        int maxQueued = MaxQueued;
        // The QoS of the subscriptions. 0 where the broker keeps every
        // message that matters and says it again at each connection: a
        // broker passes on at most its queue's length (some 1,000) of what
        // it keeps to a QoS 1 subscription as it is made, and all of it to
        // one of QoS 0.
        int subscribeQos = 1;
        qint64 maxQueuedBytes = MaxQueuedBytes;
    };

    // Messages from the broker waiting to be taken, at most, in number and
    // in bytes: a flood is taken a share at a time, and past these the
    // oldest go.
    static constexpr int MaxIncoming = 10000;
    static constexpr qint64 MaxIncomingBytes = 128 * 1024 * 1024;

    struct Message {
        QString topic;
        QByteArray payload;
        bool retained = false; // kept by the broker from before, not new
    };

    // Reads "mqtt://host[:port]" (1883) or "mqtts://host[:port]" (8883) into
    // options; false with the reason otherwise.
    static bool parseUrl(const QString &url, Options *options, QString *error);

    // Whether topic can be published to (or, with forSubscription,
    // subscribed to) as the library and the protocol take it: valid UTF-8
    // of at most 65535 bytes, no control characters, and wildcards only in a
    // subscription, where they stand whole.
    static bool checkTopic(const QString &topic, bool forSubscription, QString *error);
    // Whether topic is one that filter (a subscription, with its
    // wildcards) takes.
    static bool topicMatches(const QString &filter, const QString &topic);

    explicit MqttClient(const Options &options, QObject *parent = nullptr);
    ~MqttClient() override;

    // Connects, and keeps connecting whenever the connection is lost.
    void start();
    // Asks the connection's thread to end; stopped() says when it has (a
    // name lookup under way is not cut short). Deleting the client waits
    // for it; deleting it on stopped() does not.
    void stop();
    // Queues one message for topic (QoS 1); with retain, the broker keeps it
    // for whoever subscribes later.
    void publish(const QString &topic, const QByteArray &payload, bool retain = false);
    // Subscribes to topic (QoS 1) on every connection; before start().
    void subscribe(const QString &topic);
    // Takes topic back on every connection, before the subscriptions: a
    // session the broker kept may still hold what an older version
    // subscribed to. Before start().
    void unsubscribe(const QString &topic);
    // Messages not yet acknowledged by the broker, and their bytes.
    int queued() const;
    qint64 queuedBytes() const;
    // Up to count of the messages the broker delivered, oldest first, and
    // no more than bytes of them in all (but always one, when one waits).
    QList<Message> takeMessages(int count, qint64 bytes = MaxIncomingBytes);
    // Messages from the broker that were dropped, the inbox being full.
    qint64 droppedIncoming() const;
    QString describe() const;

Q_SIGNALS:
    // The connection's state changed: what to say about it.
    void stateChanged(const QString &text, bool connected);
    // The queue was full: the oldest waiting messages were dropped.
    void dropped(int count);
    // Messages from the broker wait to be taken (said when the first comes
    // to an empty inbox).
    void messagesWaiting();
    // The broker refused a subscription (its ACL): nothing comes on it.
    void subscriptionRefused(const QString &topic);
    void stopped();

private:
    struct Outgoing {
        QByteArray topic;
        QByteArray payload;
        int mid = 0; // handed to the library, not yet acknowledged; 0 when not sent
        bool retain = false;
    };

    void run();
    // Serves one connection until it is lost or the client stops.
    int serve(mosquitto *connection);
    bool stopping() const { return m_stop.load(); }
    void sendWaiting(mosquitto *connection);
    void wake();
    void setState(const QString &text, bool connected);
    void pause(int milliseconds);

    static void onConnect(mosquitto *, void *self, int result);
    static void onPublish(mosquitto *, void *self, int mid);
    static void onSubscribe(mosquitto *, void *self, int mid, int count, const int *granted);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message);
    static void onLog(mosquitto *, void *self, int level, const char *text);

    const Options m_options;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    int m_wakeFd = -1;         // written when there is something to send, or to stop
    bool m_connected = false;  // the connection's thread only
    std::deque<Outgoing> m_queue;
    qint64 m_queuedBytes = 0;
    std::deque<Message> m_inbox;
    qint64 m_inboxBytes = 0;
    qint64 m_droppedIncoming = 0;
    QList<QByteArray> m_subscriptions;
    QList<QByteArray> m_unsubscriptions;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    // The connection's thread only.
    QString m_state;
    QString m_lastError;
    bool m_refused = false;
    std::map<int, QByteArray> m_subscribing; // subscriptions not yet answered, by message id
};
