#pragma once

#include "components/linkserver.h"
#include "components/unixlistener.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <functional>

class QLocalSocket;
class RefusalLog;

// One reception as the monitor passes it on: to the links as a line, and to
// the relays (datagrams with the same line, MQTT as JSON).
struct Reception
{
    QDateTime received; // local time
    QString tsi;
    QString number;
    QString name;
    QString pages;      // as HylaFAX gave it
    QString status;     // OK, or the message of a reception that failed

    // The six fields, comma-separated, UTF-8, without a line end.
    QByteArray line() const;
    // The same with named fields, for other tools: received (ISO 8601 with
    // its offset), tsi, number, name, pages (a number, or null), status (OK
    // or error), error, and the line itself.
    QByteArray json() const;
};

// The fax monitor: what every running kavrel-s's fax link connects to. The
// fax server's reception hook posts each reception on one socket; the monitor
// turns it into one notification line and writes that line to every link
// connected on the other socket.
//
// Only root, the monitor's own user and the named posters may post; who may
// listen is decided by the link socket's permissions (owner and the fax
// group), and how many links each user may have by the link server's limits.
class FaxMonitor : public QObject
{
    Q_OBJECT

public:
    // The fields of a post, in this order, each ended by a NUL byte.
    static constexpr int PostFields = 6;
    // A longer post is refused: HylaFAX's fields are short.
    static constexpr qsizetype MaxPostSize = 16 * 1024;
    // Posts being read at one time, at most; each holds a descriptor.
    static constexpr int MaxPendingPosts = 32;
    // What a kavrel-s that connects gets of the receptions posted before:
    // those of the last ten seconds, so that one coming back after the
    // monitor restarted (a package upgrade) misses nothing.
    static constexpr int HoldTime = 10000;
    // The last field of a failed reception whose message is blank.
    static const QString BlankErrorText;

    using Say = std::function<void(const QString &)>;

    // Says what it does through say (the journal: standard error).
    explicit FaxMonitor(Say say = Say(), QObject *parent = nullptr);
    // What the monitor says goes here unless told otherwise: the journal.
    static void sayOnStandardError(const QString &text);

    static QString defaultFolder();
    static QString linkSocketName() { return QStringLiteral("orvex-monitor.sock"); }
    static QString postSocketName() { return QStringLiteral("post.sock"); }

    // Milliseconds a poster may take to send its post.
    void setPostTimeout(int milliseconds) { m_postTimeout = milliseconds; }
    // Refusals, and links coming and going, are summed up once per window
    // (milliseconds; links coming and going are all said with 0).
    void setRefusalWindow(int milliseconds);
    void setComingsWindow(int milliseconds);
    LinkServer &links() { return m_links; }

    // Listens in folder (made when it is missing); posts are taken from
    // root, from this process's own user and from the users in posters. The
    // link socket's group becomes linkGroup where it exists. Refuses when
    // another monitor serves the folder.
    bool listen(const QString &folder, const QStringList &posters, const QString &linkGroup, QString *error);

    // The reception a post's fields stand for: reception time, sender's
    // TSI, caller's number, caller's name, pages, and the error (none for a
    // reception that succeeded).
    static Reception reception(const QList<QByteArray> &fields);
    // Its line (without the line end).
    static QByteArray notificationLine(const QList<QByteArray> &fields) { return reception(fields).line(); }

Q_SIGNALS:
    // Each reception, as it is passed on to the links.
    void received(const Reception &reception);

    // The monitor cannot serve any more (its sockets were taken away and
    // cannot be made again); it should end, so that it is started afresh.
    void failed(const QString &why);

private:
    bool listenForLinks(QString *error);
    bool listenForPosts(QString *error);
    void socketLost(const QString &which);
    void takePost(int descriptor, uint uid, int pid);
    void readPost(QLocalSocket *poster);
    void publishPost(const QByteArray &post);
    void refusePost(QLocalSocket *poster, const QString &why);

    Say m_say;
    RefusalLog *m_refusals;
    RefusalLog *m_comings;     // links that come and go, summed up the same way
    LinkServer m_links;
    UnixListener m_posts;
    QString m_folder;
    QString m_linkGroup;
    gid_t m_linkGid = gid_t(-1); // looked up once: later, descriptors may be short
    QList<uid_t> m_posters;
    int m_pendingPosts = 0;
    int m_postTimeout = 2000;
};
