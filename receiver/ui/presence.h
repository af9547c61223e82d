#pragma once

#include <QIcon>
#include <QObject>
#include <QString>

class QAction;
class QLabel;
class QMenu;
class QSystemTrayIcon;
class QWidget;

// kavrel-r's icon, the program's and its windows'.
QIcon receiverIcon();

// Where kavrel-r lives on the desktop: in the tray, whose icon says how many
// receptions are unread; or, where the desktop has no tray, in a small
// window in the taskbar that does the same. Either way the history, the
// settings and 終了 are a click away.
class Presence : public QObject
{
    Q_OBJECT

public:
    static const QString ProgramTitle;

    explicit Presence(QObject *parent = nullptr);
    ~Presence() override;

    // Puts the program in the tray, or in the taskbar, minimised.
    void show();
    // Faxes nobody has taken yet (where states are not shared, those unread).
    void setOpenFaxes(int open);
    // The latest faxes, each as the menu lists it (when, who, its state).
    struct Latest {
        qint64 entry = 0;
        QString text;
    };
    static constexpr int LatestShown = 5;
    void setLatest(const QList<Latest> &latest);
    // What the broker's connection went through last; empty for none.
    void setBrokerState(const QString &state);

    // The window that stands in for the tray, when there is no tray.
    QWidget *window() const { return m_window; }
    QSystemTrayIcon *tray() const { return m_tray; }

Q_SIGNALS:
    void historyRequested();
    void latestRequested();
    // One of the latest faxes, chosen from the menu.
    void faxRequested(qint64 entry);
    void allReadRequested();
    void settingsRequested();
    void quitRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void update();
    // 終了: asked first, since an ended program shows no notices.
    void askToQuit();

    QMenu *m_menu = nullptr;
    QSystemTrayIcon *m_tray = nullptr;
    QWidget *m_window = nullptr;
    QLabel *m_unreadLabel = nullptr;
    int m_open = 0;
    QList<QAction *> m_latest; // at the menu's top
    QAction *m_latestEnd = nullptr;
    QString m_brokerState;
};
