#include "gui/singleinstance.h"

#include "core/runtimefolder.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <QFileInfo>
#include <QLocalServer>
#include <QLoggingCategory>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>

#include <memory>

namespace {

Q_LOGGING_CATEGORY(lcInstance, "kavrel.instance", QtInfoMsg)

const QByteArray ShowRequest = "show\n";

QString lockFailure(const QString &path, QLockFile::LockError error)
{
    switch (error) {
    case QLockFile::PermissionError:
        return QStringLiteral("%1 を作れません（権限がありません）。").arg(path);
    default:
        return QStringLiteral("%1 を作れません。").arg(path);
    }
}

} // namespace

SingleInstance::SingleInstance(const QString &name, QObject *parent)
    : SingleInstance(name, RuntimeFolder::preferred(), parent)
{
}

SingleInstance::SingleInstance(const QString &name, const QStringList &folders, QObject *parent)
    : QObject(parent)
    , m_name(name)
    , m_folders(folders)
{
}

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close();
}

QString SingleInstance::socketPath() const
{
    return m_folder + QLatin1Char('/') + m_name + QStringLiteral(".instance");
}

SingleInstance::Claim SingleInstance::claim(QString *error)
{
    // A copy started with another environment (from a terminal without
    // XDG_RUNTIME_DIR, say) may hold its claim in another of the places:
    // each is looked at first, and only then is the claim made in the best.
    for (const QString &folder : std::as_const(m_folders)) {
        if (!RuntimeFolder::isPrivate(folder))
            continue;
        QLockFile held(folder + QLatin1Char('/') + m_name + QStringLiteral(".lock"));
        held.setStaleLockTime(0);
        if (QFileInfo(held.fileName()).exists() && !held.tryLock(0) && held.error() == QLockFile::LockFailedError) {
            m_folder = folder;
            return Claim::HeldByAnother;
        }
    }
    QStringList reasons;
    for (const QString &folder : std::as_const(m_folders)) {
        QString reason;
        if (!RuntimeFolder::prepare(folder, &reason)) {
            reasons.append(reason);
            continue;
        }
        m_folder = folder;
        auto lock = std::make_unique<QLockFile>(folder + QLatin1Char('/') + m_name + QStringLiteral(".lock"));
        // Held for the life of the process: never stale by age, only when
        // the process that wrote it is gone.
        lock->setStaleLockTime(0);
        if (!lock->tryLock(0)) {
            if (lock->error() == QLockFile::LockFailedError)
                return Claim::HeldByAnother;
            reasons.append(lockFailure(lock->fileName(), lock->error()));
            continue;
        }
        m_lock = std::move(lock);
        if (listen(&reason))
            return Claim::Claimed;
        // A claim nobody can reach would leave later starts waiting for an
        // answer: the next place is better.
        m_lock.reset();
        reasons.append(reason);
    }
    m_folder.clear();
    if (error)
        *error = reasons.isEmpty() ? QStringLiteral("実行時フォルダがありません。") : reasons.join(QStringLiteral("\r\n"));
    return Claim::Failed;
}

bool SingleInstance::listen(QString *error)
{
    // The socket of a copy that was killed may still be there; the claim
    // says it is ours to replace.
    QLocalServer::removeServer(socketPath());
    delete m_server;
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
    if (m_server->listen(socketPath()))
        return true;
    *error = QStringLiteral("%1 で待ち受けられません（%2）。").arg(socketPath(), m_server->errorString());
    delete m_server;
    m_server = nullptr;
    return false;
}

SingleInstance::Claim SingleInstance::claimOrHandOver(int *exitStatus, QString *error)
{
    const Claim claimed = claim(error);
    if (claimed != Claim::HeldByAnother)
        return claimed;
    *exitStatus = 1;
    QEventLoop answer;
    connect(this, &SingleInstance::activationAnswered, &answer, [&](bool answered) {
        if (!answered)
            qCWarning(lcInstance, "another copy is running, but did not answer");
        *exitStatus = answered ? 0 : 1;
        answer.quit();
    });
    activateRunning();
    answer.exec();
    return claimed;
}

void SingleInstance::activateRunning()
{
    m_askDeadline.setRemainingTime(ActivationTimeout);
    m_asking = new QLocalSocket(this);
    auto connected = std::make_shared<bool>(false);
    auto timedOut = std::make_shared<bool>(false);
    connect(m_asking, &QLocalSocket::connected, this, [this, connected] {
        *connected = true;
        m_asking->write(ShowRequest);
    });
    connect(m_asking, &QLocalSocket::stateChanged, this, [this, connected, timedOut](QLocalSocket::LocalSocketState state) {
        if (state != QLocalSocket::UnconnectedState)
            return;
        // Answered when the running copy has read the request and hung up.
        if (*connected && !*timedOut)
            Q_EMIT activationAnswered(true);
        else if (*timedOut || m_askDeadline.hasExpired())
            Q_EMIT activationAnswered(false);
        else // the running copy may have just claimed and not listen yet
            QTimer::singleShot(50, this, &SingleInstance::askRunning);
    });
    QTimer::singleShot(ActivationTimeout, m_asking, [this, timedOut] {
        *timedOut = true;
        if (m_asking->state() != QLocalSocket::UnconnectedState)
            m_asking->abort();
    });
    askRunning();
}

void SingleInstance::askRunning()
{
    m_asking->connectToServer(socketPath());
}
