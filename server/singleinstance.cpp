#include "server/singleinstance.h"

#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

namespace {

const QByteArray ShowRequest = "show\n";

QString runtimeFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

} // namespace

SingleInstance::SingleInstance(QObject *parent)
    : SingleInstance(runtimeFolder(), parent)
{
}

SingleInstance::SingleInstance(const QString &folder, QObject *parent)
    : QObject(parent)
    , m_socketPath(folder + QStringLiteral("/kavrel-s.instance"))
    , m_lock(folder + QStringLiteral("/kavrel-s.lock"))
{
    // Held for the life of the process: never stale by age, only when the
    // process that wrote it is gone.
    m_lock.setStaleLockTime(0);
}

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close();
}

bool SingleInstance::claim()
{
    if (!m_lock.tryLock(0))
        return false;
    // The socket of a copy that was killed may still be there; the claim
    // says it is ours to replace.
    QLocalServer::removeServer(m_socketPath);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *peer = m_server->nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                if (!peer->canReadLine())
                    return;
                if (peer->readLine(64) == ShowRequest)
                    Q_EMIT activationRequested();
                peer->disconnectFromServer();
            });
        }
    });
    if (!m_server->listen(m_socketPath))
        qWarning("kavrel-s: cannot listen at %s: %s", qPrintable(m_socketPath), qPrintable(m_server->errorString()));
    return true;
}

bool SingleInstance::activateRunning()
{
    // The running copy may have just claimed and not be listening yet, so
    // attempts are repeated for a while, paced by a short sleep: nothing else
    // is going on in this process.
    const QDeadlineTimer deadline(ActivationTimeout);
    QLocalSocket socket;
    do {
        socket.connectToServer(m_socketPath);
        if (socket.waitForConnected(int(qMax<qint64>(1, deadline.remainingTime())))) {
            socket.write(ShowRequest);
            // Answered when the running copy has read the request and hung up.
            return socket.waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime())))
                && (socket.state() == QLocalSocket::UnconnectedState
                    || socket.waitForDisconnected(int(qMax<qint64>(1, deadline.remainingTime()))));
        }
        socket.abort();
        QThread::msleep(50);
    } while (!deadline.hasExpired());
    return false;
}
