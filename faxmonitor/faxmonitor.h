#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <sys/types.h>

class QLocalServer;
class QLocalSocket;

// The fax monitor: what every running kavrel-s's fax link connects to. The
// fax server's reception hook posts each reception on one socket; the monitor
// turns it into one notification line and writes that line to every link
// connected on the other socket.
//
// Only root and the fax server's user may post; who may listen is decided
// by the link socket's permissions (owner and the fax group).
class FaxMonitor : public QObject
{
    Q_OBJECT

public:
    // The fields of a post, in this order, each ended by a NUL byte.
    static constexpr int PostFields = 6;
    // A longer post is refused: HylaFAX's fields are short.
    static constexpr qsizetype MaxPostSize = 16 * 1024;
    // What may wait to be written to one link before the link is dropped
    // (it does not read; it reconnects on its own and gets what comes next).
    static constexpr qint64 MaxQueuedPerLink = 1024 * 1024;
    // How long a poster may take to send its post.
    static constexpr int PostTimeout = 2000;

    explicit FaxMonitor(QObject *parent = nullptr);

    static QString defaultFolder();
    static QString linkSocketName() { return QStringLiteral("orvex-monitor.sock"); }
    static QString postSocketName() { return QStringLiteral("post.sock"); }

    // Listens in folder; posts are taken from root, from this process's own
    // user and from the users in posters. The link socket's group becomes
    // linkGroup where it exists.
    bool listen(const QString &folder, const QStringList &posters, const QString &linkGroup, QString *error);

    // The notification line for a post's fields (without the line end):
    // reception time, sender's TSI, caller's number, caller's name, pages,
    // and OK or the reception's error.
    static QByteArray notificationLine(const QList<QByteArray> &fields);

private:
    void acceptLinks();
    void takePost(int descriptor);
    void readPost(QLocalSocket *poster);
    void publishPost(const QByteArray &post);
    void refusePost(QLocalSocket *poster, const QString &why);
    void publish(const QByteArray &line);

    QLocalServer *m_links;
    QLocalServer *m_posts;
    QList<QLocalSocket *> m_connected;
    QList<uid_t> m_posters;
};
