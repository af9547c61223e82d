#include "server/notificationserver.h"

#include "components/datagramsender.h"
#include "components/faxlink.h"
#include "gui/seams.h"
#include "settings/portconversion.h"

#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cmath>

namespace {

// Seconds on a clock that only moves forward, so that midnight or a change
// of the system time changes nothing.
double monotonicSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

const QString NotificationServer::ConnectFailedMessage =
    QStringLiteral("Ｏｒｖｅｘとのコネクトに失敗しました。動作環境を確認してください。");
const QString NotificationServer::ErrorReportMessage = QStringLiteral("通信処理でエラーが発生しました。");
const QString NotificationServer::ApplyFailedMessage =
    QStringLiteral("送信先を設定できませんでした。ＩＰアドレスとポート番号を確認してください。");

NotificationServer::NotificationServer(QWidget *window, FaxLink *faxLink, DatagramSender *sender,
                                       QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_faxLink(faxLink)
    , m_sender(sender)
{
    m_wait.setSingleShot(true);
    m_wait.setTimerType(Qt::PreciseTimer);
    connect(&m_wait, &QTimer::timeout, this, &NotificationServer::waitOver);
    connect(m_faxLink, &FaxLink::ConnectFinished, this, &NotificationServer::connectFinished);
    connect(m_faxLink, &FaxLink::LinkChanged, this, [this](bool connected) {
        m_linkUp = connected;
        Q_EMIT stateChanged();
    });
}

void NotificationServer::startUp()
{
    if (m_stage != Stage::NotStarted)
        return;
    m_stage = Stage::Connecting;
    m_window->show();
    m_window->repaint();
    m_connectCalls = 1;
    m_faxLink->Connect();
}

void NotificationServer::connectFinished(bool connected)
{
    // Only the start-up's own calls are answered here.
    if (m_stage != Stage::Connecting)
        return;
    if (!connected) {
        // The calls follow one another at once.
        if (m_connectCalls < ConnectAttempts) {
            ++m_connectCalls;
            m_faxLink->Connect();
            return;
        }
        m_stage = Stage::Running;
        Seams::showMessage(m_window, ConnectFailedMessage);
        Seams::exitProcess(1);
        return;
    }
    m_stage = Stage::Waiting;
    m_linkUp = true;
    Q_EMIT stateChanged();
    m_window->repaint();

    // The sender is configured before the wait, so that a reception arriving
    // during the wait already has somewhere to go.
    m_protocolSet = m_sender->setProtocol(DatagramSender::Udp, &m_configureFailure);
    m_configured = m_protocolSet && applyStoredDestination(&m_configureFailure);
    m_wait.start(m_fixedWait >= 0 ? m_fixedWait : startUpWait(monotonicSeconds()));
}

int NotificationServer::startUpWait(double nowSeconds)
{
    const double waitStart = std::nearbyint(nowSeconds);
    return qMax(0, static_cast<int>(std::ceil((waitStart + 2 - nowSeconds) * 1000)));
}

void NotificationServer::waitOver()
{
    m_stage = Stage::Running;
    // The user may have fixed the settings with the dialog meanwhile.
    if (m_protocolSet && !m_configured)
        m_configured = applyStoredDestination(&m_configureFailure);
    if (!m_window || !m_window->isVisible()) {
        Q_EMIT startUpFinished();
        return;
    }
    if (!m_configured) {
        // Every reception would be lost: the user must hear of it. The window
        // stays up, with the settings button at hand.
        Seams::showMessage(m_window, ApplyFailedMessage + QStringLiteral("\r\n") + m_configureFailure);
    } else if (!m_keepShown) {
        m_window->setWindowState(m_window->windowState() | Qt::WindowMinimized);
    }
    Q_EMIT startUpFinished();
}

void NotificationServer::bringToFront()
{
    if (m_stage != Stage::Running)
        m_keepShown = true;
    m_window->setWindowState((m_window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

bool NotificationServer::checkDestination(const QString &host, const QString &portText, QString *error) const
{
    qint32 port = 0;
    return convertPort(portText, &port, error) && m_sender->checkDestination(host, port, error);
}

bool NotificationServer::applyStoredDestination(QString *error)
{
    QString failure;
    const QString host = m_store.read(SettingsStore::IPAddressKey, SettingsStore::DefaultIPAddress, &failure);
    const QString portText = m_store.read(SettingsStore::PortKey, SettingsStore::DefaultPort, &failure);
    if (!failure.isEmpty()) {
        *error = failure;
        m_destinationFailure = failure;
        Q_EMIT stateChanged();
        return false;
    }
    // Checked whole first, so the sender never runs with a new host and an
    // old port; should a setter refuse all the same, the call fails as a
    // refusal would.
    qint32 port = 0;
    const bool applied = checkDestination(host, portText, error) && convertPort(portText, &port, error)
        && m_sender->setRemoteHost(host, error) && m_sender->setRemotePort(port, error);
    // A destination refused leaves the sender as it was.
    if (applied)
        m_destination = QStringLiteral("%1 ポート %2").arg(host.trimmed()).arg(port);
    m_destinationFailure = applied ? QString() : *error;
    Q_EMIT stateChanged();
    return applied;
}

QString NotificationServer::stateText() const
{
    QString link;
    if (m_stage == Stage::NotStarted || m_stage == Stage::Connecting)
        link = QStringLiteral("FAX モニター：接続しています");
    else if (m_linkUp)
        link = QStringLiteral("FAX モニター：接続中");
    else
        link = QStringLiteral("FAX モニター：接続が切れました（自動で再接続します）");
    QString destination = m_destination.isEmpty() ? QStringLiteral("送信先：なし")
                                                  : QStringLiteral("送信先：") + m_destination;
    if (!m_destinationFailure.isEmpty())
        destination += QStringLiteral("\n設定の送信先は使えません：") + m_destinationFailure;
    return link + QLatin1Char('\n') + destination;
}

void NotificationServer::applySettings()
{
    // The protocol stays as the start-up set it.
    QString error;
    if (!applyStoredDestination(&error))
        Seams::showMessage(m_window, ApplyFailedMessage + QStringLiteral("\r\n") + error);
}

void NotificationServer::relay(const QString &text)
{
    // A failure is ignored: nothing is shown and nothing is kept, and the
    // next reception goes on.
    QString ignored;
    m_sender->sendData(text, &ignored);
}

void NotificationServer::testNotification()
{
    // Silent when it fails, like a reception nobody heard.
    const QString time = Seams::timeOfDay().toString(QStringLiteral("HH:mm:ss"));
    QString ignored;
    m_sender->sendData(QStringLiteral("Test Receive Message\r\n") + time, &ignored);
}

void NotificationServer::reportError(int number, const QString &description)
{
    Seams::showMessage(m_window, ErrorReportMessage + QStringLiteral("\r\n[") + QString::number(number)
                                     + QLatin1Char(']') + description);
}

void NotificationServer::quit()
{
    Seams::exitProcess(0);
}

void NotificationServer::shutDown()
{
    m_sender->close();
    m_faxLink->Disconnect();
}
