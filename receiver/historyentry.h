#pragma once

#include "core/faxstate.h"

#include <QDateTime>
#include <QString>

class QSqlQuery;

// One reception as the history keeps it.
struct HistoryEntry {
    qint64 id = 0;
    QDateTime arrived; // local time
    QString source;    // the sender's address
    QString text;      // whole, or the start of it (see History::page())
    int copies = 1;
    bool unread = true;
    // What the text says, read once as it came: a fax reception's fields
    // (empty for other texts).
    bool fax = false;
    bool failed = false;
    QString caller;
    QString number;
    int pages = -1;
    QString error;
    QDateTime received;
    // The fax server's name for it; and where its document and picture are
    // kept, once they came (empty until then).
    QString commId;
    QString document;
    QString picture;
    // Why the fax monitor could not make the document (then none comes).
    QString documentError;
    // The department the fax monitor sent it to (its id); empty for a
    // datagram's.
    QString department;
    // Who has the fax, as its fax monitor says; not known for a datagram's
    // (and until the monitor said it).
    FaxState state;

    // Reads what text says into the fields above.
    void readText();

    // The columns an entry is read from (%1 stands for the text, whole or
    // cut), the receptions with their documents joined, and an entry read
    // from a row of them.
    static QString columns();
    static QString fromReceptions();
    static HistoryEntry fromRow(const QSqlQuery &query);
    // A state read from five columns of a row (state, user, name, memo, at).
    static FaxState stateFromRow(const QSqlQuery &query, int first);
};
