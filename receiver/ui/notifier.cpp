#include "receiver/ui/notifier.h"

#include "receiver/logging.h"
#include "receiver/ui/noticepopup.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QUrl>

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");

// Milliseconds a notice stays when the user did not ask for it to stay.
constexpr int ShowTime = 10000;

} // namespace

Notifier::Notifier(QObject *parent)
    : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        bus.connect(Service, Path, Interface, QStringLiteral("ActionInvoked"), this,
                    SLOT(actionInvoked(uint, QString)));
        bus.connect(Service, Path, Interface, QStringLiteral("NotificationClosed"), this,
                    SLOT(notificationClosed(uint, uint)));
    }
}

Notifier::~Notifier()
{
    delete m_popup;
}

void Notifier::notify(const NotificationText &text, int gathered, qint64 entry, const Attachment &attachment, int failed,
                      const QString &fax)
{
    Shown shown;
    shown.entry = entry;
    shown.fax = gathered == 1 ? fax : QString();
    shown.text = text;
    shown.gathered = gathered;
    // A gathered notice replaces the one before it while that is shown:
    // the failures it flagged stay flagged.
    if (gathered > 1) {
        m_summaryFailed = (m_summary != 0 ? m_summaryFailed : 0) + failed;
        failed = m_summaryFailed;
    }
    shown.failed = failed;
    shown.document = !attachment.document.isEmpty();
    // Several gathered: the last such notice, if still shown, is replaced.
    send(NoticeContent::describe(text, gathered, failed), shown, attachment, gathered > 1 ? m_summary : 0);
}

void Notifier::attach(qint64 entry, const Attachment &attachment)
{
    if (m_popup && m_popup->isVisible() && m_popupEntry == entry) {
        m_popup->attach(attachment.picture, !attachment.document.isEmpty());
        return;
    }
    if (const auto asked = m_asked.find(entry); asked != m_asked.end()) {
        *asked = attachment;
        return;
    }
    for (auto it = m_shown.cbegin(); it != m_shown.cend(); ++it) {
        if (it->entry != entry || it->gathered > 1)
            continue;
        Shown shown = *it;
        shown.document = !attachment.document.isEmpty();
        send(NoticeContent::describe(shown.text, shown.gathered, shown.failed), shown, attachment, it.key());
        return;
    }
}

void Notifier::send(const NoticeContent &content, const Shown &shown, const Attachment &attachment, uint replaces)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        showOwnPopup(content, shown, attachment);
        return;
    }
    const bool failed = content.category == QLatin1String("transfer.error");
    QVariantMap hints;
    hints.insert(QStringLiteral("category"), content.category);
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("kavrel-r"));
    // Staying until clicked is how long a notice stays, not how urgent it
    // is: a reception that failed is.
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(failed ? 2 : 1)));
    if (!attachment.picture.isEmpty())
        hints.insert(QStringLiteral("image-path"), QUrl::fromLocalFile(attachment.picture).toString());
    if (m_sound)
        hints.insert(QStringLiteral("sound-name"), QStringLiteral("message-new-instant"));
    else
        hints.insert(QStringLiteral("suppress-sound"), true);
    QStringList actions = shown.document
        ? QStringList{QStringLiteral("default"), QStringLiteral("開く"), QStringLiteral("history"), QStringLiteral("受信履歴")}
        : QStringList{QStringLiteral("default"), QStringLiteral("受信履歴を開く")};
    if (!shown.fax.isEmpty())
        actions << QStringLiteral("take") << QStringLiteral("担当する");
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("Notify"));
    // The server may read markup in the body.
    const QString body = content.body.toHtmlEscaped();
    call << QStringLiteral("kavrel-r") << replaces << (failed ? QStringLiteral("dialog-error") : QStringLiteral("kavrel-r"))
         << content.summary << body << actions << hints << int(m_stay ? 0 : ShowTime);
    // A service that does not answer soon is as good as none: the notice
    // is not kept waiting for D-Bus's own 25 seconds.
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, m_callTimeout), this);
    const bool single = shown.entry != 0 && shown.gathered == 1;
    if (single && !m_asked.contains(shown.entry))
        m_asked.insert(shown.entry, attachment);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, content, shown, attachment, single] {
        watcher->deleteLater();
        const Attachment latest = single && m_asked.contains(shown.entry) ? m_asked.take(shown.entry) : attachment;
        const QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError()) {
            qCInfo(lcNotices).noquote() << QStringLiteral("no notification service answered (%1); the notice is the program's own")
                                               .arg(reply.error().message());
            showOwnPopup(content, shown, latest);
            return;
        }
        m_shown.insert(reply.value(), shown);
        if (shown.gathered > 1)
            m_summary = reply.value();
        qCDebug(lcNotices).noquote() << QStringLiteral("notice %1 shows entry %2%3")
                                            .arg(reply.value())
                                            .arg(shown.entry)
                                            .arg(attachment.document.isEmpty() ? QString() : QStringLiteral(" with its document"));
        // A document that came while the service was being asked.
        if (latest.document != attachment.document || latest.picture != attachment.picture)
            attach(shown.entry, latest);
    });
}

void Notifier::showOwnPopup(const NoticeContent &content, const Shown &shown, const Attachment &attachment)
{
    if (!m_popup) {
        m_popup = new NoticePopup;
        connect(m_popup, &NoticePopup::clicked, this, &Notifier::historyRequested);
        connect(m_popup, &NoticePopup::openClicked, this, [this] { Q_EMIT openRequested(m_popupEntry); });
        connect(m_popup, &NoticePopup::takeClicked, this, [this] { Q_EMIT takeRequested(m_popupEntry); });
    }
    m_popupEntry = shown.entry;
    m_popupFax = shown.fax;
    m_popup->present(content.summary, content.body, m_stay, content.category == QLatin1String("transfer.error"),
                     !shown.fax.isEmpty());
    m_popup->attach(attachment.picture, shown.document);
}

void Notifier::actionInvoked(uint id, const QString &action)
{
    const auto shown = m_shown.constFind(id);
    if (shown == m_shown.cend())
        return;
    if (action == QLatin1String("take"))
        Q_EMIT takeRequested(shown->entry);
    else if (action == QLatin1String("default") && shown->document)
        Q_EMIT openRequested(shown->entry);
    else if (action == QLatin1String("default") || action == QLatin1String("history"))
        Q_EMIT historyRequested();
}

void Notifier::withdraw(const QString &fax)
{
    if (fax.isEmpty())
        return;
    if (m_popup && m_popup->isVisible() && m_popupFax == fax)
        m_popup->hide();
    QDBusConnection bus = QDBusConnection::sessionBus();
    for (auto it = m_shown.begin(); it != m_shown.end();) {
        if (it->fax != fax) {
            ++it;
            continue;
        }
        QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("CloseNotification"));
        call << it.key();
        bus.asyncCall(call, m_callTimeout);
        qCDebug(lcNotices).noquote() << QStringLiteral("notice %1 withdrawn: %2 is taken").arg(it.key()).arg(fax);
        it = m_shown.erase(it);
    }
}

void Notifier::notificationClosed(uint id, uint)
{
    m_shown.remove(id);
    if (id == m_summary)
        m_summary = 0;
}
