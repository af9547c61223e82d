#include "server/notificationserver.h"

#include "components/datagramsender.h"
#include "components/faxlink.h"
#include "server/seams.h"
#include "settings/portconversion.h"

#include <QEventLoop>
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
}

void NotificationServer::startUp()
{
    m_window->show();
    m_window->repaint();

    // Calls follow one another at once: no pause, no events between them.
    bool connected = false;
    for (int call = 0; call < ConnectAttempts && !connected; ++call)
        connected = m_faxLink->Connect();
    if (!connected) {
        Seams::showMessage(m_window, ConnectFailedMessage);
        Seams::exitProcess(1);
        return;
    }
    m_window->repaint();

    // The sender is configured before the wait, so that a reception arriving
    // during the wait already has somewhere to go.
    QString failure;
    const bool protocolSet = setProtocol(&failure);
    bool configured = protocolSet && applyStoredDestination(&failure);
    if (!waitAboutTwoSeconds())
        return;
    // The user may have fixed the settings with the dialog meanwhile.
    if (protocolSet && !configured)
        configured = applyStoredDestination(&failure);
    if (!m_window || !m_window->isVisible())
        return;
    if (configured) {
        m_window->setWindowState(m_window->windowState() | Qt::WindowMinimized);
    } else {
        // Every reception would be lost: the user must hear of it. The window
        // stays up, with the settings button at hand.
        Seams::showMessage(m_window, ApplyFailedMessage + QStringLiteral("\r\n") + failure);
    }
}

bool NotificationServer::setProtocol(QString *reason)
{
    try {
        m_sender->setProtocol(DatagramSender::Udp);
    } catch (const SenderError &e) {
        *reason = e.description();
        return false;
    }
    return true;
}

QString NotificationServer::checkDestination(const QString &host, const QString &portText) const
{
    const PortConversion port = convertPort(portText);
    if (!port.ok)
        return port.reason;
    try {
        m_sender->checkDestination(host, port.value);
    } catch (const SenderError &e) {
        return e.description();
    }
    return QString();
}

bool NotificationServer::applyStoredDestination(QString *reason)
{
    QString failure;
    const QString host = m_store.read(SettingsStore::IPAddressKey, SettingsStore::DefaultIPAddress, &failure);
    const QString portText = m_store.read(SettingsStore::PortKey, SettingsStore::DefaultPort, &failure);
    if (failure.isEmpty())
        failure = checkDestination(host, portText);
    if (!failure.isEmpty()) {
        *reason = failure;
        return false;
    }
    // Checked whole first, so the sender never runs with a new host and an
    // old port; should a setter refuse all the same, the call fails as a
    // refusal would.
    try {
        m_sender->setRemoteHost(host);
        m_sender->setRemotePort(convertPort(portText).value);
    } catch (const SenderError &e) {
        *reason = e.description();
        return false;
    }
    return true;
}

void NotificationServer::applySettings()
{
    // The protocol stays as the start-up set it.
    QString reason;
    if (!applyStoredDestination(&reason))
        Seams::showMessage(m_window, ApplyFailedMessage + QStringLiteral("\r\n") + reason);
}

bool NotificationServer::waitAboutTwoSeconds()
{
    // The wait starts at the nearest whole second (halves to even) and ends
    // two seconds after it: between 1.5 and 2.5 seconds from now.
    const double waitStart = std::nearbyint(monotonicSeconds());
    for (double now = monotonicSeconds(); now < waitStart + 2; now = monotonicSeconds()) {
        QEventLoop loop;
        bool timeUp = false;
        const auto remaining = static_cast<int>(std::ceil((waitStart + 2 - now) * 1000));
        QTimer::singleShot(remaining, Qt::PreciseTimer, &loop, [&] {
            timeUp = true;
            loop.quit();
        });
        loop.exec();
        if (!timeUp)
            return false; // the application is quitting
    }
    return true;
}

void NotificationServer::relay(const QString &text)
{
    try {
        m_sender->sendData(text);
    } catch (const SenderError &) {
        // Nothing is shown and nothing is kept: the next reception goes on.
    }
}

void NotificationServer::testNotification()
{
    try {
        const QString time = Seams::timeOfDay().toString(QStringLiteral("HH:mm:ss"));
        m_sender->sendData(QStringLiteral("Test Receive Message\r\n") + time);
    } catch (const SenderError &) {
        // Silent, like a reception nobody heard.
    }
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
