#pragma once

#include "core/linkserver.h"
#include "core/reception.h"
#include "core/unixlistener.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <functional>

class RefusalLog;

// The fax monitor: what every running kavrel-s's fax link connects to. The
// fax server's reception hook posts each reception on one socket; the monitor
// turns it into one notification line and writes that line to every link
// connected on the other socket (see MonitorProtocol).
//
// Only root, the monitor's own user and the named posters may post; who may
// listen is decided by the link socket's permissions (owner and the fax
// group), and how many links each user may have by the link server's limits.
class FaxMonitor : public QObject
{
    Q_OBJECT

public:
    // Posts being read at one time, at most; each holds a descriptor.
    static constexpr int MaxPendingPosts = 32;
    // What a kavrel-s that connects gets of the receptions posted before:
    // those of the last ten seconds, so that one coming back after the
    // monitor restarted (a package upgrade) misses nothing.
    static constexpr int HoldTime = 10000;

    explicit FaxMonitor(QObject *parent = nullptr);

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
    // Stops listening: the sockets go, and the links with them.
    void close();

    // Receptions go to the links of the people of the departments route
    // gives for them: a department's people are the members of its Unix
    // group (groups, by department id); a user in none of the groups is of
    // defaultDepartment. Without routing, every link gets every reception.
    using Route = std::function<QStringList(const Reception &)>;
    void setRouting(Route route, const QString &defaultDepartment, const QHash<QString, QString> &groups);
    // The departments of user uid's links, as set up (looked up once a user).
    QStringList departmentsOf(uid_t uid);

Q_SIGNALS:
    // Each reception, as it is passed on to the links.
    void received(const Reception &reception);

    // The monitor cannot serve any more (its sockets were taken away and
    // cannot be made again); it should end, so that it is started afresh.
    void failed(const QString &error);

private:
    bool listenForLinks(QString *error);
    bool listenForPosts(QString *error);
    void socketLost(const QString &which);
    void takePost(int descriptor, uint uid, int pid);
    void publish(const QList<QByteArray> &fields);

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
    Route m_route;
    QString m_defaultDepartment;
    bool m_filterLinks = false;
    QHash<gid_t, QString> m_departmentOfGroup;
    QHash<uid_t, QStringList> m_userDepartments;
};
