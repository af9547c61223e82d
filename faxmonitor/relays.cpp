#include "faxmonitor/relays.h"

#include "components/udpsender.h"
#include "core/configfile.h"
#include "core/testdelays.h"
#include "core/topics.h"
#include "faxmonitor/documents.h"
#include "faxmonitor/logging.h"
#include "mqtt/mqttclient.h"
#include "faxmonitor/refusallog.h"
#include "faxmonitor/statekeeper.h"
#include "faxmonitor/textreader.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QTimer>

namespace {

const QStringList DatagramKeys{QStringLiteral("Destinations")};
const QStringList DocumentKeys{QStringLiteral("Publish"), QStringLiteral("Spool"), QStringLiteral("FaxUser"),
                                QStringLiteral("Text"), QStringLiteral("TextPages")};
// What the files may hold at most: far above anything an administrator
// writes, and a bound on what a mistaken path makes the monitor read.
constexpr qint64 MaxConfigSize = 256 * 1024;
constexpr qint64 MaxPasswordFileSize = 4 * 1024;
constexpr qint64 MaxCertificateSize = 1024 * 1024;

const QStringList MqttKeys{QStringLiteral("Broker"), QStringLiteral("CAFile"), QStringLiteral("Topic"),
                           QStringLiteral("Server"), QStringLiteral("ClientId"), QStringLiteral("User"),
                           QStringLiteral("PasswordFile"), QStringLiteral("States")};

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
    if (m_text)
        m_text->stop();
    // The hook was answered OK for these: the journal says they are lost.
    const int waiting = m_mqtt ? m_mqtt->queued() : 0;
    const int documents = m_bulk ? m_bulk->queued() : 0;
    if (waiting + documents > 0 && !std::exchange(m_ended, true))
        qCWarning(lcRelays).noquote()
            << QStringLiteral("MQTT: %1 messages of receptions and %2 of documents not yet taken by the broker are "
                              "lost as the monitor ends")
                   .arg(waiting)
                   .arg(documents);
}

int Relays::destinations() const
{
    int count = int(m_senders.size());
    for (const QList<Destination> &department : m_departmentSenders)
        count += int(department.size());
    return count;
}

void Relays::problem(const QString &text)
{
    qCWarning(lcRelays).noquote() << text;
    m_problems.append(text);
}

bool Relays::load(const QString &path, QString *error)
{
    m_problems.clear();
    setUp(path);
    *error = m_problems.join(QLatin1Char('\n'));
    return m_problems.isEmpty();
}

void Relays::setUp(const QString &path)
{
    QByteArray content;
    QString error;
    bool exists = true;
    if (!ConfigFile::read(path, MaxConfigSize, &content, &error, &exists)) {
        problem(QStringLiteral("%1; no datagrams or MQTT are sent").arg(error));
        return;
    }
    QVariantMap settings;
    if (!exists)
        return;
    if (!ConfigFile::parseIni(content, &settings)) {
        problem(QStringLiteral("cannot read %1: it is not an INI file; no datagrams or MQTT are sent").arg(path));
        return;
    }
    // The departments first: the keys of [Datagrams] and [Groups] name them.
    setUpRouting(content, settings, path);
    bool mqttGroup = false;
    for (auto it = settings.cbegin(); it != settings.cend(); ++it) {
        const QString group = it.key().section(QLatin1Char('/'), 0, 0);
        const QString name = it.key().section(QLatin1Char('/'), 1);
        mqttGroup = mqttGroup || group == QLatin1String("MQTT");
        const bool known = (group == QLatin1String("Datagrams") && DatagramKeys.contains(name))
            || (group == QLatin1String("MQTT") && MqttKeys.contains(name))
            || (group == QLatin1String("Documents") && DocumentKeys.contains(name))
            || group == QLatin1String("Departments") || group == QLatin1String("Routes")
            || ((group == QLatin1String("Datagrams") || group == QLatin1String("Groups")) && m_routing.hasDepartment(name));
        if (!known)
            problem(QStringLiteral("%1: unknown key %2, left alone").arg(path, it.key()));
    }

    for (auto it = settings.cbegin(); it != settings.cend(); ++it) {
        const QString group = it.key().section(QLatin1Char('/'), 0, 0);
        const QString name = it.key().section(QLatin1Char('/'), 1);
        if (group != QLatin1String("Datagrams") || (name != QLatin1String("Destinations") && !m_routing.hasDepartment(name)))
            continue;
        for (const QString &destination : it.value().toStringList()) {
            if (!destination.trimmed().isEmpty())
                addDestination(destination.trimmed(), name == QLatin1String("Destinations") ? QString() : name);
        }
    }
    auto text = [&settings](const char *key, const QString &fallback = QString()) {
        return settings.value(QLatin1String(key), fallback).toString().trimmed();
    };
    const QString broker = text("MQTT/Broker");
    if (!broker.isEmpty()) {
        MqttSettings mqtt;
        mqtt.broker = broker;
        mqtt.caFile = text("MQTT/CAFile");
        mqtt.topic = text("MQTT/Topic", defaultTopic());
        mqtt.server = text("MQTT/Server");
        if (mqtt.server.isEmpty())
            mqtt.server = Topics::serverFromHostName(QSysInfo::machineHostName());
        mqtt.clientId = text("MQTT/ClientId");
        mqtt.user = text("MQTT/User");
        mqtt.passwordFile = text("MQTT/PasswordFile");
        const QString states = text("MQTT/States", QStringLiteral("false"));
        if (states != QLatin1String("true") && states != QLatin1String("false"))
            problem(QStringLiteral("%1: MQTT/States is true or false, not '%2'; no states are kept").arg(path, states));
        m_statesWanted = states == QLatin1String("true");
        setUpMqtt(mqtt);
        if (m_mqtt && m_statesWanted)
            setUpStates();
    } else if (mqttGroup) {
        problem(QStringLiteral("%1: [MQTT] has no Broker; nothing is published").arg(path));
    }
    setUpDocuments(settings, path);
}

void Relays::setUpRouting(const QByteArray &content, const QVariantMap &settings, const QString &path)
{
    QStringList errors;
    if (!m_routing.load(content, &errors)) {
        for (const QString &error : std::as_const(errors))
            problem(QStringLiteral("%1: %2").arg(path, error));
        problem(QStringLiteral("%1: routing is off: every reception goes to the department %2")
                    .arg(path, m_routing.defaultDepartment()));
    } else if (m_routing.departments().size() > 1) {
        qCInfo(lcRelays).noquote() << QStringLiteral("routes receptions to %1 departments with %2 rules; what no rule "
                                                     "takes goes to %3")
                                          .arg(m_routing.departments().size())
                                          .arg(m_routing.rules())
                                          .arg(m_routing.defaultDepartment());
    }
    for (auto it = settings.cbegin(); it != settings.cend(); ++it) {
        if (it.key().section(QLatin1Char('/'), 0, 0) != QLatin1String("Groups"))
            continue;
        const QString department = it.key().section(QLatin1Char('/'), 1);
        const QString group = it.value().toString().trimmed();
        if (m_routing.hasDepartment(department) && !group.isEmpty())
            m_groups.insert(department, group);
        else if (m_routing.hasDepartment(department))
            problem(QStringLiteral("%1: Groups/%2 names no group").arg(path, department));
    }
}

void Relays::setUpDocuments(const QVariantMap &settings, const QString &path)
{
    const QVariant publish = settings.value(QStringLiteral("Documents/Publish"));
    if (publish.toString().trimmed() != QLatin1String("true")
        && settings.value(QStringLiteral("Documents/Text")).toString().trimmed() == QLatin1String("true"))
        problem(QStringLiteral("%1: Documents/Text needs Documents/Publish=true; no texts are read").arg(path));
    if (!publish.isValid() || publish.toString().trimmed() == QLatin1String("false"))
        return;
    if (publish.toString().trimmed() != QLatin1String("true")) {
        problem(QStringLiteral("%1: Documents/Publish is true or false, not '%2'; no documents are published")
                                             .arg(path, publish.toString()));
        return;
    }
    if (!m_mqtt) {
        problem(QStringLiteral("%1: documents travel through the broker, and [MQTT] has none that "
                                                        "can be used; no documents are published")
                                             .arg(path));
        return;
    }
    // The texts' settings are said even where the tools of the documents
    // are missing.
    TextReader::Options textOptions;
    const bool text = readTextSettings(settings, path, &textOptions);
    DocumentMaker::Options options;
    options.spool = settings.value(QStringLiteral("Documents/Spool"), options.spool).toString().trimmed();
    options.faxUser = settings.value(QStringLiteral("Documents/FaxUser"), options.faxUser).toString().trimmed();
    options.timeout = TestDelays::value("convert", options.timeout);
    auto *maker = new DocumentMaker(this);
    QString error;
    if (!maker->setUp(options, &error)) {
        problem(QStringLiteral("documents cannot be made: %1; the receptions go on without them").arg(error));
        delete maker;
        return;
    }
    m_documents = maker;
    // The documents have a connection of their own: a reception published
    // just after a document of some MiB would otherwise wait behind it, on
    // this side and at every desktop.
    MqttClient::Options bulk = m_mqttOptions;
    bulk.clientId += QStringLiteral("-documents");
    bulk.maxQueued = MaxBulkQueued;
    bulk.maxQueuedBytes = MaxBulkQueuedBytes;
    m_bulk = new MqttClient(bulk, this);
    connect(m_bulk, &MqttClient::stateChanged, this, [](const QString &text, bool connected) {
        if (connected)
            qCInfo(lcRelays).noquote() << QStringLiteral("documents: %1").arg(text);
        else
            qCWarning(lcRelays).noquote() << QStringLiteral("documents: %1").arg(text);
    });
    connect(m_bulk, &MqttClient::dropped, this, [](int count) {
        qCWarning(lcRelays).noquote() << QStringLiteral("documents: the broker is away and %1 messages of documents were "
                                                        "dropped, the oldest")
                                             .arg(count);
    });
    connect(maker, &DocumentMaker::made, this, [this](const QString &commId, const QByteArray &pdf, const QByteArray &picture,
                                                      const std::shared_ptr<ReceivedFax> &fax) {
        QString error;
        // Where its reception went; one forgotten (far more documents under
        // way than the monitor makes at once) is not published anywhere else.
        const QStringList departments = m_documentDepartments.value(commId);
        if (departments.isEmpty()) {
            qCWarning(lcRelays).noquote() << QStringLiteral("the document of reception %1 is not published: where its "
                                                            "reception went is no longer known")
                                                 .arg(commId);
            return;
        }
        const qint64 bytes = (pdf.size() + picture.size()) * qint64(departments.size());
        if (!admitDocument(m_bulk->queued() + 2 * (int(departments.size()) - 1), m_bulk->queuedBytes(), bytes, &error)) {
            documentFailed(commId, error);
            return;
        }
        takeDocumentDepartments(commId);
        for (const QString &department : departments) {
            if (!picture.isEmpty())
                m_bulk->publish(Topics::picture(m_root, m_server, department, commId), picture);
            m_bulk->publish(Topics::document(m_root, m_server, department, commId), pdf);
        }
        qCDebug(lcRelays).noquote() << QStringLiteral("published the document of %1 (%2 bytes)").arg(commId).arg(pdf.size());
        // What it says follows, once read.
        if (m_text) {
            m_textDepartments.insert(commId, departments);
            m_text->read(commId, fax);
        }
    });
    connect(maker, &DocumentMaker::failed, this, &Relays::documentFailed);
    qCInfo(lcRelays).noquote() << QStringLiteral("publishes each received document to %1, on a connection of its own")
                                      .arg(Topics::document(m_root, m_server, QStringLiteral("<department>"), QStringLiteral("<commid>")));
    m_bulk->start();
    if (text)
        setUpText(textOptions);
}

bool Relays::readTextSettings(const QVariantMap &settings, const QString &path, TextReader::Options *options)
{
    const QString wanted = settings.value(QStringLiteral("Documents/Text"), QStringLiteral("false")).toString().trimmed();
    if (wanted != QLatin1String("true")) {
        if (wanted != QLatin1String("false"))
            problem(QStringLiteral("%1: Documents/Text is true or false, not '%2'; no texts are read").arg(path, wanted));
        return false;
    }
    bool numeric = false;
    const QVariant pages = settings.value(QStringLiteral("Documents/TextPages"));
    if (pages.isValid()) {
        options->maxPages = pages.toString().trimmed().toInt(&numeric);
        if (!numeric || options->maxPages < 1 || options->maxPages > FaxText::MaxPages) {
            problem(QStringLiteral("%1: Documents/TextPages is a number of pages from 1, not '%2'; 20 are read")
                        .arg(path, pages.toString()));
            options->maxPages = 20;
        }
    }
    options->timeout = TestDelays::value("read", options->timeout);
    return true;
}

void Relays::setUpText(const TextReader::Options &options)
{
    auto *reader = new TextReader(this);
    QString error, warning;
    if (!reader->setUp(options, m_documents->faxPage(), &error, &warning)) {
        problem(QStringLiteral("the faxes' texts cannot be read: %1; documents go without them").arg(error));
        delete reader;
        return;
    }
    if (!warning.isEmpty())
        problem(warning);
    m_text = reader;
    connect(reader, &TextReader::pageRead, this, &Relays::publishText);
    connect(reader, &TextReader::finished, this, [this](const QString &commId) { m_textDepartments.remove(commId); });
    qCInfo(lcRelays).noquote() << QStringLiteral("reads what each fax says (%1, at most %2 pages) and publishes it to %3")
                                      .arg(reader->languages())
                                      .arg(options.maxPages)
                                      .arg(Topics::text(m_root, m_server, QStringLiteral("<department>"),
                                                        QStringLiteral("<commid>")));
}

void Relays::publishText(const QString &commId, const FaxText &text)
{
    const QStringList departments = m_textDepartments.value(commId);
    // Texts take no more than half of the documents' queue: a broker that is
    // away while faxes are read never leaves the next document without room.
    if (!admitText(m_bulk->queued(), int(departments.size()))) {
        qCWarning(lcRelays).noquote() << QStringLiteral("the text of %1 page %2 is not published: %3 messages of "
                                                        "documents wait for the broker")
                                             .arg(commId)
                                             .arg(text.page)
                                             .arg(m_bulk->queued());
        return;
    }
    const QByteArray json = text.toJson();
    qCDebug(lcRelays).noquote() << QStringLiteral("published the text of %1 page %2 to %3").arg(commId).arg(text.page).arg(departments.join(QLatin1Char(',')));
    for (const QString &department : departments)
        m_bulk->publish(Topics::text(m_root, m_server, department, commId), json);
}

bool Relays::admitDocument(int queued, qint64 queuedBytes, qint64 bytes, QString *error)
{
    // A document and its picture; what stays free is for the notices that
    // a document will not come, so that none of those pushes a document
    // out.
    if (queued + 2 > MaxBulkQueued - BulkRoomForNotices
        || queuedBytes + bytes > MaxBulkQueuedBytes - BulkRoomForNotices * 1024) {
        *error = QStringLiteral("%1 messages of documents (%2 bytes) wait for the broker already").arg(queued).arg(queuedBytes);
        return false;
    }
    return true;
}

void Relays::addDestination(const QString &text, const QString &department)
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
        problem(QStringLiteral("datagram destination %1 cannot be used: %2").arg(text, error));
        delete sender;
        return;
    }
    connect(sender, &DatagramSender::error, this, [text](int, const QString &description) {
        qCWarning(lcRelays).noquote() << QStringLiteral("datagrams to %1: %2").arg(text, description);
    });
    if (department.isEmpty()) {
        m_senders.append(Destination{text, sender});
        qCInfo(lcRelays).noquote() << QStringLiteral("sends each reception as a datagram to %1").arg(text);
    } else {
        m_departmentSenders[department].append(Destination{text, sender});
        qCInfo(lcRelays).noquote() << QStringLiteral("sends the department %1's receptions as datagrams to %2")
                                          .arg(department, text);
    }
}

void Relays::setUpMqtt(const MqttSettings &settings)
{
    MqttClient::Options options;
    QString error;
    if (!MqttClient::parseUrl(settings.broker, &options, &error)) {
        problem(QStringLiteral("MQTT cannot be used: %1").arg(error));
        return;
    }
    if (options.tls && settings.caFile.isEmpty()) {
        problem(QStringLiteral("MQTT cannot be used: %1 needs a CAFile").arg(settings.broker));
        return;
    }
    QByteArray content;
    bool exists = true;
    if (!settings.caFile.isEmpty()
        && (!ConfigFile::read(settings.caFile, MaxCertificateSize, &content, &error, &exists) || !exists)) {
        problem(QStringLiteral("MQTT cannot be used: the CA file: %1")
                                             .arg(exists ? error : settings.caFile + QStringLiteral(" is not there")));
        return;
    }
    // The 1.x receptions' topic: published to as it is (for the desktops
    // and tools that read it), and its parent is the layout's root.
    if (!MqttClient::checkTopic(settings.topic, false, &error)) {
        problem(QStringLiteral("MQTT cannot be used: %1").arg(error));
        return;
    }
    if (!Topics::checkLevel(settings.server, &error)) {
        problem(QStringLiteral("MQTT cannot be used: MQTT/Server: %1").arg(error));
        return;
    }
    const QString &caFile = settings.caFile;
    const QString &clientId = settings.clientId;
    const QString &user = settings.user;
    const QString &passwordFile = settings.passwordFile;
    const QString &topic = settings.topic;
    options.caFile = caFile;
    options.clientId = clientId.isEmpty() ? QStringLiteral("kavrel-faxmon-") + QSysInfo::machineHostName() : clientId;
    options.user = user;
    if (!passwordFile.isEmpty()) {
        bool exists = true;
        if (!ConfigFile::read(passwordFile, MaxPasswordFileSize, &content, &error, &exists) || !exists) {
            problem(QStringLiteral("MQTT cannot be used: the password file: %1")
                                                 .arg(exists ? error : passwordFile + QStringLiteral(" is not there")));
            return;
        }
        // The first line, without its line end: blanks may be part of it.
        QByteArray password = content.left(content.indexOf('\n') < 0 ? content.size() : content.indexOf('\n'));
        while (password.endsWith('\r'))
            password.chop(1);
        options.password = QString::fromUtf8(password);
    }
    options.maxRetryDelay = m_maxRetryDelay;
    m_mqttOptions = options;
    // Each reception is two messages: on the layout's topic and on the
    // older one.
    options.maxQueued = 2 * MqttClient::MaxQueued;
    m_topic = topic;
    m_root = Topics::rootOf(topic);
    m_server = settings.server;
    m_mqtt = new MqttClient(options, this);
    announceDepartments();
    connect(m_mqtt, &MqttClient::stateChanged, this, [this](const QString &text, bool connected) {
        if (connected)
            qCInfo(lcRelays).noquote() << text;
        else
            qCWarning(lcRelays).noquote() << text;
        // Again at each connection: a broker that lost what it kept (one
        // without persistence, restarted), or a queue that dropped them
        // while it was away, has them again.
        if (connected && std::exchange(m_announced, true))
            announceDepartments();
    });
    // Said once, then summed up, however long the broker stays away.
    m_drops = new RefusalLog(lcRelays, 60000, true, this);
    connect(m_mqtt, &MqttClient::dropped, this, [this](int count) {
        m_drops->note(QStringLiteral("dropped"),
                      QStringLiteral("MQTT: the broker is away and %1 receptions wait: dropped %2 messages, the oldest")
                          .arg(MqttClient::MaxQueued)
                          .arg(count));
    });
    qCInfo(lcRelays).noquote() << QStringLiteral("publishes each reception to %1, topic %2 (and %3 for older desktops)")
                                      .arg(m_mqtt->describe(), Topics::reception(m_root, m_server, QStringLiteral("<department>")), topic);
    m_mqtt->start();
}

void Relays::send(Destination &destination, const QString &line)
{
    QString error;
    if (destination.sender->sendData(line, &error)) {
        if (std::exchange(destination.failing, false))
            qCInfo(lcRelays).noquote() << QStringLiteral("datagrams to %1 go out again").arg(destination.name);
    } else if (!std::exchange(destination.failing, true)) {
        qCWarning(lcRelays).noquote() << QStringLiteral("datagrams to %1 cannot be sent: %2").arg(destination.name, error);
    }
}

void Relays::setUpStates()
{
    auto *keeper = new StateKeeper(this);
    QString error;
    if (!keeper->open(m_stateFolder + QStringLiteral("/states.sqlite"), &error)) {
        problem(QStringLiteral("%1; no states are kept").arg(error));
        delete keeper;
        return;
    }
    m_states = keeper;
    // A connection of its own: requests come on it, and the states go out
    // on it. A clean session: a request made while the monitor was away is
    // never taken later (its desk has said by then that nothing changed).
    MqttClient::Options options = m_mqttOptions;
    options.clientId += QStringLiteral("-states");
    options.cleanSession = true;
    // Every state of every department, said again at a connection, and what
    // changes meanwhile.
    options.maxQueued = StateKeeper::MaxFaxes * (int(m_routing.departments().size()) + 1);
    m_stateClient = new MqttClient(options, this);
    // This server's requests only: the session the broker keeps holds them.
    m_stateClient->subscribe(Topics::request(m_root, m_server, QStringLiteral("+"), QStringLiteral("+")));
    connect(m_stateClient, &MqttClient::dropped, this, [](int count) {
        qCWarning(lcRelays).noquote() << QStringLiteral("states: the broker is away and %1 messages of states were dropped, "
                                                        "the oldest; all are said again when it is back")
                                             .arg(count);
    });
    m_states->setPublisher([client = m_stateClient](const QString &topic, const QByteArray &payload) {
        client->publish(topic, payload, true);
    }, m_root, m_server);
    connect(m_stateClient, &MqttClient::stateChanged, this, [this](const QString &text, bool connected) {
        if (!connected) {
            qCWarning(lcRelays).noquote() << QStringLiteral("states: %1").arg(text);
            return;
        }
        qCInfo(lcRelays).noquote() << QStringLiteral("states: %1").arg(text);
        // A broker that lost what it kept (or a monitor whose queue was lost
        // as it stopped) has every state again, at every connection.
        m_states->sayAll();
    });
    connect(m_stateClient, &MqttClient::messagesWaiting, this, &Relays::takeRequests);
    qCInfo(lcRelays).noquote() << QStringLiteral("keeps the faxes' states in %1, and takes requests on %2")
                                      .arg(m_stateFolder, Topics::request(m_root, m_server, QStringLiteral("+"), QStringLiteral("+")));
    m_stateClient->start();
}

void Relays::takeRequests()
{
    const QList<MqttClient::Message> messages = m_stateClient->takeMessages(RequestShare, 64 * 1024);
    m_states->batch([&] {
        for (const MqttClient::Message &message : messages) {
            // A request someone left kept at the broker would come again at
            // every connection: only new ones are taken.
            if (message.retained) {
                qCWarning(lcRelays).noquote() << QStringLiteral("refused a request kept by the broker, on %1").arg(message.topic);
                continue;
            }
            m_states->requestMessage(message.topic, message.payload);
        }
    });
    // The next share at the next turn: posts and links get theirs between.
    if (!messages.isEmpty())
        QTimer::singleShot(0, this, &Relays::takeRequests);
}

void Relays::announceDepartments()
{
    // The departments, kept by the broker, so that desktops can offer them
    // by name; and each one's "about", which only its readers get.
    m_mqtt->publish(Topics::departments(m_root, m_server), m_routing.announcement(), true);
    for (const Routing::Department &department : m_routing.departments())
        m_mqtt->publish(Topics::about(m_root, m_server, department.id),
                        QJsonDocument(QJsonObject{{QStringLiteral("id"), department.id}, {QStringLiteral("name"), department.name}})
                            .toJson(QJsonDocument::Compact),
                        true);
}

QStringList Relays::takeDocumentDepartments(const QString &commId)
{
    m_documentOrder.removeOne(commId);
    return m_documentDepartments.take(commId);
}

void Relays::relay(const Reception &reception)
{
    const QStringList departments = m_routing.route(reception);
    if (!m_senders.isEmpty() || !m_departmentSenders.isEmpty()) {
        const QString line = QString::fromUtf8(reception.line());
        // One datagram to each destination, however many of the
        // reception's departments it serves.
        QStringList sent;
        const auto key = [](const Destination &destination) { return QString(destination.name).remove(QLatin1Char(' ')); };
        for (Destination &destination : m_senders) {
            send(destination, line);
            sent.append(key(destination));
        }
        for (const QString &department : departments) {
            const auto found = m_departmentSenders.find(department);
            if (found == m_departmentSenders.end())
                continue;
            for (Destination &destination : *found) {
                if (!sent.contains(key(destination))) {
                    send(destination, line);
                    sent.append(key(destination));
                }
            }
        }
    }
    if (!m_mqtt)
        return;
    // The document is announced only when its file is the fax server's and
    // its conversion under way; the notice goes first, and the document
    // follows once it is made (a post of an older hook has none).
    bool document = false;
    if (m_documents && !reception.badCommId.isEmpty()) {
        qCWarning(lcRelays).noquote() << QStringLiteral("the document of the reception from %1 cannot be published: its "
                                                        "communication id '%2' is not letters and digits; its notice "
                                                        "goes out all the same")
                                             .arg(reception.caller(), reception.badCommId.left(80));
    } else if (m_documents && !reception.commId.isEmpty()) {
        QString error;
        document = m_documents->make(reception, &error);
        if (!document)
            qCWarning(lcRelays).noquote() << QStringLiteral("the document of reception %1 cannot be published: %2; its "
                                                            "notice goes out all the same")
                                                 .arg(reception.commId, error);
    }
    if (document) {
        // Bounded as the documents waiting to be made are.
        if (m_documentOrder.size() >= 4 * MaxBulkQueued)
            m_documentDepartments.remove(m_documentOrder.takeFirst());
        m_documentOrder.removeOne(reception.commId);
        m_documentOrder.append(reception.commId);
        m_documentDepartments.insert(reception.commId, departments);
    }
    if (m_states)
        m_states->add(reception, departments);
    for (const QString &department : departments) {
        m_mqtt->publish(Topics::reception(m_root, m_server, department),
                        document ? reception.json(m_server, Topics::document(m_root, m_server, department, reception.commId),
                                                  Topics::picture(m_root, m_server, department, reception.commId), true)
                                 : reception.json(m_server, QString(), QString(), true));
    }
    // Older desktops take the document topics beside this one, which no
    // longer carry the documents: their message names none.
    m_mqtt->publish(m_topic, reception.json(m_server));
}

void Relays::documentFailed(const QString &commId, const QString &why)
{
    qCWarning(lcRelays).noquote() << QStringLiteral("the document of reception %1 cannot be published: %2; its notice "
                                                    "went out all the same")
                                         .arg(commId, why);
    // The desktops are told that none will come, in the room kept for it;
    // past that the journal alone says it (a notice must never push out a
    // document that is on its way).
    const QStringList departments = takeDocumentDepartments(commId);
    if (departments.isEmpty())
        return; // where its reception went is no longer known: the journal has it
    if (m_bulk->queued() + departments.size() > MaxBulkQueued) {
        qCWarning(lcRelays).noquote() << QStringLiteral("the desktops cannot be told of %1 now: %2 messages of documents "
                                                        "wait for the broker")
                                             .arg(commId)
                                             .arg(m_bulk->queued());
        return;
    }
    QJsonObject said;
    said.insert(QStringLiteral("error"), why);
    for (const QString &department : departments)
        m_bulk->publish(Topics::document(m_root, m_server, department, commId),
                        QJsonDocument(said).toJson(QJsonDocument::Compact));
}
