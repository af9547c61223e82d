#pragma once

#include "receiver/noticecontent.h"

#include <QObject>
#include <QSet>
#include <QString>

class NoticePopup;

// Shows notices as desktop notifications through the freedesktop
// notification service on the session bus; clicking one opens the history.
// Where no service answers, the notice is shown in a small popup window of
// the program's own, so that nothing is missed on a bare desktop.
class Notifier : public QObject
{
    Q_OBJECT

public:
    explicit Notifier(QObject *parent = nullptr);
    ~Notifier() override;

    // Milliseconds the notification service may take to answer before the
    // notice is shown by the program itself.
    static constexpr int CallTimeout = 2000;

    void setStayUntilClicked(bool stay) { m_stay = stay; }
    void setCallTimeout(int milliseconds) { m_callTimeout = milliseconds; }
    void setSound(bool sound) { m_sound = sound; }
    void notify(const NotificationText &text, int gathered);
    // The popup shown where no notification service answered, if any.
    NoticePopup *popup() const { return m_popup; }

Q_SIGNALS:
    void historyRequested();

private Q_SLOTS:
    // Signals of the notification service.
    void actionInvoked(uint id, const QString &action);
    void notificationClosed(uint id, uint reason);

private:
    void showOwnPopup(const NoticeContent &content);

    bool m_stay = false;
    int m_callTimeout = CallTimeout;
    bool m_sound = true;
    QSet<uint> m_shown;
    NoticePopup *m_popup = nullptr;
};
