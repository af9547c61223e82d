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
        " r.received, r.commid, COALESCE(d.document, ''), COALESCE(d.picture, ''), COALESCE(d.error, ''), r.department");
}

QString HistoryEntry::fromReceptions()
{
    return QStringLiteral(" FROM receptions r LEFT JOIN documents d ON r.commid != '' AND d.commid = r.commid");
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
    return entry;
}
