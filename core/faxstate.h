#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

// Who has a fax, as the fax monitor that received it says on the fax's
// state topic (kept by the broker), and what a desktop asks of it on its
// request topic (core/topics.h). One description for both ends:
//
//   state:   {"state": "open"|"taken"|"done", "at": ISO time,
//             "user": broker user, "name": person, "memo": text}
//   request: {"action": "take"|"release"|"done"|"memo", "name": person,
//             "memo": text}
//
// user and name stand in a taken or done state only; memo when there is one.
struct FaxState
{
    enum State { Unknown = -1, Open = 0, Taken = 1, Done = 2 };
    enum Action { Take, Release, Finish, Memo };
    // Characters of a person's name and of a memo, at most.
    static constexpr int MaxNameLength = 64;
    static constexpr int MaxMemoLength = 200;

    State state = Unknown;
    QString user; // the broker's user who took it or made it done
    QString name; // as that user's desktop names its person
    QString memo;
    QDateTime at; // of the last change

    bool isKnown() const { return state != Unknown; }
    bool operator==(const FaxState &other) const
    {
        return state == other.state && user == other.user && name == other.name && memo == other.memo && at == other.at;
    }
    bool operator!=(const FaxState &other) const { return !(*this == other); }
    // Who has it (or made it done), as a person reads it: the name, or the
    // user when the desktop gave none.
    QString who() const { return name.isEmpty() ? user : name; }

    static QString word(State state);
    QByteArray toJson() const;
    // A state message; Unknown (and *error) when it is none.
    static FaxState fromJson(const QByteArray &payload, QString *error = nullptr);
    static QByteArray request(Action action, const QString &name, const QString &memo = QString());
    // What a person typed, as it stands in a state: one line, without
    // control characters, blanks run together, at most length characters.
    // A desk compares its own name so cleaned with a state's.
    static QString clean(const QString &text, int length);
};
