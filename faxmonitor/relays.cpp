#include "faxmonitor/relays.h"

#include "components/udpsender.h"
#include "core/configfile.h"
#include "core/testdelays.h"
#include "faxmonitor/documents.h"
#include "faxmonitor/logging.h"
#include "mqtt/mqttclient.h"
#include "faxmonitor/refusallog.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>

namespace {

const QStringList DatagramKeys{QStringLiteral("Destinations")};
const QStringList DocumentKeys{QStringLiteral("Publish"), QStringLiteral("Spool"), QStringLiteral("FaxUser")};
// What the files may hold at most: far above anything an administrator
// writes, and a bound on what a mistaken path makes the monitor read.
constexpr qint64 MaxConfigSize = 256 * 1024;
constexpr qint64 MaxPasswordFileSize = 4 * 1024;
constexpr qint64 MaxCertificateSize = 1024 * 1024;

const QStringList MqttKeys{QStringLiteral("Broker"), QStringLiteral("CAFile"), QStringLiteral("Topic"),
                           QStringLiteral("ClientId"), QStringLiteral("User"), QStringLiteral("PasswordFile")};

} // namespace

Relays::Relays(QObject *parent)
    : QObject(parent)
{
}

Relays::~Relays()
{
    end();
}

void Relays::end()
{
    if (m_documents)
        m_documents->stop();
    // The hook was answered OK for these: the journal says they are lost.
    if (m_mqtt && m_mqtt->queued() > 0 && !std::exchange(m_ended, true))
        qCWarning(lcRelays).noquote()
            << QStringLiteral("MQTT: %1 receptions not yet taken by the broker are lost as the monitor ends")
                   .arg(m_mqtt->queued());
}

void Relays::load(const QString &path)
{
    QByteArray content;
    QString error;
    bool exists = true;
    if (!ConfigFile::read(path, MaxConfigSize, &content, &error, &exists)) {
        qCWarning(lcRelays).noquote() << QStringLiteral("%1; no datagrams or MQTT are sent").arg(error);
        return;
    }
    QVariantMap settings;
    if (!exists)
        return;
    if (!ConfigFile::parseIni(content, &settings)) {
        qCWarning(lcRelays).noquote()
            << QStringLiteral("cannot read %1: it is not an INI file; no datagrams or MQTT are sent").arg(path);
        return;
    }
    bool mqttGroup = false;
    for (auto it = settings.cbegin(); it != settings.cend(); ++it) {
        const QString group = it.key().section(QLatin1Char('/'), 0, 0);
        const QString name = it.key().section(QLatin1Char('/'), 1);
        mqttGroup = mqttGroup || group == QLatin1String("MQTT");
        const bool known = (group == QLatin1String("Datagrams") && DatagramKeys.contains(name))
            || (group == QLatin1String("MQTT") && MqttKeys.contains(name))
            || (group == QLatin1String("Documents") && DocumentKeys.contains(name));
        if (!known)
            qCWarning(lcRelays).noquote() << QStringLiteral("%1: unknown key %2, left alone").arg(path, it.key());
    }

    const QStringList destinations = settings.value(QStringLiteral("Datagrams/Destinations")).toStringList();
    for (const QString &destination : destinations) {
        if (!destination.trimmed().isEmpty())
            addDestination(destination.trimmed());
    }
    auto text = [&settings](const char *key, const QString &fallback = QString()) {
        return settings.value(QLatin1String(key), fallback).toString().trimmed();
    };
    const QString broker = text("MQTT/Broker");
    if (!broker.isEmpty()) {
        setUpMqtt(broker, text("MQTT/CAFile"), text("MQTT/Topic", defaultTopic()), text("MQTT/ClientId"),
                  text("MQTT/User"), text("MQTT/PasswordFile"));
    } else if (mqttGroup) {
        qCWarning(lcRelays).noquote() << QStringLiteral("%1: [MQTT] has no Broker; nothing is published").arg(path);
    }
    setUpDocuments(settings, path);
}

void Relays::setUpDocuments(const QVariantMap &settings, const QString &path)
{
    const QVariant publish = settings.value(QStringLiteral("Documents/Publish"));
    if (!publish.isValid() || publish.toString().trimmed() == QLatin1String("false"))
        return;
    if (publish.toString().trimmed() != QLatin1String("true")) {
        qCWarning(lcRelays).noquote() << QStringLiteral("%1: Documents/Publish is true or false, not '%2'; no documents are published")
                                             .arg(path, publish.toString());
        return;
    }
    if (!m_mqtt) {
        qCWarning(lcRelays).noquote() << QStringLiteral("%1: documents travel through the broker, and [MQTT] has none that "
                                                        "can be used; no documents are published")
                                             .arg(path);
        return;
    }
    DocumentMaker::Options options;
    options.spool = settings.value(QStringLiteral("Documents/Spool"), options.spool).toString().trimmed();
    options.faxUser = settings.value(QStringLiteral("Documents/FaxUser"), options.faxUser).toString().trimmed();
    options.timeout = TestDelays::value("convert", options.timeout);
    auto *maker = new DocumentMaker(this);
    QString error;
    if (!maker->setUp(options, &error)) {
        qCWarning(lcRelays).noquote() << QStringLiteral("documents cannot be made: %1; the receptions go on without them").arg(error);
        delete maker;
        return;
    }
    m_documents = maker;
    connect(maker, &DocumentMaker::made, this, [this](const QString &commId, const QByteArray &pdf, const QByteArray &picture) {
        // Documents never take the receptions' room while the broker is
        // away: they have half of what may wait, the receptions all of it.
        if (m_mqtt->queued() + 2 > MqttClient::MaxQueued / 2
            || m_mqtt->queuedBytes() + pdf.size() + picture.size() > MqttClient::MaxQueuedBytes / 2) {
            documentFailed(commId, QStringLiteral("%1 messages wait for the broker already").arg(m_mqtt->queued()));
            return;
        }
        if (!picture.isEmpty())
            m_mqtt->publish(pictureTopic(commId), picture);
        m_mqtt->publish(documentTopic(commId), pdf);
        qCDebug(lcRelays).noquote() << QStringLiteral("published the document of %1 (%2 bytes)").arg(commId).arg(pdf.size());
    });
    connect(maker, &DocumentMaker::failed, this, &Relays::documentFailed);
    qCInfo(lcRelays).noquote() << QStringLiteral("publishes each received document to %1").arg(documentTopic(QStringLiteral("<commid>")));
}

QString Relays::documentTopic(const QString &commId) const
{
    const QString prefix = m_topic.contains(QLatin1Char('/')) ? m_topic.left(m_topic.lastIndexOf(QLatin1Char('/'))) : m_topic;
    return prefix + QStringLiteral("/document/") + commId;
}

QString Relays::pictureTopic(const QString &commId) const
{
    const QString prefix = m_topic.contains(QLatin1Char('/')) ? m_topic.left(m_topic.lastIndexOf(QLatin1Char('/'))) : m_topic;
    return prefix + QStringLiteral("/picture/") + commId;
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
    QByteArray content;
    if (!caFile.isEmpty() && !ConfigFile::read(caFile, MaxCertificateSize, &content, &error)) {
        qCWarning(lcRelays).noquote() << QStringLiteral("MQTT cannot be used: the CA file: %1").arg(error);
        return;
    }
    if (!MqttClient::checkTopic(topic, false, &error)) {
        qCWarning(lcRelays).noquote() << QStringLiteral("MQTT cannot be used: %1").arg(error);
        return;
    }
    options.caFile = caFile;
    options.clientId = clientId.isEmpty() ? QStringLiteral("kavrel-faxmon-") + QSysInfo::machineHostName() : clientId;
    options.user = user;
    if (!passwordFile.isEmpty()) {
        bool exists = true;
        if (!ConfigFile::read(passwordFile, MaxPasswordFileSize, &content, &error, &exists) || !exists) {
            qCWarning(lcRelays).noquote() << QStringLiteral("MQTT cannot be used: the password file: %1")
                                                 .arg(exists ? error : passwordFile + QStringLiteral(" is not there"));
            return;
        }
        // The first line, without its line end: blanks may be part of it.
        QByteArray password = content.left(content.indexOf('\n') < 0 ? content.size() : content.indexOf('\n'));
        while (password.endsWith('\r'))
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
    if (!m_mqtt)
        return;
    // The document is announced only when its file is the fax server's and
    // its conversion under way; the notice goes first, and the document
    // follows once it is made (a post of an older hook has none).
    bool document = false;
    if (m_documents && !reception.commId.isEmpty()) {
        QString error;
        document = m_documents->make(reception, &error);
        if (!document)
            qCWarning(lcRelays).noquote() << QStringLiteral("the document of reception %1 cannot be published: %2; its "
                                                            "notice goes out all the same")
                                                 .arg(reception.commId, error);
    }
    m_mqtt->publish(m_topic, document ? reception.json(documentTopic(reception.commId), pictureTopic(reception.commId))
                                      : reception.json());
}

void Relays::documentFailed(const QString &commId, const QString &why)
{
    qCWarning(lcRelays).noquote() << QStringLiteral("the document of reception %1 cannot be published: %2; its notice "
                                                    "went out all the same")
                                         .arg(commId, why);
    // The desktops are told that none will come.
    QJsonObject said;
    said.insert(QStringLiteral("error"), why);
    m_mqtt->publish(documentTopic(commId), QJsonDocument(said).toJson(QJsonDocument::Compact));
}
