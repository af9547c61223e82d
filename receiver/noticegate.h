#pragma once

#include "receiver/notificationtext.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTimer>

class History;

// Between what arrives and what the user is shown. Every reception goes to
// the history; the same text again within ten seconds (two relays, two
// network paths) is counted there as a copy, not shown again. Notices are
// shown one at a time, at most one per gathering interval: what comes
// meanwhile is gathered, and shown as one notice, saying how many came, so
// that a flood never opens thousands of popups.
class NoticeGate : public QObject
{
    Q_OBJECT

public:
    static constexpr int CopyWindow = 10000;
    static constexpr int GatherInterval = 3000;

    explicit NoticeGate(History *history, QObject *parent = nullptr);

    // Milliseconds (tests).
    void setIntervals(int copyWindow, int gatherInterval);

    void take(const QString &text, const QString &source);

Q_SIGNALS:
    // One notice to show; gathered is how many receptions it stands for
    // (1, or more when several came within the interval: then text is the
    // latest of them).
    void show(const NotificationText &text, int gathered);

private:
    void release();

    History *m_history;
    int m_copyWindow = CopyWindow;
    int m_gatherInterval = GatherInterval;
    QElapsedTimer m_clock;
    struct Seen {
        qint64 id;
        qint64 time;
    };
    QHash<QString, Seen> m_recent;   // text -> its history entry and when
    QString m_latest;   // the latest reception waiting to be shown
    int m_waiting = 0;  // how many wait
    QTimer m_release;
};
