#include "faxmonitor/refusallog.h"

RefusalLog::RefusalLog(Category category, int window, bool asWarning, QObject *parent)
    : QObject(parent)
    , m_category(category)
    , m_asWarning(asWarning)
    , m_window(window)
{
    m_clock.start();
    connect(&m_timer, &QTimer::timeout, this, &RefusalLog::summarise);
}

void RefusalLog::note(const QString &key, const QString &text)
{
    if (m_window <= 0) {
        say(text);
        return;
    }
    auto it = m_entries.find(key);
    if (it == m_entries.end()) {
        say(text);
        Entry entry;
        entry.since = m_clock.elapsed();
        m_entries.insert(key, entry);
        if (!m_timer.isActive())
            m_timer.start(m_window);
        return;
    }
    ++it->count;
    it->last = text;
}

void RefusalLog::summarise()
{
    const qint64 now = m_clock.elapsed();
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        // Quiet for a whole window: the next one is said at once again.
        if (it->count == 0) {
            if (now - it->since >= m_window)
                it = m_entries.erase(it);
            else
                ++it;
            continue;
        }
        say(QStringLiteral("%1 more like this in the last %2 s, the last: %3")
                .arg(it->count)
                .arg(m_window / 1000.0)
                .arg(it->last));
        it->count = 0;
        it->since = now;
        ++it;
    }
    if (m_entries.isEmpty())
        m_timer.stop();
}

void RefusalLog::say(const QString &text)
{
    if (m_asWarning)
        qCWarning(m_category).noquote() << text;
    else
        qCInfo(m_category).noquote() << text;
}
