#pragma once

#include "receiversettings.h"

#include <QIcon>
#include <QObject>
#include <QPointer>

class History;
class MqttClient;
class HistoryWindow;
class NoticeGate;
class NoticeListener;
class Notifier;
class QLabel;
class QMenu;
class QSystemTrayIcon;
class QWidget;

// kavrel-r: listens for the notification datagrams, keeps the history and
// shows each notice. It lives in the tray, whose icon says how many
// receptions are unread; where the desktop has no tray, a small window in
// the taskbar does the same, so the history is always a click away.
class ReceiverApp : public QObject
{
    Q_OBJECT

public:
    explicit ReceiverApp(QObject *parent = nullptr);
    ~ReceiverApp() override;

    // Opens the history and starts listening; a port that cannot be had, a
    // history that cannot be kept are told, and the program runs on.
    void start();
    void openHistory();
    void openSettings();

    static QIcon programIcon();

    History *history() const { return m_history; }
    NoticeListener *listener() const { return m_listener; }
    NoticeGate *gate() const { return m_gate; }
    Notifier *notifier() const { return m_notifier; }
    // The window that stands in for the tray, when there is no tray.
    QWidget *window() const { return m_window; }
    QSystemTrayIcon *tray() const { return m_tray; }
    HistoryWindow *historyWindow() const { return m_historyWindow; }
    MqttClient *mqtt() const { return m_mqtt; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QString applySettings(const ReceiverSettings &settings);
    // Subscribes to the broker the settings name, if any.
    void setUpMqtt();
    void mqttMessage(const QByteArray &payload);
    void updateUnread();
    void tell(const QString &text);

    ReceiverSettings m_settings;
    History *m_history;
    NoticeListener *m_listener;
    NoticeGate *m_gate;
    Notifier *m_notifier;
    MqttClient *m_mqtt = nullptr;
    bool m_mqttTold = false; // a broker that cannot be reached is told once
    QString m_mqttState;
    QMenu *m_menu = nullptr;
    QSystemTrayIcon *m_tray = nullptr;
    QWidget *m_window = nullptr;
    QLabel *m_unreadLabel = nullptr;
    HistoryWindow *m_historyWindow = nullptr;
    int m_shownUnread = -1;
};
