#pragma once

#include <QLoggingCategory>

// What kavrel-r says, by area (on standard error, which a desktop session
// keeps in its journal). Debug output is off unless turned on, e.g.
// QT_LOGGING_RULES="kavrel.r.*.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcHistory)   // kavrel.r.history
Q_DECLARE_LOGGING_CATEGORY(lcListener)  // kavrel.r.listener: the UDP port
Q_DECLARE_LOGGING_CATEGORY(lcBroker)    // kavrel.r.mqtt: the broker's subscription
Q_DECLARE_LOGGING_CATEGORY(lcNotices)   // kavrel.r.notices: the desktop's notices
