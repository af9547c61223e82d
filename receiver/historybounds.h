#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QSqlDatabase>

#include <functional>

// What the history keeps: the newest maxEntries, none older than maxAgeDays,
// and at most maxBytes of text, the oldest going first. It counts what the
// file holds as rows come and go, so that a full history costs a flood only
// the rows that leave it.
//
// Ages are told by a clock that cannot jump: never ahead of the time since
// the history was opened, and never further than the newest reception kept
// at start and the time since, whatever the wall clock says.
class HistoryBounds
{
public:
    struct Limits {
        int maxEntries = 0;
        int maxAgeDays = 0;
        qint64 maxBytes = 0;
    };
    explicit HistoryBounds(const Limits &limits);

    using Clock = std::function<QDateTime()>;
    void setClock(Clock clock);
    void setMaxBytes(qint64 bytes) { m_limits.maxBytes = bytes; }
    const Limits &limits() const { return m_limits; }

    // Now as the wall clock says, but never ahead of the time since the
    // history was opened; and now as ages are counted.
    QDateTime now() const;
    // The clock as it is, jumps and all.
    QDateTime wall() const { return m_clock ? m_clock() : QDateTime::currentDateTime(); }
    QDateTime ageNow() const;
    // The oldest arrival kept.
    qint64 oldestKept() const { return ageNow().addDays(-m_limits.maxAgeDays).toMSecsSinceEpoch(); }

    // A file was opened: ages are counted from its newest reception when
    // the wall clock is ahead of it (a clock set years ahead at start must
    // not empty the history), and what it holds is counted again.
    void opened(const QSqlDatabase &db);

    // Rows written (bytes of their texts, the unread among them); and the
    // unread the file holds.
    void written(int rows, qint64 bytes, int unread);
    int rows() const { return qMax(0, m_rows); }
    int unread() const { return m_unread; }
    void setUnread(int unread) { m_unread = unread; }
    // A reception older than the bound was written: ages are pruned at the
    // next prune() rather than within the minute.
    void ageWritten() { m_pruneAges = true; }

    // The oldest that are over the bounds go; true when any that had a
    // document went.
    bool prune(const QSqlDatabase &db);
    // Counts what the file holds.
    void recount(const QSqlDatabase &db);
    void cleared() { m_unread = 0; m_bytes = 0; m_rows = 0; }

    // Brings a file far over the bounds within them and its size down
    // (SQLite's VACUUM), on a connection of its own: run away from the
    // program's loop. False with error when it could not.
    static bool compact(const QString &path, const Limits &limits, qint64 oldestKept, QString *error);

private:
    Limits m_limits;
    Clock m_clock;
    QDateTime m_openedAt;
    QElapsedTimer m_sinceOpened;
    QDateTime m_ageBase;
    QElapsedTimer m_sinceAgeBase;
    int m_unread = 0;
    qint64 m_bytes = 0; // of the texts written
    int m_rows = -1;    // written; -1 until counted
    bool m_pruneAges = false;
    QElapsedTimer m_agesPruned;
};
