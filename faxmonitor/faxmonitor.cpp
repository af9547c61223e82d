#include "faxmonitor.h"

#include "refusallog.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One field as it may stand in the line: text (bytes that are not UTF-8 are
// replaced), with commas, line breaks and other control characters made
// blanks, and blanks around it trimmed.
QString cleanField(const QByteArray &raw)
{
    QString text = QString::fromUtf8(raw);
    for (QChar &c : text) {
        // Format characters (zero-width space, direction marks) count as
        // blanks too: a message of them alone reads as nothing.
        if (c == QLatin1Char(',') || c.category() == QChar::Other_Control || c.category() == QChar::Other_Format
            || c == QChar(0x2028) || c == QChar(0x2029))
            c = QLatin1Char(' ');
    }
    return text.trimmed();
}

// HylaFAX writes the time of reception as "2026:12:07 06:38:44", local time.
// Read by hand: a QDateTime format parse costs tens of microseconds a post.
QDateTime receptionTime(const QString &received)
{
    static const QRegularExpression form(
        QStringLiteral("^([0-9]{4}):([0-9]{2}):([0-9]{2}) ([0-9]{2}):([0-9]{2}):([0-9]{2})$"));
    const QRegularExpressionMatch match = form.match(received);
    if (match.hasMatch()) {
        int parts[6];
        for (int i = 0; i < 6; ++i)
            parts[i] = match.capturedView(i + 1).toInt();
        const QDate date(parts[0], parts[1], parts[2]);
        const QTime time(parts[3], parts[4], parts[5]);
        if (date.isValid() && time.isValid())
            return QDateTime(date, time);
    }
    // Not given or not readable: the post comes as the reception ends, so
    // the time of the post is the time of the reception, give or take.
    return QDateTime::currentDateTime();
}

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

} // namespace

void FaxMonitor::sayOnStandardError(const QString &text)
{
    std::fprintf(stderr, "kavrel-faxmon: %s\n", qPrintable(text));
    std::fflush(stderr);
}

const QString FaxMonitor::BlankErrorText = QStringLiteral("受信エラー");

FaxMonitor::FaxMonitor(Say say, QObject *parent)
    : QObject(parent)
    , m_say(say ? std::move(say) : Say(sayOnStandardError))
    , m_refusals(new RefusalLog(m_say, 60000, this))
    , m_comings(new RefusalLog(m_say, 60000, this))
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
    connect(&m_links, &LinkServer::linkDropped, this, [this](uint uid, const QString &why) {
        m_say(QStringLiteral("dropped a link of user %1: %2").arg(userName(uid), why));
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
    delete m_refusals;
    m_refusals = new RefusalLog(m_say, milliseconds, this);
}

void FaxMonitor::setComingsWindow(int milliseconds)
{
    delete m_comings;
    m_comings = new RefusalLog(m_say, milliseconds, this);
}

QString FaxMonitor::defaultFolder()
{
    return QStringLiteral("/run/kavrel-faxmon");
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
    for (const QString &name : std::as_const(missing))
        m_say(QStringLiteral("there is no user %1; posts are taken from %2 only").arg(name, names.join(QStringLiteral(", "))));

    const QString owner = userName(geteuid());
    const QString who = owner == QLatin1String("root") ? owner : QStringLiteral("root and %1").arg(owner);
    if (!linkGroup.isEmpty()) {
        if (const group *fax = getgrnam(QFile::encodeName(linkGroup).constData()))
            m_linkGid = fax->gr_gid;
        else
            m_say(QStringLiteral("there is no group %1; only %2 may listen").arg(linkGroup, who));
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

bool FaxMonitor::listenForLinks(QString *error)
{
    const QString path = m_folder + QLatin1Char('/') + linkSocketName();
    if (!m_links.listen(path, 0660, error))
        return false;
    if (m_linkGid == gid_t(-1))
        return true;
    if (::chown(QFile::encodeName(path).constData(), uid_t(-1), m_linkGid) != 0) {
        const QString owner = userName(geteuid());
        m_say(QStringLiteral("cannot give %1 to the group %2 (%3); only %4 may listen")
                  .arg(path, m_linkGroup, QString::fromLocal8Bit(std::strerror(errno)),
                       owner == QLatin1String("root") ? owner : QStringLiteral("root and %1").arg(owner)));
    }
    return true;
}

bool FaxMonitor::listenForPosts(QString *error)
{
    // Anyone may reach the post socket; the poster's credentials decide.
    return m_posts.listen(m_folder + QLatin1Char('/') + postSocketName(), 0666, error);
}

void FaxMonitor::socketLost(const QString &which)
{
    // Somebody removed or replaced a socket file: nobody could reach the
    // monitor there any more. Listening again keeps the links that are
    // connected; if that fails, the monitor ends so that it is restarted.
    m_say(QStringLiteral("the socket for %1 was removed; listening again").arg(which));
    QString error;
    const bool again = which == QLatin1String("links") ? listenForLinks(&error) : listenForPosts(&error);
    if (!again) {
        m_say(error);
        Q_EMIT failed(error);
    }
}

Reception FaxMonitor::reception(const QList<QByteArray> &fields)
{
    QStringList cleaned;
    for (const QByteArray &field : fields)
        cleaned.append(cleanField(field));
    cleaned.resize(PostFields);
    Reception reception;
    reception.received = receptionTime(cleaned.at(0));
    reception.tsi = cleaned.at(1);
    reception.number = cleaned.at(2);
    reception.name = cleaned.at(3);
    reception.pages = cleaned.at(4);
    // OK only when HylaFAX gave no message at all: a message of blanks or
    // control characters, or one that reads OK, is still a failure.
    reception.status = QStringLiteral("OK");
    if (fields.size() >= PostFields && !fields.at(5).isEmpty()) {
        reception.status = cleaned.at(5);
        if (reception.status.isEmpty())
            reception.status = BlankErrorText;
        else if (reception.status.normalized(QString::NormalizationForm_KC).trimmed() == QLatin1String("OK"))
            reception.status = BlankErrorText + QStringLiteral("：") + reception.status;
    }
    return reception;
}

QByteArray Reception::line() const
{
    const QStringList fields{received.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")), tsi, number, name, pages, status};
    return fields.join(QLatin1Char(',')).toUtf8();
}

QByteArray Reception::json() const
{
    const int offset = received.offsetFromUtc();
    const QString zone = QString::asprintf("%c%02d:%02d", offset < 0 ? '-' : '+', qAbs(offset) / 3600,
                                           qAbs(offset) % 3600 / 60);
    bool numeric = false;
    const int pageCount = pages.toInt(&numeric);
    const bool ok = status == QLatin1String("OK");
    QJsonObject object{
        {QStringLiteral("received"), received.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + zone},
        {QStringLiteral("tsi"), tsi},
        {QStringLiteral("number"), number},
        {QStringLiteral("name"), name},
        {QStringLiteral("pages"), numeric ? QJsonValue(pageCount) : QJsonValue()},
        {QStringLiteral("status"), ok ? QStringLiteral("OK") : QStringLiteral("error")},
        {QStringLiteral("error"), ok ? QString() : status},
        {QStringLiteral("line"), QString::fromUtf8(line())},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
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

    // The hook writes its post as it connects, so it is usually all here
    // already: then it is dealt with on the spot.
    QByteArray post(MaxPostSize + 1, Qt::Uninitialized);
    const ssize_t received = ::recv(descriptor, post.data(), size_t(post.size()), MSG_DONTWAIT);
    post.resize(received > 0 ? received : 0);
    if (post.size() <= MaxPostSize && post.count('\0') >= PostFields) {
        publishPost(post);
        ::send(descriptor, "OK\n", 3, MSG_DONTWAIT | MSG_NOSIGNAL);
        ::close(descriptor);
        return;
    }

    auto *poster = new QLocalSocket(this);
    poster->setSocketDescriptor(descriptor);
    poster->setProperty("post", post);
    ++m_pendingPosts;
    connect(poster, &QObject::destroyed, this, [this] { --m_pendingPosts; });
    connect(poster, &QLocalSocket::disconnected, poster, &QObject::deleteLater);
    connect(poster, &QLocalSocket::readyRead, this, [this, poster] { readPost(poster); });
    // A poster that goes quiet is not waited for, and one that hangs up
    // early has posted nothing.
    QTimer::singleShot(m_postTimeout, poster, [this, poster] { refusePost(poster, QStringLiteral("it was not finished in time")); });
    connect(poster, &QLocalSocket::readChannelFinished, poster, [this, poster] {
        if (!poster->property("done").toBool())
            refusePost(poster, QStringLiteral("fields are missing"));
    });
    readPost(poster);
}

void FaxMonitor::readPost(QLocalSocket *poster)
{
    if (poster->property("done").toBool())
        return;
    QByteArray post = poster->property("post").toByteArray() + poster->readAll();
    if (post.size() > MaxPostSize) {
        refusePost(poster, QStringLiteral("it is over %1 bytes").arg(MaxPostSize));
        return;
    }
    if (post.count('\0') < PostFields) {
        poster->setProperty("post", post);
        return;
    }
    poster->setProperty("done", true);
    publishPost(post);
    poster->write("OK\n");
    poster->disconnectFromServer();
}

void FaxMonitor::publishPost(const QByteArray &post)
{
    QList<QByteArray> fields = post.split('\0');
    fields.resize(PostFields);
    const Reception posted = reception(fields);
    m_links.publish(posted.line() + '\n');
    Q_EMIT received(posted);
}

void FaxMonitor::refusePost(QLocalSocket *poster, const QString &why)
{
    if (poster->property("done").toBool())
        return;
    poster->setProperty("done", true);
    m_say(QStringLiteral("refused a post: %1").arg(why));
    poster->abort();
    poster->deleteLater();
}
