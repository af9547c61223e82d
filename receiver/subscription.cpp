#include "receiver/subscription.h"

#include "components/shiftjis.h"
#include "core/reception.h"
#include "mqtt/mqttclient.h"
#include "receiver/logging.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QTimer>

#include <algorithm>

#include <unistd.h>

Subscription::Subscription(QObject *parent)
    : QObject(parent)
{
}

void Subscription::apply(const ReceiverSettings &settings)
{
    const bool changed = settings.broker != m_settings.broker || settings.topic != m_settings.topic
        || settings.caFile != m_settings.caFile || settings.user != m_settings.user
        || settings.password != m_settings.password || settings.documents != m_settings.documents;
    m_settings = settings;
    if (!changed && m_client)
        return;
    stop();
    if (settings.broker.trimmed().isEmpty())
        return;
    MqttClient::Options options;
    QString error;
    if (!MqttClient::parseUrl(settings.broker, &options, &error)) {
        qCWarning(lcBroker).noquote() << error;
        return;
    }
    options.caFile = settings.caFile;
    options.user = settings.user;
    options.password = settings.password;
    options.clientId = QStringLiteral("kavrel-r-%1-%2").arg(::getuid()).arg(QSysInfo::machineHostName());
    options.cleanSession = false;
    auto *client = new MqttClient(options, this);
    m_client = client;
    // Queued from the connection's thread: what comes from a connection
    // that has been replaced meanwhile is not heard.
    connect(client, &MqttClient::messagesWaiting, this, [this, client] { takeWaiting(client); });
    connect(client, &MqttClient::stateChanged, this, [this, client](const QString &text, bool connected) {
        if (client != m_client)
            return;
        m_state = text;
        qCInfo(lcBroker).noquote() << text;
        Q_EMIT stateChanged(text, connected);
    });
    client->subscribe(settings.topic);
    if (settings.documents) {
        client->subscribe(settings.documentTopic());
        client->subscribe(settings.pictureTopic());
    }
    client->start();
}

void Subscription::stop()
{
    if (!m_client)
        return;
    // Nothing of the old connection is heard any more, and it goes when its
    // thread has ended: nobody waits for it.
    m_client->disconnect(this);
    m_droppedBefore += m_client->droppedIncoming();
    connect(m_client, &MqttClient::stopped, m_client, &QObject::deleteLater);
    m_client->stop();
    m_client = nullptr;
    m_state.clear();
}

QString Subscription::commIdOf(const QString &topic, const QString &filter) const
{
    if (!MqttClient::topicMatches(filter, topic))
        return QString();
    const QString commId = topic.section(QLatin1Char('/'), -1);
    const bool plain = !commId.isEmpty() && commId.size() <= 64
        && std::all_of(commId.cbegin(), commId.cend(), [](QChar c) { return c.unicode() < 128 && c.isLetterOrNumber(); });
    return plain ? commId : QString();
}

qint64 Subscription::refused() const
{
    return m_refused + m_droppedBefore + (m_client ? m_client->droppedIncoming() : 0);
}

void Subscription::takeWaiting(MqttClient *client)
{
    if (client != m_client)
        return;
    // A share at a time: in a flood the datagrams and the windows still get
    // their turn.
    const QList<MqttClient::Message> messages = client->takeMessages(TakeBatch, TakeBytes);
    for (const MqttClient::Message &message : messages) {
        // An empty message is how a kept message is taken back: no reception.
        if (message.payload.isEmpty())
            continue;
        if (message.retained) {
            // What the broker kept from before is no new reception; the
            // fax monitor never asks it to keep one.
            ++m_refused;
            qCDebug(lcBroker).noquote() << QStringLiteral("left alone a message the broker kept, on %1").arg(message.topic);
            continue;
        }
        // The documents' topics are never receptions, whatever the
        // receptions' topic takes (a wildcard may take them too).
        const QString document = commIdOf(message.topic, m_settings.documentTopic());
        const QString picture = commIdOf(message.topic, m_settings.pictureTopic());
        if (!document.isEmpty() || !picture.isEmpty()) {
            if (!m_settings.documents)
                continue;
            const qsizetype bound = document.isEmpty() ? MaxMessageSize : MaxDocumentSize;
            if (message.payload.size() > bound) {
                ++m_refused;
                qCWarning(lcBroker).noquote() << QStringLiteral("refused a %1 of %2 bytes for %3: over %4 bytes")
                                                     .arg(document.isEmpty() ? QStringLiteral("picture") : QStringLiteral("document"))
                                                     .arg(message.payload.size())
                                                     .arg(document.isEmpty() ? picture : document)
                                                     .arg(bound);
            } else if (!document.isEmpty() && message.payload.startsWith('{')) {
                // The fax monitor could not make it: what it says why.
                const QJsonObject said = QJsonDocument::fromJson(message.payload).object();
                Q_EMIT documentFailed(document, said.value(QStringLiteral("error")).toString().left(200));
            } else if (document.isEmpty()) {
                Q_EMIT this->picture(picture, message.payload);
            } else {
                Q_EMIT this->document(document, message.payload);
            }
            continue;
        }
        if (message.payload.size() > MaxMessageSize) {
            ++m_refused;
            qCWarning(lcBroker).noquote() << QStringLiteral("refused a message of %1 bytes on %2: no reception is that large")
                                                 .arg(message.payload.size())
                                                 .arg(message.topic);
            continue;
        }
        take(message.payload);
    }
    // More may wait (a share is bounded in number and in bytes): the next
    // share at the next turn, until none is left.
    if (!messages.isEmpty())
        QTimer::singleShot(0, this, [this, client] { takeWaiting(client); });
}

void Subscription::take(const QByteArray &payload)
{
    // The fax monitor's JSON carries the line a datagram would; anything else
    // is taken as the text it is.
    const QString line = Reception::lineFromJson(payload);
    const QString commId = m_settings.documents ? Reception::commIdFromJson(payload) : QString();
    // As it reads after the Shift_JIS of a datagram, so that the same line
    // by both roads is the same text ("〜" comes by UDP as "～").
    const QByteArray bytes = toWindowsShiftJis(line.isEmpty() ? QString::fromUtf8(payload) : line);
    if (bytes.size() > MaxTextSize) {
        ++m_refused;
        qCWarning(lcBroker, "refused a reception of %lld bytes: more than a datagram carries", qlonglong(bytes.size()));
        return;
    }
    Q_EMIT received(fromWindowsShiftJis(bytes), m_client->describe(), commId);
}
