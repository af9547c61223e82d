#include "receiver/historybounds.h"

#include "receiver/historyfile.h"
#include "receiver/logging.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

HistoryBounds::HistoryBounds(const Limits &limits)
    : m_limits(limits)
{
    m_openedAt = QDateTime::currentDateTime();
    m_sinceOpened.start();
}

void HistoryBounds::setClock(Clock clock)
{
    m_clock = std::move(clock);
    m_openedAt = m_clock();
    m_sinceOpened.start();
}

QDateTime HistoryBounds::now() const
{
    return qMin(wall(), m_openedAt.addMSecs(m_sinceOpened.elapsed()));
}

QDateTime HistoryBounds::ageNow() const
{
    const QDateTime wall = now();
    return m_ageBase.isValid() ? qMin(wall, m_ageBase.addMSecs(m_sinceAgeBase.elapsed())) : wall;
}

void HistoryBounds::opened(const QSqlDatabase &db)
{
    // A PC that was off a month only keeps its oldest a month longer.
    QSqlQuery newest(db);
    if (newest.exec(QStringLiteral("SELECT MAX(arrived) FROM receptions")) && newest.next() && !newest.isNull(0)) {
        const QDateTime last = QDateTime::fromMSecsSinceEpoch(newest.value(0).toLongLong());
        const QDateTime start = now();
        if (last < start) {
            if (last.daysTo(start) > m_limits.maxAgeDays)
                qCWarning(lcHistory).noquote() << QStringLiteral("the clock says %1, %2 days after the newest reception "
                                                                 "kept; ages are counted from that reception")
                                                      .arg(start.toString(Qt::ISODate))
                                                      .arg(last.daysTo(start));
            m_ageBase = last;
            m_sinceAgeBase.start();
        }
    }
    m_rows = -1;
}

void HistoryBounds::written(int rows, qint64 bytes, int unread)
{
    m_rows += rows;
    m_bytes += bytes;
    m_unread += unread;
}

void HistoryBounds::recount(const QSqlDatabase &db)
{
    QSqlQuery state(db);
    if (state.exec(QStringLiteral("SELECT COALESCE(SUM(unread), 0), COALESCE(SUM(size), 0), COUNT(*) FROM receptions"))
        && state.next()) {
        m_unread = state.value(0).toInt();
        m_bytes = state.value(1).toLongLong();
        m_rows = state.value(2).toInt();
    }
}

bool HistoryBounds::prune(const QSqlDatabase &db)
{
    bool documents = false;
    // By age: when a reception older than the bound was written, and once
    // a minute besides (what ages meanwhile can wait that long).
    if (m_pruneAges || !m_agesPruned.isValid() || m_agesPruned.hasExpired(60000)) {
        m_pruneAges = false;
        m_agesPruned.start();
        QSqlQuery query(db);
        query.prepare(QStringLiteral("DELETE FROM receptions WHERE arrived < ?"));
        query.addBindValue(oldestKept());
        if (query.exec() && query.numRowsAffected() > 0) {
            recount(db);
            documents = true;
        }
    }
    if (m_rows < 0)
        recount(db);
    // By rows and by bytes: the oldest go, counted as they are read.
    const qint64 rowsOver = m_rows - m_limits.maxEntries;
    const qint64 bytesOver = m_bytes - m_limits.maxBytes;
    if (rowsOver <= 0 && bytesOver <= 0)
        return documents;
    QSqlQuery oldest(db);
    qint64 last = -1;
    int rows = 0, unread = 0;
    qint64 bytes = 0;
    if (oldest.exec(QStringLiteral("SELECT id, size, unread, commid != '' FROM receptions ORDER BY id"))) {
        while ((rows < rowsOver || bytes < bytesOver) && oldest.next()) {
            last = oldest.value(0).toLongLong();
            bytes += oldest.value(1).toLongLong();
            unread += oldest.value(2).toInt();
            documents = documents || oldest.value(3).toBool();
            ++rows;
        }
    }
    oldest.finish();
    if (last < 0)
        return documents;
    QSqlQuery remove(db);
    remove.prepare(QStringLiteral("DELETE FROM receptions WHERE id <= ?"));
    remove.addBindValue(last);
    if (!remove.exec())
        return documents;
    if (remove.numRowsAffected() == rows) {
        m_rows -= rows;
        m_bytes -= bytes;
        m_unread -= unread;
    } else {
        recount(db); // another writer: what is there is read again
    }
    return documents;
}

bool HistoryBounds::compact(const QString &path, const Limits &limits, qint64 oldestKept, QString *error)
{
    HistoryFile file(path);
    if (file.open(error) != HistoryFile::Opening::Opened)
        return false;
    file.exec(QStringLiteral("PRAGMA busy_timeout=5000"));
    // What is over the bounds goes in one statement each: the newest rows
    // whose texts, added up from the newest, stay within the bytes. Ages
    // are counted from the newest reception kept when the clock is ahead
    // of it, as they are once the file is open.
    const QString statements[] = {
        QStringLiteral("DELETE FROM receptions WHERE arrived < MIN(%1, (SELECT MAX(arrived) FROM receptions) - %2)")
            .arg(oldestKept)
            .arg(qint64(limits.maxAgeDays) * 24 * 3600 * 1000),
        QStringLiteral("DELETE FROM receptions WHERE id NOT IN (SELECT id FROM receptions ORDER BY id DESC LIMIT %1)")
            .arg(limits.maxEntries),
        QStringLiteral("DELETE FROM receptions WHERE id IN (SELECT id FROM (SELECT id, SUM(size) OVER"
                       " (ORDER BY id DESC) AS total FROM receptions) WHERE total > %1)")
            .arg(limits.maxBytes),
        QStringLiteral("VACUUM"),
        QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"),
    };
    for (const QString &statement : statements) {
        if (!file.exec(statement, error))
            return false;
    }
    return true;
}
