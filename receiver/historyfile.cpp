#include "receiver/historyfile.h"
#include "receiver/historysearch.h"

#include "receiver/historyentry.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

QAtomicInt nextConnection;

} // namespace

HistoryFile::HistoryFile(const QString &path)
    : m_path(path)
    , m_connection(QStringLiteral("history-%1").arg(nextConnection.fetchAndAddRelaxed(1) + 1))
{
}

HistoryFile::~HistoryFile()
{
    close();
}

QSqlDatabase HistoryFile::database() const
{
    return QSqlDatabase::database(m_connection, false);
}

void HistoryFile::close()
{
    m_open = false;
    {
        QSqlDatabase db = database();
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

bool HistoryFile::exec(const QString &statement, QString *error)
{
    QSqlQuery query(database());
    if (query.exec(statement))
        return true;
    if (error)
        *error = query.lastError().text();
    return false;
}

void HistoryFile::setMaxPages(int pages)
{
    if (m_open && pages > 0)
        exec(QStringLiteral("PRAGMA max_page_count=%1").arg(pages));
}

HistoryFile::Opening HistoryFile::open(QString *error, int maxPages)
{
    // SQLite's codes for a file another process holds at the moment.
    auto held = [](const QSqlError &error) {
        return error.nativeErrorCode() == QLatin1String("5") || error.nativeErrorCode() == QLatin1String("6");
    };
    close();
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
    QString why;
    if (!createSchema(&why)) {
        db.close();
        if (error)
            *error = why;
        // Another process holds the file as it is brought up to date: it is
        // not damaged.
        return why.contains(QLatin1String("locked")) ? Opening::Busy : Opening::Damaged;
    }
    m_open = true;
    setMaxPages(maxPages);
    return Opening::Opened;
}

bool HistoryFile::createSchema(QString *error)
{
    // A small page cache: what is read and written is the end of the table.
    // The write-ahead log is cut back to a few MiB once written through: a
    // large deletion would leave it as large as what it deleted.
    return exec(QStringLiteral("PRAGMA journal_mode=WAL"), error) && exec(QStringLiteral("PRAGMA synchronous=NORMAL"), error)
        && exec(QStringLiteral("PRAGMA cache_size=-512"), error)
        && exec(QStringLiteral("PRAGMA journal_size_limit=4194304"), error)
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
        // Who has each fax, as its fax monitor says (by the fax's key, as
        // the receptions name it); kept is when it came here, for letting
        // go of those whose reception never came.
        && exec(QStringLiteral("CREATE TABLE IF NOT EXISTS states ("
                               " commid TEXT PRIMARY KEY,"
                               " state INTEGER NOT NULL,"
                               " user TEXT NOT NULL DEFAULT '',"
                               " name TEXT NOT NULL DEFAULT '',"
                               " memo TEXT NOT NULL DEFAULT '',"
                               " at INTEGER NOT NULL DEFAULT 0,"
                               " kept INTEGER NOT NULL)"),
                error)
        && exec(QStringLiteral("CREATE INDEX IF NOT EXISTS states_kept ON states(kept)"), error)
        && addColumns(error)
        // Receptions are found by their communication id as documents come
        // (only those that have one are in the index).
        && exec(QStringLiteral("CREATE INDEX IF NOT EXISTS receptions_commid ON receptions(commid) WHERE commid != ''"),
                error)
        && HistorySearch::createSchema(database(), error);
}

bool HistoryFile::addColumns(QString *error)
{
    // Beside each text: its size in bytes, for the bound on them all
    // (SQLite would read a whole text to measure it), and what it says, so
    // that the window can search and sort without reading every text. A
    // file of an earlier version gets them once.
    QSqlDatabase db = database();
    QSqlQuery columns(db);
    if (!columns.exec(QStringLiteral("PRAGMA table_info(receptions)"))) {
        *error = columns.lastError().text();
        return false;
    }
    QStringList have;
    while (columns.next())
        have.append(columns.value(1).toString());
    columns.finish();
    // The department a fax was for, since routing came.
    if (!have.contains(QLatin1String("department"))
        && !exec(QStringLiteral("ALTER TABLE receptions ADD COLUMN department TEXT NOT NULL DEFAULT ''"), error))
        return false;
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
        HistoryEntry entry;
        entry.text = rows.value(1).toString();
        entry.readText();
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

QString HistoryFile::moveAside()
{
    close();
    const QString aside = m_path + QStringLiteral(".broken-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    if (!QFile::rename(m_path, aside))
        return QString();
    // The journal of a damaged file goes with it.
    for (const QString &suffix : {QStringLiteral("-wal"), QStringLiteral("-shm")})
        QFile::rename(m_path + suffix, aside + suffix);
    return aside;
}
