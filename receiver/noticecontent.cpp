#include "receiver/noticecontent.h"

#include <QStringList>

namespace {

// What a sender wrote, as a notice may show it: characters a notification
// service cannot carry (NUL ends a D-Bus string) or that would disarrange
// the notice become U+FFFD, line breaks of a free text included only where
// it may have them; and no more than a notice can show.
QString shown(QString text, bool lines = false)
{
    if (text.size() > NoticeContent::MaxTextLength) {
        text.truncate(NoticeContent::MaxTextLength);
        text.append(QChar(0x2026));
    }
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    for (QChar &c : text) {
        if ((c.category() == QChar::Other_Control && !(lines && c == QLatin1Char('\n')))
            || c == QChar(0x2028) || c == QChar(0x2029))
            c = QChar(QChar::ReplacementCharacter);
    }
    return text;
}

} // namespace

NoticeContent NoticeContent::describe(const NotificationText &text, int gathered)
{
    NoticeContent content;
    QStringList lines;
    switch (text.kind) {
    case NotificationText::Fax: {
        const Reception &reception = text.reception;
        const QString caller = shown(reception.caller());
        content.summary = reception.ok() ? QStringLiteral("FAXを受信しました") : QStringLiteral("FAXの受信に失敗しました");
        content.category = reception.ok() ? QStringLiteral("transfer.complete") : QStringLiteral("transfer.error");
        lines << QStringLiteral("差出人：%1").arg(caller.isEmpty() ? QStringLiteral("不明") : caller);
        if (!reception.number.isEmpty() && reception.number != caller)
            lines << QStringLiteral("番号：%1").arg(shown(reception.number));
        if (reception.pageCount() >= 0)
            lines << QStringLiteral("枚数：%1枚").arg(reception.pageCount());
        if (!reception.ok())
            lines << QStringLiteral("エラー：%1").arg(reception.error().isEmpty() ? QStringLiteral("（内容不明）") : shown(reception.error()));
        lines << QStringLiteral("受信時刻：%1").arg(reception.received.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")));
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
        lines << shown(text.text, true);
        break;
    }
    content.body = lines.join(QLatin1Char('\n'));
    if (gathered > 1) {
        content.body = QStringLiteral("最新の通知：%1\n%2\n\nすべて受信履歴にあります。").arg(content.summary, content.body);
        content.summary = QStringLiteral("受信通知が%1件届きました").arg(gathered);
    }
    return content;
}
