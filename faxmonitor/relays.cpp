#include "relays.h"

#include "components/mqttclient.h"
#include "components/udpsender.h"
#include "refusallog.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSysInfo>

namespace {

const QStringList DatagramKeys{QStringLiteral("Destinations")};
const QStringList MqttKeys{QStringLiteral("Broker"), QStringLiteral("CAFile"), QStringLiteral("Topic"),
                           QStringLiteral("ClientId"), QStringLiteral("User"), QStringLiteral("PasswordFile")};

} // namespace

Relays::Relays(FaxMonitor::Say say, QObject *parent)
    : QObject(parent)
    , m_say(std::move(say))
{
}

Relays::~Relays()
{
    // The hook was answered OK for these: the journal says they are lost.
    if (m_mqtt && m_mqtt->queued() > 0)
        m_say(QStringLiteral("MQTT: %1 receptions not yet taken by the broker are lost as the monitor ends")
                  .arg(m_mqtt->queued()));
}

void Relays::load(const QString &path)
{
    const QFileInfo file(path);
    if (!file.exists())
        return;
    QFile readable(path);
    if (!file.isFile() || !readable.open(QIODevice::ReadOnly)) {
        m_say(QStringLiteral("cannot read %1 (%2); no datagrams or MQTT are sent")
                  .arg(path, file.isFile() ? readable.errorString() : QStringLiteral("not a file")));
        return;
    }
    readable.close();
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        m_say(QStringLiteral("cannot read %1: it is not an INI file; no datagrams or MQTT are sent").arg(path));
        return;
    }
    for (const QString &key : settings.allKeys()) {
        const QString group = key.section(QLatin1Char('/'), 0, 0);
        const QString name = key.section(QLatin1Char('/'), 1);
        const bool known = (group == QLatin1String("Datagrams") && DatagramKeys.contains(name))
            || (group == QLatin1String("MQTT") && MqttKeys.contains(name));
        if (!known)
            m_say(QStringLiteral("%1: unknown key %2, left alone").arg(path, key));
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
        m_say(QStringLiteral("%1: [MQTT] has no Broker; nothing is published").arg(path));
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
    try {
        if (host.isEmpty() || !numeric)
            throw SenderError(SenderErrors::InvalidPropertyValue, QStringLiteral("write it as address:port"));
        sender->setProtocol(DatagramSender::Udp);
        sender->setRemoteHost(host);
        sender->setRemotePort(port);
    } catch (const SenderError &e) {
        m_say(QStringLiteral("datagram destination %1 cannot be used: %2").arg(text, e.description()));
        delete sender;
        return;
    }
    connect(sender, &DatagramSender::error, this, [this, text](int, const QString &description) {
        m_say(QStringLiteral("datagrams to %1: %2").arg(text, description));
    });
    m_senders.append(Destination{text, sender});
    m_say(QStringLiteral("sends each reception as a datagram to %1").arg(text));
}

void Relays::setUpMqtt(const QString &broker, const QString &caFile, const QString &topic, const QString &clientId,
                       const QString &user, const QString &passwordFile)
{
    MqttClient::Options options;
    QString why;
    if (!MqttClient::parseUrl(broker, &options, &why)) {
        m_say(QStringLiteral("MQTT cannot be used: %1").arg(why));
        return;
    }
    if (options.tls && caFile.isEmpty()) {
        m_say(QStringLiteral("MQTT cannot be used: %1 needs a CAFile").arg(broker));
        return;
    }
    if (!caFile.isEmpty() && !QFileInfo(caFile).isReadable()) {
        m_say(QStringLiteral("MQTT cannot be used: the CA file %1 cannot be read").arg(caFile));
        return;
    }
    if (topic.isEmpty() || topic.contains(QLatin1Char('#')) || topic.contains(QLatin1Char('+'))) {
        m_say(QStringLiteral("MQTT cannot be used: the topic '%1' cannot be published to").arg(topic));
        return;
    }
    options.caFile = caFile;
    options.clientId = clientId.isEmpty() ? QStringLiteral("kavrel-faxmon-") + QSysInfo::machineHostName() : clientId;
    options.user = user;
    if (!passwordFile.isEmpty()) {
        QFile secret(passwordFile);
        if (!secret.open(QIODevice::ReadOnly)) {
            m_say(QStringLiteral("MQTT cannot be used: the password file %1 cannot be read (%2)")
                      .arg(passwordFile, secret.errorString()));
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
    connect(m_mqtt, &MqttClient::stateChanged, this, [this](const QString &text, bool) { m_say(text); });
    // Said once, then summed up, however long the broker stays away.
    m_drops = new RefusalLog(m_say, 60000, this);
    connect(m_mqtt, &MqttClient::dropped, this, [this](int count) {
        m_drops->note(QStringLiteral("dropped"),
                      QStringLiteral("MQTT: the broker is away and %1 receptions wait: dropped %2, the oldest")
                          .arg(MqttClient::MaxQueued)
                          .arg(count));
    });
    m_say(QStringLiteral("publishes each reception to %1, topic %2").arg(m_mqtt->describe(), topic));
    m_mqtt->start();
}

void Relays::relay(const Reception &reception)
{
    if (!m_senders.isEmpty()) {
        const QString line = QString::fromUtf8(reception.line());
        for (Destination &destination : m_senders) {
            try {
                destination.sender->sendData(line);
                if (std::exchange(destination.failing, false))
                    m_say(QStringLiteral("datagrams to %1 go out again").arg(destination.name));
            } catch (const SenderError &e) {
                if (!std::exchange(destination.failing, true))
                    m_say(QStringLiteral("datagrams to %1 cannot be sent: %2").arg(destination.name, e.description()));
            }
        }
    }
    if (m_mqtt)
        m_mqtt->publish(m_topic, reception.json());
}
