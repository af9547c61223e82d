#include "receiver/notificationtext.h"

namespace {

const QString TestHead = QStringLiteral("Test Receive Message\r\n");

} // namespace

NotificationText NotificationText::parse(const QString &text)
{
    NotificationText notice;
    notice.text = text;
    if (text.size() == TestHead.size() + 8 && text.startsWith(TestHead)) {
        const QTime time = QTime::fromString(text.mid(TestHead.size()), QStringLiteral("HH:mm:ss"));
        if (time.isValid()) {
            notice.kind = Test;
            notice.testTime = time;
        }
        return notice;
    }
    if (Reception::fromLine(text, &notice.reception))
        notice.kind = Fax;
    return notice;
}
