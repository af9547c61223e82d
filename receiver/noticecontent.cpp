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

QString NoticeContent::failure(const QString &error)
{
    if (error.isEmpty())
        return QStringLiteral("（内容不明）");
    // HylaFAX's messages for what goes wrong most often, by a part of each.
    static const struct {
        const char *part;
        const char *reading;
    } Readings[] = {
        {"no carrier", "相手の機械と接続できませんでした"},
        {"no answer", "相手が応答しませんでした"},
        {"busy", "話し中でした"},
        {"dcn", "送信側が途中で切断しました"},
        {"disconnected", "送信側が途中で切断しました"},
        {"hung up", "送信側が途中で電話を切りました"},
        {"hangup", "送信側が途中で電話を切りました"},
        {"missing eol", "回線の雑音などで受信データが乱れました"},
        {"rtn", "受信状態が悪く、送り直しを求めました"},
        {"timeout", "相手からの応答が時間内にありませんでした"},
        {"timed out", "相手からの応答が時間内にありませんでした"},
        {"invalid response", "相手の機械との手順が合いませんでした"},
        {"ecm", "誤り訂正の手順に失敗しました"},
    };
    const QString lower = error.toLower();
    for (const auto &reading : Readings) {
        if (lower.contains(QLatin1String(reading.part)))
            return QStringLiteral("%1（%2）").arg(shown(error), QString::fromUtf8(reading.reading));
    }
    return shown(error);
}

NoticeContent NoticeContent::describe(const NotificationText &text, int gathered, int failed)
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
            lines << QStringLiteral("エラー：%1").arg(failure(reception.error()));
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
        if (failed > 0) {
            content.summary += QStringLiteral("（うち受信の失敗 %1 件）").arg(failed);
            content.category = QStringLiteral("transfer.error");
        }
    }
    return content;
}

QString NoticeContent::state(const FaxState &state)
{
    switch (state.state) {
    case FaxState::Open: return QStringLiteral("未対応");
    case FaxState::Taken: return QStringLiteral("対応中：%1").arg(state.who());
    case FaxState::Done:
        return state.at.isValid()
            ? QStringLiteral("完了：%1 %2").arg(state.who(), state.at.toLocalTime().toString(QStringLiteral("MM/dd HH:mm")))
            : QStringLiteral("完了：%1").arg(state.who());
    case FaxState::Unknown: break;
    }
    return QString();
}
