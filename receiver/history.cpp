#include "receiver/history.h"

#include "receiver/logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QThread>
#include <QVariant>

History::History(const QString &path, QObject *parent)
    : QObject(parent)
    , m_path(path)
    , m_bounds({MaxEntries, MaxAgeDays, MaxBytes})
    , m_documents(QFileInfo(path).absolutePath() + QStringLiteral("/faxes"), MaxWaitingDocuments, MaxDocumentBytes)
{
    m_writeTimer.setSingleShot(true);
    connect(&m_writeTimer, &QTimer::timeout, this, &History::flush);
}

History::~History()
{
    finish();
    m_insert.reset();
    m_file.reset();
}

QString History::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/kavrel-r/history.sqlite");
}

void History::finish()
{
    // A compaction under way is let finish (seconds, once): what waits in
    // memory is written to the file it leaves.
    if (m_compactor) {
        m_compactor->wait();
        delete m_compactor.data();
        compacted();
    }
    flush();
}

bool History::oversized() const
{
    // A file within the bounds holds MaxBytes of texts, a fax's error once
    // more beside its text at most, the rest of its rows and their indexes;
    // half as much again is an older version's or another tool's, and costs
    // seconds to bring down in place.
    const qint64 limit = 7 * m_bounds.limits().maxBytes / 2;
    return QFileInfo(m_path).size() + QFileInfo(m_path + QStringLiteral("-wal")).size() > limit;
}

bool History::open()
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    if (!m_compacted && oversized()) {
        startCompacting();
        return true;
    }
    return openNow();
}

void History::startCompacting()
{
    m_compacted = true;
    qCInfo(lcHistory).noquote() << QStringLiteral("%1 is %2 MB, far over the history's bounds: brought within them "
                                                  "before it is opened (receptions wait in memory meanwhile)")
                                       .arg(m_path)
                                       .arg(QFileInfo(m_path).size() / 1000000);
    const QString path = m_path;
    const HistoryBounds::Limits limits = m_bounds.limits();
    const qint64 oldest = m_bounds.oldestKept();
    auto result = std::make_shared<std::pair<bool, QString>>(false, QString());
    m_compactResult = result;
    QThread *worker = QThread::create([path, limits, oldest, result] {
        result->first = HistoryBounds::compact(path, limits, oldest, &result->second);
    });
    connect(worker, &QThread::finished, this, [this, worker] {
        if (m_compactor != worker)
            return;
        m_compactor = nullptr;
        worker->deleteLater();
        compacted();
    });
    m_compactor = worker;
    worker->start(QThread::LowPriority);
}

void History::compacted()
{
    const bool done = m_compactResult && m_compactResult->first;
    const QString error = m_compactResult ? m_compactResult->second : QString();
    m_compactResult.reset();
    if (done)
        qCInfo(lcHistory).noquote() << QStringLiteral("%1 is within the bounds, %2 MB")
                                           .arg(m_path)
                                           .arg(QFileInfo(m_path).size() / 1000000);
    else
        qCWarning(lcHistory).noquote() << QStringLiteral("%1 could not be compacted (%2); it is opened as it is")
                                              .arg(m_path, error);
    openNow();
    // What was asked meanwhile, in the order it was: the old rows cleared
    // or read before the new ones are written, documents once their
    // receptions are.
    if (std::exchange(m_clearWaiting, false)) {
        m_file->exec(QStringLiteral("DELETE FROM receptions"));
        m_documents.forgetOrphans(db(), m_bounds.now());
        m_bounds.recount(db());
    }
    if (std::exchange(m_readWaiting, false)) {
        m_file->exec(QStringLiteral("UPDATE receptions SET unread = 0 WHERE unread = 1"));
        m_bounds.setUnread(0);
    }
    flush();
    for (const WaitingDocument &document : std::exchange(m_waitingDocuments, {})) {
        if (document.name.isEmpty())
            m_documents.setFailed(db(), document.commId, document.error, m_bounds.now());
        else if (!m_documents.keep(db(), document.commId, document.picture, document.name, m_bounds.now()))
            QFile::remove(documentFolder() + QLatin1Char('/') + document.name);
    }
    Q_EMIT changed();
}

const History::Entry *History::waiting(qint64 id, const QString &commId) const
{
    for (qsizetype i = m_pending.size() - 1; i >= 0; --i) {
        const Entry &entry = m_pending.at(i);
        if (commId.isEmpty() ? entry.id == id : entry.commId == commId)
            return &entry;
    }
    return nullptr;
}

bool History::openNow()
{
    QString error;
    m_insert.reset();
    m_found = false;
    m_file = std::make_unique<HistoryFile>(m_path);
    HistoryFile::Opening opening = m_file->open(&error, m_maxPages);
    // Damaged, or not a database at all, or not to be opened: kept aside,
    // and a new one begun. One that another process holds (a second session
    // on a shared home) is left alone.
    const bool existed = QFileInfo::exists(m_path) || QFileInfo(m_path).isSymLink();
    if (opening == HistoryFile::Opening::Damaged && existed) {
        const QString aside = m_file->moveAside();
        if (!aside.isEmpty()) {
            tell(QStringLiteral("受信履歴 %1 を読めなかったため（%2）、%3 に移して新しい履歴を始めました。")
                     .arg(QDir::toNativeSeparators(m_path), error, QDir::toNativeSeparators(aside)));
            opening = m_file->open(&error, m_maxPages);
        }
    }
    const bool kept = opening == HistoryFile::Opening::Opened;
    if (!kept) {
        // Nowhere to keep it: in memory, for as long as the program runs.
        m_file = std::make_unique<HistoryFile>(QStringLiteral(":memory:"));
        m_file->open(nullptr);
        tell(QStringLiteral("受信履歴を %1 に保存できません（%2）。受信は続けますが、履歴は終了すると消えます。")
                 .arg(QDir::toNativeSeparators(m_path), error));
    }
    m_bounds.opened(db());
    // A file kept by an earlier version may hold more than is kept now.
    prune();
    if (kept) {
        m_documents.forget(db(), m_bounds.now());
        m_documents.sweep(db());
    }
    return kept;
}

void History::setMaxPages(int pages)
{
    m_maxPages = pages;
    if (m_file)
        m_file->setMaxPages(pages);
}

qint64 History::add(const QDateTime &arrived, const QString &source, const QString &text, const QString &commId,
                    const QString &department)
{
    Entry entry;
    entry.id = m_nextPendingId--;
    entry.arrived = arrived;
    entry.source = source;
    entry.text = text;
    entry.commId = commId;
    entry.department = department;
    entry.readText();
    // While writes fail, what waits is bounded as the history is.
    if (m_pending.size() >= MaxEntries)
        m_pending.removeFirst();
    m_pending.append(entry);
    scheduleWrite();
    return entry.id;
}

void History::addCopy(qint64 id, const QString &commId, const QString &department)
{
    for (Entry &entry : m_pending) {
        if (entry.id == id) {
            ++entry.copies;
            if (entry.commId.isEmpty())
                entry.commId = commId;
            if (entry.department.isEmpty())
                entry.department = department;
            return;
        }
    }
    if (id < 0)
        id = m_written.value(id, 0);
    if (id <= 0)
        return;
    ++m_pendingCopies[id];
    if (!commId.isEmpty() && isOpen()) {
        // The copy that came by the broker names the document to come.
        QSqlQuery query(db());
        query.prepare(QStringLiteral("UPDATE receptions SET commid = ? WHERE id = ? AND commid = ''"));
        query.addBindValue(commId);
        query.addBindValue(id);
        query.exec();
    }
    if (!department.isEmpty() && isOpen()) {
        QSqlQuery query(db());
        query.prepare(QStringLiteral("UPDATE receptions SET department = ? WHERE id = ? AND department = ''"));
        query.addBindValue(department);
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
    if (!isOpen() || (m_pending.isEmpty() && m_pendingCopies.isEmpty() && m_pendingStates.isEmpty() && m_pendingTexts.isEmpty()))
        return true;
    QSqlDatabase db = this->db();
    QString error;
    QHash<qint64, qint64> numbered;
    qint64 bytes = 0;
    int unread = 0;
    bool written = db.transaction();
    if (written) {
        // Prepared once: a flood writes at every turn of the event loop.
        if (!m_insert) {
            m_insert = std::make_unique<QSqlQuery>(db);
            m_insert->prepare(QStringLiteral("INSERT INTO receptions (arrived, source, text, copies, unread, size, fax,"
                                             " failed, caller, number, pages, error, received, commid, department)"
                                             " VALUES (?, COALESCE(?, ''), COALESCE(?, ''), ?, ?, ?, ?, ?, COALESCE(?, ''),"
                                             " COALESCE(?, ''), ?, COALESCE(?, ''), ?, COALESCE(?, ''), COALESCE(?, ''))"));
        }
        QSqlQuery &insert = *m_insert;
        const qint64 oldest = m_bounds.oldestKept();
        for (const Entry &entry : std::as_const(m_pending)) {
            if (entry.arrived.toMSecsSinceEpoch() < oldest)
                m_bounds.ageWritten();
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
            insert.addBindValue(entry.department);
            if (!insert.exec()) {
                error = insert.lastError().text();
                written = false;
                break;
            }
            bytes += text.size();
            unread += entry.unread ? 1 : 0;
            numbered.insert(entry.id, insert.lastInsertId().toLongLong());
            if (!HistorySearch::addReception(db, numbered.value(entry.id), entry.caller, entry.number, entry.error, &error)) {
                written = false;
                break;
            }
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
        if (written)
            written = writeStates(&error);
        // The texts, after the receptions they belong to.
        if (written)
            written = writeTexts(!m_pending.isEmpty() || !m_pendingCopies.isEmpty(), &bytes, &error);
        // The documents that will not come, of the receptions written here.
        for (const Entry &entry : std::as_const(m_pending)) {
            if (written && !entry.documentError.isEmpty())
                m_documents.setFailed(db, entry.commId, entry.documentError, m_bounds.now());
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
    m_found = false; // what a search found may have changed
    m_pendingTexts.clear();
    m_waitingTexts = std::exchange(m_nextWaitingTexts, {});
    // The gate may still name a reception by the number it was given.
    if (m_written.size() > MaxEntries)
        m_written.clear();
    m_written.insert(numbered);
    m_pending.clear();
    m_pendingCopies.clear();
    m_statesSincePrune += int(m_pendingStates.size());
    m_pendingStates.clear();
    m_bounds.written(int(numbered.size()), bytes, unread);
    prune();
    pruneStates();
    Q_EMIT changed();
    return true;
}

void History::prune()
{
    if (m_bounds.prune(db()))
        m_documents.forget(db(), m_bounds.now());
}

namespace {

// A fax nobody has taken: its monitor says so, or, where no state is
// known (a datagram's), it is unread.
const QString OpenCondition =
    QStringLiteral("r.fax = 1 AND (s.state = 0 OR (s.state IS NULL AND r.unread = 1))");

QString whereClause(const History::Query &query, const HistorySearch::Terms &terms)
{
    QStringList conditions;
    switch (query.show) {
    case History::Show::Open: conditions.append(OpenCondition); break;
    case History::Show::Mine: conditions.append(QStringLiteral("s.state = 1 AND s.user = :me AND s.name = :name")); break;
    case History::Show::Failed: conditions.append(QStringLiteral("r.failed = 1")); break;
    case History::Show::All: break;
    }
    if (!query.hidden.isEmpty()) {
        QStringList ids;
        for (const qint64 id : query.hidden)
            ids.append(QString::number(id));
        conditions.append(QStringLiteral("r.id NOT IN (%1)").arg(ids.join(QLatin1Char(','))));
    }
    // The words' receptions were found already (History::findWords); the
    // filters are asked here.
    if (!terms.words.isEmpty())
        conditions.append(QStringLiteral("r.id IN (SELECT id FROM temp.found)"));
    HistorySearch::Terms filters = terms;
    filters.words.clear();
    if (!filters.isEmpty())
        conditions.append(HistorySearch::condition(filters));
    if (!query.department.isEmpty())
        conditions.append(QStringLiteral("r.department = :department"));
    return conditions.isEmpty() ? QString() : QStringLiteral(" WHERE ") + conditions.join(QStringLiteral(" AND "));
}

// A query that the receptions waiting in memory cannot answer.
bool filtered(const History::Query &query)
{
    return !query.search.isEmpty() || !query.department.isEmpty() || query.show != History::Show::All
        || !query.hidden.isEmpty();
}

void bindFilters(QSqlQuery *select, const History::Query &query, const HistorySearch::Terms &terms)
{
    HistorySearch::Terms filters = terms;
    filters.words.clear();
    HistorySearch::bind(select, filters);
    if (!query.department.isEmpty())
        select->bindValue(QStringLiteral(":department"), query.department);
    if (query.show == History::Show::Mine) {
        select->bindValue(QStringLiteral(":me"), query.me);
        // Never NULL, which nothing equals.
        select->bindValue(QStringLiteral(":name"), query.myName.isNull() ? QStringLiteral("") : query.myName);
    }
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
    case History::SortBy::Department:
        return QStringLiteral(" ORDER BY r.department") + order + QStringLiteral(", r.id DESC");
    case History::SortBy::Source: return QStringLiteral(" ORDER BY r.source") + order + QStringLiteral(", r.id DESC");
    case History::SortBy::Copies: return QStringLiteral(" ORDER BY r.copies") + order + QStringLiteral(", r.id DESC");
    case History::SortBy::State:
        return QStringLiteral(" ORDER BY COALESCE(s.state, -1)") + order + QStringLiteral(", s.name") + order
            + QStringLiteral(", r.id DESC");
    case History::SortBy::Document:
        // None to come, none that will, to come, come.
        return QStringLiteral(" ORDER BY CASE WHEN r.commid = '' THEN 0 WHEN COALESCE(d.document, '') != '' THEN 3"
                              " WHEN COALESCE(d.error, '') != '' THEN 1 ELSE 2 END")
            + order + QStringLiteral(", r.id DESC");
    case History::SortBy::Arrived: break;
    }
    return QStringLiteral(" ORDER BY r.id") + order;
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
    if (!filtered(query))
        return (isOpen() ? m_bounds.rows() : 0) + int(m_pending.size());
    if (!isOpen())
        return 0;
    QSqlQuery select(db());
    const HistorySearch::Terms terms = HistorySearch::parse(query.search, m_bounds.wall().date());
    if (!findWords(terms))
        return 0;
    select.prepare(QStringLiteral("SELECT COUNT(*)") + Entry::fromReceptions() + whereClause(query, terms));
    bindFilters(&select, query, terms);
    return select.exec() && select.next() ? select.value(0).toInt() : 0;
}

QList<History::Entry> History::page(int offset, int limit, int previewLength, const Query &query)
{
    flush();
    QList<Entry> list;
    // What could not be written yet comes first: it is the newest.
    if (!filtered(query) && query.sortBy == SortBy::Arrived && query.order == Qt::DescendingOrder) {
        for (qsizetype i = m_pending.size() - 1 - offset; i >= 0 && list.size() < limit; --i) {
            list.append(m_pending.at(i));
            if (previewLength >= 0)
                list.last().text.truncate(previewLength);
        }
        offset = qMax(0, offset - int(m_pending.size()));
    }
    if (!isOpen() || list.size() >= limit)
        return list;
    QSqlQuery select(db());
    const HistorySearch::Terms terms = HistorySearch::parse(query.search, m_bounds.wall().date());
    if (!findWords(terms))
        return list;
    select.prepare(QStringLiteral("SELECT ")
                   + Entry::columns().arg(previewLength >= 0 ? QStringLiteral("substr(r.text, 1, %1)").arg(previewLength)
                                                             : QStringLiteral("r.text"))
                   + Entry::fromReceptions() + whereClause(query, terms) + orderClause(query)
                   + QStringLiteral(" LIMIT :limit OFFSET :offset"));
    bindFilters(&select, query, terms);
    select.bindValue(QStringLiteral(":limit"), limit - int(list.size()));
    select.bindValue(QStringLiteral(":offset"), offset);
    if (!select.exec())
        return list;
    while (select.next()) {
        list.append(Entry::fromRow(select));
        list.last().copies += m_pendingCopies.value(list.last().id);
    }
    return list;
}

History::Entry History::entry(qint64 id)
{
    flush();
    if (!isOpen()) {
        // While the file is compacted, what waits in memory.
        const Entry *found = waiting(id);
        Entry entry = found ? *found : Entry();
        for (const WaitingDocument &document : std::as_const(m_waitingDocuments)) {
            if (found && document.commId == entry.commId)
                (document.name.isEmpty() ? entry.documentError : document.picture ? entry.picture : entry.document) =
                    document.name.isEmpty() ? document.error : document.name;
        }
        return entry;
    }
    QSqlQuery select(db());
    select.prepare(QStringLiteral("SELECT ") + Entry::columns().arg(QStringLiteral("r.text")) + Entry::fromReceptions()
                   + QStringLiteral(" WHERE r.id = ?"));
    select.addBindValue(m_written.value(id, id));
    return select.exec() && select.next() ? Entry::fromRow(select) : Entry();
}

History::Entry History::latestDocument()
{
    flush();
    if (!isOpen())
        return Entry();
    QSqlQuery select(db());
    return select.exec(QStringLiteral("SELECT ") + Entry::columns().arg(QStringLiteral("r.text")) + Entry::fromReceptions()
                       + QStringLiteral(" WHERE d.document != '' ORDER BY r.id DESC LIMIT 1"))
            && select.next()
        ? Entry::fromRow(select)
        : Entry();
}

qint64 History::idOf(const QString &commId)
{
    flush();
    if (commId.isEmpty())
        return 0;
    if (!isOpen()) {
        const Entry *found = waiting(0, commId);
        return found ? found->id : 0;
    }
    QSqlQuery select(db());
    select.prepare(QStringLiteral("SELECT id FROM receptions WHERE commid = ? AND commid != '' ORDER BY id DESC LIMIT 1"));
    select.addBindValue(commId);
    return select.exec() && select.next() ? select.value(0).toLongLong() : 0;
}

bool History::hasKept(const QString &commId, bool picture)
{
    for (const WaitingDocument &document : std::as_const(m_waitingDocuments)) {
        if (document.commId == commId && document.picture == picture && !document.name.isEmpty())
            return true;
    }
    return isOpen() && m_documents.hasKept(db(), commId, picture);
}

bool History::addDocument(const QString &commId, const QString &name)
{
    return keep(commId, false, name);
}

bool History::addPicture(const QString &commId, const QString &name)
{
    return keep(commId, true, name);
}

bool History::keep(const QString &commId, bool picture, const QString &name)
{
    if (compacting()) {
        // Recorded once the file is open; a few at most (they come with
        // the receptions of a few seconds).
        if (hasKept(commId, picture) || m_waitingDocuments.size() >= 4 * MaxWaitingDocuments)
            return false;
        m_waitingDocuments.append({commId, picture, name, QString()});
        Q_EMIT changed();
        return true;
    }
    if (!isOpen() || !m_documents.keep(db(), commId, picture, name, m_bounds.now()))
        return false;
    Q_EMIT changed();
    return true;
}

void History::setDocumentFailed(const QString &commId, const QString &error)
{
    if (compacting()) {
        if (m_waitingDocuments.size() < 4 * MaxWaitingDocuments)
            m_waitingDocuments.append({commId, false, QString(), error.isEmpty() ? QStringLiteral("?") : error});
        Q_EMIT changed();
        return;
    }
    // Its reception waits to be written: the failure goes with it (one
    // whose reception is not in the file counts among the few kept for
    // receptions to come).
    for (Entry &entry : m_pending) {
        if (entry.commId == commId && !commId.isEmpty()) {
            entry.documentError = error.isEmpty() ? QStringLiteral("?") : error;
            Q_EMIT changed();
            return;
        }
    }
    if (isOpen() && m_documents.setFailed(db(), commId, error, m_bounds.now()))
        Q_EMIT changed();
}

void History::markUnread(qint64 id)
{
    if (!isOpen())
        return;
    QSqlQuery query(db());
    query.prepare(QStringLiteral("UPDATE receptions SET unread = 1 WHERE id = ? AND unread = 0"));
    query.addBindValue(m_written.value(id, id));
    if (query.exec() && query.numRowsAffected() > 0) {
        m_bounds.setUnread(m_bounds.unread() + 1);
        Q_EMIT changed();
    }
}

void History::remove(qint64 id)
{
    flush();
    if (!isOpen()) {
        // While the file is compacted: one that waits in memory.
        if (const Entry *found = waiting(id))
            m_pending.removeAt(found - m_pending.constData());
        Q_EMIT changed();
        return;
    }
    QSqlQuery query(db());
    query.prepare(QStringLiteral("DELETE FROM receptions WHERE id = ?"));
    query.addBindValue(m_written.value(id, id));
    if (query.exec() && query.numRowsAffected() > 0) {
        m_bounds.recount(db());
        m_documents.forgetOrphans(db(), m_bounds.now());
        Q_EMIT changed();
    }
}

QString History::text(qint64 id)
{
    for (const Entry &entry : std::as_const(m_pending)) {
        if (entry.id == id)
            return entry.text;
    }
    if (!isOpen())
        return QString();
    QSqlQuery query(db());
    query.prepare(QStringLiteral("SELECT text FROM receptions WHERE id = ?"));
    query.addBindValue(m_written.value(id, id));
    return query.exec() && query.next() ? query.value(0).toString() : QString();
}

int History::unreadCount() const
{
    int unread = isOpen() ? m_bounds.unread() : 0;
    for (const Entry &entry : m_pending)
        unread += entry.unread ? 1 : 0;
    return unread;
}

qint64 History::firstUnread()
{
    flush();
    if (isOpen()) {
        QSqlQuery query(db());
        if (query.exec(QStringLiteral("SELECT MIN(id) FROM receptions WHERE unread = 1")) && query.next()
            && !query.value(0).isNull())
            return query.value(0).toLongLong();
    }
    return m_pending.isEmpty() ? 0 : -1;
}

void History::markAllRead()
{
    for (Entry &entry : m_pending)
        entry.unread = false;
    if (isOpen())
        m_file->exec(QStringLiteral("UPDATE receptions SET unread = 0 WHERE unread = 1"));
    else if (compacting())
        m_readWaiting = true;
    m_bounds.setUnread(0);
    Q_EMIT changed();
}

void History::clear()
{
    m_pending.clear();
    m_pendingCopies.clear();
    if (isOpen()) {
        m_file->exec(QStringLiteral("DELETE FROM receptions"));
        m_documents.forgetOrphans(db(), m_bounds.now());
    } else if (compacting()) {
        m_clearWaiting = true;
        m_readWaiting = false;
    }
    m_bounds.cleared();
    Q_EMIT changed();
}

void History::tell(const QString &text)
{
    qCWarning(lcHistory).noquote() << text;
    Q_EMIT problem(text);
}

void History::setState(const QString &key, const FaxState &state)
{
    if (key.isEmpty())
        return;
    if (!m_pendingStates.contains(key) && m_pendingStates.size() >= MaxPendingStates) {
        // The file cannot be written and the broker says more: the state
        // comes again at the next connection.
        if (m_droppedStates++ == 0)
            qCWarning(lcHistory, "states wait to be written past %d; the newest are dropped until they are",
                      MaxPendingStates);
        return;
    }
    m_pendingStates.insert(key, state);
    scheduleWrite();
}

bool History::writeTexts(bool receptionsWritten, qint64 *bytes, QString *error)
{
    // Those waiting for their reception, again only when receptions were
    // written (or named their fax), and never past their time.
    QList<WaitingText> texts = m_pendingTexts;
    const qint64 now = m_bounds.wall().toMSecsSinceEpoch();
    const qint64 oldest = now - 60000LL * OrphanStateMinutes;
    int late = 0;
    for (const WaitingText &text : std::as_const(m_waitingTexts)) {
        if (text.came < oldest)
            ++late;
        else if (receptionsWritten)
            texts.append(text);
    }
    QList<WaitingText> waiting = receptionsWritten ? QList<WaitingText>() : m_waitingTexts;
    for (const WaitingText &text : std::as_const(texts)) {
        qint64 size = 0;
        if (!HistorySearch::addText(db(), text.key, text.text, &size, error))
            return false;
        if (size < 0)
            waiting.append(text);
        else
            *bytes += size;
    }
    waiting.removeIf([oldest](const WaitingText &text) { return text.came < oldest; });
    if (late > 0)
        qCWarning(lcHistory, "%d pages of faxes' texts were let go: their receptions never came", late);
    // Kept only once the transaction is: a failed one tries them all again.
    m_nextWaitingTexts = waiting;
    return true;
}

bool History::findWords(const HistorySearch::Terms &terms)
{
    if (terms.words.isEmpty())
        return true;
    // Another connection (a tool, the compaction) may have written since.
    QSqlQuery query(db());
    const qint64 version = query.exec(QStringLiteral("PRAGMA data_version")) && query.next() ? query.value(0).toLongLong() : -1;
    if (m_found && m_foundWords == terms.words && version == m_foundVersion)
        return true;
    if (!query.exec(QStringLiteral("CREATE TEMP TABLE IF NOT EXISTS found (id INTEGER PRIMARY KEY)"))
        || !query.exec(QStringLiteral("DELETE FROM temp.found")))
        return false;
    HistorySearch::Terms words;
    words.words = terms.words;
    query.prepare(QStringLiteral("INSERT INTO temp.found SELECT r.id FROM receptions r WHERE ")
                  + HistorySearch::condition(words));
    HistorySearch::bind(&query, words);
    if (!query.exec()) {
        qCWarning(lcHistory, "cannot search: %s", qPrintable(query.lastError().text()));
        return false;
    }
    m_found = true;
    m_foundWords = terms.words;
    m_foundVersion = version;
    return true;
}

void History::addText(const QString &commId, const FaxText &text)
{
    if (m_pendingTexts.size() + m_waitingTexts.size() >= MaxPendingTexts) {
        // The file cannot be written, or the receptions of these texts do not
        // come, and texts keep coming: told once until there is room again.
        if (m_droppedTexts++ == 0)
            tell(QStringLiteral("受信履歴への保存を待つ FAX の本文が多すぎるため、一部を検索できるように保存できませんでした。"));
        return;
    }
    if (m_droppedTexts > 0) {
        qCWarning(lcHistory, "%lld pages of faxes' texts were not kept", m_droppedTexts);
        m_droppedTexts = 0;
    }
    m_pendingTexts.append({commId, text, m_bounds.wall().toMSecsSinceEpoch()});
    scheduleWrite();
}

HistorySearch::Match History::match(const QString &commId, const QString &search)
{
    flush();
    return isOpen() ? HistorySearch::match(db(), commId, HistorySearch::parse(search, m_bounds.wall().date()))
                    : HistorySearch::Match();
}

QList<HistorySearch::PageText> History::texts(const QString &commId)
{
    flush();
    return isOpen() ? HistorySearch::texts(db(), commId) : QList<HistorySearch::PageText>();
}

FaxState History::state(const QString &key)
{
    if (const auto pending = m_pendingStates.constFind(key); pending != m_pendingStates.cend())
        return *pending;
    if (!isOpen())
        return FaxState();
    QSqlQuery select(db());
    select.prepare(QStringLiteral("SELECT state, user, name, memo, at FROM states WHERE commid = ?"));
    select.addBindValue(key);
    return select.exec() && select.next() ? Entry::stateFromRow(select, 0) : FaxState();
}

int History::openCount()
{
    int open = 0;
    for (const Entry &entry : std::as_const(m_pending)) {
        const FaxState state = m_pendingStates.value(entry.commId);
        open += entry.fax && (state.isKnown() ? state.state == FaxState::Open : entry.unread) ? 1 : 0;
    }
    if (!isOpen())
        return open;
    QSqlQuery select(db());
    if (select.exec(QStringLiteral("SELECT COUNT(*)") + Entry::fromReceptions() + QStringLiteral(" WHERE ") + OpenCondition)
        && select.next())
        open += select.value(0).toInt();
    return open;
}

bool History::writeStates(QString *error)
{
    if (m_pendingStates.isEmpty())
        return true;
    QSqlQuery upsert(db()), forget(db());
    upsert.prepare(QStringLiteral("INSERT INTO states (commid, state, user, name, memo, at, kept)"
                                  " VALUES (?, ?, COALESCE(?, ''), COALESCE(?, ''), COALESCE(?, ''), ?, ?)"
                                  " ON CONFLICT(commid) DO UPDATE SET state = excluded.state, user = excluded.user,"
                                  " name = excluded.name, memo = excluded.memo, at = excluded.at, kept = excluded.kept"));
    forget.prepare(QStringLiteral("DELETE FROM states WHERE commid = ?"));
    // The wall clock's: a clock that jumps ahead lets go of no more than
    // states that come again at the next connection.
    const qint64 now = m_bounds.wall().toMSecsSinceEpoch();
    for (auto it = m_pendingStates.cbegin(); it != m_pendingStates.cend(); ++it) {
        QSqlQuery &query = it->isKnown() ? upsert : forget;
        query.addBindValue(it.key());
        if (it->isKnown()) {
            for (const QVariant &value : {QVariant(int(it->state)), QVariant(it->user), QVariant(it->name),
                                          QVariant(it->memo), QVariant(it->at.isValid() ? it->at.toMSecsSinceEpoch() : 0),
                                          QVariant(now)})
                query.addBindValue(value);
        }
        if (!query.exec()) {
            *error = query.lastError().text();
            return false;
        }
    }
    return true;
}

void History::pruneStates()
{
    // Those whose reception is not here: after a while, and past a number
    // (every connection brings a state of each fax the monitor keeps).
    if (m_statesSincePrune < MaxOrphanStates / 10 && m_statesPruned.isValid() && !m_statesPruned.hasExpired(60000))
        return;
    m_statesSincePrune = 0;
    m_statesPruned.start();
    const QString orphan = QStringLiteral("NOT EXISTS (SELECT 1 FROM receptions r WHERE r.commid != '' AND r.commid = states.commid)");
    QSqlQuery query(db());
    query.prepare(QStringLiteral("DELETE FROM states WHERE kept < ? AND ") + orphan);
    query.addBindValue(m_bounds.wall().addSecs(-60 * OrphanStateMinutes).toMSecsSinceEpoch());
    query.exec();
    query.prepare(QStringLiteral("DELETE FROM states WHERE ") + orphan
                  + QStringLiteral(" AND commid NOT IN (SELECT commid FROM states s WHERE NOT EXISTS (SELECT 1 FROM receptions r"
                                   " WHERE r.commid != '' AND r.commid = s.commid) ORDER BY kept DESC, rowid DESC LIMIT ?)"));
    query.addBindValue(MaxOrphanStates);
    query.exec();
}
