#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <QTime>

// What a notification datagram says, read as a receiver reads it. The text
// is one of:
//  - a reception, as the fax monitor writes it: six comma-separated fields,
//    "YYYY/MM/DD HH:MM:SS,TSI,number,name,pages,status", the status being OK
//    or the message of a reception that failed;
//  - the test notification: "Test Receive Message", CR LF, "HH:MM:SS";
//  - anything else (the fax product's own lines elsewhere), taken as it is.
struct NotificationText
{
    enum Kind { Reception, Test, Other };

    static NotificationText parse(const QString &text);

    Kind kind = Other;
    QString text; // as it came

    // A reception.
    QDateTime received; // local time
    QString tsi;
    QString number;
    QString name;
    int pages = -1;     // -1 when not given
    bool ok = false;    // only for the status OK itself
    QString error;      // the message of a failed reception

    // The test notification.
    QTime testTime;

    // Who sent the fax, as a person would name them: the caller's name, else
    // the TSI, else the number; empty when none is known.
    QString caller() const;
};
Q_DECLARE_METATYPE(NotificationText)
