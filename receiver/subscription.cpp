#include "receiver/subscription.h"

#include "components/shiftjis.h"
#include "core/reception.h"
#include "core/testdelays.h"
#include "core/topics.h"
#include "mqtt/mqttclient.h"
#include "receiver/logging.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QSysInfo>
#include <QTimer>

#include <unistd.h>

Subscription::Subscription(QObject *parent)
    : QObject(parent)
    , m_readCheck(new QTimer(this))
{
    m_readCheck->setSingleShot(true);
    m_readCheck->setInterval(TestDelays::value("readcheck", ReadCheckDelay));
    connect(m_readCheck, &QTimer::timeout, this, &Subscription::checkReadable);
}

void Subscription::apply(const ReceiverSettings &settings)
{
    const bool changed = settings.broker != m_settings.broker || settings.topic != m_settings.topic
        || settings.caFile != m_settings.caFile || settings.user != m_settings.user
        || settings.password != m_settings.password || settings.documents != m_settings.documents
        || settings.departments != m_settings.departments;
    const QString previousRoot = m_root;
    m_settings = settings;
    m_root = settings.topic.trimmed();
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
    options.clientId = m_clientId.isEmpty() ? QStringLiteral("kavrel-r-%1-%2").arg(::getuid()).arg(QSysInfo::machineHostName())
                                            : m_clientId;
    options.cleanSession = false;
    m_client = connectTo(options);
    // The broker keeps this session's subscriptions: what 1.x subscribed to
    // (a wildcard such as kavrel/# would bring the documents here too, and
    // its documents' topics have moved), and those of a root given up.
    if (!settings.storedTopic.isEmpty()) {
        const QString oldRoot = Topics::rootOf(settings.storedTopic);
        if (settings.storedTopic != Topics::oldReception(m_root))
            m_client->unsubscribe(settings.storedTopic);
        m_client->unsubscribe(oldRoot + QStringLiteral("/document/+"));
        m_client->unsubscribe(oldRoot + QStringLiteral("/picture/+"));
    }
    // The departments taken before, when they are no longer (the broker
    // keeps the session's subscriptions).
    const QStringList departments = settings.departments.isEmpty() ? QStringList{QStringLiteral("+")} : settings.departments;
    QStringList before = m_departments;
    m_departments = departments;
    // Every department's, as a session of before may have taken them (the
    // settings changed while the program was off).
    if (!settings.departments.isEmpty() && !before.contains(QStringLiteral("+")))
        before.append(QStringLiteral("+"));
    const QString oldRoot = previousRoot.isEmpty() ? m_root : previousRoot;
    for (const QString &department : before) {
        if (oldRoot != m_root || !departments.contains(department)) {
            m_client->unsubscribe(Topics::filter(oldRoot, Topics::Kind::Reception, department));
            m_client->unsubscribe(Topics::filter(oldRoot, Topics::Kind::About, department));
            m_client->unsubscribe(Topics::filter(oldRoot, Topics::Kind::State, department));
        }
    }
    if (!previousRoot.isEmpty() && previousRoot != m_root) {
        m_client->unsubscribe(Topics::filter(previousRoot, Topics::Kind::Reception));
        m_client->unsubscribe(Topics::oldReception(previousRoot));
        m_client->unsubscribe(Topics::filter(previousRoot, Topics::Kind::Departments));
    }
    // The receptions of every fax server, of the departments taken; and,
    // taking them all, those of the monitors that publish as 1.x did (the
    // older topic carries every department's).
    for (const QString &department : departments)
        m_client->subscribe(Topics::filter(m_root, Topics::Kind::Reception, department));
    if (settings.departments.isEmpty())
        m_client->subscribe(Topics::oldReception(m_root));
    else
        m_client->unsubscribe(Topics::oldReception(m_root));
    // What each fax server's departments are called (kept by the broker),
    // and which of them this user may read.
    m_client->subscribe(Topics::filter(m_root, Topics::Kind::Departments));
    for (const QString &department : departments) {
        m_client->subscribe(Topics::filter(m_root, Topics::Kind::About, department));
        // The states come on a connection of their own.
        m_client->unsubscribe(Topics::filter(m_root, Topics::Kind::State, department));
    }
    m_readable.clear();
    m_readCheck->stop();
    m_readableTold = false;
    connect(m_client, &MqttClient::stateChanged, this, [this, client = m_client](const QString &text, bool connected) {
        if (client != m_client)
            return;
        m_state = text;
        qCInfo(lcBroker).noquote() << text;
        if (connected && !m_readableTold)
            m_readCheck->start();
        Q_EMIT stateChanged(text, connected);
    });
    // Who has each fax, as its monitor decides (kept by the broker: each
    // comes again at every connection, so nothing is kept for this desk,
    // and they are taken at QoS 0, which the broker passes on all of).
    MqttClient::Options statesOptions = options;
    statesOptions.clientId += QStringLiteral("-states");
    statesOptions.cleanSession = true;
    statesOptions.subscribeQos = 0;
    m_states = connectTo(statesOptions);
    for (const QString &department : departments)
        m_states->subscribe(Topics::filter(m_root, Topics::Kind::State, department));
    connect(m_states, &MqttClient::stateChanged, this, [this, client = m_states](const QString &text, bool connected) {
        if (client != m_states)
            return;
        m_statesConnected = connected;
        if (connected)
            qCInfo(lcBroker).noquote() << QStringLiteral("states: %1").arg(text);
        else
            qCWarning(lcBroker).noquote() << QStringLiteral("states: %1").arg(text);
    });
    m_states->start();
    // A connection of their own for the documents: a reception never waits
    // behind a document of some MiB, at the broker or on the way here.
    options.clientId += QStringLiteral("-documents");
    if (settings.documents) {
        m_bulk = connectTo(options);
        for (const QString &department : before) {
            if (oldRoot != m_root || !departments.contains(department)) {
                m_bulk->unsubscribe(Topics::filter(oldRoot, Topics::Kind::Document, department));
                m_bulk->unsubscribe(Topics::filter(oldRoot, Topics::Kind::Picture, department));
                m_bulk->unsubscribe(Topics::filter(oldRoot, Topics::Kind::Text, department));
            }
        }
        for (const QString &department : departments) {
            m_bulk->subscribe(Topics::filter(m_root, Topics::Kind::Document, department));
            m_bulk->subscribe(Topics::filter(m_root, Topics::Kind::Picture, department));
            m_bulk->subscribe(Topics::filter(m_root, Topics::Kind::Text, department));
        }
        connect(m_bulk, &MqttClient::stateChanged, this, [this, client = m_bulk](const QString &text, bool connected) {
            if (client != m_bulk)
                return;
            if (connected)
                qCInfo(lcBroker).noquote() << QStringLiteral("documents: %1").arg(text);
            else
                qCWarning(lcBroker).noquote() << QStringLiteral("documents: %1").arg(text);
        });
        m_bulk->start();
    } else {
        // Documents not taken: a session the broker kept for them (they
        // were taken once) would have it keep every fax for this desktop.
        // One clean connection ends it.
        options.cleanSession = true;
        m_ending = new MqttClient(options, this);
        connect(m_ending, &MqttClient::stateChanged, this, [this](const QString &, bool connected) {
            if (connected)
                endEnding();
        });
        m_ending->start();
    }
    m_client->start();
}

MqttClient *Subscription::connectTo(const MqttClient::Options &options)
{
    auto *client = new MqttClient(options, this);
    // Queued from the connection's thread: what comes from a connection
    // that has been replaced meanwhile is not heard.
    connect(client, &MqttClient::messagesWaiting, this, [this, client] { takeWaiting(client); });
    connect(client, &MqttClient::subscriptionRefused, this, [this](const QString &topic) {
        // Once while these settings stand, not at every connection.
        if (m_refusedTold.contains(topic) || m_refusedTold.size() >= MaxServers)
            return;
        m_refusedTold.insert(topic);
        const QString text = QStringLiteral("the broker %1 refused to pass on %2 to this user (its ACL)")
                                 .arg(m_client ? m_client->describe() : QString(), topic);
        qCWarning(lcBroker).noquote() << text;
        Q_EMIT subscriptionRefused(topic);
    });
    return client;
}

void Subscription::endEnding()
{
    if (!m_ending)
        return;
    m_ending->disconnect(this);
    connect(m_ending, &MqttClient::stopped, m_ending, &QObject::deleteLater);
    m_ending->stop();
    m_ending = nullptr;
}

void Subscription::stop()
{
    // Before a documents' connection is made again: its clean start would
    // end that one's session.
    endEnding();
    m_refusedTold.clear();
    m_readCheck->stop();
    m_statesConnected = false;
    for (MqttClient **client : {&m_client, &m_bulk, &m_states}) {
        if (!*client)
            continue;
        // Nothing of the old connection is heard any more, and it goes when
        // its thread has ended: nobody waits for it.
        (*client)->disconnect(this);
        m_droppedBefore += (*client)->droppedIncoming();
        connect(*client, &MqttClient::stopped, *client, &QObject::deleteLater);
        (*client)->stop();
        *client = nullptr;
    }
    m_state.clear();
}

qint64 Subscription::refused() const
{
    return m_refused + m_droppedBefore + (m_client ? m_client->droppedIncoming() : 0)
        + (m_bulk ? m_bulk->droppedIncoming() : 0) + (m_states ? m_states->droppedIncoming() : 0);
}

void Subscription::refuse(const QString &what)
{
    ++m_refused;
    qCWarning(lcBroker).noquote() << what;
}

void Subscription::takeWaiting(MqttClient *client)
{
    if (client != m_client && client != m_bulk && client != m_states)
        return;
    // A share at a time: in a flood the datagrams and the windows still get
    // their turn.
    const QList<MqttClient::Message> messages = client->takeMessages(client == m_states ? TakeStates : TakeBatch, TakeBytes);
    for (const MqttClient::Message &message : messages) {
        // Known by its topic alone, whatever subscription brought it (an
        // older version's session at the broker may still hold wildcards).
        const Topics::Address address = Topics::parse(m_root, message.topic);
        if (address.kind == Topics::Kind::State) {
            if (m_departments.contains(QStringLiteral("+")) || m_departments.contains(address.department))
                takeState(address, message.payload, message.retained);
            continue;
        }
        // An empty message is how a kept message is taken back: no reception.
        if (message.payload.isEmpty())
            continue;
        if (address.kind == Topics::Kind::Departments) {
            takeDepartments(message.payload);
            continue;
        }
        if (address.kind == Topics::Kind::About) {
            if (m_readable.size() < MaxServers)
                m_readable.insert(address.department);
            continue;
        }
        // Only the departments taken (a session of before may bring others).
        if (!address.department.isEmpty() && !m_departments.contains(QStringLiteral("+"))
            && !m_departments.contains(address.department))
            continue;
        switch (address.kind) {
        case Topics::Kind::Reception:
        case Topics::Kind::OldReception:
        case Topics::Kind::Document:
        case Topics::Kind::Picture:
        case Topics::Kind::Text:
            break;
        default:
            qCDebug(lcBroker).noquote() << QStringLiteral("left alone a message on %1: no reception or document").arg(message.topic);
            continue;
        }
        if (message.retained) {
            // What the broker kept from before is no new reception; the
            // fax monitor never asks it to keep one.
            ++m_refused;
            qCDebug(lcBroker).noquote() << QStringLiteral("left alone a message the broker kept, on %1").arg(message.topic);
            continue;
        }
        if (address.kind == Topics::Kind::Text) {
            FaxText text;
            QString error;
            if (!m_settings.documents)
                continue;
            if (FaxText::fromJson(message.payload, &text, &error)) {
                qCDebug(lcBroker).noquote() << QStringLiteral("took page %1 of the text of %2").arg(text.page).arg(message.topic);
                Q_EMIT this->text(faxKey(address.server, address.commId), text);
            }
            else
                refuse(QStringLiteral("refused a message on %1: %2").arg(message.topic, error));
            continue;
        }
        if (address.kind == Topics::Kind::Document || address.kind == Topics::Kind::Picture) {
            if (m_settings.documents)
                takeDocument(address, message.payload);
            continue;
        }
        if (message.payload.size() > MaxMessageSize) {
            refuse(QStringLiteral("refused a message of %1 bytes on %2: no reception is that large")
                       .arg(message.payload.size())
                       .arg(message.topic));
            continue;
        }
        // A monitor of this version publishes each reception on the 1.x
        // topic too, naming its server, after the layout's: once the
        // layout's topic has brought that server's receptions here, its
        // copies are left alone. Until then they are taken (a broker's ACL
        // or a branch's bridge may carry the 1.x topic alone).
        if (address.kind == Topics::Kind::OldReception) {
            const QString server = QJsonDocument::fromJson(message.payload).object().value(QStringLiteral("server")).toString();
            if (!server.isEmpty() && m_layoutServers.contains(server))
                continue;
        } else {
            if (!m_layoutServers.contains(address.server) && m_layoutServers.size() < MaxServers)
                m_layoutServers.insert(address.server);
        }
        take(message.payload, message.topic, address);
    }
    // More may wait (a share is bounded in number and in bytes): the next
    // share at the next turn, until none is left.
    if (!messages.isEmpty())
        QTimer::singleShot(0, this, [this, client] { takeWaiting(client); });
}

void Subscription::takeDocument(const Topics::Address &address, const QByteArray &payload)
{
    const bool document = address.kind == Topics::Kind::Document;
    const qsizetype bound = document ? MaxDocumentSize : MaxPictureSize;
    // A communication id is unique on its fax server only.
    const QString key = faxKey(address.server, address.commId);
    if (payload.size() > bound) {
        refuse(QStringLiteral("refused a %1 of %2 bytes for %3: over %4 bytes")
                   .arg(document ? QStringLiteral("document") : QStringLiteral("picture"))
                   .arg(payload.size())
                   .arg(key)
                   .arg(bound));
    } else if (document && payload.startsWith('{')) {
        // The fax monitor could not make it: what it says why.
        const QJsonObject said = QJsonDocument::fromJson(payload).object();
        Q_EMIT documentFailed(key, said.value(QStringLiteral("error")).toString().left(200));
    } else if (document) {
        Q_EMIT this->document(key, payload);
    } else {
        Q_EMIT picture(key, payload);
    }
}

QString Subscription::faxKey(const QString &server, const QString &commId)
{
    return server + QLatin1Char('/') + commId;
}

void Subscription::take(const QByteArray &payload, const QString &topic, const Topics::Address &address)
{
    // Text, or nothing: whatever is not (a file, a picture) is never shown
    // as a reception.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(payload);
    if (decoder.hasError() || payload.contains('\0')) {
        refuse(QStringLiteral("refused a message of %1 bytes on %2: it is not text").arg(payload.size()).arg(topic));
        return;
    }
    // The fax monitor's JSON carries the line a datagram would; anything else
    // is taken as the text it is.
    const QString line = Reception::lineFromJson(payload);
    // How the fax is known on the layout's topics of its server (its
    // document, its state): a reception of the 1.x topic has none.
    bool documentFollows = false;
    const QString commId =
        address.kind == Topics::Kind::Reception ? Reception::commIdFromJson(payload, &documentFollows) : QString();
    // As it reads after the Shift_JIS of a datagram, so that the same line
    // by both roads is the same text ("〜" comes by UDP as "～").
    const QByteArray bytes = toWindowsShiftJis(line.isEmpty() ? text : line);
    if (bytes.size() > MaxTextSize) {
        refuse(QStringLiteral("refused a reception of %1 bytes: more than a datagram carries").arg(bytes.size()));
        return;
    }
    const QString key = commId.isEmpty() ? QString() : faxKey(address.server, commId);
    Q_EMIT received(fromWindowsShiftJis(bytes), m_client->describe(), key, address.department);
    // A reception whose fax the monitor does not publish (it does not
    // publish faxes, or could not use this one's file): the history says
    // that none will come, rather than wait for one.
    if (!key.isEmpty() && m_settings.documents && !documentFollows)
        Q_EMIT documentFailed(key, QStringLiteral("FAX モニターから文書は送られません"));
}

void Subscription::checkReadable()
{
    // Those asked for by name; asking for all, those the fax monitors have.
    QStringList wanted = m_departments;
    if (wanted.contains(QStringLiteral("+")))
        wanted = m_departmentNames.keys();
    QStringList unreadable;
    for (const QString &department : std::as_const(wanted)) {
        if (!m_readable.contains(department))
            unreadable.append(m_departmentNames.value(department, department));
    }
    unreadable.sort();
    if (!unreadable.isEmpty()) {
        // Once for these settings, not at every reconnection.
        m_readableTold = true;
        qCWarning(lcBroker).noquote() << QStringLiteral("the broker passes on nothing of the departments %1")
                                             .arg(unreadable.join(QStringLiteral(", ")));
        Q_EMIT departmentsUnreadable(unreadable);
    }
}

void Subscription::takeDepartments(const QByteArray &payload)
{
    // {"default": id, "departments": [{"id": …, "name": …}, …]}, kept by
    // the broker; bounded as the fax servers are.
    if (payload.size() > 64 * 1024)
        return;
    bool changed = false;
    const QJsonArray list = QJsonDocument::fromJson(payload).object().value(QStringLiteral("departments")).toArray();
    for (const QJsonValue &value : list) {
        const QString id = value.toObject().value(QStringLiteral("id")).toString();
        const QString name = value.toObject().value(QStringLiteral("name")).toString().left(100);
        QString why;
        if (!Topics::checkLevel(id, &why) || name.isEmpty() || m_departmentNames.value(id) == name
            || (!m_departmentNames.contains(id) && m_departmentNames.size() >= MaxServers))
            continue;
        m_departmentNames.insert(id, name);
        changed = true;
    }
    if (changed)
        Q_EMIT departmentsChanged();
}

void Subscription::takeState(const Topics::Address &address, const QByteArray &payload, bool retained)
{
    const QString key = faxKey(address.server, address.commId);
    // An empty message: the monitor let the fax's state go (past its
    // bounds, kept shorter than this history): what it was last stays.
    if (payload.isEmpty())
        return;
    QString error;
    const FaxState state = FaxState::fromJson(payload, &error);
    if (!state.isKnown()) {
        refuse(QStringLiteral("refused the state of %1: %2").arg(key, error));
        return;
    }
    Q_EMIT faxStateChanged(key, state, retained);
}

QString Subscription::requestUser() const
{
    // The broker's user where it asks for one: its ACL lets each user ask
    // under its own name only. Without, the login's (anyone on the network
    // can then claim any name).
    QString user = m_settings.user.trimmed();
    if (user.isEmpty())
        user = qEnvironmentVariable("USER");
    QString why;
    return Topics::checkLevel(user, &why) ? user : QString();
}

bool Subscription::request(const QString &key, FaxState::Action action, const QString &memo, QString *error)
{
    const qsizetype slash = key.indexOf(QLatin1Char('/'));
    const QString server = key.left(slash), commId = key.mid(slash + 1);
    QString why;
    if (!m_states) {
        *error = QStringLiteral("担当の共有には MQTT ブローカーの設定が必要です。");
        return false;
    }
    // Never kept to be sent later: a request that went out when nobody
    // remembers asking would change a fax behind the office's back.
    if (!m_statesConnected) {
        *error = QStringLiteral("MQTT ブローカーに接続していないため、担当を変えられません。接続が戻ってからもう一度操作してください。");
        return false;
    }
    if (slash <= 0 || !Topics::checkLevel(server, &why) || !Topics::isCommId(commId)) {
        *error = QStringLiteral("この受信は FAX モニターから届いたものではないため、担当を共有できません。");
        return false;
    }
    const QString user = requestUser();
    if (user.isEmpty()) {
        *error = QStringLiteral("MQTT のユーザー名が、担当の共有に使える名前ではありません（英数字と - _ . の 64 文字まで）。");
        return false;
    }
    m_states->publish(Topics::request(m_root, server, user, commId),
                      FaxState::request(action, m_settings.personName(), memo));
    qCInfo(lcBroker).noquote() << QStringLiteral("asked %1 of %2 as %3")
                                      .arg(QString::fromUtf8(FaxState::request(action, QString())), key, user);
    return true;
}
