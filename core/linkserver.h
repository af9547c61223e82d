#pragma once

#include "core/unixlistener.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>

#include <deque>
#include <functional>

class QLocalSocket;

// Passes what is published to every link connected on a Unix socket: the
// fax monitor's fan-out of reception lines to each running kavrel-s, and the
// same for the simulator and the tests' monitor.
//
// Links only listen. None of them can hold the others up or make the process
// grow without bound: how many may connect (in all, and for one user), what
// may wait to be written to one link, and what may wait for all of them
// together are limited; a link over a limit is dropped (a kavrel-s connects
// again by itself and gets what comes next) and the slowest go first.
//
// With a hold time, what is published in that time after listening begins
// is kept for the links that connect within it: a kavrel-s that comes back
// after the monitor restarted (a package upgrade) gets what was posted
// meanwhile. A process that had a link before gets only what came after that
// link went away, so each piece reaches each process once. Later on nothing
// is kept: a kavrel-s started at a login does not send old receptions again.
class LinkServer : public QObject
{
    Q_OBJECT

public:
    struct Limits {
        int maxLinks = 1000;
        int maxLinksPerUser = 8;
        qint64 maxQueuedPerLink = 1024 * 1024;
        qint64 maxQueuedTotal = 4 * 1024 * 1024;
        // Milliseconds after listening begins in which what is published is
        // kept for links that connect later; none when 0.
        int holdTime = 0;
        int maxHeld = 1000;
        qint64 maxHeldBytes = 1024 * 1024;
    };

    explicit LinkServer(QObject *parent = nullptr);
    ~LinkServer() override;

    void setLimits(const Limits &limits) { m_limits = limits; }
    // Milliseconds since listening began, as the hold time counts them
    // (tests stand a later moment with their own clock).
    using Clock = std::function<qint64()>;
    void setClock(Clock clock) { m_clock = std::move(clock); }
    const Limits &limits() const { return m_limits; }

    bool listen(const QString &path, mode_t mode, QString *error);
    void close();
    bool isListening() const { return m_listener.isListening(); }
    QString path() const { return m_listener.path(); }

    // Writes bytes, as they are, to every link (of a user that takes says
    // takes them, when it is given: a department's receptions go to its
    // people only).
    using Takes = std::function<bool(uint uid)>;
    void publish(const QByteArray &bytes, const Takes &takes = Takes());

    int linkCount() const { return int(m_links.size()); }
    // What waits to be written, all links together.
    qint64 queuedBytes() const;

Q_SIGNALS:
    void linkConnected(uint uid, int links);
    void linkLeft(uint uid, int links);
    void linkRefused(uint uid, const QString &why);
    void linkDropped(uint uid, const QString &why);
    void acceptFailed(const QString &why);
    void socketLost();

private:
    struct Link {
        QLocalSocket *socket;
        uint uid;
        int pid;
        quint64 lastSequence; // of the last piece written to it
    };
    struct Held {
        quint64 sequence;
        QByteArray bytes;
        Takes takes;
    };

    void take(int descriptor, uint uid, int pid);
    void write(Link &link, const QByteArray &bytes);
    void drop(qsizetype index, const QString &why);
    // Drops the slowest links until what waits for all of them is within
    // the budget.
    void keepWithinBudget();
    void forget(QLocalSocket *socket);
    bool holding();

    Limits m_limits;
    UnixListener m_listener;
    QList<Link> m_links;
    quint64 m_sequence = 0;
    QElapsedTimer m_listening;
    Clock m_clock;
    std::deque<Held> m_held;
    qint64 m_heldBytes = 0;
    QHash<int, quint64> m_departed; // the last piece each process had, by process id
};
