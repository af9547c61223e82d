// kavrel-r's notices on a desktop without a notification service: the
// program's own popup.

#include "receiver/ui/noticepopup.h"
#include "receiver/ui/notifier.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QtTest>

class TestNotices : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Where no notification service answers, the program's own popup says
    // it, and a click on it asks for the history.
    void noNotificationServiceMeansAPopup()
    {
        Notifier notifier;
        QSignalSpy history(&notifier, &Notifier::historyRequested);
        notifier.notify(NotificationText::parse(QStringLiteral("2026/12/07 06:38:44,,0312345678,ﾔﾏﾀﾞ,1,OK")), 1);
        QTRY_VERIFY(notifier.popup() && notifier.popup()->isVisible());
        QCOMPARE(notifier.popup()->summary(), QStringLiteral("FAXを受信しました"));
        QVERIFY(notifier.popup()->body().contains(QStringLiteral("ﾔﾏﾀﾞ")));
        QTest::mouseClick(notifier.popup(), Qt::LeftButton);
        QCOMPARE(history.size(), 1);
        QVERIFY(!notifier.popup()->isVisible());
    }
};

QTEST_MAIN(TestNotices)
#include "tst_notices.moc"
