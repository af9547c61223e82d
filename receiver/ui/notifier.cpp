#include "receiver/ui/notifier.h"

#include "receiver/logging.h"
#include "receiver/ui/noticepopup.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

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

void Notifier::notify(const NotificationText &text, int gathered)
{
    const NoticeContent content = NoticeContent::describe(text, gathered);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        showOwnPopup(content);
        return;
    }
    QVariantMap hints;
    hints.insert(QStringLiteral("category"), content.category);
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("kavrel-r"));
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(m_stay ? 2 : 1)));
    if (m_sound)
        hints.insert(QStringLiteral("sound-name"), QStringLiteral("message-new-instant"));
    else
        hints.insert(QStringLiteral("suppress-sound"), true);
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("Notify"));
    // The server may read markup in the body.
    QString body = content.body.toHtmlEscaped();
    call << QStringLiteral("kavrel-r") << uint(0) << QStringLiteral("kavrel-r") << content.summary << body
         << QStringList{QStringLiteral("default"), QStringLiteral("受信履歴を開く")} << hints
         << int(m_stay ? 0 : ShowTime);
    // A service that does not answer soon is as good as none: the notice
    // is not kept waiting for D-Bus's own 25 seconds.
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, m_callTimeout), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, content] {
        watcher->deleteLater();
        const QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError()) {
            qCInfo(lcNotices).noquote() << QStringLiteral("no notification service answered (%1); the notice is the program's own")
                                               .arg(reply.error().message());
            showOwnPopup(content);
            return;
        }
        m_shown.insert(reply.value());
    });
}

void Notifier::showOwnPopup(const NoticeContent &content)
{
    if (!m_popup) {
        m_popup = new NoticePopup;
        connect(m_popup, &NoticePopup::clicked, this, &Notifier::historyRequested);
    }
    m_popup->present(content.summary, content.body, m_stay);
}

void Notifier::actionInvoked(uint id, const QString &action)
{
    if (m_shown.contains(id) && action == QLatin1String("default"))
        Q_EMIT historyRequested();
}

void Notifier::notificationClosed(uint id, uint)
{
    m_shown.remove(id);
}
