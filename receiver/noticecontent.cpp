#include "receiver/noticecontent.h"

#include <QStringList>

NoticeContent NoticeContent::describe(const NotificationText &text, int gathered)
{
    NoticeContent content;
    QStringList lines;
    switch (text.kind) {
    case NotificationText::Fax: {
        const Reception &reception = text.reception;
        const QString caller = reception.caller();
        content.summary = reception.ok() ? QStringLiteral("FAXを受信しました") : QStringLiteral("FAXの受信に失敗しました");
        content.category = reception.ok() ? QStringLiteral("transfer.complete") : QStringLiteral("transfer.error");
        lines << QStringLiteral("差出人：%1").arg(caller.isEmpty() ? QStringLiteral("不明") : caller);
        if (!reception.number.isEmpty() && reception.number != caller)
            lines << QStringLiteral("番号：%1").arg(reception.number);
        if (reception.pageCount() >= 0)
            lines << QStringLiteral("枚数：%1枚").arg(reception.pageCount());
        if (!reception.ok())
            lines << QStringLiteral("エラー：%1").arg(reception.error().isEmpty() ? QStringLiteral("（内容不明）") : reception.error());
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
