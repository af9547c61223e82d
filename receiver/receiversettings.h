#pragma once

#include "core/faxstate.h"

#include <QString>
#include <QStringList>

// kavrel-r's settings, kept per user with QSettings in
// $XDG_CONFIG_HOME/Kavrel/kavrel-r.conf.
struct ReceiverSettings
{
    static constexpr int DefaultPort = 21825;
    // Characters of a person's name, at most (as the fax monitor keeps it).
    static constexpr int MaxNameLength = FaxState::MaxNameLength;

    int port = DefaultPort;
    // The senders whose datagrams are taken: addresses or subnets
    // ("192.168.1.0/24"); any sender when empty.
    QStringList allowedSenders;
    bool stayUntilClicked = false;
    bool sound = true;
    // An MQTT broker to subscribe to as well (mqtt://host:1883 or
    // mqtts://host:8883); none when empty.
    QString broker;
    // The root of the broker's topics (core/topics.h) that the fax
    // monitors publish under; a 1.x receptions' topic or a subscription
    // with wildcards, as older versions kept it, is read as the root it
    // stands for.
    QString topic = QStringLiteral("kavrel/fax");
    // The topic as the file had it, when it was read from one: an older
    // version's subscription, which the broker may still keep.
    QString storedTopic;
    QString caFile;
    QString user;
    QString password;
    // Whether the faxes themselves (PDF and first-page picture) are taken
    // from the broker, kept and opened; off until the user turns it on.
    bool documents = false;
    // The departments whose faxes this desktop takes (their ids, as the fax
    // monitors announce them); every department's when empty.
    QStringList departments;
    // The person at this desk (氏名), as the office sees who has a fax;
    // the login's full name until the user gives one.
    QString displayName;
    static QString loginFullName();
    // The name as the fax monitors keep it (one line, blanks run together):
    // what this desk's requests carry, and what it knows its own faxes by.
    QString personName() const { return FaxState::clean(displayName, FaxState::MaxNameLength); }

    // Whether the password is kept in this file; not where the desktop's
    // keyring keeps it (see PasswordStore).
    bool passwordInFile = true;

    // The stored settings; a file that cannot be read is said in *error,
    // and the defaults stand for it.
    static ReceiverSettings load(QString *error = nullptr);
    static QString filePath();
    // False, with the reason, when the settings could not be written.
    bool save(QString *error) const;
    // Whether the settings can be used; when they cannot (a port out of
    // range, a sender that is neither an address nor a subnet, a broker
    // that is no URL), *error says why. What listening on UDP needs, and
    // what the broker needs, are checked apart too: the one goes on when
    // the other cannot be used.
    // *field, when given, names the setting that is wrong (the object name
    // of its field in the settings dialog).
    bool check(QString *error, QString *field = nullptr) const
    {
        return checkListening(error, field) && checkBroker(error, field);
    }
    bool checkListening(QString *error, QString *field = nullptr) const;
    bool checkBroker(QString *error, QString *field = nullptr) const;
    // Whether a datagram from address may be taken.
    bool accepts(const class QHostAddress &address) const;
};
