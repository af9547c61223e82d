#include "receiver/history.h"

#include "receiver/logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>

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

bool History::open()
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QString error;
    Opening opening = openFile(&error);
    if (opening == Opening::Opened)
        return true;
    // Damaged, or not a database at all, or not to be opened: kept aside,
    // and a new one begun. One that another process holds (a second session
    // on a shared home) is left alone.
    const bool existed = QFileInfo::exists(m_path) || QFileInfo(m_path).isSymLink();
    if (existed && opening == Opening::Damaged) {
        moveAside(error);
        if (openFile(&error) == Opening::Opened)
            return true;
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
        && addSizeColumn(error);
}

bool History::addSizeColumn(QString *error)
{
    // Each text's size in bytes, for the bound on them all: kept beside it,
    // since SQLite would read a whole text to measure it. A file of an
    // earlier version gets the column once.
    QSqlQuery columns(QSqlDatabase::database(m_connection));
    if (!columns.exec(QStringLiteral("PRAGMA table_info(receptions)"))) {
        *error = columns.lastError().text();
        return false;
    }
    while (columns.next()) {
        if (columns.value(1).toString() == QLatin1String("size"))
            return true;
    }
    return exec(QStringLiteral("ALTER TABLE receptions ADD COLUMN size INTEGER NOT NULL DEFAULT 0"), error)
        && exec(QStringLiteral("UPDATE receptions SET size = length(CAST(text AS BLOB))"), error);
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

qint64 History::add(const QDateTime &arrived, const QString &source, const QString &text)
{
    Entry entry;
    entry.id = m_nextPendingId--;
    entry.arrived = arrived;
    entry.source = source;
    entry.text = text;
    // While writes fail, what waits is bounded as the history is.
    if (m_pending.size() >= MaxEntries) {
        if (m_pending.first().unread)
            --m_unread;
        m_pending.removeFirst();
    }
    m_pending.append(entry);
    ++m_unread;
    scheduleWrite();
    return entry.id;
}

void History::addCopy(qint64 id)
{
    for (Entry &entry : m_pending) {
        if (entry.id == id) {
            ++entry.copies;
            return;
        }
    }
    if (id < 0)
        id = m_written.value(id, 0);
    if (id <= 0)
        return;
    ++m_pendingCopies[id];
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
            m_insert->prepare(QStringLiteral("INSERT INTO receptions (arrived, source, text, copies, unread, size)"
                                             " VALUES (?, ?, ?, ?, ?, ?)"));
        }
        QSqlQuery &insert = *m_insert;
        const qint64 oldest = now().addDays(-MaxAgeDays).toMSecsSinceEpoch();
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
            if (!insert.exec()) {
                error = insert.lastError().text();
                written = false;
                break;
            }
            bytes += text.size();
            numbered.insert(entry.id, insert.lastInsertId().toLongLong());
        }
        QSqlQuery copies(db);
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
    QSqlQuery query(db);
    int deleted = 0;
    // By age: when a reception older than a year was written, and once a
    // minute besides (what ages meanwhile can wait that long).
    if (m_pruneAges || !m_agesPruned.isValid() || m_agesPruned.hasExpired(60000)) {
        m_pruneAges = false;
        m_agesPruned.start();
        query.prepare(QStringLiteral("DELETE FROM receptions WHERE arrived < ?"));
        query.addBindValue(now().addDays(-MaxAgeDays).toMSecsSinceEpoch());
        if (query.exec())
            deleted += query.numRowsAffected();
    }
    if (m_rows > MaxEntries) {
        query.prepare(QStringLiteral("DELETE FROM receptions WHERE id <= (SELECT id FROM receptions ORDER BY id DESC"
                                     " LIMIT 1 OFFSET ?)"));
        query.addBindValue(MaxEntries);
        if (query.exec())
            deleted += query.numRowsAffected();
    }
    if (deleted > 0 || m_rows < 0)
        recount();
    if (m_bytes > m_maxBytes) {
        // The oldest go until the rest are within the bound.
        QSqlQuery oldest(db);
        qint64 over = m_bytes - m_maxBytes;
        qint64 last = -1;
        if (oldest.exec(QStringLiteral("SELECT id, size FROM receptions ORDER BY id"))) {
            while (over > 0 && oldest.next()) {
                last = oldest.value(0).toLongLong();
                over -= oldest.value(1).toLongLong();
            }
        }
        oldest.finish();
        query.prepare(QStringLiteral("DELETE FROM receptions WHERE id <= ?"));
        query.addBindValue(last);
        if (last >= 0 && query.exec())
            recount();
    }
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

int History::count()
{
    flush();
    return (m_open ? qMax(0, m_rows) : 0) + int(m_pending.size());
}

QList<History::Entry> History::page(int offset, int limit, int previewLength)
{
    flush();
    QList<Entry> list;
    // What could not be written yet comes first: it is the newest.
    for (qsizetype i = m_pending.size() - 1 - offset; i >= 0 && list.size() < limit; --i) {
        list.append(m_pending.at(i));
        if (previewLength >= 0)
            list.last().text.truncate(previewLength);
    }
    offset = qMax(0, offset - int(m_pending.size()));
    if (!m_open || list.size() >= limit)
        return list;
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("SELECT id, arrived, source, %1, copies, unread FROM receptions"
                                 " ORDER BY id DESC LIMIT ? OFFSET ?")
                      .arg(previewLength >= 0 ? QStringLiteral("substr(text, 1, %1)").arg(previewLength)
                                              : QStringLiteral("text")));
    query.addBindValue(limit - int(list.size()));
    query.addBindValue(offset);
    if (!query.exec())
        return list;
    while (query.next()) {
        Entry entry;
        entry.id = query.value(0).toLongLong();
        entry.arrived = QDateTime::fromMSecsSinceEpoch(query.value(1).toLongLong());
        entry.source = query.value(2).toString();
        entry.text = query.value(3).toString();
        entry.copies = query.value(4).toInt() + m_pendingCopies.value(entry.id);
        entry.unread = query.value(5).toBool();
        list.append(entry);
    }
    return list;
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
    if (m_open)
        exec(QStringLiteral("DELETE FROM receptions"));
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
