#include "faxmonitor/faxmonitor.h"

#include "core/monitorprotocol.h"
#include "faxmonitor/logging.h"
#include "faxmonitor/post.h"
#include "faxmonitor/refusallog.h"

#include <QFile>
#include <QHash>

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Looked up once a user: a flood of refusals must not mean a lookup (which
// may go over the network) each.
QString userName(uid_t uid)
{
    static QHash<uid_t, QString> known;
    const auto found = known.constFind(uid);
    if (found != known.cend())
        return *found;
    const passwd *user = getpwuid(uid);
    const QString name = user ? QFile::decodeName(user->pw_name) : QString::number(uid);
    if (known.size() < 4096)
        known.insert(uid, name);
    return name;
}

// Who may listen when the link group cannot be used.
QString ownerAndRoot()
{
    const QString owner = userName(geteuid());
    return owner == QLatin1String("root") ? owner : QStringLiteral("root and %1").arg(owner);
}

} // namespace

FaxMonitor::FaxMonitor(QObject *parent)
    : QObject(parent)
    , m_refusals(new RefusalLog(lcPosts, 60000, true, this))
    , m_comings(new RefusalLog(lcLinks, 60000, false, this))
{
    // One user who connects and hangs up in a loop must not flood the
    // journal either.
    connect(&m_links, &LinkServer::linkConnected, this, [this](uint uid, int count) {
        m_comings->note(QStringLiteral("connected %1").arg(uid),
                        QStringLiteral("a link of user %1 connected (%2 now)").arg(userName(uid)).arg(count));
    });
    connect(&m_links, &LinkServer::linkLeft, this, [this](uint uid, int count) {
        m_comings->note(QStringLiteral("left %1").arg(uid),
                        QStringLiteral("a link of user %1 went away (%2 now)").arg(userName(uid)).arg(count));
    });
    connect(&m_links, &LinkServer::linkDropped, this, [](uint uid, const QString &why) {
        qCWarning(lcLinks).noquote() << QStringLiteral("dropped a link of user %1: %2").arg(userName(uid), why);
    });
    connect(&m_links, &LinkServer::linkRefused, this, [this](uint uid, const QString &why) {
        m_refusals->note(QStringLiteral("link %1").arg(uid),
                         QStringLiteral("refused a link of user %1: %2").arg(userName(uid), why));
    });
    connect(&m_links, &LinkServer::acceptFailed, this, [this](const QString &why) {
        m_refusals->note(QStringLiteral("accept links"), QStringLiteral("turned a link away: %1").arg(why));
    });
    connect(&m_posts, &UnixListener::acceptFailed, this, [this](const QString &why) {
        m_refusals->note(QStringLiteral("accept posts"), QStringLiteral("turned a post away: %1").arg(why));
    });
    connect(&m_links, &LinkServer::socketLost, this, [this] { socketLost(QStringLiteral("links")); });
    connect(&m_posts, &UnixListener::socketLost, this, [this] { socketLost(QStringLiteral("posts")); });
    connect(&m_posts, &UnixListener::accepted, this, &FaxMonitor::takePost);

    LinkServer::Limits limits;
    limits.holdTime = HoldTime;
    m_links.setLimits(limits);
}

void FaxMonitor::setRefusalWindow(int milliseconds)
{
    m_refusals->setWindow(milliseconds);
}

void FaxMonitor::setComingsWindow(int milliseconds)
{
    m_comings->setWindow(milliseconds);
}

bool FaxMonitor::listen(const QString &folder, const QStringList &posters, const QString &linkGroup,
                        QString *error)
{
    m_folder = folder;
    m_linkGroup = linkGroup;
    m_posters = {0, geteuid()};
    QStringList names{QStringLiteral("root")};
    if (geteuid() != 0)
        names.append(userName(geteuid()));
    QStringList missing;
    for (const QString &name : posters) {
        if (const passwd *user = getpwnam(QFile::encodeName(name).constData())) {
            m_posters.append(user->pw_uid);
            names.append(name);
        } else {
            missing.append(name);
        }
    }
    for (const QString &name : std::as_const(missing)) {
        qCWarning(lcPosts).noquote() << QStringLiteral("there is no user %1; posts are taken from %2 only")
                                            .arg(name, names.join(QStringLiteral(", ")));
    }

    if (!linkGroup.isEmpty()) {
        if (const group *fax = getgrnam(QFile::encodeName(linkGroup).constData()))
            m_linkGid = fax->gr_gid;
        else
            qCWarning(lcLinks).noquote() << QStringLiteral("there is no group %1; only %2 may listen").arg(linkGroup, ownerAndRoot());
    }
    const QByteArray native = QFile::encodeName(folder);
    if (::mkdir(native.constData(), 0755) != 0 && errno != EEXIST) {
        *error = QStringLiteral("cannot make the folder %1: %2").arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (!listenForLinks(error))
        return false;
    if (!listenForPosts(error)) {
        m_links.close();
        return false;
    }
    return true;
}

void FaxMonitor::close()
{
    m_posts.close();
    m_links.close();
}

bool FaxMonitor::listenForLinks(QString *error)
{
    const QString path = m_folder + QLatin1Char('/') + MonitorProtocol::linkSocketName();
    if (!m_links.listen(path, 0660, error))
        return false;
    if (m_linkGid == gid_t(-1))
        return true;
    if (::chown(QFile::encodeName(path).constData(), uid_t(-1), m_linkGid) != 0) {
        qCWarning(lcLinks).noquote() << QStringLiteral("cannot give %1 to the group %2 (%3); only %4 may listen")
                                            .arg(path, m_linkGroup, QString::fromLocal8Bit(std::strerror(errno)),
                                                 ownerAndRoot());
    }
    return true;
}

bool FaxMonitor::listenForPosts(QString *error)
{
    // Anyone may reach the post socket; the poster's credentials decide.
    return m_posts.listen(m_folder + QLatin1Char('/') + MonitorProtocol::postSocketName(), 0666, error);
}

void FaxMonitor::socketLost(const QString &which)
{
    // Somebody removed or replaced a socket file: nobody could reach the
    // monitor there any more. Listening again keeps the links that are
    // connected; if that fails, the monitor ends so that it is restarted.
    // What was put in its place (a file, a link) is the monitor's to
    // replace: the folder is its own.
    const QByteArray path = QFile::encodeName(m_folder + QLatin1Char('/')
                                              + (which == QLatin1String("links") ? MonitorProtocol::linkSocketName()
                                                                                 : MonitorProtocol::postSocketName()));
    struct stat st;
    if (::lstat(path.constData(), &st) == 0 && !S_ISSOCK(st.st_mode) && !S_ISDIR(st.st_mode))
        ::unlink(path.constData());
    QString error;
    const bool again = which == QLatin1String("links") ? listenForLinks(&error) : listenForPosts(&error);
    if (!again) {
        qCCritical(lcLinks).noquote() << QStringLiteral("the socket for %1 was removed, and cannot be made again: %2")
                                             .arg(which, error);
        Q_EMIT failed(error);
        return;
    }
    // Said once it is so: whoever reads the journal may connect at once.
    qCWarning(lcLinks).noquote() << QStringLiteral("the socket for %1 was removed; listening again").arg(which);
}

void FaxMonitor::takePost(int descriptor, uint uid, int pid)
{
    QString refusal;
    if (!m_posters.contains(uid_t(uid)))
        refusal = QStringLiteral("user %1 (process %2) may not post receptions").arg(userName(uid)).arg(pid);
    else if (m_pendingPosts >= MaxPendingPosts)
        refusal = QStringLiteral("%1 posts are being read already").arg(m_pendingPosts);
    if (!refusal.isEmpty()) {
        ::close(descriptor);
        m_refusals->note(QStringLiteral("post %1").arg(uid), QStringLiteral("refused a post: %1").arg(refusal));
        return;
    }
    auto *post = new Post(descriptor, m_postTimeout, this);
    ++m_pendingPosts;
    connect(post, &QObject::destroyed, this, [this] { --m_pendingPosts; });
    connect(post, &Post::completed, this, &FaxMonitor::publish);
    connect(post, &Post::refused, this, [](const QString &why) {
        qCWarning(lcPosts).noquote() << QStringLiteral("refused a post: %1").arg(why);
    });
    post->start();
}

void FaxMonitor::setRouting(Route route, const QString &defaultDepartment, const QHash<QString, QString> &groups)
{
    m_route = std::move(route);
    m_defaultDepartment = defaultDepartment;
    // With groups given, links are filtered even when none of them can be
    // found: their people then get the default department's, as told.
    m_filterLinks = !groups.isEmpty();
    m_departmentOfGroup.clear();
    m_userDepartments.clear();
    for (auto it = groups.cbegin(); it != groups.cend(); ++it) {
        const group *found = getgrnam(QFile::encodeName(it.value()).constData());
        if (!found) {
            qCWarning(lcLinks).noquote() << QStringLiteral("the group %1 of department %2 does not exist: its people's "
                                                           "kavrel-s get the department %3's receptions")
                                                .arg(it.value(), it.key(), defaultDepartment);
            continue;
        }
        m_departmentOfGroup.insert(found->gr_gid, it.key());
        qCInfo(lcLinks).noquote() << QStringLiteral("the kavrel-s of group %1 get the department %2's receptions")
                                         .arg(it.value(), it.key());
    }
}

QStringList FaxMonitor::departmentsOf(uid_t uid)
{
    const auto known = m_userDepartments.constFind(uid);
    if (known != m_userDepartments.cend())
        return *known;
    QStringList departments;
    const passwd *user = getpwuid(uid);
    if (user && !m_departmentOfGroup.isEmpty()) {
        gid_t groups[256];
        int count = 256;
        if (getgrouplist(user->pw_name, user->pw_gid, groups, &count) < 0)
            count = 256; // more than that: the first are looked at
        for (int i = 0; i < count; ++i) {
            const QString department = m_departmentOfGroup.value(groups[i]);
            if (!department.isEmpty() && !departments.contains(department))
                departments.append(department);
        }
    }
    if (departments.isEmpty())
        departments.append(m_defaultDepartment);
    // Looked up once a user, as names are: a flood must not mean a lookup
    // (which may go over the network) each. One that failed is tried again.
    if (user && m_userDepartments.size() < 4096)
        m_userDepartments.insert(uid, departments);
    return departments;
}

void FaxMonitor::publish(const QList<QByteArray> &fields)
{
    const Reception reception = Reception::fromPost(fields);
    if (m_route && m_filterLinks) {
        const QStringList departments = m_route(reception);
        m_links.publish(reception.line() + '\n', [this, departments](uint uid) {
            const QStringList mine = departmentsOf(uid_t(uid));
            return std::any_of(mine.cbegin(), mine.cend(),
                               [&departments](const QString &department) { return departments.contains(department); });
        });
    } else {
        m_links.publish(reception.line() + '\n');
    }
    Q_EMIT received(reception);
}
