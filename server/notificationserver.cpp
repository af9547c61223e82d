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
    const bool configured = configureSender();
    if (!waitAboutTwoSeconds())
        return;
    // A failed configuration shows only as a window left in its normal state.
    if (configured && m_window && m_window->isVisible())
        m_window->setWindowState(m_window->windowState() | Qt::WindowMinimized);
}

bool NotificationServer::configureSender()
{
    try {
        m_sender->setProtocol(DatagramSender::Udp);
        setDestination();
        return true;
    } catch (const SenderError &) {
        return false;
    }
}

void NotificationServer::setDestination()
{
    // A stored port that is not a number fails here as the sender's own
    // refusal would, with the reason in words the user can act on.
    m_sender->setRemoteHost(m_store.read(SettingsStore::IPAddressKey, SettingsStore::DefaultIPAddress));
    const PortConversion port = convertPort(m_store.read(SettingsStore::PortKey, SettingsStore::DefaultPort));
    if (!port.ok)
        throw SenderError(SenderErrors::InvalidPropertyValue, port.reason);
    m_sender->setRemotePort(port.value);
}

void NotificationServer::applySettings()
{
    // The protocol stays as the start-up set it.
    try {
        setDestination();
    } catch (const SenderError &e) {
        Seams::showMessage(m_window, ApplyFailedMessage + QStringLiteral("\r\n") + e.description());
    }
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
