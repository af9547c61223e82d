#include "components/socketfaxlink.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

namespace {

// Enough for many receptions at a time, and a bound on what an over-eager
// monitor can make the link hold.
constexpr qint64 ReadBufferSize = 1024 * 1024;

} // namespace

SocketFaxLink::SocketFaxLink(QObject *parent)
    : SocketFaxLink(defaultSocketPath(), systemSocketPath(), parent)
{
}

SocketFaxLink::SocketFaxLink(const QString &socketPath, const QString &fallbackPath, QObject *parent)
    : FaxLink(parent)
    , m_path(socketPath)
    , m_fallbackPath(fallbackPath)
    , m_socket(new QLocalSocket(this))
{
    m_socket->setReadBufferSize(ReadBufferSize);
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &SocketFaxLink::retry);
    connect(m_socket, &QLocalSocket::readyRead, this, &SocketFaxLink::readLines);
    // Both a lost connection and a failed attempt end in the unconnected state.
    connect(m_socket, &QLocalSocket::stateChanged, this, [this](QLocalSocket::LocalSocketState state) {
        if (state == QLocalSocket::UnconnectedState)
            lost();
        else if (state == QLocalSocket::ConnectedState)
            m_retryDelay = FirstRetryDelay;
    });
}

QString SocketFaxLink::defaultSocketPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation)
        + QStringLiteral("/orvex-monitor.sock");
}

QString SocketFaxLink::systemSocketPath()
{
    return QStringLiteral("/run/kavrel-faxmon/orvex-monitor.sock");
}

QString SocketFaxLink::currentPath() const
{
    if (m_fallbackPath.isEmpty() || QFileInfo::exists(m_path))
        return m_path;
    return m_fallbackPath;
}

bool SocketFaxLink::Connect()
{
    if (m_socket->state() == QLocalSocket::ConnectedState) {
        m_wanted = true;
        return true;
    }
    // Whatever was under way is dropped (lost() clears what was half read).
    Disconnect();
    // No events are processed here: the caller counts on calls that follow
    // one another with nothing in between. A socket that is missing or
    // refuses answers at once, so the attempts are paced by a short sleep.
    const QDeadlineTimer deadline(ConnectTimeout);
    for (;;) {
        m_socket->connectToServer(currentPath());
        if (m_socket->waitForConnected(int(qMax<qint64>(1, deadline.remainingTime())))) {
            m_wanted = true;
            return true;
        }
        m_socket->abort();
        if (deadline.remainingTime() <= 0)
            return false;
        QThread::msleep(ulong(qMin<qint64>(ConnectPause, deadline.remainingTime())));
    }
}

void SocketFaxLink::Disconnect()
{
    m_wanted = false;
    m_retryTimer.stop();
    m_socket->abort();
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

void SocketFaxLink::lost()
{
    m_partial.clear();
    m_skipping = false;
    if (m_wanted && !m_retryTimer.isActive()) {
        m_retryTimer.start(m_retryDelay);
        m_retryDelay = qMin(m_retryDelay * 2, MaxRetryDelay);
    }
}

void SocketFaxLink::retry()
{
    if (!m_wanted || m_socket->state() != QLocalSocket::UnconnectedState)
        return;
    // In the background: the answer comes as connected() or as an error,
    // which schedules the next attempt.
    m_socket->connectToServer(currentPath());
}
