#include "receiverapp.h"

#include "components/mqttclient.h"
#include "components/shiftjis.h"
#include "history.h"
#include "historywindow.h"
#include "noticegate.h"
#include "noticelistener.h"
#include "notifier.h"
#include "receiversettingsdialog.h"
#include "server/seams.h"

#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QImageReader>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QSysInfo>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

#include <unistd.h>

namespace {

const QString ProgramTitle = QStringLiteral("受信通知クライアント");

// The program's icon with the number of unread receptions on a red badge.
QIcon unreadIcon(int unread)
{
    QPixmap pixmap = ReceiverApp::programIcon().pixmap(32, 32);
    if (unread <= 0)
        return QIcon(pixmap);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRect badge(14, 0, 18, 14);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(220, 30, 30));
    painter.drawRoundedRect(badge, 7, 7);
    QFont font = painter.font();
    font.setPixelSize(11);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(badge, Qt::AlignCenter, unread > 99 ? QStringLiteral("99+") : QString::number(unread));
    return QIcon(pixmap);
}

} // namespace

ReceiverApp::ReceiverApp(QObject *parent)
    : QObject(parent)
    , m_settings(ReceiverSettings::load())
    , m_history(new History(History::defaultPath(), this))
    , m_listener(new NoticeListener(this))
    , m_gate(new NoticeGate(m_history, this))
    , m_notifier(new Notifier(this))
{
    connect(m_history, &History::problem, this, &ReceiverApp::tell);
    connect(m_history, &History::changed, this, &ReceiverApp::updateUnread);
    connect(m_listener, &NoticeListener::received, this,
            [this](const QString &text, const QHostAddress &from) { m_gate->take(text, from.toString()); });
    connect(m_gate, &NoticeGate::show, this, [this](const NotificationText &text, int gathered) {
        m_notifier->notify(text, gathered);
        updateUnread();
    });
    connect(m_notifier, &Notifier::historyRequested, this, &ReceiverApp::openHistory);
    m_notifier->setStayUntilClicked(m_settings.stayUntilClicked);
    m_notifier->setSound(m_settings.sound);
}

ReceiverApp::~ReceiverApp()
{
    delete m_historyWindow;
    delete m_window;
    delete m_menu;
}

QIcon ReceiverApp::programIcon()
{
    // The resources live in a static library, whose initialiser the linker
    // would otherwise leave out. Read once: the tray's icon is drawn again at
    // every reception.
    static const QIcon icon = [] {
        Q_INIT_RESOURCE(resources);
        QImageReader reader(QStringLiteral(":/kavrel-r/kavrel-r.png"), "png");
        return QIcon(QPixmap::fromImageReader(&reader));
    }();
    return icon;
}

void ReceiverApp::start()
{
    m_menu = new QMenu;
    m_menu->addAction(QStringLiteral("受信履歴"), this, &ReceiverApp::openHistory);
    m_menu->addAction(QStringLiteral("設定"), this, &ReceiverApp::openSettings);
    m_menu->addSeparator();
    m_menu->addAction(QStringLiteral("終了"), qApp, [] { QCoreApplication::exit(0); });

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_tray = new QSystemTrayIcon(programIcon(), this);
        m_tray->setContextMenu(m_menu);
        connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                openHistory();
        });
        m_tray->show();
    } else {
        // No tray on this desktop: a small window in the taskbar instead.
        m_window = new QWidget(nullptr, Qt::Window);
        m_window->setObjectName(QStringLiteral("ReceiverWindow"));
        m_window->setWindowIcon(programIcon());
        m_unreadLabel = new QLabel(m_window);
        auto *historyButton = new QPushButton(QStringLiteral("受信履歴"), m_window);
        historyButton->setObjectName(QStringLiteral("HistoryButton"));
        auto *settingsButton = new QPushButton(QStringLiteral("設定"), m_window);
        auto *quitButton = new QPushButton(QStringLiteral("終了"), m_window);
        auto *buttons = new QHBoxLayout;
        buttons->addWidget(historyButton);
        buttons->addWidget(settingsButton);
        buttons->addWidget(quitButton);
        auto *layout = new QVBoxLayout(m_window);
        layout->addWidget(m_unreadLabel);
        layout->addLayout(buttons);
        connect(historyButton, &QPushButton::clicked, this, &ReceiverApp::openHistory);
        connect(settingsButton, &QPushButton::clicked, this, &ReceiverApp::openSettings);
        connect(quitButton, &QPushButton::clicked, qApp, [] { QCoreApplication::exit(0); });
        // Closing the window would leave no way back to the history: it
        // goes to the taskbar instead (終了 ends the program).
        m_window->installEventFilter(this);
        m_window->showMinimized();
    }

    m_history->open();
    updateUnread();
    QString why;
    if (!m_listener->listen(m_settings, &why))
        tell(QStringLiteral("通知を受信できません。設定でポート番号を確かめてください。\r\n") + why);
    setUpMqtt();
}

void ReceiverApp::setUpMqtt()
{
    if (m_mqtt) {
        // Nothing of the old connection is heard any more, and it goes when
        // its thread has ended: the window does not wait for it.
        m_mqtt->disconnect(this);
        connect(m_mqtt, &MqttClient::stopped, m_mqtt, &QObject::deleteLater);
        m_mqtt->stop();
        m_mqtt = nullptr;
    }
    m_mqttTold = false;
    m_mqttState.clear();
    if (m_settings.broker.trimmed().isEmpty())
        return;
    MqttClient::Options options;
    QString why;
    if (!MqttClient::parseUrl(m_settings.broker, &options, &why))
        return; // the settings dialog refuses such a broker
    options.caFile = m_settings.caFile;
    options.user = m_settings.user;
    options.password = m_settings.password;
    // The broker keeps what comes while this desktop is away (logged out,
    // asleep, reconnecting), for this user on this PC.
    options.clientId = QStringLiteral("kavrel-r-%1-%2").arg(::getuid()).arg(QSysInfo::machineHostName());
    options.cleanSession = false;
    auto *client = new MqttClient(options, this);
    m_mqtt = client;
    // Queued from the connection's thread: what comes from a connection
    // that has been replaced meanwhile is not heard.
    connect(client, &MqttClient::message, this, [this, client](const QString &, const QByteArray &payload) {
        if (client == m_mqtt)
            mqttMessage(payload);
    });
    connect(client, &MqttClient::stateChanged, this, [this, client](const QString &text, bool connected) {
        if (client != m_mqtt)
            return;
        m_mqttState = text;
        m_shownUnread = -1;
        updateUnread();
        if (!connected && !std::exchange(m_mqttTold, true))
            tell(QStringLiteral("MQTT ブローカーから受信できません。UDP の受信は続けます。\r\n") + text);
    });
    m_mqtt->subscribe(m_settings.topic);
    m_mqtt->start();
}

void ReceiverApp::mqttMessage(const QByteArray &payload)
{
    // The fax monitor's JSON carries the line a datagram would: the same
    // reception by both roads is one notice.
    const QJsonObject object = QJsonDocument::fromJson(payload).object();
    const QString line = object.value(QStringLiteral("line")).toString();
    // As it reads after the Shift_JIS of a datagram, so that the same line
    // by both roads is the same text ("〜" comes by UDP as "～").
    const QString text = fromWindowsShiftJis(toWindowsShiftJis(line.isEmpty() ? QString::fromUtf8(payload) : line));
    m_gate->take(text, m_mqtt->describe());
}

bool ReceiverApp::eventFilter(QObject *watched, QEvent *event)
{
    // The user's close box, not the program ending.
    if (watched == m_window && event->type() == QEvent::Close && event->spontaneous()) {
        event->ignore();
        m_window->showMinimized();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void ReceiverApp::tell(const QString &text)
{
    Seams::showMessage(m_window, text);
}

void ReceiverApp::updateUnread()
{
    const int unread = m_history->unreadCount();
    if (unread == m_shownUnread)
        return;
    m_shownUnread = unread;
    const QString title = unread > 0 ? QStringLiteral("%1（未読 %2 件）").arg(ProgramTitle).arg(unread) : ProgramTitle;
    if (m_tray) {
        m_tray->setIcon(unreadIcon(unread));
        m_tray->setToolTip(m_mqttState.isEmpty() ? title : title + QLatin1Char('\n') + m_mqttState);
    }
    if (m_window) {
        m_window->setWindowTitle(title);
        m_window->setWindowIcon(unreadIcon(unread));
        m_unreadLabel->setText((unread > 0 ? QStringLiteral("未読の受信が %1 件あります。").arg(unread)
                                           : QStringLiteral("未読の受信はありません。"))
                               + (m_mqttState.isEmpty() ? QString() : QStringLiteral("\nMQTT: ") + m_mqttState));
    }
}

void ReceiverApp::openHistory()
{
    if (!m_historyWindow) {
        m_historyWindow = new HistoryWindow(m_history);
        m_historyWindow->setWindowIcon(programIcon());
    }
    m_historyWindow->present();
    updateUnread();
}

QString ReceiverApp::applySettings(const ReceiverSettings &settings)
{
    QString why;
    if (settings.port != m_listener->port() || settings.allowedSenders != m_settings.allowedSenders) {
        if (!m_listener->listen(settings, &why))
            return QStringLiteral("通知を受信できません。\r\n") + why;
    }
    const bool brokerChanged = settings.broker != m_settings.broker || settings.topic != m_settings.topic
        || settings.caFile != m_settings.caFile || settings.user != m_settings.user
        || settings.password != m_settings.password;
    m_settings = settings;
    m_notifier->setStayUntilClicked(settings.stayUntilClicked);
    m_notifier->setSound(settings.sound);
    if (brokerChanged)
        setUpMqtt();
    return QString();
}

void ReceiverApp::openSettings()
{
    ReceiverSettingsDialog dialog(m_settings, [this](const ReceiverSettings &settings) { return applySettings(settings); },
                                  m_window);
    dialog.setWindowIcon(programIcon());
    dialog.exec();
}
