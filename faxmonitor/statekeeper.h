#pragma once

#include "core/faxstate.h"
#include "core/reception.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

// Who has each fax: the one shared state of every fax this fax server
// received, decided here and nowhere else. The desktops ask (a request on
// <root>/<server>/request/<user>/<commid>, the broker's ACL letting each
// user publish under its own name only); the keeper takes the first
// 担当する and refuses another while the fax is held, and says each state as
// a message the broker keeps (on the fax's state topic of each of its
// departments), so that a desktop that was away is up to date the moment it
// connects. The states are kept in a SQLite file of their own, so that they
// outlive a restart of the monitor and of the broker (they are said again
// at each connection).
//
//   未対応 (open)   --担当する (take)-->            対応中 (taken, by a user)
//   未対応, 対応中  --完了にする (done)-->          完了 (done, by a user)
//   対応中          --担当を外す (release)-->       未対応, by the one who has it
//   完了            --未対応に戻す (release)-->     未対応, by the one who made it done
//
// A memo (メモ) may be set at any state. States are kept 90 days and at most
// 100,000 faxes, the oldest going first; one that goes has its kept message
// taken back (an empty message). A request that is malformed, too large,
// for a fax not known here, or not allowed is refused, said in the journal,
// and changes nothing.
class StateKeeper : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxAgeDays = 90;
    static constexpr int MaxFaxes = 100000;
    static constexpr int MaxRequestSize = 1024;
    static constexpr int MaxNameLength = FaxState::MaxNameLength;
    static constexpr int MaxMemoLength = FaxState::MaxMemoLength;
    // Faxes let go of by age in one pass, at most (the rest at the next).
    static constexpr int ExpireShare = 1000;

    // As the desktops read them (and as the file keeps them).
    enum class State { Open = FaxState::Open, Taken = FaxState::Taken, Done = FaxState::Done };
    struct Fax {
        QString commId;
        QStringList departments;
        State state = State::Open;
        QString user;  // the broker's user who took it or made it done
        QString name;  // as that user's desktop names its person
        QString memo;
        QDateTime at;  // of the last change
        QDateTime received;
        bool isValid() const { return !commId.isEmpty(); }
    };

    // Says a message: topic, payload, kept by the broker.
    using Publish = std::function<void(const QString &topic, const QByteArray &payload)>;
    using Clock = std::function<QDateTime()>;

    explicit StateKeeper(QObject *parent = nullptr);
    ~StateKeeper() override;

    // Keeps the states in the file at path; false with the reason.
    bool open(const QString &path, QString *error);
    // Where states are said: under root, for this server.
    void setPublisher(Publish publish, const QString &root, const QString &server);
    void setClock(Clock clock) { m_clock = std::move(clock); }
    void setMaxFaxes(int faxes) { m_maxFaxes = faxes; }

    // A reception that names its fax: open, said to its departments.
    void add(const Reception &reception, const QStringList &departments);
    // A request of user about commId; false with why it was refused.
    bool request(const QString &user, const QString &commId, const QByteArray &payload, QString *refusal);
    // Requests as they come from the broker (topic and payload), a share
    // at a time: in one transaction, never holding the monitor up long.
    void requestMessage(const QString &topic, const QByteArray &payload);
    // Runs work in one transaction of the file.
    void batch(const std::function<void()> &work);
    Fax fax(const QString &commId) const;
    int count() const;
    // Says every state again (a broker that lost what it kept).
    void sayAll();
    // Lets go of what is past the bounds.
    void expire();

    // The message of a state.
    static QByteArray message(const Fax &fax);

private:
    QDateTime now() const { return m_clock ? m_clock() : QDateTime::currentDateTime(); }
    // Inserts a new fax (keeping one that is there), or updates one.
    bool store(const Fax &fax, bool insert);
    void publish(const QString &topic, const QByteArray &payload);
    void say(const Fax &fax);
    void clear(const Fax &fax);
    // byAge: the ages looked at too (else once a minute).
    void expire(bool byAge);
    QString m_connection;
    bool m_open = false;
    Publish m_publish;
    QString m_root;
    QString m_server;
    Clock m_clock;
    int m_maxFaxes = MaxFaxes;
    int m_count = -1;              // faxes in the file, once counted
    QElapsedTimer m_agesExpired;
    // Within batch(): what is said waits for the transaction to be kept.
    bool m_batching = false;
    QList<QPair<QString, QByteArray>> m_held;
};
