#pragma once

#include "receiver/noticecontent.h"

#include <QHash>
#include <QObject>
#include <QString>

class NoticePopup;

// Shows notices as desktop notifications through the freedesktop
// notification service on the session bus. A notice stands for a reception
// in the history (its entry); where the fax's document has come, the notice
// shows the first page and its action 開く opens the document, otherwise a
// click opens the history. A document that comes while its notice is still
// shown brings it up to date. A failed reception stands out (an icon of its
// own, critical urgency); a notice that gathers several replaces the last
// such notice rather than stacking. Where no service answers in time, the
// notice is shown in a small popup window of the program's own, so that
// nothing is missed on a bare desktop.
class Notifier : public QObject
{
    Q_OBJECT

public:
    // Milliseconds the notification service may take to answer before the
    // notice is shown by the program itself.
    static constexpr int CallTimeout = 2000;

    // What came with a reception: its document and the picture of its
    // first page, as files (empty until they came).
    struct Attachment {
        QString document;
        QString picture;
    };

    explicit Notifier(QObject *parent = nullptr);
    ~Notifier() override;

    void setStayUntilClicked(bool stay) { m_stay = stay; }
    void setCallTimeout(int milliseconds) { m_callTimeout = milliseconds; }
    void setSound(bool sound) { m_sound = sound; }
    // fax names the fax (its key) where its state is shared: the notice
    // offers 担当する.
    void notify(const NotificationText &text, int gathered, qint64 entry = 0, const Attachment &attachment = Attachment(),
                int failed = 0, const QString &fax = QString());
    // Someone has the fax (or it is done): its notice, if still shown, goes,
    // so that the office is not called to a fax already taken.
    void withdraw(const QString &fax);
    // The document of entry came: its notice, if it is still shown, shows it.
    void attach(qint64 entry, const Attachment &attachment);
    // The popup shown where no notification service answered, if any.
    NoticePopup *popup() const { return m_popup; }

Q_SIGNALS:
    void historyRequested();
    // 開く: the document of entry.
    void openRequested(qint64 entry);
    // 担当する: the fax of entry.
    void takeRequested(qint64 entry);

private Q_SLOTS:
    // Signals of the notification service.
    void actionInvoked(uint id, const QString &action);
    void notificationClosed(uint id, uint reason);

private:
    struct Shown {
        qint64 entry = 0;
        bool document = false;
        NotificationText text;
        int gathered = 1;
        int failed = 0; // of those gathered
        QString fax;    // its key, where 担当する is offered
    };

    void send(const NoticeContent &content, const Shown &shown, const Attachment &attachment, uint replaces);
    void showOwnPopup(const NoticeContent &content, const Shown &shown, const Attachment &attachment);

    bool m_stay = false;
    bool m_sound = true;
    int m_callTimeout = CallTimeout;
    QHash<uint, Shown> m_shown; // the service's notices still shown
    // Notices asked for and not yet answered (by entry), with a document
    // that came meanwhile, to be attached once the service has answered.
    QHash<qint64, Attachment> m_asked;
    uint m_summary = 0;         // the last notice that gathered several, while it is shown
    int m_summaryFailed = 0;    // the failures it flags
    NoticePopup *m_popup = nullptr;
    qint64 m_popupEntry = 0;
    QString m_popupFax;
};
