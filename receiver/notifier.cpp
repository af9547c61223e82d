#include "notifier.h"

#include "noticepopup.h"

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

NoticeContent Notifier::describe(const NotificationText &text, int gathered)
{
    NoticeContent content;
    QStringList lines;
    switch (text.kind) {
    case NotificationText::Reception: {
        const QString caller = text.caller();
        content.summary = text.ok ? QStringLiteral("FAXを受信しました") : QStringLiteral("FAXの受信に失敗しました");
        content.category = text.ok ? QStringLiteral("transfer.complete") : QStringLiteral("transfer.error");
        lines << QStringLiteral("差出人：%1").arg(caller.isEmpty() ? QStringLiteral("不明") : caller);
        if (!text.number.isEmpty() && text.number != caller)
            lines << QStringLiteral("番号：%1").arg(text.number);
        if (text.pages >= 0)
            lines << QStringLiteral("枚数：%1枚").arg(text.pages);
        if (!text.ok)
            lines << QStringLiteral("エラー：%1").arg(text.error.isEmpty() ? QStringLiteral("（内容不明）") : text.error);
        lines << QStringLiteral("受信時刻：%1").arg(text.received.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")));
        break;
    }
    case NotificationText::Test:
        content.summary = QStringLiteral("通知テスト");
        content.category = QStringLiteral("transfer");
        lines << QStringLiteral("受信通知サーバからのテスト通知です（%1）。")
                     .arg(text.testTime.toString(QStringLiteral("HH:mm:ss")));
        break;
    case NotificationText::Other:
        content.summary = QStringLiteral("受信通知");
        content.category = QStringLiteral("transfer");
        lines << text.text;
        break;
    }
    content.body = lines.join(QLatin1Char('\n'));
    if (gathered > 1) {
        content.body = QStringLiteral("最新の通知：%1\n%2\n\nすべて受信履歴にあります。").arg(content.summary, content.body);
        content.summary = QStringLiteral("受信通知が%1件届きました").arg(gathered);
    }
    return content;
}

void Notifier::notify(const NotificationText &text, int gathered)
{
    const NoticeContent content = describe(text, gathered);
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
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, content] {
        watcher->deleteLater();
        const QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError()) {
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
