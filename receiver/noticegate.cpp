#include "receiver/noticegate.h"

#include "receiver/history.h"

#include <QCryptographicHash>

#ifdef __GLIBC__
#include <malloc.h>
#endif

NoticeGate::NoticeGate(History *history, QObject *parent)
    : QObject(parent)
    , m_history(history)
{
    m_clock.start();
    m_release.setSingleShot(true);
    connect(&m_release, &QTimer::timeout, this, &NoticeGate::release);
    m_forget.setSingleShot(true);
    connect(&m_forget, &QTimer::timeout, this, [this] { forgetOld(m_clock.elapsed()); });
}

void NoticeGate::setIntervals(int copyWindow, int gatherInterval)
{
    m_copyWindow = copyWindow;
    m_gatherInterval = gatherInterval;
}

void NoticeGate::forgetOld(qint64 now)
{
    while (!m_order.empty()
           && (now - m_order.front().first > m_copyWindow || m_order.size() > size_t(MaxRemembered))) {
        const auto found = m_recent.constFind(m_order.front().second);
        // Seen again since: it stays, under its later time.
        if (found != m_recent.cend() && found->time == m_order.front().first)
            m_recent.erase(found);
        m_order.pop_front();
    }
    if (m_order.empty()) {
        // A flood's worth of room is given back, to the system too: freed,
        // it would stay in the allocator's heap for good. (Not after every
        // reception of a quiet day: that would cost each notice.)
        if (std::exchange(m_mostRemembered, 0) >= FloodRemembered) {
            m_recent.squeeze();
            std::deque<std::pair<qint64, QByteArray>>().swap(m_order);
#ifdef __GLIBC__
            malloc_trim(0);
#endif
        }
    } else if (!m_forget.isActive()) {
        m_forget.start(int(qMax<qint64>(0, m_order.front().first + m_copyWindow + 1 - now)));
    }
}

void NoticeGate::take(const QString &text, const QString &source, const QString &commId, const QString &department)
{
    const qint64 now = m_clock.elapsed();
    forgetOld(now);
    const QByteArray digest = QCryptographicHash::hash(
        QByteArrayView(reinterpret_cast<const char *>(text.constData()), text.size() * qsizetype(sizeof(QChar))),
        QCryptographicHash::Sha1);
    const auto seen = m_recent.constFind(digest);
    if (seen != m_recent.cend()) {
        m_history->addCopy(seen->id, commId, department);
        return;
    }
    // In UTC: a local time costs a look at the system's zone (a stat of
    // /etc/localtime) each time it is turned into a number.
    const qint64 id = m_history->add(QDateTime::currentDateTimeUtc(), source, text, commId, department);
    // A failure among many is flagged on the notice that gathers them.
    if (m_history->lastAddedFailed())
        ++m_failedWaiting;
    m_recent.insert(digest, Seen{id, now});
    m_order.emplace_back(now, digest);
    m_mostRemembered = qMax(m_mostRemembered, m_order.size());

    m_latest = text;
    m_latestEntry = id;
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
    const int failed = std::exchange(m_failedWaiting, 0);
    m_release.start(m_gatherInterval);
    // Written before shown: a program ended the moment after has it kept.
    // (Should the file not take it, the notice shows all the same, and the
    // history keeps it waiting and says why.)
    m_history->flush();
    Q_EMIT show(NotificationText::parse(m_latest), count, m_history->writtenId(m_latestEntry), failed);
}
