#include "refusallog.h"

RefusalLog::RefusalLog(Say say, int window, QObject *parent)
    : QObject(parent)
    , m_say(std::move(say))
    , m_window(window)
{
    connect(&m_timer, &QTimer::timeout, this, &RefusalLog::summarise);
}

void RefusalLog::note(const QString &key, const QString &text)
{
    if (m_window <= 0) {
        m_say(text);
        return;
    }
    auto it = m_entries.find(key);
    if (it == m_entries.end()) {
        m_say(text);
        m_entries.insert(key, Entry());
        if (!m_timer.isActive())
            m_timer.start(m_window);
        return;
    }
    ++it->count;
    it->last = text;
}

void RefusalLog::summarise()
{
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->count == 0) {
            it = m_entries.erase(it);
            continue;
        }
        m_say(QStringLiteral("%1 more like this in the last %2 s, the last: %3")
                  .arg(it->count)
                  .arg(m_window / 1000.0)
                  .arg(it->last));
        it->count = 0;
        ++it;
    }
    if (m_entries.isEmpty())
        m_timer.stop();
}
