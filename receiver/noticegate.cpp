#include "receiver/noticegate.h"

#include "receiver/history.h"

NoticeGate::NoticeGate(History *history, QObject *parent)
    : QObject(parent)
    , m_history(history)
{
    m_clock.start();
    m_release.setSingleShot(true);
    connect(&m_release, &QTimer::timeout, this, &NoticeGate::release);
}

void NoticeGate::setIntervals(int copyWindow, int gatherInterval)
{
    m_copyWindow = copyWindow;
    m_gatherInterval = gatherInterval;
}

void NoticeGate::take(const QString &text, const QString &source)
{
    const qint64 now = m_clock.elapsed();
    // Forget what is older than the window, now and then rather than at
    // every datagram.
    if (m_recent.size() > 1024) {
        for (auto it = m_recent.begin(); it != m_recent.end();)
            it = now - it->time > m_copyWindow ? m_recent.erase(it) : std::next(it);
    }
    const auto seen = m_recent.constFind(text);
    if (seen != m_recent.cend() && now - seen->time <= m_copyWindow) {
        m_history->addCopy(seen->id);
        return;
    }
    const qint64 id = m_history->add(QDateTime::currentDateTime(), source, text);
    m_recent.insert(text, Seen{id, now});

    m_latest = text;
    ++m_waiting;
    // The first shows at once; what follows within the interval waits.
    if (!m_release.isActive())
        release();
}

void NoticeGate::release()
{
    if (m_waiting == 0)
        return;
    const int count = std::exchange(m_waiting, 0);
    m_release.start(m_gatherInterval);
    Q_EMIT show(NotificationText::parse(m_latest), count);
}
