#pragma once

#include <QLoggingCategory>

// What the fax monitor says, by area; it goes to the journal. Debug output
// is off unless turned on, e.g. QT_LOGGING_RULES="kavrel.faxmon.*.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcPosts)   // kavrel.faxmon.posts: posts taken and refused
Q_DECLARE_LOGGING_CATEGORY(lcLinks)   // kavrel.faxmon.links: the links and the sockets
Q_DECLARE_LOGGING_CATEGORY(lcRelays)  // kavrel.faxmon.relays: datagrams and MQTT

// Lines as the journal reads them: the category, and for each line its
// priority when standard error is the journal itself.
void useJournalMessageFormat();
