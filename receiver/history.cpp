#include "receiver/history.h"

#include "receiver/logging.h"
#include "receiver/notificationtext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>

#include <cstring>

namespace {

int nextConnection = 0;

} // namespace

History::History(const QString &path, QObject *parent)
    : QObject(parent)
    , m_path(path)
    , m_connection(QStringLiteral("history-%1").arg(++nextConnection))
{
    m_writeTimer.setSingleShot(true);
    connect(&m_writeTimer, &QTimer::timeout, this, &History::flush);
    m_openedAt = QDateTime::currentDateTime();
    m_sinceOpened.start();
}

History::~History()
{
    flush();
    m_insert.reset();
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

QString History::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/kavrel-r/history.sqlite");
}

bool History::exec(const QString &statement, QString *error)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    if (query.exec(statement))
        return true;
    if (error)
        *error = query.lastError().text();
    return false;
}

void History::setClock(Clock clock)
{
    m_clock = std::move(clock);
    m_openedAt = m_clock();
    m_sinceOpened.start();
}

QDateTime History::now() const
{
    const QDateTime wall = m_clock ? m_clock() : QDateTime::currentDateTime();
    return qMin(wall, m_openedAt.addMSecs(m_sinceOpened.elapsed()));
}

QDateTime History::ageNow() const
{
    const QDateTime wall = now();
    return m_ageBase.isValid() ? qMin(wall, m_ageBase.addMSecs(m_sinceAgeBase.elapsed())) : wall;
}

bool History::open()
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QString error;
    Opening opening = openFile(&error);
    if (opening == Opening::Opened) {
        sweepDocuments();
        return true;
    }
    // Damaged, or not a database at all, or not to be opened: kept aside,
    // and a new one begun. One that another process holds (a second session
    // on a shared home) is left alone.
    const bool existed = QFileInfo::exists(m_path) || QFileInfo(m_path).isSymLink();
    if (existed && opening == Opening::Damaged) {
        moveAside(error);
        if (openFile(&error) == Opening::Opened) {
            sweepDocuments();
            return true;
        }
    }
    // Nowhere to keep it: in memory, for as long as the program runs.
    const QString path = m_path;
    m_path = QStringLiteral(":memory:");
    openFile(nullptr);
    m_path = path;
    tell(QStringLiteral("受信履歴を %1 に保存できません（%2）。受信は続けますが、履歴は終了すると消えます。")
                       .arg(QDir::toNativeSeparators(path), error));
    return false;
}

History::Opening History::openFile(QString *error)
{
    // SQLite's codes for a file another process holds at the moment.
    auto held = [](const QSqlError &error) {
        return error.nativeErrorCode() == QLatin1String("5") || error.nativeErrorCode() == QLatin1String("6");
    };
    m_insert.reset();
    {
        QSqlDatabase old = QSqlDatabase::database(m_connection, false);
        if (old.isValid())
            old.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(m_path);
    if (!db.open()) {
        if (error)
            *error = db.lastError().text();
        return held(db.lastError()) ? Opening::Busy : Opening::Damaged;
    }
    QSqlQuery check(db);
    exec(QStringLiteral("PRAGMA busy_timeout=200"));
    if (!check.exec(QStringLiteral("PRAGMA quick_check")) || !check.next()
        || check.value(0).toString() != QLatin1String("ok")) {
        if (error)
            *error = check.lastError().isValid() ? check.lastError().text() : check.value(0).toString();
        const bool busy = held(check.lastError());
        check.finish();
        db.close();
        return busy ? Opening::Busy : Opening::Damaged;
    }
    check.finish();
    if (!createSchema(error)) {
        db.close();
        return Opening::Damaged;
    }
    if (m_maxPages > 0)
        exec(QStringLiteral("PRAGMA max_page_count=%1").arg(m_maxPages));
    m_open = true;
    // Ages are counted from the newest reception kept when the wall clock
    // is ahead of it: a clock set years ahead at start (a bad RTC, a time
    // server gone wrong) must not empty the history. A PC that was off a
    // month only keeps its oldest a month longer.
    QSqlQuery newest(db);
    if (newest.exec(QStringLiteral("SELECT MAX(arrived) FROM receptions")) && newest.next() && !newest.isNull(0)) {
        const QDateTime last = QDateTime::fromMSecsSinceEpoch(newest.value(0).toLongLong());
        const QDateTime start = now();
        if (last < start) {
            if (last.daysTo(start) > MaxAgeDays)
                qCWarning(lcHistory).noquote() << QStringLiteral("the clock says %1, %2 days after the newest reception "
                                                                 "kept; ages are counted from that reception")
                                                      .arg(start.toString(Qt::ISODate))
                                                      .arg(last.daysTo(start));
            m_ageBase = last;
            m_sinceAgeBase.start();
        }
    }
    newest.finish();
    // A file kept by an earlier version may hold more than is kept now.
    m_rows = -1;
    prune();
    return Opening::Opened;
}

bool History::createSchema(QString *error)
{
    // A small page cache: what is read and written is the end of the table.
    return exec(QStringLiteral("PRAGMA journal_mode=WAL"), error) && exec(QStringLiteral("PRAGMA synchronous=NORMAL"), error)
        && exec(QStringLiteral("PRAGMA cache_size=-512"), error)
        && exec(QStringLiteral("CREATE TABLE IF NOT EXISTS receptions ("
                               " id INTEGER PRIMARY KEY,"
                               " arrived INTEGER NOT NULL,"
                               " source TEXT NOT NULL,"
                               " text TEXT NOT NULL,"
                               " copies INTEGER NOT NULL DEFAULT 1,"
                               " unread INTEGER NOT NULL DEFAULT 1)"),
                error)
        && exec(QStringLiteral("CREATE INDEX IF NOT EXISTS receptions_arrived ON receptions(arrived)"), error)
        // The unread ones, found without reading a whole history of read
        // ones (the window's first unread row, marking all read).
        && exec(QStringLiteral("CREATE INDEX IF NOT EXISTS receptions_unread ON receptions(unread) WHERE unread = 1"), error)
        && exec(QStringLiteral("CREATE TABLE IF NOT EXISTS documents ("
                               " commid TEXT PRIMARY KEY,"
                               " document TEXT NOT NULL DEFAULT '',"
                               " picture TEXT NOT NULL DEFAULT '',"
                               " size INTEGER NOT NULL DEFAULT 0,"
                               " arrived INTEGER NOT NULL,"
                               " error TEXT NOT NULL DEFAULT '')"),
                error)
        && addColumns(error)
        // Receptions are found by their communication id as documents come
        // (only those that have one are in the index).
        && exec(QStringLiteral("CREATE INDEX IF NOT EXISTS receptions_commid ON receptions(commid) WHERE commid != ''"),
                error);
}

bool History::addColumns(QString *error)
{
    // Beside each text: its size in bytes, for the bound on them all
    // (SQLite would read a whole text to measure it), and what it says, so
    // that the window can search and sort without reading every text. A
    // file of an earlier version gets them once.
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    QSqlQuery columns(db);
    if (!columns.exec(QStringLiteral("PRAGMA table_info(receptions)"))) {
        *error = columns.lastError().text();
        return false;
    }
    QStringList have;
    while (columns.next())
        have.append(columns.value(1).toString());
    columns.finish();
    if (have.contains(QLatin1String("commid")))
        return true;
    if (!have.contains(QLatin1String("size"))
        && !exec(QStringLiteral("ALTER TABLE receptions ADD COLUMN size INTEGER NOT NULL DEFAULT 0"), error))
        return false;
    for (const char *column : {"fax INTEGER NOT NULL DEFAULT 0", "failed INTEGER NOT NULL DEFAULT 0",
                               "caller TEXT NOT NULL DEFAULT ''", "number TEXT NOT NULL DEFAULT ''",
                               "pages INTEGER NOT NULL DEFAULT -1", "error TEXT NOT NULL DEFAULT ''",
                               "received INTEGER NOT NULL DEFAULT 0", "commid TEXT NOT NULL DEFAULT ''"}) {
        if (!exec(QStringLiteral("ALTER TABLE receptions ADD COLUMN %1").arg(QLatin1String(column)), error))
            return false;
    }
    // Each text read once, as it would have been as it came.
    if (!db.transaction())
        return false;
    QSqlQuery rows(db), update(db);
    rows.exec(QStringLiteral("SELECT id, text FROM receptions"));
    update.prepare(QStringLiteral("UPDATE receptions SET size = ?, fax = ?, failed = ?, caller = COALESCE(?, ''),"
                                  " number = COALESCE(?, ''), pages = ?, error = COALESCE(?, ''), received = ? WHERE id = ?"));
    while (rows.next()) {
        Entry entry;
        entry.text = rows.value(1).toString();
        read(&entry);
        for (const QVariant &value : {QVariant(entry.text.toUtf8().size()), QVariant(entry.fax), QVariant(entry.failed),
                                      QVariant(entry.caller), QVariant(entry.number), QVariant(entry.pages),
                                      QVariant(entry.error),
                                      QVariant(entry.received.isValid() ? entry.received.toMSecsSinceEpoch() : 0),
                                      rows.value(0)})
            update.addBindValue(value);
        update.exec();
    }
    rows.finish();
    update.finish();
    if (!db.commit()) {
        *error = db.lastError().text();
        db.rollback();
        return false;
    }
    return true;
}

void History::read(Entry *entry)
{
    const NotificationText text = NotificationText::parse(entry->text);
    entry->fax = text.kind == NotificationText::Fax;
    // A test of the road is kept, but is nothing to read: it counts as no
    // unread fax.
    if (text.kind == NotificationText::Test)
        entry->unread = false;
    if (!entry->fax)
        return;
    const Reception &reception = text.reception;
    entry->failed = !reception.ok();
    entry->caller = reception.caller();
    entry->number = reception.number;
    entry->pages = reception.pageCount();
    entry->error = reception.error();
    entry->received = reception.received;
}

void History::moveAside(const QString &error)
{
    m_insert.reset();
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
    const QString aside = m_path + QStringLiteral(".broken-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    if (!QFile::rename(m_path, aside))
        return;
    // The journal of a damaged file goes with it.
    for (const QString &suffix : {QStringLiteral("-wal"), QStringLiteral("-shm")})
        QFile::rename(m_path + suffix, aside + suffix);
    tell(QStringLiteral("受信履歴 %1 を読めなかったため（%2）、%3 に移して新しい履歴を始めました。")
                       .arg(QDir::toNativeSeparators(m_path), error, QDir::toNativeSeparators(aside)));
}

void History::setMaxPages(int pages)
{
    m_maxPages = pages;
    if (m_open && pages > 0)
        exec(QStringLiteral("PRAGMA max_page_count=%1").arg(pages));
}

qint64 History::add(const QDateTime &arrived, const QString &source, const QString &text, const QString &commId)
{
    Entry entry;
    entry.id = m_nextPendingId--;
    entry.arrived = arrived;
    entry.source = source;
    entry.text = text;
    entry.commId = commId;
    read(&entry);
    // While writes fail, what waits is bounded as the history is.
    if (m_pending.size() >= MaxEntries) {
        if (m_pending.first().unread)
            --m_unread;
        m_pending.removeFirst();
    }
    m_pending.append(entry);
    if (entry.unread)
        ++m_unread;
    scheduleWrite();
    return entry.id;
}

void History::addCopy(qint64 id, const QString &commId)
{
    for (Entry &entry : m_pending) {
        if (entry.id == id) {
            ++entry.copies;
            if (entry.commId.isEmpty())
                entry.commId = commId;
            return;
        }
    }
    if (id < 0)
        id = m_written.value(id, 0);
    if (id <= 0)
        return;
    ++m_pendingCopies[id];
    if (!commId.isEmpty() && m_open) {
        // The copy that came by the broker names the document to come.
        QSqlQuery query(QSqlDatabase::database(m_connection));
        query.prepare(QStringLiteral("UPDATE receptions SET commid = ? WHERE id = ? AND commid = ''"));
        query.addBindValue(commId);
        query.addBindValue(id);
        query.exec();
    }
    scheduleWrite();
}

void History::scheduleWrite()
{
    // At the next turn of the event loop: what came in this one goes in
    // one transaction. After a failure, the retry's pause stands.
    if (!m_writeTimer.isActive())
        m_writeTimer.start(0);
}

bool History::flush()
{
    m_writeTimer.stop();
    if (!m_open || (m_pending.isEmpty() && m_pendingCopies.isEmpty()))
        return true;
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    QString error;
    QHash<qint64, qint64> numbered;
    qint64 bytes = 0;
    bool written = db.transaction();
    if (written) {
        // Prepared once: a flood writes at every turn of the event loop.
        if (!m_insert) {
            m_insert = std::make_unique<QSqlQuery>(db);
            m_insert->prepare(QStringLiteral("INSERT INTO receptions (arrived, source, text, copies, unread, size, fax,"
                                             " failed, caller, number, pages, error, received, commid)"
                                             " VALUES (?, COALESCE(?, ''), COALESCE(?, ''), ?, ?, ?, ?, ?, COALESCE(?, ''),"
                                             " COALESCE(?, ''), ?, COALESCE(?, ''), ?, COALESCE(?, ''))"));
        }
        QSqlQuery &insert = *m_insert;
        const qint64 oldest = ageNow().addDays(-MaxAgeDays).toMSecsSinceEpoch();
        for (const Entry &entry : std::as_const(m_pending)) {
            if (entry.arrived.toMSecsSinceEpoch() < oldest)
                m_pruneAges = true;
            const QByteArray text = entry.text.toUtf8();
            insert.addBindValue(entry.arrived.toMSecsSinceEpoch());
            insert.addBindValue(entry.source);
            insert.addBindValue(entry.text);
            insert.addBindValue(entry.copies);
            insert.addBindValue(entry.unread ? 1 : 0);
            insert.addBindValue(text.size());
            insert.addBindValue(entry.fax);
            insert.addBindValue(entry.failed);
            insert.addBindValue(entry.caller);
            insert.addBindValue(entry.number);
            insert.addBindValue(entry.pages);
            insert.addBindValue(entry.error);
            insert.addBindValue(entry.received.isValid() ? entry.received.toMSecsSinceEpoch() : 0);
            insert.addBindValue(entry.commId);
            if (!insert.exec()) {
                error = insert.lastError().text();
                written = false;
                break;
            }
            bytes += text.size();
            numbered.insert(entry.id, insert.lastInsertId().toLongLong());
        }
        // Made only when there are copies to count: made at every turn, it
        // cost a notice more than the row it waits for.
        QSqlQuery copies(db);
        if (written && !m_pendingCopies.isEmpty())
            copies.prepare(QStringLiteral("UPDATE receptions SET copies = copies + ? WHERE id = ?"));
        for (auto it = m_pendingCopies.cbegin(); written && it != m_pendingCopies.cend(); ++it) {
            copies.addBindValue(it.value());
            copies.addBindValue(it.key());
            if (!copies.exec()) {
                error = copies.lastError().text();
                written = false;
            }
        }
        if (written && !db.commit()) {
            error = db.lastError().text();
            written = false;
        }
        // Whatever failed, the transaction does not stay open.
        if (!written)
            db.rollback();
    } else {
        error = db.lastError().text();
    }
    if (!written) {
        // Kept for the next try, which comes by itself; the user hears of
        // it once.
        if (!std::exchange(m_writeFailed, true))
            tell(QStringLiteral("受信履歴を書き込めません（%1）。受信と通知は続けます。").arg(error));
        m_writeTimer.start(m_retryDelay);
        return false;
    }
    m_writeFailed = false;
    // The gate may still name a reception by the number it was given.
    if (m_written.size() > MaxEntries)
        m_written.clear();
    m_written.insert(numbered);
    m_pending.clear();
    m_pendingCopies.clear();
    m_bytes += bytes;
    m_rows += int(numbered.size());
    prune();
    Q_EMIT changed();
    return true;
}

void History::prune()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    // By age: when a reception older than a year was written, and once a
    // minute besides (what ages meanwhile can wait that long).
    if (m_pruneAges || !m_agesPruned.isValid() || m_agesPruned.hasExpired(60000)) {
        m_pruneAges = false;
        m_agesPruned.start();
        QSqlQuery query(db);
        query.prepare(QStringLiteral("DELETE FROM receptions WHERE arrived < ?"));
        query.addBindValue(ageNow().addDays(-MaxAgeDays).toMSecsSinceEpoch());
        if (query.exec() && query.numRowsAffected() > 0) {
            recount();
            forgetDocuments();
        }
    }
    if (m_rows < 0)
        recount();
    // By rows and by bytes: the oldest go, counted as they are read, so
    // that a full history costs a flood only the rows that leave it (a
    // count of the whole file at every turn would cost every row).
    const qint64 rowsOver = m_rows - MaxEntries;
    const qint64 bytesOver = m_bytes - m_maxBytes;
    if (rowsOver <= 0 && bytesOver <= 0)
        return;
    QSqlQuery oldest(db);
    qint64 last = -1;
    int rows = 0, unread = 0;
    qint64 bytes = 0;
    bool documents = false;
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
        return;
    QSqlQuery remove(db);
    remove.prepare(QStringLiteral("DELETE FROM receptions WHERE id <= ?"));
    remove.addBindValue(last);
    if (!remove.exec())
        return;
    if (remove.numRowsAffected() == rows) {
        m_rows -= rows;
        m_bytes -= bytes;
        m_unread -= unread;
    } else {
        recount(); // another writer: what is there is read again
    }
    if (documents)
        forgetDocuments();
}

void History::recount()
{
    QSqlQuery state(QSqlDatabase::database(m_connection));
    if (state.exec(QStringLiteral("SELECT COALESCE(SUM(unread), 0), COALESCE(SUM(size), 0), COUNT(*) FROM receptions"))
        && state.next()) {
        m_unread = state.value(0).toInt();
        m_bytes = state.value(1).toLongLong();
        m_rows = state.value(2).toInt();
    }
    for (const Entry &entry : std::as_const(m_pending))
        m_unread += entry.unread ? 1 : 0;
}

namespace {

// The columns an Entry is read from, and the documents joined to them.
const QString EntryColumns = QStringLiteral(
    "r.id, r.arrived, r.source, %1, r.copies, r.unread, r.fax, r.failed, r.caller, r.number, r.pages, r.error,"
    " r.received, r.commid, COALESCE(d.document, ''), COALESCE(d.picture, ''), COALESCE(d.error, '')");
const QString FromReceptions = QStringLiteral(
    " FROM receptions r LEFT JOIN documents d ON r.commid != '' AND d.commid = r.commid");

QString whereClause(const History::Query &query)
{
    return query.search.isEmpty() ? QString()
                                  : QStringLiteral(" WHERE (instr(r.caller, :search) > 0 OR instr(r.number, :search) > 0"
                                                   " OR instr(r.error, :search) > 0)");
}

QString orderClause(const History::Query &query)
{
    const QString order = query.order == Qt::AscendingOrder ? QStringLiteral(" ASC") : QStringLiteral(" DESC");
    switch (query.sortBy) {
    case History::SortBy::Caller: return QStringLiteral(" ORDER BY r.caller") + order + QStringLiteral(", r.id DESC");
    case History::SortBy::Number: return QStringLiteral(" ORDER BY r.number") + order + QStringLiteral(", r.id DESC");
    case History::SortBy::Pages: return QStringLiteral(" ORDER BY r.pages") + order + QStringLiteral(", r.id DESC");
    case History::SortBy::Received: return QStringLiteral(" ORDER BY r.received") + order + QStringLiteral(", r.id DESC");
    case History::SortBy::What: return QStringLiteral(" ORDER BY r.failed") + order + QStringLiteral(", r.id DESC");
    case History::SortBy::Arrived: break;
    }
    return QStringLiteral(" ORDER BY r.id") + order;
}

History::Entry entryFrom(const QSqlQuery &query)
{
    History::Entry entry;
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
    return entry;
}

} // namespace

int History::count()
{
    return count(Query());
}

QList<History::Entry> History::page(int offset, int limit, int previewLength)
{
    return page(offset, limit, previewLength, Query());
}

int History::count(const Query &query)
{
    flush();
    if (query.search.isEmpty())
        return (m_open ? qMax(0, m_rows) : 0) + int(m_pending.size());
    QSqlQuery select(QSqlDatabase::database(m_connection));
    select.prepare(QStringLiteral("SELECT COUNT(*)") + FromReceptions + whereClause(query));
    select.bindValue(QStringLiteral(":search"), query.search);
    return m_open && select.exec() && select.next() ? select.value(0).toInt() : 0;
}

QList<History::Entry> History::page(int offset, int limit, int previewLength, const Query &query)
{
    flush();
    QList<Entry> list;
    // What could not be written yet comes first: it is the newest.
    if (query.search.isEmpty() && query.sortBy == SortBy::Arrived && query.order == Qt::DescendingOrder) {
        for (qsizetype i = m_pending.size() - 1 - offset; i >= 0 && list.size() < limit; --i) {
            list.append(m_pending.at(i));
            if (previewLength >= 0)
                list.last().text.truncate(previewLength);
        }
        offset = qMax(0, offset - int(m_pending.size()));
    }
    if (!m_open || list.size() >= limit)
        return list;
    QSqlQuery select(QSqlDatabase::database(m_connection));
    select.prepare(QStringLiteral("SELECT ")
                   + EntryColumns.arg(previewLength >= 0 ? QStringLiteral("substr(r.text, 1, %1)").arg(previewLength)
                                                         : QStringLiteral("r.text"))
                   + FromReceptions + whereClause(query) + orderClause(query)
                   + QStringLiteral(" LIMIT :limit OFFSET :offset"));
    if (!query.search.isEmpty())
        select.bindValue(QStringLiteral(":search"), query.search);
    select.bindValue(QStringLiteral(":limit"), limit - int(list.size()));
    select.bindValue(QStringLiteral(":offset"), offset);
    if (!select.exec())
        return list;
    while (select.next()) {
        list.append(entryFrom(select));
        list.last().copies += m_pendingCopies.value(list.last().id);
    }
    return list;
}

History::Entry History::entry(qint64 id)
{
    flush();
    id = m_written.value(id, id);
    QSqlQuery select(QSqlDatabase::database(m_connection));
    select.prepare(QStringLiteral("SELECT ") + EntryColumns.arg(QStringLiteral("r.text")) + FromReceptions
                   + QStringLiteral(" WHERE r.id = ?"));
    select.addBindValue(id);
    return m_open && select.exec() && select.next() ? entryFrom(select) : Entry();
}

History::Entry History::latestDocument()
{
    flush();
    QSqlQuery select(QSqlDatabase::database(m_connection));
    return m_open
            && select.exec(QStringLiteral("SELECT ") + EntryColumns.arg(QStringLiteral("r.text")) + FromReceptions
                           + QStringLiteral(" WHERE d.document != '' ORDER BY r.id DESC LIMIT 1"))
            && select.next()
        ? entryFrom(select)
        : Entry();
}

qint64 History::idOf(const QString &commId)
{
    flush();
    QSqlQuery select(QSqlDatabase::database(m_connection));
    select.prepare(QStringLiteral("SELECT id FROM receptions WHERE commid = ? AND commid != '' ORDER BY id DESC LIMIT 1"));
    select.addBindValue(commId);
    return !commId.isEmpty() && m_open && select.exec() && select.next() ? select.value(0).toLongLong() : 0;
}

QString History::documentFolder() const
{
    return QFileInfo(m_path).absolutePath() + QStringLiteral("/faxes");
}

bool History::hasKept(const QString &commId, bool picture)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("SELECT 1 FROM documents WHERE commid = ? AND %1 != ''")
                      .arg(QLatin1String(picture ? "picture" : "document")));
    query.addBindValue(commId);
    return m_open && query.exec() && query.next();
}

bool History::addDocument(const QString &commId, const QString &name)
{
    return setKept(commId, "document", name);
}

bool History::addPicture(const QString &commId, const QString &name)
{
    return setKept(commId, "picture", name);
}

bool History::setKept(const QString &commId, const char *column, const QString &name)
{
    if (!m_open || hasKept(commId, std::strcmp(column, "picture") == 0))
        return false;
    QSqlQuery query(QSqlDatabase::database(m_connection));
    const qint64 size = QFileInfo(documentFolder() + QLatin1Char('/') + name).size();
    query.prepare(QStringLiteral("INSERT INTO documents (commid, %1, size, arrived) VALUES (?, ?, ?, ?)"
                                 " ON CONFLICT(commid) DO UPDATE SET %1 = excluded.%1, size = size + excluded.size,"
                                 " error = ''")
                      .arg(QLatin1String(column)));
    query.addBindValue(commId);
    query.addBindValue(name);
    query.addBindValue(size);
    query.addBindValue(now().toMSecsSinceEpoch());
    if (!query.exec()) {
        qCWarning(lcHistory).noquote() << QStringLiteral("the %1 of %2 cannot be recorded: %3")
                                              .arg(QLatin1String(column), commId, query.lastError().text());
        return false;
    }
    forgetDocuments();
    Q_EMIT changed();
    return true;
}

void History::setDocumentFailed(const QString &commId, const QString &error)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("INSERT INTO documents (commid, arrived, error) VALUES (?, ?, ?)"
                                 " ON CONFLICT(commid) DO UPDATE SET error = excluded.error WHERE document = ''"));
    query.addBindValue(commId);
    query.addBindValue(now().toMSecsSinceEpoch());
    query.addBindValue(error.isEmpty() ? QStringLiteral("?") : error);
    if (m_open && query.exec()) {
        forgetDocuments();
        Q_EMIT changed();
    }
}

void History::sweepDocuments()
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    QSet<QString> named;
    if (!query.exec(QStringLiteral("SELECT document, picture FROM documents")))
        return;
    while (query.next()) {
        named.insert(query.value(0).toString());
        named.insert(query.value(1).toString());
    }
    // Not one just written: another copy of the program (a second session
    // on the same home) may be about to record it.
    const QDateTime recent = QDateTime::currentDateTime().addSecs(-3600);
    const QDir folder(documentFolder());
    const QFileInfoList files =
        folder.entryInfoList({QStringLiteral("fax-*.pdf"), QStringLiteral("fax-*.png"), QStringLiteral("fax-*.pdf.part")},
                             QDir::Files);
    for (const QFileInfo &file : files) {
        if (!named.contains(file.fileName()) && file.lastModified() < recent)
            QFile::remove(file.filePath());
    }
}

void History::forgetDocuments()
{
    // Documents go with their receptions; one whose reception never came
    // goes after a day; and all of them together stay within a bound, the
    // oldest going first.
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    QSqlQuery select(db);
    select.prepare(QStringLiteral("SELECT commid, document, picture, size FROM documents d"
                                  " WHERE NOT EXISTS (SELECT 1 FROM receptions r WHERE r.commid = d.commid AND r.commid != '')"
                                  " AND d.arrived < ? ORDER BY arrived"));
    select.addBindValue(now().addDays(-1).toMSecsSinceEpoch());
    QStringList gone;
    if (select.exec()) {
        while (select.next())
            gone.append(select.value(0).toString());
    }
    select.finish();
    select.prepare(QStringLiteral("SELECT commid FROM documents d"
                                  " WHERE NOT EXISTS (SELECT 1 FROM receptions r WHERE r.commid = d.commid AND r.commid != '')"
                                  " ORDER BY arrived DESC LIMIT -1 OFFSET ?"));
    select.addBindValue(MaxWaitingDocuments);
    if (select.exec()) {
        while (select.next())
            gone.append(select.value(0).toString());
    }
    select.finish();
    qint64 total = 0;
    if (select.exec(QStringLiteral("SELECT commid, size FROM documents ORDER BY arrived DESC"))) {
        while (select.next()) {
            total += select.value(1).toLongLong();
            if (total > MaxDocumentBytes)
                gone.append(select.value(0).toString());
        }
    }
    select.finish();
    QSqlQuery remove(db);
    for (const QString &commId : std::as_const(gone)) {
        remove.prepare(QStringLiteral("SELECT document, picture FROM documents WHERE commid = ?"));
        remove.addBindValue(commId);
        if (remove.exec() && remove.next()) {
            for (int i = 0; i < 2; ++i) {
                if (!remove.value(i).toString().isEmpty())
                    QFile::remove(documentFolder() + QLatin1Char('/') + remove.value(i).toString());
            }
        }
        remove.finish();
        remove.prepare(QStringLiteral("DELETE FROM documents WHERE commid = ?"));
        remove.addBindValue(commId);
        remove.exec();
    }
}

void History::markUnread(qint64 id)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("UPDATE receptions SET unread = 1 WHERE id = ? AND unread = 0"));
    query.addBindValue(m_written.value(id, id));
    if (m_open && query.exec() && query.numRowsAffected() > 0) {
        ++m_unread;
        Q_EMIT changed();
    }
}

void History::remove(qint64 id)
{
    flush();
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("DELETE FROM receptions WHERE id = ?"));
    query.addBindValue(m_written.value(id, id));
    if (m_open && query.exec() && query.numRowsAffected() > 0) {
        recount();
        // Its document goes at once, not after a day.
        query.prepare(QStringLiteral("UPDATE documents SET arrived = 0 WHERE NOT EXISTS"
                                     " (SELECT 1 FROM receptions r WHERE r.commid = documents.commid AND r.commid != '')"));
        query.exec();
        forgetDocuments();
        Q_EMIT changed();
    }
}

QString History::text(qint64 id)
{
    for (const Entry &entry : std::as_const(m_pending)) {
        if (entry.id == id)
            return entry.text;
    }
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("SELECT text FROM receptions WHERE id = ?"));
    query.addBindValue(m_written.value(id, id));
    return m_open && query.exec() && query.next() ? query.value(0).toString() : QString();
}

qint64 History::firstUnread()
{
    flush();
    QSqlQuery query(QSqlDatabase::database(m_connection));
    if (m_open && query.exec(QStringLiteral("SELECT MIN(id) FROM receptions WHERE unread = 1")) && query.next()
        && !query.value(0).isNull())
        return query.value(0).toLongLong();
    return m_pending.isEmpty() ? 0 : -1;
}

void History::markAllRead()
{
    for (Entry &entry : m_pending)
        entry.unread = false;
    if (m_open)
        exec(QStringLiteral("UPDATE receptions SET unread = 0 WHERE unread = 1"));
    m_unread = 0;
    Q_EMIT changed();
}

void History::clear()
{
    m_pending.clear();
    m_pendingCopies.clear();
    if (m_open) {
        exec(QStringLiteral("DELETE FROM receptions"));
        exec(QStringLiteral("UPDATE documents SET arrived = 0"));
        forgetDocuments();
    }
    m_unread = 0;
    m_bytes = 0;
    m_rows = 0;
    Q_EMIT changed();
}

void History::tell(const QString &text)
{
    qCWarning(lcHistory).noquote() << text;
    Q_EMIT problem(text);
}
