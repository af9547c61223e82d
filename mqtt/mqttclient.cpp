#include "mqtt/mqttclient.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QUrl>

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <cstring>

namespace {

std::once_flag libraryReady;

QString reasonOf(int result)
{
    if (result == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString::fromUtf8(mosquitto_strerror(result));
}

} // namespace

bool MqttClient::parseUrl(const QString &url, Options *options, QString *error)
{
    const QUrl parsed(url.trimmed(), QUrl::StrictMode);
    const QString scheme = parsed.scheme();
    // Credentials have their own settings: a password in the address would
    // end up in messages and the journal.
    const QString shown = parsed.isValid() ? parsed.toString(QUrl::RemoveUserInfo) : QStringLiteral("the broker's address");
    if (!parsed.userInfo().isEmpty()) {
        *error = QStringLiteral("%1: give the user and the password in their own settings, not in the address").arg(shown);
        return false;
    }
    if (!parsed.isValid() || (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts"))
        || parsed.host().isEmpty() || (!parsed.path().isEmpty() && parsed.path() != QLatin1String("/"))) {
        *error = QStringLiteral("%1 is not a broker's address (mqtt://host:1883 or mqtts://host:8883)").arg(shown);
        return false;
    }
    options->tls = scheme == QLatin1String("mqtts");
    options->host = parsed.host();
    options->port = parsed.port(options->tls ? 8883 : 1883);
    return true;
}

bool MqttClient::checkTopic(const QString &topic, bool forSubscription, QString *error)
{
    const QByteArray bytes = topic.toUtf8();
    QString why;
    if (bytes.isEmpty())
        why = QStringLiteral("it is empty");
    else if (bytes.size() > 65535)
        why = QStringLiteral("it is %1 bytes long, over the 65535 a topic may have").arg(bytes.size());
    else if (std::any_of(topic.cbegin(), topic.cend(), [](QChar c) { return c.category() == QChar::Other_Control; }))
        why = QStringLiteral("it has a control character (a tab, a line break)");
    else if (mosquitto_validate_utf8(bytes.constData(), int(bytes.size())) != MOSQ_ERR_SUCCESS)
        why = QStringLiteral("it is not valid UTF-8");
    else if ((forSubscription ? mosquitto_sub_topic_check2(bytes.constData(), size_t(bytes.size()))
                              : mosquitto_pub_topic_check2(bytes.constData(), size_t(bytes.size())))
             != MOSQ_ERR_SUCCESS)
        why = forSubscription ? QStringLiteral("its wildcards (+, #) do not stand alone between slashes")
                              : QStringLiteral("a topic to publish to has no wildcards (+, #)");
    if (why.isEmpty())
        return true;
    // Shown as far as it is sane to show.
    *error = QStringLiteral("the topic '%1' cannot be used: %2").arg(topic.left(80), why);
    return false;
}

MqttClient::MqttClient(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

MqttClient::~MqttClient()
{
    stop();
    if (m_thread.joinable())
        m_thread.join();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

QString MqttClient::describe() const
{
    return QStringLiteral("%1://%2:%3").arg(m_options.tls ? QStringLiteral("mqtts") : QStringLiteral("mqtt"),
                                            m_options.host).arg(m_options.port);
}

void MqttClient::start()
{
    std::call_once(libraryReady, [] { mosquitto_lib_init(); });
    if (!m_thread.joinable())
        m_thread = std::thread(&MqttClient::run, this);
}

void MqttClient::stop()
{
    {
        // Under the lock, so that a thread about to pause cannot miss it.
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    wake();
}

void MqttClient::wake()
{
    const quint64 one = 1;
    (void)!::write(m_wakeFd, &one, sizeof one);
    m_wake.notify_all();
}

void MqttClient::publish(const QString &topic, const QByteArray &payload, bool retain)
{
    int dropped = 0;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        // Bounded in number and in bytes (documents are large): the
        // oldest go first.
        while (!m_queue.empty()
               && (m_queue.size() >= size_t(m_options.maxQueued) || m_queuedBytes + payload.size() > m_options.maxQueuedBytes)) {
            m_queuedBytes -= m_queue.front().payload.size();
            m_queue.pop_front();
            ++dropped;
        }
        m_queue.push_back(Outgoing{topic.toUtf8(), payload, 0, retain});
        m_queuedBytes += payload.size();
    }
    wake();
    if (dropped > 0)
        Q_EMIT this->dropped(dropped);
}

void MqttClient::subscribe(const QString &topic)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_subscriptions.append(topic.toUtf8());
}

void MqttClient::unsubscribe(const QString &topic)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_unsubscriptions.append(topic.toUtf8());
}

int MqttClient::queued() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_queue.size());
}

qint64 MqttClient::queuedBytes() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_queuedBytes;
}

void MqttClient::sendWaiting(mosquitto *connection)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_queue.begin(); it != m_queue.end();) {
        if (it->mid != 0) {
            ++it;
            continue;
        }
        int mid = 0;
        const int result = mosquitto_publish(connection, &mid, it->topic.constData(), int(it->payload.size()),
                                             it->payload.constData(), 1, it->retain);
        if (result == MOSQ_ERR_INVAL || result == MOSQ_ERR_MALFORMED_UTF8 || result == MOSQ_ERR_PAYLOAD_SIZE
            || result == MOSQ_ERR_OVERSIZE_PACKET) {
            // No connection will take this one: it goes, rather than hold
            // up every one after it.
            m_lastError = QStringLiteral("a message the broker cannot take was dropped: %1")
                              .arg(QString::fromUtf8(mosquitto_strerror(result)));
            m_queuedBytes -= it->payload.size();
            it = m_queue.erase(it);
            continue;
        }
        if (result != MOSQ_ERR_SUCCESS)
            return; // the connection is going; the rest waits for the next
        it->mid = mid;
        ++it;
    }
}

void MqttClient::setState(const QString &text, bool connected)
{
    if (text == m_state)
        return;
    m_state = text;
    Q_EMIT stateChanged(text, connected);
}

void MqttClient::pause(int milliseconds)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_stop.load(); });
}

int MqttClient::serve(mosquitto *connection)
{
    // The connection is made here, not in the library's blocking call: a
    // broker that drops packets or a TLS handshake that stalls is given up
    // after the timeout, and a stop is heard at once.
    const QDeadlineTimer connectDeadline(m_options.connectTimeout);
    for (;;) {
        if (m_stop)
            return MOSQ_ERR_SUCCESS;
        if (!m_connected && !m_refused && connectDeadline.hasExpired()) {
            m_lastError = QStringLiteral("no answer within %1 s").arg(m_options.connectTimeout / 1000.0);
            return MOSQ_ERR_CONN_LOST;
        }
        if (m_connected)
            sendWaiting(connection);
        const int socket = mosquitto_socket(connection);
        if (socket < 0)
            return MOSQ_ERR_NO_CONN;
        pollfd fds[2] = {{socket, short(POLLIN | (mosquitto_want_write(connection) ? POLLOUT : 0)), 0},
                         {m_wakeFd, POLLIN, 0}};
        // Within a second, for the keep-alive.
        ::poll(fds, 2, 1000);
        if (fds[1].revents & POLLIN) {
            quint64 count;
            (void)!::read(m_wakeFd, &count, sizeof count);
        }
        int result = MOSQ_ERR_SUCCESS;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
            result = mosquitto_loop_read(connection, 1);
        if (result == MOSQ_ERR_SUCCESS && (fds[0].revents & (POLLHUP | POLLERR))) {
            // Refused or broken, and the library did not see it (a TLS
            // connection waiting for its handshake reads nothing and says
            // nothing): poll() would say it again at once, for ever.
            int failure = 0;
            socklen_t length = sizeof failure;
            if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &failure, &length) == 0 && failure != 0)
                m_lastError = QString::fromLocal8Bit(std::strerror(failure));
            return MOSQ_ERR_CONN_LOST;
        }
        if (result == MOSQ_ERR_SUCCESS && (fds[0].revents & POLLOUT))
            result = mosquitto_loop_write(connection, 1);
        if (result == MOSQ_ERR_SUCCESS)
            result = mosquitto_loop_misc(connection);
        if (result != MOSQ_ERR_SUCCESS)
            return result;
    }
}

void MqttClient::run()
{
    int delay = qMin(m_options.firstRetryDelay, m_options.maxRetryDelay);
    const QByteArray host = m_options.host.toUtf8();
    const QByteArray clientId = m_options.clientId.toUtf8();
    while (!m_stop) {
        // A fresh connection each time: the library keeps no messages of
        // its own from the last one, so this queue alone decides what is
        // sent again, and in which order.
        mosquitto *connection = mosquitto_new(clientId.isEmpty() ? nullptr : clientId.constData(),
                                              m_options.cleanSession || clientId.isEmpty(), this);
        if (!connection) {
            setState(QStringLiteral("cannot set up a connection to %1").arg(describe()), false);
            pause(delay);
            continue;
        }
        mosquitto_int_option(connection, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        // Each message goes out as it is written: small messages waiting on
        // the acknowledgement of the last one (Nagle's rule against the
        // broker's delayed acknowledgements) cost some 40 ms a hop.
        mosquitto_int_option(connection, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_connect_callback_set(connection, &MqttClient::onConnect);
        mosquitto_publish_callback_set(connection, &MqttClient::onPublish);
        mosquitto_subscribe_callback_set(connection, &MqttClient::onSubscribe);
        mosquitto_message_callback_set(connection, &MqttClient::onMessage);
        mosquitto_log_callback_set(connection, &MqttClient::onLog);
        m_lastError.clear();
        m_refused = false;
        int result = MOSQ_ERR_SUCCESS;
        if (m_options.tls) {
            result = mosquitto_tls_set(connection, QFile::encodeName(m_options.caFile).constData(), nullptr, nullptr,
                                       nullptr, nullptr);
        }
        if (result == MOSQ_ERR_SUCCESS && !m_options.user.isEmpty())
            result = mosquitto_username_pw_set(connection, m_options.user.toUtf8().constData(),
                                               m_options.password.toUtf8().constData());
        if (result != MOSQ_ERR_SUCCESS) {
            setState(QStringLiteral("cannot use the settings for %1: %2 (the CA file %3?)")
                         .arg(describe(), reasonOf(result), m_options.caFile),
                     false);
        } else if ((result = mosquitto_connect_async(connection, host.constData(), m_options.port,
                                                     m_options.keepAlive))
                   != MOSQ_ERR_SUCCESS) {
            setState(QStringLiteral("cannot reach the broker %1: %2%3")
                         .arg(describe(), reasonOf(result),
                              m_lastError.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(m_lastError)),
                     false);
        } else {
            const bool wasConnected = (result = serve(connection), m_connected);
            if (wasConnected)
                delay = qMin(m_options.firstRetryDelay, m_options.maxRetryDelay);
            if (!m_stop && !m_refused) {
                const QString reason = reasonOf(result)
                    + (m_lastError.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(m_lastError));
                setState(wasConnected ? QStringLiteral("lost the broker %1: %2").arg(describe(), reason)
                                      : QStringLiteral("cannot reach the broker %1: %2").arg(describe(), reason),
                         false);
            }
            m_connected = false;
            // Not acknowledged: sent again on the next connection.
            const std::lock_guard<std::mutex> lock(m_mutex);
            for (Outgoing &outgoing : m_queue)
                outgoing.mid = 0;
        }
        mosquitto_destroy(connection);
        if (m_stop)
            break;
        pause(delay);
        delay = qMin(delay * 2, m_options.maxRetryDelay);
    }
    Q_EMIT stopped();
}

void MqttClient::onConnect(mosquitto *connection, void *self, int result)
{
    auto *client = static_cast<MqttClient *>(self);
    if (result != 0) {
        client->m_refused = true;
        client->setState(QStringLiteral("the broker %1 refused the connection: %2")
                             .arg(client->describe(), QString::fromUtf8(mosquitto_connack_string(result))),
                         false);
        return;
    }
    client->m_connected = true;
    QList<QByteArray> topics;
    QList<QByteArray> stale;
    {
        const std::lock_guard<std::mutex> lock(client->m_mutex);
        topics = client->m_subscriptions;
        stale = client->m_unsubscriptions;
    }
    for (const QByteArray &topic : std::as_const(stale))
        mosquitto_unsubscribe(connection, nullptr, topic.constData());
    client->m_subscribing.clear();
    for (const QByteArray &topic : std::as_const(topics)) {
        int mid = 0;
        if (mosquitto_subscribe(connection, &mid, topic.constData(), client->m_options.subscribeQos) == MOSQ_ERR_SUCCESS)
            client->m_subscribing[mid] = topic;
    }
    client->sendWaiting(connection);
    client->setState(QStringLiteral("connected to the broker %1").arg(client->describe()), true);
}

void MqttClient::onSubscribe(mosquitto *, void *self, int mid, int count, const int *granted)
{
    auto *client = static_cast<MqttClient *>(self);
    const auto it = client->m_subscribing.find(mid);
    if (it == client->m_subscribing.end())
        return;
    const QString topic = QString::fromUtf8(it->second);
    client->m_subscribing.erase(it);
    // 0x80: the broker will pass nothing on (its ACL does not let this
    // user read there); a subscription that takes nothing is no silence.
    if (count > 0 && granted[0] == 0x80)
        Q_EMIT client->subscriptionRefused(topic);
}

void MqttClient::onPublish(mosquitto *, void *self, int mid)
{
    auto *client = static_cast<MqttClient *>(self);
    const std::lock_guard<std::mutex> lock(client->m_mutex);
    for (auto it = client->m_queue.begin(); it != client->m_queue.end(); ++it) {
        if (it->mid == mid) {
            client->m_queuedBytes -= it->payload.size();
            client->m_queue.erase(it);
            return;
        }
    }
}

void MqttClient::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *client = static_cast<MqttClient *>(self);
    bool first = false;
    {
        const std::lock_guard<std::mutex> lock(client->m_mutex);
        while (!client->m_inbox.empty()
               && (client->m_inbox.size() >= size_t(MaxIncoming)
                   || client->m_inboxBytes + message->payloadlen > MaxIncomingBytes)) {
            client->m_inboxBytes -= client->m_inbox.front().payload.size();
            client->m_inbox.pop_front();
            ++client->m_droppedIncoming;
        }
        first = client->m_inbox.empty();
        client->m_inbox.push_back(Message{QString::fromUtf8(message->topic),
                                          QByteArray(static_cast<const char *>(message->payload), message->payloadlen),
                                          message->retain});
        client->m_inboxBytes += message->payloadlen;
    }
    if (first)
        Q_EMIT client->messagesWaiting();
}

QList<MqttClient::Message> MqttClient::takeMessages(int count, qint64 bytes)
{
    QList<Message> taken;
    qint64 takenBytes = 0;
    const std::lock_guard<std::mutex> lock(m_mutex);
    while (!m_inbox.empty() && taken.size() < count
           && (taken.isEmpty() || takenBytes + m_inbox.front().payload.size() <= bytes)) {
        takenBytes += m_inbox.front().payload.size();
        m_inboxBytes -= m_inbox.front().payload.size();
        taken.append(std::move(m_inbox.front()));
        m_inbox.pop_front();
    }
    return taken;
}

bool MqttClient::topicMatches(const QString &filter, const QString &topic)
{
    bool result = false;
    return mosquitto_topic_matches_sub(filter.toUtf8().constData(), topic.toUtf8().constData(), &result)
            == MOSQ_ERR_SUCCESS
        && result;
}

qint64 MqttClient::droppedIncoming() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_droppedIncoming;
}

void MqttClient::onLog(mosquitto *, void *self, int level, const char *text)
{
    // What the library says when a TLS handshake fails, say.
    if (level & MOSQ_LOG_ERR)
        static_cast<MqttClient *>(self)->m_lastError = QString::fromUtf8(text);
}
