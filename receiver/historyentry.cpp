#include "receiver/historyentry.h"

#include "receiver/notificationtext.h"

#include <QSqlQuery>
#include <QVariant>

void HistoryEntry::readText()
{
    const NotificationText parsed = NotificationText::parse(text);
    fax = parsed.kind == NotificationText::Fax;
    // A test of the road is kept, but is nothing to read: it counts as no
    // unread fax.
    if (parsed.kind == NotificationText::Test)
        unread = false;
    if (!fax)
        return;
    const Reception &reception = parsed.reception;
    failed = !reception.ok();
    caller = reception.caller();
    number = reception.number;
    pages = reception.pageCount();
    error = reception.error();
    received = reception.received;
}

QString HistoryEntry::columns()
{
    return QStringLiteral(
        "r.id, r.arrived, r.source, %1, r.copies, r.unread, r.fax, r.failed, r.caller, r.number, r.pages, r.error,"
        " r.received, r.commid, COALESCE(d.document, ''), COALESCE(d.picture, ''), COALESCE(d.error, ''), r.department,"
        " COALESCE(s.state, -1), COALESCE(s.user, ''), COALESCE(s.name, ''), COALESCE(s.memo, ''), COALESCE(s.at, 0)");
}

QString HistoryEntry::fromReceptions()
{
    return QStringLiteral(" FROM receptions r LEFT JOIN documents d ON r.commid != '' AND d.commid = r.commid"
                          " LEFT JOIN states s ON r.commid != '' AND s.commid = r.commid");
}

FaxState HistoryEntry::stateFromRow(const QSqlQuery &query, int first)
{
    FaxState state;
    const int known = query.value(first).toInt();
    if (known < FaxState::Open || known > FaxState::Done)
        return state;
    state.state = FaxState::State(known);
    state.user = query.value(first + 1).toString();
    state.name = query.value(first + 2).toString();
    state.memo = query.value(first + 3).toString();
    const qint64 at = query.value(first + 4).toLongLong();
    state.at = at > 0 ? QDateTime::fromMSecsSinceEpoch(at) : QDateTime();
    return state;
}

HistoryEntry HistoryEntry::fromRow(const QSqlQuery &query)
{
    HistoryEntry entry;
    entry.id = query.value(0).toLongLong();
    entry.arrived = QDateTime::fromMSecsSinceEpoch(query.value(1).toLongLong());
    entry.source = query.value(2).toString();
    entry.text = query.value(3).toString();
    entry.copies = query.value(4).toInt();
    entry.unread = query.value(5).toBool();
    entry.fax = query.value(6).toBool();
    entry.failed = query.value(7).toBool();
    entry.caller = query.value(8).toString();
    entry.number = query.value(9).toString();
    entry.pages = query.value(10).toInt();
    entry.error = query.value(11).toString();
    const qint64 received = query.value(12).toLongLong();
    entry.received = received > 0 ? QDateTime::fromMSecsSinceEpoch(received) : QDateTime();
    entry.commId = query.value(13).toString();
    entry.document = query.value(14).toString();
    entry.picture = query.value(15).toString();
    entry.documentError = query.value(16).toString();
    entry.department = query.value(17).toString();
    entry.state = stateFromRow(query, 18);
    return entry;
}
