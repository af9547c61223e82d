#include "faxmonitor.h"

#include <QDateTime>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QTimer>

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace {

// One field as it may stand in the line: text (bytes that are not UTF-8 are
// replaced), with commas, line breaks and other control characters made
// blanks, and blanks around it trimmed.
QString cleanField(const QByteArray &raw)
{
    QString text = QString::fromUtf8(raw);
    for (QChar &c : text) {
        if (c == QLatin1Char(',') || c.category() == QChar::Other_Control || c == QChar(0x2028) || c == QChar(0x2029))
            c = QLatin1Char(' ');
    }
    return text.trimmed();
}

// HylaFAX writes the time of reception as "2026:12:07 06:38:44", local time,
// and the line carries it as "2026/12/07 06:38:44". Read by hand: a
// QDateTime format parse costs tens of microseconds a post.
QString receptionTime(const QString &received)
{
    static const QRegularExpression form(
        QStringLiteral("^([0-9]{4}):([0-9]{2}):([0-9]{2}) ([0-9]{2}):([0-9]{2}):([0-9]{2})$"));
    const QRegularExpressionMatch match = form.match(received);
    if (match.hasMatch()) {
        int parts[6];
        for (int i = 0; i < 6; ++i)
            parts[i] = match.capturedView(i + 1).toInt();
        if (QDate(parts[0], parts[1], parts[2]).isValid() && QTime(parts[3], parts[4], parts[5]).isValid())
            return QString::asprintf("%04d/%02d/%02d %02d:%02d:%02d", parts[0], parts[1], parts[2], parts[3],
                                     parts[4], parts[5]);
    }
    // Not given or not readable: the post comes as the reception ends, so
    // the time of the post is the time of the reception, give or take.
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"));
}

// Hands each post's connection over as it is accepted, as a bare
// descriptor, so that a post can be read without setting up a socket object.
class PostServer : public QLocalServer
{
public:
    using Take = std::function<void(int)>;
    PostServer(Take take, QObject *parent)
        : QLocalServer(parent)
        , m_take(std::move(take))
    {
    }

protected:
    void incomingConnection(quintptr descriptor) override { m_take(int(descriptor)); }

private:
    Take m_take;
};

void say(const QString &text)
{
    std::fprintf(stderr, "kavrel-faxmon: %s\n", qPrintable(text));
    std::fflush(stderr);
}

} // namespace

FaxMonitor::FaxMonitor(QObject *parent)
    : QObject(parent)
    , m_links(new QLocalServer(this))
    , m_posts(new PostServer([this](int descriptor) { takePost(descriptor); }, this))
{
    connect(m_links, &QLocalServer::newConnection, this, &FaxMonitor::acceptLinks);
}

QString FaxMonitor::defaultFolder()
{
    return QStringLiteral("/run/kavrel-faxmon");
}

bool FaxMonitor::listen(const QString &folder, const QStringList &posters, const QString &linkGroup,
                        QString *error)
{
    m_posters = {0, geteuid()};
    for (const QString &name : posters) {
        if (const passwd *user = getpwnam(QFile::encodeName(name).constData()))
            m_posters.append(user->pw_uid);
        else
            say(QStringLiteral("no user %1; posts are taken from root only").arg(name));
    }

    const QString linkPath = folder + QLatin1Char('/') + linkSocketName();
    const QString postPath = folder + QLatin1Char('/') + postSocketName();
    QLocalServer::removeServer(linkPath);
    QLocalServer::removeServer(postPath);
    m_links->setSocketOptions(QLocalServer::UserAccessOption | QLocalServer::GroupAccessOption);
    // Anyone may reach the post socket; the poster's credentials decide.
    m_posts->setSocketOptions(QLocalServer::WorldAccessOption);
    if (!m_links->listen(linkPath)) {
        *error = QStringLiteral("cannot listen at %1: %2").arg(linkPath, m_links->errorString());
        return false;
    }
    if (!m_posts->listen(postPath)) {
        *error = QStringLiteral("cannot listen at %1: %2").arg(postPath, m_posts->errorString());
        return false;
    }
    if (!linkGroup.isEmpty()) {
        const group *fax = getgrnam(QFile::encodeName(linkGroup).constData());
        if (!fax || chown(QFile::encodeName(linkPath).constData(), uid_t(-1), fax->gr_gid) != 0)
            say(QStringLiteral("cannot give %1 to the group %2; only its owner may listen").arg(linkPath, linkGroup));
    }
    return true;
}

QByteArray FaxMonitor::notificationLine(const QList<QByteArray> &fields)
{
    QStringList cleaned;
    for (const QByteArray &field : fields)
        cleaned.append(cleanField(field));
    cleaned.resize(PostFields);
    const QString &error = cleaned.at(5);
    const QStringList line{receptionTime(cleaned.at(0)), cleaned.at(1), cleaned.at(2), cleaned.at(3), cleaned.at(4),
                           error.isEmpty() ? QStringLiteral("OK") : error};
    return line.join(QLatin1Char(',')).toUtf8();
}

void FaxMonitor::acceptLinks()
{
    while (QLocalSocket *link = m_links->nextPendingConnection()) {
        m_connected.append(link);
        say(QStringLiteral("a link connected (%1 now)").arg(m_connected.size()));
        connect(link, &QLocalSocket::disconnected, this, [this, link] {
            if (m_connected.removeAll(link))
                say(QStringLiteral("a link went away (%1 now)").arg(m_connected.size()));
            link->deleteLater();
        });
        // Links only listen: whatever they write is dropped.
        connect(link, &QLocalSocket::readyRead, link, [link] { link->readAll(); });
    }
}

void FaxMonitor::takePost(int descriptor)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    QString refusal;
    if (getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        refusal = QStringLiteral("its sender cannot be told");
    else if (!m_posters.contains(peer.uid))
        refusal = QStringLiteral("user %1 (process %2) may not post receptions").arg(peer.uid).arg(peer.pid);
    if (!refusal.isEmpty()) {
        say(QStringLiteral("refused a post: %1").arg(refusal));
        ::close(descriptor);
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
    connect(poster, &QLocalSocket::disconnected, poster, &QObject::deleteLater);
    connect(poster, &QLocalSocket::readyRead, this, [this, poster] { readPost(poster); });
    // A poster that goes quiet is not waited for, and one that hangs up
    // early has posted nothing.
    QTimer::singleShot(PostTimeout, poster, [this, poster] { refusePost(poster, QStringLiteral("it was not finished in time")); });
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
    publish(notificationLine(fields));
}

void FaxMonitor::refusePost(QLocalSocket *poster, const QString &why)
{
    if (poster->property("done").toBool())
        return;
    poster->setProperty("done", true);
    say(QStringLiteral("refused a post: %1").arg(why));
    poster->abort();
    poster->deleteLater();
}

void FaxMonitor::publish(const QByteArray &line)
{
    const QByteArray bytes = line + '\n';
    const QList<QLocalSocket *> links = m_connected;
    for (QLocalSocket *link : links) {
        if (link->bytesToWrite() + bytes.size() > MaxQueuedPerLink) {
            say(QStringLiteral("dropped a link that does not read (%1 bytes waiting)").arg(link->bytesToWrite()));
            m_connected.removeAll(link);
            link->abort();
            link->deleteLater();
            continue;
        }
        // Straight to the socket when nothing waits before it (Qt would
        // write it on the next turn of the event loop); what does not fit
        // waits in the link's buffer, after anything already waiting.
        qsizetype sent = 0;
        if (link->bytesToWrite() == 0) {
            const ssize_t n = ::send(int(link->socketDescriptor()), bytes.constData(), size_t(bytes.size()),
                                     MSG_DONTWAIT | MSG_NOSIGNAL);
            sent = n > 0 ? n : 0;
        }
        if (sent < bytes.size())
            link->write(bytes.constData() + sent, bytes.size() - sent);
    }
}
