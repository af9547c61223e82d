#pragma once

#include "core/reception.h"

#include <QMetaType>
#include <QString>
#include <QTime>

// What a notification datagram says, read as a receiver reads it. The text
// is one of:
//  - a fax reception, as the fax monitor writes it (see Reception);
//  - the test notification: "Test Receive Message", CR LF, "HH:MM:SS";
//  - anything else (the fax product's own lines elsewhere), taken as it is.
struct NotificationText
{
    enum Kind { Fax, Test, Other };

    static NotificationText parse(const QString &text);

    Kind kind = Other;
    QString text;        // as it came
    Reception reception; // a fax reception
    QTime testTime;      // the test notification's time
};
Q_DECLARE_METATYPE(NotificationText)
