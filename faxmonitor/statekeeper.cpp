#include "faxmonitor/statekeeper.h"

#include "core/faxstate.h"
#include "core/topics.h"
#include "faxmonitor/logging.h"

#include <QAtomicInt>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

QAtomicInt nextConnection;

QString stateWord(StateKeeper::State state)
{
    return FaxState::word(FaxState::State(state));
}

StateKeeper::Fax faxFrom(const QSqlQuery &query)
{
    StateKeeper::Fax fax;
    fax.commId = query.value(0).toString();
    fax.departments = query.value(1).toString().split(QLatin1Char(','), Qt::SkipEmptyParts);
    fax.state = StateKeeper::State(query.value(2).toInt());
    fax.user = query.value(3).toString();
    fax.name = query.value(4).toString();
    fax.memo = query.value(5).toString();
    fax.at = QDateTime::fromMSecsSinceEpoch(query.value(6).toLongLong());
    fax.received = QDateTime::fromMSecsSinceEpoch(query.value(7).toLongLong());
    return fax;
}

const QString Columns = QStringLiteral("commid, departments, state, user, name, memo, at, received");

} // namespace

StateKeeper::StateKeeper(QObject *parent)
    : QObject(parent)
    , m_connection(QStringLiteral("states-%1").arg(nextConnection.fetchAndAddRelaxed(1) + 1))
{
}

StateKeeper::~StateKeeper()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

bool StateKeeper::open(const QString &path, QString *error)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(path);
    QSqlQuery query(db);
    if (!db.open() || !query.exec(QStringLiteral("PRAGMA journal_mode=WAL"))
        || !query.exec(QStringLiteral("PRAGMA synchronous=NORMAL"))
        || !query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS faxes (commid TEXT PRIMARY KEY, departments TEXT NOT NULL,"
                                      " state INTEGER NOT NULL, user TEXT NOT NULL DEFAULT '', name TEXT NOT NULL DEFAULT '',"
                                      " memo TEXT NOT NULL DEFAULT '', at INTEGER NOT NULL, received INTEGER NOT NULL)"))
        || !query.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS faxes_received ON faxes(received)"))) {
        *error = QStringLiteral("the states' file %1 cannot be used: %2")
                     .arg(path, query.lastError().isValid() ? query.lastError().text() : db.lastError().text());
        return false;
    }
    m_open = true;
    m_count = -1;
    return true;
}

void StateKeeper::setPublisher(Publish publish, const QString &root, const QString &server)
{
    m_publish = std::move(publish);
    m_root = root;
    m_server = server;
}

QByteArray StateKeeper::message(const Fax &fax)
{
    FaxState state;
    state.state = FaxState::State(fax.state);
    state.user = fax.user;
    state.name = fax.name;
    state.memo = fax.memo;
    state.at = fax.at;
    return state.toJson();
}

bool StateKeeper::store(const Fax &fax, bool insert)
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    // A fax already known is never made open again by its reception coming
    // twice (nor by a lookup that failed).
    query.prepare(insert ? QStringLiteral("INSERT INTO faxes (%1) VALUES (?, COALESCE(?, ''), ?, COALESCE(?, ''),"
                                          " COALESCE(?, ''), COALESCE(?, ''), ?, ?) ON CONFLICT(commid) DO NOTHING")
                               .arg(Columns)
                         : QStringLiteral("UPDATE faxes SET commid = ?, departments = COALESCE(?, ''), state = ?,"
                                          " user = COALESCE(?, ''), name = COALESCE(?, ''), memo = COALESCE(?, ''), at = ?,"
                                          " received = ? WHERE commid = ?"));
    for (const QVariant &value : {QVariant(fax.commId), QVariant(fax.departments.join(QLatin1Char(','))),
                                  QVariant(int(fax.state)), QVariant(fax.user), QVariant(fax.name), QVariant(fax.memo),
                                  QVariant(fax.at.toMSecsSinceEpoch()), QVariant(fax.received.toMSecsSinceEpoch())})
        query.addBindValue(value);
    if (!insert)
        query.addBindValue(fax.commId);
    if (query.exec() && query.numRowsAffected() == 1)
        return true;
    if (query.lastError().type() == QSqlError::NoError)
        return false; // there already (an insert), or gone (an update)
    qCWarning(lcRelays).noquote() << QStringLiteral("the state of %1 cannot be kept: %2").arg(fax.commId, query.lastError().text());
    return false;
}

void StateKeeper::publish(const QString &topic, const QByteArray &payload)
{
    if (m_batching)
        m_held.append({topic, payload});
    else if (m_publish)
        m_publish(topic, payload);
}

void StateKeeper::say(const Fax &fax)
{
    const QByteArray payload = message(fax);
    for (const QString &department : fax.departments)
        publish(Topics::state(m_root, m_server, department, fax.commId), payload);
}

void StateKeeper::clear(const Fax &fax)
{
    for (const QString &department : fax.departments)
        publish(Topics::state(m_root, m_server, department, fax.commId), QByteArray());
}

void StateKeeper::add(const Reception &reception, const QStringList &departments)
{
    if (!m_open || reception.commId.isEmpty() || fax(reception.commId).isValid())
        return;
    Fax fax;
    fax.commId = reception.commId;
    fax.departments = departments;
    fax.at = now();
    fax.received = fax.at;
    if (store(fax, true)) {
        if (m_count >= 0)
            ++m_count;
        say(fax);
    }
    expire(false);
}

StateKeeper::Fax StateKeeper::fax(const QString &commId) const
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    query.prepare(QStringLiteral("SELECT %1 FROM faxes WHERE commid = ?").arg(Columns));
    query.addBindValue(commId);
    return m_open && query.exec() && query.next() ? faxFrom(query) : Fax();
}

int StateKeeper::count() const
{
    QSqlQuery query(QSqlDatabase::database(m_connection));
    return m_open && query.exec(QStringLiteral("SELECT COUNT(*) FROM faxes")) && query.next() ? query.value(0).toInt() : 0;
}

bool StateKeeper::request(const QString &user, const QString &commId, const QByteArray &payload, QString *refusal)
{
    auto refuse = [refusal](const QString &why) {
        *refusal = why;
        return false;
    };
    if (payload.size() > MaxRequestSize)
        return refuse(QStringLiteral("a request of %1 bytes (at most %2)").arg(payload.size()).arg(MaxRequestSize));
    QString why;
    if (!Topics::checkLevel(user, &why) || !Topics::isCommId(commId))
        return refuse(QStringLiteral("a request on a topic that names no user or fax"));
    QJsonParseError parsed;
    const QJsonObject object = QJsonDocument::fromJson(payload, &parsed).object();
    if (parsed.error != QJsonParseError::NoError || object.isEmpty())
        return refuse(QStringLiteral("a request of %1 that is no JSON object").arg(user));
    Fax fax = this->fax(commId);
    if (!fax.isValid())
        return refuse(QStringLiteral("%1 asked about %2, a fax not known here").arg(user, commId));
    const QString action = object.value(QStringLiteral("action")).toString();
    const QString name = FaxState::clean(object.value(QStringLiteral("name")).toString(), MaxNameLength);
    const QString holder = fax.name.isEmpty() ? fax.user : fax.name;
    // Who has it (or made it done): the user, and the person where both
    // name one (desks that share a broker account are told apart so).
    const bool holds = fax.user == user && (name.isEmpty() || fax.name.isEmpty() || fax.name == name);
    if (action == QLatin1String("take")) {
        if (fax.state == State::Taken && !holds)
            return refuse(QStringLiteral("%1 asked to take %2, which %3 has").arg(user, commId, holder));
        if (fax.state == State::Done)
            return refuse(QStringLiteral("%1 asked to take %2, which is done").arg(user, commId));
        fax.state = State::Taken;
        fax.user = user;
        fax.name = name;
    } else if (action == QLatin1String("release")) {
        // Who has it lets go; who made it done takes that back.
        if (fax.state == State::Open || !holds)
            return refuse(QStringLiteral("%1 asked to let go of %2, which it does not have").arg(user, commId));
        fax.state = State::Open;
        fax.user.clear();
        fax.name.clear();
    } else if (action == QLatin1String("done")) {
        if (fax.state == State::Taken && !holds)
            return refuse(QStringLiteral("%1 asked to make %2 done, which %3 has").arg(user, commId, holder));
        if (fax.state == State::Done)
            return refuse(QStringLiteral("%1 asked to make %2 done, which is done already").arg(user, commId));
        fax.state = State::Done;
        fax.user = user;
        fax.name = name;
    } else if (action == QLatin1String("memo")) {
        const QJsonValue memo = object.value(QStringLiteral("memo"));
        if (!memo.isString() || memo.toString().size() > MaxMemoLength)
            return refuse(QStringLiteral("%1 gave %2 a memo that is no text of at most %3 characters")
                              .arg(user, commId)
                              .arg(MaxMemoLength));
        fax.memo = FaxState::clean(memo.toString(), MaxMemoLength);
    } else {
        return refuse(QStringLiteral("%1 asked '%2' of %3: no such request").arg(user, action.left(40), commId));
    }
    fax.at = now();
    if (!store(fax, false))
        return refuse(QStringLiteral("the state of %1 cannot be kept").arg(commId));
    say(fax);
    qCInfo(lcRelays).noquote() << QStringLiteral("%1: %2 by %3").arg(commId, stateWord(fax.state), user);
    return true;
}

void StateKeeper::requestMessage(const QString &topic, const QByteArray &payload)
{
    const Topics::Address address = Topics::parse(m_root, topic);
    if (address.kind != Topics::Kind::Request || address.server != m_server)
        return;
    // An empty message is a kept one taken back: no request.
    if (payload.isEmpty())
        return;
    QString refusal;
    if (!request(address.user, address.commId, payload, &refusal))
        qCWarning(lcRelays).noquote() << QStringLiteral("refused a request: %1").arg(refusal);
}

void StateKeeper::batch(const std::function<void()> &work)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    const bool transaction = m_open && db.transaction();
    // What the requests changed is said once it is kept, not before.
    m_batching = transaction;
    work();
    m_batching = false;
    const QList<QPair<QString, QByteArray>> held = std::exchange(m_held, {});
    if (transaction && !db.commit()) {
        qCWarning(lcRelays).noquote() << QStringLiteral("the states that %1 messages changed cannot be kept: %2; they stand "
                                                        "as they were")
                                             .arg(held.size())
                                             .arg(db.lastError().text());
        db.rollback();
        return;
    }
    for (const auto &message : held)
        publish(message.first, message.second);
}

void StateKeeper::sayAll()
{
    if (!m_open || !m_publish)
        return;
    QSqlQuery query(QSqlDatabase::database(m_connection));
    if (!query.exec(QStringLiteral("SELECT %1 FROM faxes").arg(Columns)))
        return;
    while (query.next())
        say(faxFrom(query));
}

void StateKeeper::expire()
{
    expire(true);
}

void StateKeeper::expire(bool byAge)
{
    if (!m_open)
        return;
    if (m_count < 0) {
        QSqlQuery counted(QSqlDatabase::database(m_connection));
        if (!counted.exec(QStringLiteral("SELECT COUNT(*) FROM faxes")) || !counted.next())
            return;
        m_count = counted.value(0).toInt();
    }
    // By age once a minute (or when asked); by number when past it, the
    // oldest read from the index on the time of reception, as many as are
    // over: never a read of them all at every reception.
    byAge = byAge || !m_agesExpired.isValid() || m_agesExpired.hasExpired(60000);
    const qint64 over = qint64(m_count) - m_maxFaxes;
    if (!byAge && over <= 0)
        return;
    if (byAge)
        m_agesExpired.start();
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    QSqlQuery query(db);
    QList<Fax> gone;
    const auto read = [&] {
        if (query.exec()) {
            while (query.next())
                gone.append(faxFrom(query));
        }
        query.finish();
    };
    if (over > 0) {
        query.prepare(QStringLiteral("SELECT %1 FROM faxes ORDER BY received LIMIT ?").arg(Columns));
        query.addBindValue(over);
        read();
    }
    if (byAge) {
        // A share a pass (after a long stop, many may have aged at once).
        query.prepare(QStringLiteral("SELECT %1 FROM faxes WHERE received < ? ORDER BY received LIMIT ? OFFSET ?").arg(Columns));
        query.addBindValue(now().addDays(-MaxAgeDays).toMSecsSinceEpoch());
        query.addBindValue(ExpireShare);
        query.addBindValue(gone.size()); // those read above are the oldest
        read();
    }
    const auto remove = [&] {
        for (const Fax &fax : std::as_const(gone)) {
            query.prepare(QStringLiteral("DELETE FROM faxes WHERE commid = ?"));
            query.addBindValue(fax.commId);
            if (query.exec() && query.numRowsAffected() > 0) {
                --m_count;
                clear(fax);
            }
        }
    };
    // In one transaction (within the caller's, when there is one).
    if (m_batching || gone.isEmpty())
        remove();
    else
        batch(remove);
}
