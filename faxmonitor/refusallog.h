#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

// Says what was refused without letting anyone flood the journal: the
// first refusal of a kind (a user's posts, say) is said at once; the ones
// that follow within the window are counted and summed up in one line at its
// end. A kind that stays quiet for a whole window is said at once again.
// With a window of 0, everything is said as it comes.
class RefusalLog : public QObject
{
    Q_OBJECT

public:
    using Say = std::function<void(const QString &)>;

    RefusalLog(Say say, int window, QObject *parent = nullptr);

    // One refusal: key says of what kind (the user and what was refused),
    // text what to say about it.
    void note(const QString &key, const QString &text);

private:
    void summarise();

    struct Entry {
        int count = 0;
        QString last;
        qint64 since = 0; // when the window it is counted in began
    };
    QElapsedTimer m_clock;
    Say m_say;
    int m_window;
    QTimer m_timer;
    QHash<QString, Entry> m_entries;
};
