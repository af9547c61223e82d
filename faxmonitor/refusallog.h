#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QLoggingCategory>
#include <QObject>
#include <QString>
#include <QTimer>

// Says what was refused without letting anyone flood the journal: the
// first refusal of a kind (a user's posts, say) is said at once; the ones
// that follow within the window are counted and summed up in one line at its
// end. A kind that stays quiet for a whole window is said at once again.
// With a window of 0, everything is said as it comes.
class RefusalLog : public QObject
{
    Q_OBJECT

public:
    using Category = const QLoggingCategory &(*)();

    // What is said is a warning, or with asWarning false, news.
    RefusalLog(Category category, int window, bool asWarning, QObject *parent = nullptr);

    void setWindow(int milliseconds) { m_window = milliseconds; }
    // One refusal: key says of what kind (the user and what was refused),
    // text what to say about it.
    void note(const QString &key, const QString &text);

private:
    void summarise();
    void say(const QString &text);

    struct Entry {
        int count = 0;
        QString last;
        qint64 since = 0; // when the window it is counted in began
    };
    Category m_category;
    bool m_asWarning;
    QElapsedTimer m_clock;
    int m_window;
    QTimer m_timer;
    QHash<QString, Entry> m_entries;
};
