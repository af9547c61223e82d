#include "components/socketfaxlink.h"

#include "core/monitorprotocol.h"
#include "core/runtimefolder.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QLocalSocket>

namespace {

// Enough for many receptions at a time, and a bound on what an over-eager
// monitor can make the link hold.
constexpr qint64 ReadBufferSize = 1024 * 1024;

QStringList defaultSocketPaths()
{
    QStringList paths{SocketFaxLink::defaultSocketPath(), SocketFaxLink::systemSocketPath()};
    paths.removeAll(QString());
    return paths;
}

// The folder that will hold path, or the nearest one above it that exists:
// the system monitor's folder is made only when its service starts.
QString watchableFolder(const QString &path)
{
    QDir folder = QFileInfo(path).absoluteDir();
    while (!folder.exists() && !folder.isRoot())
        folder.setPath(QFileInfo(folder.absolutePath()).absolutePath());
    return folder.absolutePath();
}

} // namespace

SocketFaxLink::SocketFaxLink(QObject *parent)
    : SocketFaxLink(defaultSocketPaths(), parent)
{
}

SocketFaxLink::SocketFaxLink(const QStringList &socketPaths, QObject *parent)
    : FaxLink(parent)
    , m_paths(socketPaths)
    , m_socket(new QLocalSocket(this))
{
    m_socket->setReadBufferSize(ReadBufferSize);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { startRound(); });
    connect(m_socket, &QLocalSocket::readyRead, this, &SocketFaxLink::readLines);
    connect(m_socket, &QLocalSocket::stateChanged, this, &SocketFaxLink::socketStateChanged);
}

namespace {

QString &systemSocket()
{
    static QString path = MonitorProtocol::systemLinkSocket();
    return path;
}

} // namespace

QString SocketFaxLink::defaultSocketPath()
{
    const QString folder = RuntimeFolder::path();
    return folder.isEmpty() ? QString() : folder + QLatin1Char('/') + MonitorProtocol::linkSocketName();
}

QString SocketFaxLink::systemSocketPath()
{
    return systemSocket();
}

void SocketFaxLink::setSystemSocketPath(const QString &path)
{
    systemSocket() = path;
}

void SocketFaxLink::Connect()
{
    if (m_connected) {
        m_wanted = true;
        Q_EMIT ConnectFinished(true);
        return;
    }
    // Whatever was under way is dropped.
    Disconnect();
    m_calling = true;
    m_callDeadline.setRemainingTime(m_timing.connectTimeout);
    watchFolders(true);
    startRound();
}

void SocketFaxLink::Disconnect()
{
    m_wanted = false;
    m_calling = false;
    m_connected = false;
    m_timer.stop();
    watchFolders(false);
    m_socket->abort();
    m_partial.clear();
    m_skipping = false;
}

void SocketFaxLink::startRound(bool probe)
{
    if (m_connected)
        return;
    m_probing = probe;
    if (!probe)
        m_timer.stop();
    for (const QString &path : std::as_const(m_paths)) {
        // A local connection is made or refused at once. What is refused or
        // missing, or a socket whose queue is full (Qt would keep trying
        // that one for half a minute, and a socket nobody accepts on could
        // hold the link there), is passed over for the next one; the pauses
        // between rounds are this link's own.
        m_inAttempt = true;
        m_socket->connectToServer(path);
        const bool connected = m_socket->state() == QLocalSocket::ConnectedState;
        if (!connected)
            m_socket->abort();
        m_inAttempt = false;
        if (connected) {
            roundSucceeded();
            return;
        }
    }
    roundFailed();
}

void SocketFaxLink::roundSucceeded()
{
    m_connected = true;
    Q_EMIT LinkChanged(true);
    m_connectedSince.start();
    m_timer.stop();
    watchFolders(false);
    if (std::exchange(m_calling, false)) {
        m_wanted = true;
        Q_EMIT ConnectFinished(true);
    }
}

void SocketFaxLink::roundFailed()
{
    // A look after a change in a folder: the pause under way goes on.
    if (std::exchange(m_probing, false) && m_timer.isActive())
        return;
    if (m_calling) {
        if (m_callDeadline.hasExpired()) {
            m_calling = false;
            watchFolders(false);
            Q_EMIT ConnectFinished(false);
            return;
        }
        m_timer.start(int(qMin<qint64>(m_timing.connectPause, m_callDeadline.remainingTime())));
        return;
    }
    if (!m_wanted)
        return;
    // Each failure doubles the pause, up to its cap; success starts over.
    m_retryDelay = m_retryDelay == 0 ? m_timing.firstRetryDelay : qMin(m_retryDelay * 2, m_timing.maxRetryDelay);
    m_timer.start(m_retryDelay);
    Q_EMIT ReconnectScheduled(m_retryDelay);
}

void SocketFaxLink::socketStateChanged()
{
    if (m_inAttempt)
        return; // startRound() looks at the outcome itself
    const QLocalSocket::LocalSocketState state = m_socket->state();
    if (state == QLocalSocket::UnconnectedState && std::exchange(m_connected, false)) {
        Q_EMIT LinkChanged(false);
        lost();
    }
}

void SocketFaxLink::lost()
{
    m_partial.clear();
    m_skipping = false;
    if (m_connectedSince.isValid() && m_connectedSince.elapsed() >= m_timing.stableConnection)
        m_retryDelay = 0;
    if (!m_wanted)
        return;
    watchFolders(true);
    roundFailed();
}

void SocketFaxLink::folderChanged()
{
    // A socket may have appeared: a look at once, between the attempts.
    if (m_connected || !(m_calling || m_wanted))
        return;
    watchFolders(true); // a folder that was missing may be there now
    startRound(true);
}

void SocketFaxLink::watchFolders(bool on)
{
    QStringList wanted;
    if (on) {
        for (const QString &path : std::as_const(m_paths)) {
            const QString folder = watchableFolder(path);
            if (!wanted.contains(folder))
                wanted.append(folder);
        }
    }
    if (!m_watcher) {
        if (wanted.isEmpty())
            return;
        m_watcher = new QFileSystemWatcher(this);
        connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &SocketFaxLink::folderChanged);
    }
    const QStringList watched = m_watcher->directories();
    for (const QString &folder : watched) {
        if (!wanted.contains(folder))
            m_watcher->removePath(folder);
    }
    for (const QString &folder : std::as_const(wanted)) {
        if (!watched.contains(folder))
            m_watcher->addPath(folder);
    }
}

void SocketFaxLink::readLines()
{
    const QByteArray data = m_socket->readAll();
    qsizetype start = 0;
    while (start < data.size()) {
        const qsizetype end = data.indexOf('\n', start);
        if (end < 0) {
            // No line end yet: keep the start of the line, unless it is
            // already too long to be kept.
            if (!m_skipping) {
                m_partial.append(data.constData() + start, data.size() - start);
                if (m_partial.size() > MaxLineLength + 1) {
                    m_partial.clear();
                    m_skipping = true;
                }
            }
            return;
        }

        QByteArray line;
        if (m_partial.isEmpty()) {
            line = QByteArray(data.constData() + start, end - start);
        } else {
            line = m_partial.append(data.constData() + start, end - start);
            m_partial.clear();
        }
        start = end + 1;
        if (std::exchange(m_skipping, false))
            continue;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty() || line.size() > MaxLineLength)
            continue;
        Q_EMIT FaxReceived(QString::fromUtf8(line));
    }
}
