#include "faxmonitor/relays.h"

#include "components/udpsender.h"
#include "faxmonitor/logging.h"
#include "mqtt/mqttclient.h"
#include "faxmonitor/refusallog.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSysInfo>

namespace {

const QStringList DatagramKeys{QStringLiteral("Destinations")};
const QStringList MqttKeys{QStringLiteral("Broker"), QStringLiteral("CAFile"), QStringLiteral("Topic"),
                           QStringLiteral("ClientId"), QStringLiteral("User"), QStringLiteral("PasswordFile")};

} // namespace

Relays::Relays(QObject *parent)
    : QObject(parent)
{
}

Relays::~Relays()
{
    // The hook was answered OK for these: the journal says they are lost.
    if (m_mqtt && m_mqtt->queued() > 0)
        qCWarning(lcRelays).noquote()
            << QStringLiteral("MQTT: %1 receptions not yet taken by the broker are lost as the monitor ends")
                   .arg(m_mqtt->queued());
}

void Relays::load(const QString &path)
{
    const QFileInfo file(path);
    if (!file.exists())
        return;
    QFile readable(path);
    if (!file.isFile() || !readable.open(QIODevice::ReadOnly)) {
        qCWarning(lcRelays).noquote() << QStringLiteral("cannot read %1 (%2); no datagrams or MQTT are sent")
                                             .arg(path, file.isFile() ? readable.errorString() : QStringLiteral("not a file"));
        return;
    }
    readable.close();
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        qCWarning(lcRelays).noquote()
            << QStringLiteral("cannot read %1: it is not an INI file; no datagrams or MQTT are sent").arg(path);
        return;
    }
    for (const QString &key : settings.allKeys()) {
        const QString group = key.section(QLatin1Char('/'), 0, 0);
        const QString name = key.section(QLatin1Char('/'), 1);
        const bool known = (group == QLatin1String("Datagrams") && DatagramKeys.contains(name))
            || (group == QLatin1String("MQTT") && MqttKeys.contains(name));
        if (!known)
            qCWarning(lcRelays).noquote() << QStringLiteral("%1: unknown key %2, left alone").arg(path, key);
    }

    QStringList destinations = settings.value(QStringLiteral("Datagrams/Destinations")).toStringList();
    for (const QString &destination : std::as_const(destinations)) {
        if (!destination.trimmed().isEmpty())
            addDestination(destination.trimmed());
    }
    const QString broker = settings.value(QStringLiteral("MQTT/Broker")).toString().trimmed();
    if (!broker.isEmpty()) {
        setUpMqtt(broker, settings.value(QStringLiteral("MQTT/CAFile")).toString().trimmed(),
                  settings.value(QStringLiteral("MQTT/Topic"), defaultTopic()).toString().trimmed(),
                  settings.value(QStringLiteral("MQTT/ClientId")).toString().trimmed(),
                  settings.value(QStringLiteral("MQTT/User")).toString().trimmed(),
                  settings.value(QStringLiteral("MQTT/PasswordFile")).toString().trimmed());
    } else if (settings.childGroups().contains(QStringLiteral("MQTT"))) {
        qCWarning(lcRelays).noquote() << QStringLiteral("%1: [MQTT] has no Broker; nothing is published").arg(path);
    }
}

void Relays::addDestination(const QString &text)
{
    // host:port, [IPv6 address]:port
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    QString host = colon > 0 ? text.left(colon).trimmed() : QString();
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    bool numeric = false;
    const int port = colon > 0 ? text.mid(colon + 1).trimmed().toInt(&numeric) : 0;
    auto *sender = new UdpSender(this);
    QString error = QStringLiteral("write it as address:port");
    if (host.isEmpty() || !numeric || !sender->setProtocol(DatagramSender::Udp, &error)
        || !sender->setRemoteHost(host, &error) || !sender->setRemotePort(port, &error)) {
        qCWarning(lcRelays).noquote() << QStringLiteral("datagram destination %1 cannot be used: %2").arg(text, error);
        delete sender;
        return;
    }
    connect(sender, &DatagramSender::error, this, [text](int, const QString &description) {
        qCWarning(lcRelays).noquote() << QStringLiteral("datagrams to %1: %2").arg(text, description);
    });
    m_senders.append(Destination{text, sender});
    qCInfo(lcRelays).noquote() << QStringLiteral("sends each reception as a datagram to %1").arg(text);
}

void Relays::setUpMqtt(const QString &broker, const QString &caFile, const QString &topic, const QString &clientId,
                       const QString &user, const QString &passwordFile)
{
    MqttClient::Options options;
    QString error;
    if (!MqttClient::parseUrl(broker, &options, &error)) {
        qCWarning(lcRelays).noquote() << QStringLiteral("MQTT cannot be used: %1").arg(error);
        return;
    }
    if (options.tls && caFile.isEmpty()) {
        qCWarning(lcRelays).noquote() << QStringLiteral("MQTT cannot be used: %1 needs a CAFile").arg(broker);
        return;
    }
    if (!caFile.isEmpty() && !QFileInfo(caFile).isReadable()) {
        qCWarning(lcRelays).noquote() << QStringLiteral("MQTT cannot be used: the CA file %1 cannot be read").arg(caFile);
        return;
    }
    if (topic.isEmpty() || topic.contains(QLatin1Char('#')) || topic.contains(QLatin1Char('+'))) {
        qCWarning(lcRelays).noquote() << QStringLiteral("MQTT cannot be used: the topic '%1' cannot be published to").arg(topic);
        return;
    }
    options.caFile = caFile;
    options.clientId = clientId.isEmpty() ? QStringLiteral("kavrel-faxmon-") + QSysInfo::machineHostName() : clientId;
    options.user = user;
    if (!passwordFile.isEmpty()) {
        QFile secret(passwordFile);
        if (!secret.open(QIODevice::ReadOnly)) {
            qCWarning(lcRelays).noquote() << QStringLiteral("MQTT cannot be used: the password file %1 cannot be read (%2)").arg(passwordFile, secret.errorString());
            return;
        }
        // The first line, without its line end: blanks may be part of it.
        QByteArray password = secret.readLine();
        while (password.endsWith('\n') || password.endsWith('\r'))
            password.chop(1);
        options.password = QString::fromUtf8(password);
    }
    options.maxRetryDelay = m_maxRetryDelay;
    m_topic = topic;
    m_mqtt = new MqttClient(options, this);
    connect(m_mqtt, &MqttClient::stateChanged, this, [](const QString &text, bool connected) {
        if (connected)
            qCInfo(lcRelays).noquote() << text;
        else
            qCWarning(lcRelays).noquote() << text;
    });
    // Said once, then summed up, however long the broker stays away.
    m_drops = new RefusalLog(lcRelays, 60000, true, this);
    connect(m_mqtt, &MqttClient::dropped, this, [this](int count) {
        m_drops->note(QStringLiteral("dropped"),
                      QStringLiteral("MQTT: the broker is away and %1 receptions wait: dropped %2, the oldest")
                          .arg(MqttClient::MaxQueued)
                          .arg(count));
    });
    qCInfo(lcRelays).noquote() << QStringLiteral("publishes each reception to %1, topic %2").arg(m_mqtt->describe(), topic);
    m_mqtt->start();
}

void Relays::relay(const Reception &reception)
{
    if (!m_senders.isEmpty()) {
        const QString line = QString::fromUtf8(reception.line());
        for (Destination &destination : m_senders) {
            QString error;
            if (destination.sender->sendData(line, &error)) {
                if (std::exchange(destination.failing, false))
                    qCInfo(lcRelays).noquote() << QStringLiteral("datagrams to %1 go out again").arg(destination.name);
            } else if (!std::exchange(destination.failing, true)) {
                qCWarning(lcRelays).noquote()
                    << QStringLiteral("datagrams to %1 cannot be sent: %2").arg(destination.name, error);
            }
        }
    }
    if (m_mqtt)
        m_mqtt->publish(m_topic, reception.json());
}
