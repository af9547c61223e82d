#include "receiver/receiversettings.h"

#include "core/topics.h"

#include "core/configfile.h"
#include "mqtt/mqttclient.h"

#include <QFile>
#include <QHostAddress>
#include <QSettings>
#include <QStandardPaths>

#include <memory>

#include <pwd.h>
#include <unistd.h>

namespace {

std::unique_ptr<QSettings> openStore()
{
    return std::make_unique<QSettings>(ReceiverSettings::filePath(), QSettings::IniFormat);
}

// An address alone is a subnet of its own. One written in IPv4-mapped form
// (::ffff:10.0.0.1) is the IPv4 address it maps: IPv4 datagrams come on a
// socket of their own with IPv4 sources, so the mapped form would match
// nothing.
QPair<QHostAddress, int> subnet(const QString &text)
{
    const QString trimmed = text.trimmed();
    QPair<QHostAddress, int> range;
    if (!trimmed.contains(QLatin1Char('/'))) {
        const QHostAddress address(trimmed);
        if (address.isNull())
            return {QHostAddress(), -1};
        range = {address, address.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32};
    } else {
        range = QHostAddress::parseSubnet(trimmed);
    }
    bool mapped = false;
    const quint32 ipv4 = range.first.protocol() == QAbstractSocket::IPv6Protocol ? range.first.toIPv4Address(&mapped) : 0;
    if (mapped && range.second >= 96)
        range = {QHostAddress(ipv4), range.second - 96};
    return range;
}

} // namespace

QString ReceiverSettings::filePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/Kavrel/kavrel-r.conf");
}

ReceiverSettings ReceiverSettings::load(QString *error)
{
    // Read only a regular file of a sane size: QSettings would wait for ever
    // on a FIFO in its place.
    QByteArray content;
    QString why;
    if (!ConfigFile::read(filePath(), 1024 * 1024, &content, &why)) {
        if (error)
            *error = QStringLiteral("設定ファイルを読めないため、既定の設定で動きます（%1）。").arg(why);
        return ReceiverSettings();
    }
    const auto store = openStore();
    QSettings &settings = *store;
    ReceiverSettings loaded;
    loaded.port = settings.value(QStringLiteral("Receive/Port"), DefaultPort).toInt();
    loaded.allowedSenders = settings.value(QStringLiteral("Receive/AllowedSenders")).toStringList();
    loaded.stayUntilClicked = settings.value(QStringLiteral("Notices/StayUntilClicked"), false).toBool();
    loaded.sound = settings.value(QStringLiteral("Notices/Sound"), true).toBool();
    loaded.broker = settings.value(QStringLiteral("MQTT/Broker")).toString();
    // The root, as this version keeps it; a file of 1.x has its receptions'
    // topic (or a subscription) instead, which stays in the file so that
    // what 1.x subscribed to can be taken back at the broker.
    loaded.storedTopic = settings.value(QStringLiteral("MQTT/Topic")).toString().trimmed();
    loaded.topic = settings.contains(QStringLiteral("MQTT/Root"))
        ? settings.value(QStringLiteral("MQTT/Root")).toString().trimmed()
        : loaded.storedTopic.isEmpty() ? loaded.topic : Topics::rootOf(loaded.storedTopic);
    loaded.documents = settings.value(QStringLiteral("MQTT/Documents"), false).toBool();
    loaded.departments = settings.value(QStringLiteral("MQTT/Departments")).toStringList();
    loaded.departments.removeAll(QString());
    loaded.displayName = settings.value(QStringLiteral("MQTT/Name"), loginFullName()).toString();
    loaded.caFile = settings.value(QStringLiteral("MQTT/CAFile")).toString();
    loaded.user = settings.value(QStringLiteral("MQTT/User")).toString();
    loaded.password = settings.value(QStringLiteral("MQTT/Password")).toString();
    return loaded;
}

bool ReceiverSettings::save(QString *error) const
{
    const auto store = openStore();
    QSettings &settings = *store;
    settings.setValue(QStringLiteral("Receive/Port"), port);
    settings.setValue(QStringLiteral("Receive/AllowedSenders"), allowedSenders);
    settings.setValue(QStringLiteral("Notices/StayUntilClicked"), stayUntilClicked);
    settings.setValue(QStringLiteral("Notices/Sound"), sound);
    settings.setValue(QStringLiteral("MQTT/Broker"), broker);
    settings.setValue(QStringLiteral("MQTT/Root"), topic);
    settings.setValue(QStringLiteral("MQTT/Documents"), documents);
    settings.setValue(QStringLiteral("MQTT/Departments"), departments);
    settings.setValue(QStringLiteral("MQTT/Name"), displayName);
    settings.setValue(QStringLiteral("MQTT/CAFile"), caFile);
    settings.setValue(QStringLiteral("MQTT/User"), user);
    if (passwordInFile)
        settings.setValue(QStringLiteral("MQTT/Password"), password);
    else
        settings.remove(QStringLiteral("MQTT/Password"));
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        *error = QStringLiteral("設定ファイル %1 に書き込めません。").arg(settings.fileName());
        return false;
    }
    // The broker's password is in it: for the user's eyes only.
    QFile::setPermissions(settings.fileName(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

bool ReceiverSettings::checkListening(QString *error, QString *field) const
{
    auto fail = [error, field](const QString &why, const char *where) {
        *error = why;
        if (field)
            *field = QLatin1String(where);
        return false;
    };
    if (port < 1 || port > 65535)
        return fail(QStringLiteral("ポート番号 %1 は使えません（1～65535）。").arg(port), "Port");
    for (const QString &sender : allowedSenders) {
        if (subnet(sender).second < 0)
            return fail(QStringLiteral("「%1」はアドレスでもサブネット（例：192.168.1.0/24）でもありません。").arg(sender), "AllowedSenders");
    }
    return true;
}

bool ReceiverSettings::checkBroker(QString *error, QString *field) const
{
    auto fail = [error, field](const QString &why, const char *where) {
        *error = why;
        if (field)
            *field = QLatin1String(where);
        return false;
    };
    if (!broker.trimmed().isEmpty()) {
        MqttClient::Options options;
        QString ignored;
        if (!MqttClient::parseUrl(broker, &options, &ignored))
            return fail(QStringLiteral("「%1」はブローカーのアドレス（例：mqtt://broker.example:1883）ではありません。").arg(broker), "Broker");
        if (options.tls && caFile.trimmed().isEmpty())
            return fail(QStringLiteral("mqtts:// のブローカーには CA ファイルが要ります。"), "CAFile");
        if (topic.trimmed().isEmpty())
            return fail(QStringLiteral("MQTT のトピックが入力されていません。"), "Topic");
        QString why;
        if (!MqttClient::checkTopic(topic.trimmed(), false, &why))
            return fail(QStringLiteral("MQTT のトピックは使えません（%1）。").arg(why), "Topic");
        if (topic.trimmed().split(QLatin1Char('/')).contains(QString()))
            return fail(QStringLiteral("MQTT のトピックの接頭辞に空の階層（// や先頭・末尾の /）は使えません。"), "Topic");
        if (displayName.trimmed().size() > MaxNameLength)
            return fail(QStringLiteral("氏名は %1 文字までです。").arg(MaxNameLength), "DisplayName");
        for (const QString &department : departments) {
            if (!Topics::checkLevel(department, &why))
                return fail(QStringLiteral("部署「%1」は部署の ID ではありません（%2）。").arg(department, why), "Departments");
        }
    }
    return true;
}

QString ReceiverSettings::loginFullName()
{
    // The account's full name (the first field of its GECOS), else its login.
    if (const passwd *account = ::getpwuid(::getuid())) {
        const QString full = QString::fromLocal8Bit(account->pw_gecos).section(QLatin1Char(','), 0, 0).trimmed();
        return full.isEmpty() ? QString::fromLocal8Bit(account->pw_name) : full.left(MaxNameLength);
    }
    return qEnvironmentVariable("USER");
}

bool ReceiverSettings::accepts(const QHostAddress &address) const
{
    if (allowedSenders.isEmpty())
        return true;
    // Compared as they are, an IPv6 address with an IPv6 entry: IPv4 comes
    // on a socket of its own, so an IPv4-mapped source (::ffff:a.b.c.d) is
    // no IPv4 sender, and matches only an entry written so.
    for (const QString &sender : allowedSenders) {
        const auto range = subnet(sender);
        if (range.second >= 0 && address.isInSubnet(range))
            return true;
    }
    return false;
}
