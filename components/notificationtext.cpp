#include "components/notificationtext.h"

#include <QStringList>

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

    const QStringList fields = text.split(QLatin1Char(','));
    if (fields.size() != 6)
        return notice;
    const QDateTime received = QDateTime::fromString(fields.at(0), QStringLiteral("yyyy/MM/dd HH:mm:ss"));
    bool pagesOk = true;
    const int pages = fields.at(4).isEmpty() ? -1 : fields.at(4).toInt(&pagesOk);
    if (!received.isValid() || !pagesOk || pages < -1)
        return notice;
    notice.kind = Reception;
    notice.received = received;
    notice.tsi = fields.at(1).trimmed();
    notice.number = fields.at(2).trimmed();
    notice.name = fields.at(3).trimmed();
    notice.pages = pages;
    // Only the status OK itself is a success; anything else, blanks
    // included, is a reception that failed.
    notice.ok = fields.at(5) == QLatin1String("OK");
    if (!notice.ok)
        notice.error = fields.at(5).trimmed();
    return notice;
}

QString NotificationText::caller() const
{
    for (const QString *candidate : {&name, &tsi, &number}) {
        if (!candidate->isEmpty())
            return *candidate;
    }
    return QString();
}
