#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

// Every reception kavrel-r heard of, newest first, kept in SQLite in
// $XDG_DATA_HOME/kavrel-r/history.sqlite so that it survives restarts, and
// bounded: the newest MaxEntries, none older than MaxAgeDays.
//
// Receptions are written in batches (a flood is thousands a second), a
// moment after they come. A file that cannot be opened or is damaged is
// moved aside, with the time in its name, and a new one started; a write
// that fails (a full disk) keeps the receptions waiting and tries again.
// Either is said once, through problem().
class History : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxEntries = 10000;
    static constexpr int MaxAgeDays = 365;
    // Milliseconds between a reception and its write.
    static constexpr int WriteDelay = 200;

    struct Entry {
        qint64 id = 0;
        QDateTime arrived; // local time
        QString source;    // the sender's address
        QString text;
        int copies = 1;
        bool unread = true;
    };

    explicit History(const QString &path = defaultPath(), QObject *parent = nullptr);
    ~History() override;

    static QString defaultPath();

    // Opens the file (or starts a new one in its place); false when no
    // file at all can be kept, and the history lives in memory only.
    bool open();
    // A file's size in pages of 4 KiB at most (tests stand a full disk with
    // it); 0 for no bound.
    void setMaxPages(int pages);

    // Adds a reception; returns its id (until it is written, a number of
    // the history's own, below zero; SQLite numbers it then).
    qint64 add(const QDateTime &arrived, const QString &source, const QString &text);
    // Another copy of the reception id came.
    void addCopy(qint64 id);
    QList<Entry> entries(int limit = MaxEntries) const;
    int unreadCount() const { return m_unread; }
    void markAllRead();
    void clear();
    // Writes what waits now.
    void flush();

Q_SIGNALS:
    void problem(const QString &text);
    void changed();

private:
    enum class Opening { Opened, Damaged, Busy };
    Opening openFile(QString *error);
    bool createSchema(QString *error);
    void moveAside(const QString &why);
    bool exec(const QString &statement, QString *error = nullptr);
    void prune();
    void scheduleWrite();
    // Says a problem: in the journal, and to the user through problem().
    void tell(const QString &text);

    QString m_path;
    QString m_connection;
    bool m_open = false;
    int m_maxPages = 0;
    qint64 m_nextPendingId = -1;
    QHash<qint64, qint64> m_written;  // ids given out while pending -> SQLite's
    int m_unread = 0;
    QList<Entry> m_pending;           // not yet written, oldest first
    QHash<qint64, int> m_pendingCopies; // copies of written entries not yet counted
    QTimer m_writeTimer;
    bool m_writeFailed = false;       // said, until a write works again
};
