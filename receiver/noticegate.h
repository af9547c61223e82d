#pragma once

#include "receiver/notificationtext.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>

#include <deque>

class History;

// Between what arrives and what the user is shown. Every reception goes to
// the history; the same text again within ten seconds (two relays, two
// network paths) is counted there as a copy, not shown again. Notices are
// shown one at a time, at most one per gathering interval: what comes
// meanwhile is gathered, and shown as one notice, saying how many came, so
// that a flood never opens thousands of popups. What a notice shows is in
// the history's file before it is shown.
//
// Each reception costs the same however many came before: the texts seen
// lately are known by a digest of each, and forgotten in the order they
// came.
class NoticeGate : public QObject
{
    Q_OBJECT

public:
    static constexpr int CopyWindow = 10000;
    static constexpr int GatherInterval = 3000;
    // Texts remembered for the copy check, at most (a flood within the
    // window remembers the newest).
    static constexpr int MaxRemembered = 100000;
    static constexpr size_t FloodRemembered = 1000; // more at once: the room is given back after

    explicit NoticeGate(History *history, QObject *parent = nullptr);

    // Milliseconds (tests).
    void setIntervals(int copyWindow, int gatherInterval);

    // One reception; commId names its document, when one is to follow.
    void take(const QString &text, const QString &source, const QString &commId = QString(),
              const QString &department = QString());

Q_SIGNALS:
    // One notice to show; gathered is how many receptions it stands for
    // (1, or more when several came within the interval: then text is the
    // latest of them).
    // failed is how many of them are failed receptions.
    void show(const NotificationText &text, int gathered, qint64 entry, int failed);

private:
    void release();
    void forgetOld(qint64 now);

    History *m_history;
    int m_copyWindow = CopyWindow;
    int m_gatherInterval = GatherInterval;
    QElapsedTimer m_clock;
    struct Seen {
        qint64 id;   // its history entry
        qint64 time; // when it came
    };
    QHash<QByteArray, Seen> m_recent;            // by the text's digest
    std::deque<std::pair<qint64, QByteArray>> m_order; // when each came, oldest first
    size_t m_mostRemembered = 0;                        // since it was last empty
    QString m_latest;   // the latest reception waiting to be shown
    qint64 m_latestEntry = 0;
    int m_waiting = 0;  // how many wait
    int m_failedWaiting = 0; // how many of them failed
    QTimer m_release;
    QTimer m_forget; // what is past the window goes, even when nothing more comes
};
