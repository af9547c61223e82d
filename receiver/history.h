#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QList>
#include <QSet>
#include <QObject>
#include <QString>
#include <QTimer>

#include "receiver/historybounds.h"
#include "receiver/historydocuments.h"
#include "receiver/historyentry.h"
#include "receiver/historyfile.h"
#include "receiver/historysearch.h"

#include <functional>
#include <memory>

class QSqlQuery;
class QThread;

// Every reception kavrel-r heard of, newest first, kept in SQLite in
// $XDG_DATA_HOME/kavrel-r/history.sqlite so that it survives restarts, and
// bounded (HistoryBounds): the newest MaxEntries, none older than MaxAgeDays,
// and at most MaxBytes of text, the oldest going first. The faxes' documents
// are kept beside (HistoryDocuments).
//
// Receptions are written at the next turn of the event loop, all that came
// in one turn in one transaction (a flood is thousands a second); flush()
// writes what waits at once, so that a reception is in the file before its
// notice shows.
//
// A file that cannot be opened or is damaged is moved aside, with the time
// in its name, and a new one started; one that another process holds is
// left alone, and the history is kept in memory meanwhile. A file far over
// the bounds (an older version's, another tool's) is brought within them
// away from the program's loop before it is opened, receptions waiting in
// memory meanwhile. A write that fails (a full disk) keeps the receptions
// waiting, bounded as the history is, and tries again by itself. Each is
// said once, through problem().
class History : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxEntries = 10000;
    static constexpr int MaxAgeDays = 365;
    // Of the receptions' lines and the faxes' texts (each kept twice: as it
    // came, and folded for the search).
    static constexpr qint64 MaxBytes = 256 * 1024 * 1024;
    // Milliseconds before a write that failed is tried again.
    static constexpr int RetryDelay = 2000;
    // Documents (the faxes themselves, PDF) are kept beside, as many as fit
    // in this, the oldest going first, and with the receptions they belong to.
    static constexpr qint64 MaxDocumentBytes = 1024LL * 1024 * 1024;
    // Documents whose reception has not come (yet) are kept a day, and at
    // most this many.
    static constexpr int MaxWaitingDocuments = 16;
    // States whose reception is not here are kept this long (the broker
    // says every fax's at each connection, most of them of faxes long gone
    // from this history, some of faxes still on their way), and this many
    // at most.
    static constexpr int OrphanStateMinutes = 10;
    static constexpr int MaxOrphanStates = MaxEntries;
    // States waiting to be written, at most (they come a share at a time).
    static constexpr int MaxPendingStates = 2 * MaxEntries;
    // Pages of faxes' texts waiting to be written (or for their reception,
    // OrphanStateMinutes at most), at most.
    static constexpr int MaxPendingTexts = 1000;

    using Entry = HistoryEntry;

    // What the window asks for: receptions that have every word of search
    // in their caller, number, error or text, and pass its filters
    // (HistorySearch), sorted by a column.
    enum class SortBy { Arrived, Caller, Number, Pages, Received, What, Department, State, Document, Source, Copies };
    // Which receptions: all; faxes nobody has taken (未対応); those the
    // user me has (自分の担当); failed ones.
    enum class Show { All, Open, Mine, Failed };
    struct Query {
        QString search;
        Show show = Show::All;
        // This desk's broker user and person, for Show::Mine (a broker
        // account several desks share tells its people apart by name).
        QString me;
        QString myName;
        // Receptions left out (removed, while that can still be undone).
        QList<qint64> hidden;
        // Only this department's (its id); every one when empty.
        QString department;
        SortBy sortBy = SortBy::Arrived;
        Qt::SortOrder order = Qt::DescendingOrder;
    };

    explicit History(const QString &path = defaultPath(), QObject *parent = nullptr);
    ~History() override;

    static QString defaultPath();

    // Opens the file (or starts a new one in its place); false when no
    // file at all can be kept, and the history lives in memory only. A file
    // far over the bounds is compacted first: compacting() meanwhile.
    bool open();
    bool compacting() const { return !m_compactor.isNull(); }
    // As the program ends: a compaction under way is let finish, and what
    // waits is written.
    void finish();
    // A file's size in pages of 4 KiB at most (tests stand a full disk with
    // it); 0 for no bound.
    void setMaxPages(int pages);
    // Bounds and clocks of the tests' own.
    void setMaxBytes(qint64 bytes) { m_bounds.setMaxBytes(bytes); }
    void setRetryDelay(int milliseconds) { m_retryDelay = milliseconds; }
    using Clock = HistoryBounds::Clock;
    void setClock(Clock clock) { m_bounds.setClock(std::move(clock)); }

    // Adds a reception; returns its id (until it is written, a number of
    // the history's own, below zero; SQLite numbers it then). commId names
    // it as the fax server does, when its document is to follow.
    qint64 add(const QDateTime &arrived, const QString &source, const QString &text, const QString &commId = QString(),
               const QString &department = QString());
    // Whether the reception add() took last is a failed one.
    bool lastAddedFailed() const { return !m_pending.isEmpty() && m_pending.constLast().failed; }
    // Another copy of the reception id came (with commId, when this copy
    // names its document and the first did not; with the department the
    // broker's copy was sent to, when the first, a datagram, named none).
    void addCopy(qint64 id, const QString &commId = QString(), const QString &department = QString());
    // How many receptions there are, and a page of them, newest first (or
    // as query sorts and filters), the text of each cut to previewLength
    // characters (whole with -1).
    int count();
    int count(const Query &query);
    QList<Entry> page(int offset, int limit, int previewLength = -1);
    QList<Entry> page(int offset, int limit, int previewLength, const Query &query);
    QList<Entry> entries(int limit = MaxEntries) { return page(0, limit); }
    // The number SQLite gave a reception add() numbered below zero (the same
    // number when it is not written yet, or was one of SQLite's).
    qint64 writtenId(qint64 id) const { return id < 0 ? m_written.value(id, id) : id; }
    // One reception, and the newest whose document came.
    Entry entry(qint64 id);
    Entry latestDocument();
    // Whether the document (or the picture) of commId is kept already: a
    // second one (the broker's second delivery, or anyone else's) is not
    // taken.
    bool hasKept(const QString &commId, bool picture);
    // A document or the picture of a reception's first page came, kept in
    // the history's folder under name; false when it cannot be recorded
    // (then the file is the caller's to remove).
    bool addDocument(const QString &commId, const QString &name);
    bool addPicture(const QString &commId, const QString &name);
    // The fax monitor could not make the document of commId.
    void setDocumentFailed(const QString &commId, const QString &error);
    // A page of what the fax commId says (kept only while its reception is).
    void addText(const QString &commId, const FaxText &text);
    // Where the fax commId matches what search asks (page 0: not in its text).
    HistorySearch::Match match(const QString &commId, const QString &search);
    QList<HistorySearch::PageText> texts(const QString &commId);
    // Where the documents are kept.
    QString documentFolder() const { return m_documents.folder(); }
    // The reception named commId, newest first; 0 when none is.
    qint64 idOf(const QString &commId);
    void markUnread(qint64 id);
    void remove(qint64 id);
    // The text of reception id, whole.
    QString text(qint64 id);
    int unreadCount() const;
    // The state of the fax key, as its fax monitor said it last (one that
    // is not known forgets it); and what it is now.
    void setState(const QString &key, const FaxState &state);
    FaxState state(const QString &key);
    // Faxes nobody has taken yet: those whose fax monitor says so, and
    // those unread of which no state is known (a datagram's).
    int openCount();
    // The oldest reception unread now (the rest come after it: all are read
    // at once); 0 when none is.
    qint64 firstUnread();
    void markAllRead();
    void clear();
    // Writes what waits now; false when it could not (it waits on).
    bool flush();

Q_SIGNALS:
    void problem(const QString &text);
    void changed();

private:
    bool openNow();
    // Whether the file is so far over the bounds that it is compacted
    // before it is opened.
    bool oversized() const;
    void startCompacting();
    void compacted();
    // A reception waiting in memory, by id or by communication id; null
    // when none is.
    const Entry *waiting(qint64 id, const QString &commId = QString()) const;
    bool keep(const QString &commId, bool picture, const QString &name);
    void scheduleWrite();
    void prune();
    bool writeStates(QString *error);
    void pruneStates();
    QSqlDatabase db() const { return m_file->database(); }
    bool isOpen() const { return m_file && m_file->isOpen(); }
    // Says a problem: in the journal, and to the user through problem().
    void tell(const QString &text);

    QString m_path;
    std::unique_ptr<HistoryFile> m_file;
    HistoryBounds m_bounds;
    HistoryDocuments m_documents;
    int m_maxPages = 0;
    int m_retryDelay = RetryDelay;
    qint64 m_nextPendingId = -1;
    QHash<qint64, qint64> m_written;  // ids given out while pending -> SQLite's
    QList<Entry> m_pending;           // not yet written, oldest first
    QHash<qint64, int> m_pendingCopies; // copies of written entries not yet counted
    QHash<QString, FaxState> m_pendingStates; // by fax key, not yet written
    // Pages of texts by fax key: not yet written, and come before their
    // reception (tried again as receptions are written, for a while).
    struct WaitingText {
        QString key;
        FaxText text;
        qint64 came = 0;
    };
    QList<WaitingText> m_pendingTexts;
    QList<WaitingText> m_waitingTexts;
    QList<WaitingText> m_nextWaitingTexts; // as the transaction under way leaves them
    // The receptions the words of the last search find, in the connection's
    // temporary table found: a count and each page of one search read them
    // once. Found again after every write.
    bool findWords(const HistorySearch::Terms &terms);
    bool m_found = false;
    QStringList m_foundWords;
    qint64 m_foundVersion = -1; // the file's, as SQLite counts others' writes
    bool writeTexts(bool receptionsWritten, qint64 *bytes, QString *error);
    qint64 m_droppedTexts = 0;
    qint64 m_droppedStates = 0;
    int m_statesSincePrune = 0;
    QElapsedTimer m_statesPruned;
    QTimer m_writeTimer;
    std::unique_ptr<QSqlQuery> m_insert;
    bool m_writeFailed = false;       // said, until a write works again
    QPointer<QThread> m_compactor;
    std::shared_ptr<std::pair<bool, QString>> m_compactResult;
    bool m_compacted = false;         // once per start
    // What is asked while the file is compacted, done once it is open.
    struct WaitingDocument {
        QString commId;
        bool picture = false;
        QString name;                 // empty for a failure
        QString error;
    };
    QList<WaitingDocument> m_waitingDocuments;
    bool m_clearWaiting = false;
    bool m_readWaiting = false;
};
