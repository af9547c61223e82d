// kavrel-r's windows and the program put together, in one process, on a
// desktop without a notification service (no session bus): its own popup,
// the settings applied as the dialog applies them, losses told.

#include "core/testdelays.h"
#include "gui/seams.h"
#include "receiver/history.h"
#include "receiver/noticelistener.h"
#include "receiver/ui/noticepopup.h"
#include "receiver/ui/notifier.h"
#include "receiver/ui/receiverapp.h"
#include "testsupport.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

class TestReceiverUi : public QObject
{
    Q_OBJECT

    QStringList told;

private Q_SLOTS:
    void initTestCase()
    {
        Seams::setNotice([this](QWidget *, const QString &text) { told.append(text); });
        TestDelays::set(QStringLiteral("burst=50,bus=1000"));
    }

    // Where no notification service answers, the program's own popup says
    // it, within the width of a notice and on the screen, however long the
    // text; a click on it asks for the history.
    void noNotificationServiceMeansAPopup_data()
    {
        QTest::addColumn<QString>("line");
        QTest::newRow("reception") << QStringLiteral("2026/12/07 06:38:44,,0312345678,ﾔﾏﾀﾞ,1,OK");
        QTest::newRow("long text") << QStringLiteral("ﾔﾏﾀﾞ") + QString(5000, QLatin1Char('x'));
    }

    void noNotificationServiceMeansAPopup()
    {
        QFETCH(QString, line);
        Notifier notifier;
        QSignalSpy history(&notifier, &Notifier::historyRequested);
        notifier.notify(NotificationText::parse(line), 1);
        QTRY_VERIFY(notifier.popup() && notifier.popup()->isVisible());
        QVERIFY(notifier.popup()->body().contains(QStringLiteral("ﾔﾏﾀﾞ")));
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY(notifier.popup()->width() <= NoticePopup::MaxWidth);
        QVERIFY2(screen.contains(notifier.popup()->frameGeometry()), qPrintable(QStringLiteral("%1,%2 %3x%4")
                                                                                      .arg(notifier.popup()->x())
                                                                                      .arg(notifier.popup()->y())
                                                                                      .arg(notifier.popup()->width())
                                                                                      .arg(notifier.popup()->height())));
        QTest::mouseClick(notifier.popup(), Qt::LeftButton);
        QCOMPARE(history.size(), 1);
        QVERIFY(!notifier.popup()->isVisible());
    }

    // The program as the settings dialog changes it: a new list of senders
    // alone takes effect; a burst the kernel could not keep is told once.
    void settingsAndLosses()
    {
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
        ReceiverSettings settings;
        settings.port = probe.localPort();
        probe.close();
        QString error;
        QVERIFY(settings.save(&error));
        ReceiverApp app;
        app.start();
        QUdpSocket sender;
        sender.writeDatagram("taken", QHostAddress::LocalHost, settings.port);
        QTRY_COMPARE(app.history()->count(), 1);
        settings.allowedSenders = {QStringLiteral("127.0.0.2")};
        QVERIFY2(app.applySettings(settings, &error), qPrintable(error));
        sender.writeDatagram("refused", QHostAddress::LocalHost, settings.port);
        QTRY_COMPARE(app.listener()->refused(), 1);
        QCOMPARE(app.history()->count(), 1);

        told.clear();
        for (int i = 0; i < 3; ++i) {
            Q_EMIT app.listener()->dropped(5);
            QTest::qWait(10);
        }
        QTRY_COMPARE(told.size(), 1);
        QVERIFY2(told.first().contains(QStringLiteral("15 件")), qPrintable(told.first()));
        QTest::qWait(100);
        QCOMPARE(told.size(), 1);
    }
};

QTEST_MAIN(TestReceiverUi)
#include "tst_receiverui.moc"
