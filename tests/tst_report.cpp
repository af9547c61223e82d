#include "fakes.h"
#include "server/notificationserver.h"
#include "gui/seams.h"
#include "settings/settingsstore.h"
#include "testsupport.h"
#include "ui/form1.h"

#include <QPushButton>
#include <QtTest>

class TestReport : public QObject
{
    Q_OBJECT

    QStringList log;
    QStringList messages;

    static void clickTest(Form1 &form)
    {
        QTest::mouseClick(form.findChild<QPushButton *>(QStringLiteral("Command3")), Qt::LeftButton);
    }

private Q_SLOTS:
    void init()
    {
        log.clear();
        messages.clear();
        TestSupport::clearSettings();
        Seams::setMessageBox([this](QWidget *, const QString &text) { messages.append(text); });
        Seams::setExit([](int) { QFAIL("the process would have ended"); });
        Seams::setClock([] { return QTime(9, 5, 7); });
    }

    void testDatagramOnTheWire()
    {
        TestSupport::UdpReceiver receiver;
        auto *sender = new UdpSender;
        Form1 form(new FakeFaxLink(&log, {true}), sender);
        QString error;
        QVERIFY(sender->setProtocol(DatagramSender::Udp, &error));
        QVERIFY(sender->setRemoteHost(QStringLiteral("127.0.0.1"), &error));
        QVERIFY(sender->setRemotePort(receiver.port(), &error));
        clickTest(form);
        Seams::setClock([] { return QTime(23, 59, 0, 999); });
        clickTest(form);
        QTRY_COMPARE(receiver.datagrams().size(), 2);
        QCOMPARE(receiver.datagrams().at(0), QByteArray("Test Receive Message\r\n09:05:07"));
        QCOMPARE(receiver.datagrams().at(0).size(), 30);
        QCOMPARE(receiver.datagrams().at(1), QByteArray("Test Receive Message\r\n23:59:00"));
        QVERIFY(messages.isEmpty());
    }

    void testWithoutDestinationShowsNothing()
    {
        {
            // Before the sender has been configured at all.
            TestSupport::UdpReceiver receiver;
            Form1 form(new FakeFaxLink(&log, {true}), new UdpSender);
            clickTest(form);
            QTest::qWait(50);
            QVERIFY(messages.isEmpty());
        }
        // After a start whose configuration failed on the port.
        SettingsStore store;
        QVERIFY(store.write(SettingsStore::PortKey, QStringLiteral("ポート")));
        auto *sender = new FakeSender(&log);
        sender->failing = QStringLiteral("SendData");
        Form1 form(new FakeFaxLink(&log, {true}), sender);
        form.server()->setStartUpWait(0);
        form.startUp();
        QTRY_COMPARE(messages.size(), 1); // the start-up told of the port
        QVERIFY(!form.isMinimized());
        messages.clear();
        clickTest(form);
        QCOMPARE(log.last(), QStringLiteral("SendData=Test Receive Message\r\n09:05:07 (failed)"));
        QTest::qWait(50);
        QVERIFY(messages.isEmpty());
    }

    void errorReportText_data()
    {
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("text");
        const QString head = QStringLiteral("通信処理でエラーが発生しました。\r\n");
        QTest::newRow("positive") << 10061 << QStringLiteral("Connection refused")
                                  << head + QStringLiteral("[10061]Connection refused");
        QTest::newRow("negative") << -32768 << QStringLiteral(" x ") << head + QStringLiteral("[-32768] x ");
        QTest::newRow("zero, empty description") << 0 << QString() << head + QStringLiteral("[0]");
        QTest::newRow("japanese description") << 7 << QStringLiteral("送信できません\r\n")
                                              << head + QStringLiteral("[7]送信できません\r\n");
    }

    void errorReportText()
    {
        QFETCH(int, number);
        QFETCH(QString, description);
        QFETCH(QString, text);
        auto *link = new FakeFaxLink(&log, {true});
        auto *sender = new FakeSender(&log);
        Form1 form(link, sender);
        sender->raise(number, description);
        QTRY_COMPARE(messages, QStringList{text});
        // The server goes on relaying; the sender is neither closed nor
        // configured again.
        link->receive(QStringLiteral("after the error"));
        QCOMPARE(log, QStringList{QStringLiteral("SendData=after the error")});
    }

    void unresolvableHostIsReported()
    {
        auto *sender = new ScriptedLookupSender;
        Form1 form(new FakeFaxLink(&log, {true}), sender);
        QString error;
        QVERIFY(sender->setProtocol(DatagramSender::Udp, &error));
        QVERIFY(sender->setRemoteHost(QStringLiteral("faxserver-typo"), &error));
        QVERIFY(sender->setRemotePort(21825, &error));
        clickTest(form);
        QTRY_COMPARE(messages.size(), 1);
        QVERIFY2(messages.first().startsWith(QStringLiteral("通信処理でエラーが発生しました。\r\n[11001]")),
                 qPrintable(messages.first()));
        QVERIFY(messages.first().contains(QStringLiteral("faxserver-typo")));
        QTest::qWait(50);
        QCOMPARE(messages.size(), 1);
    }
};

QTEST_MAIN(TestReport)
#include "tst_report.moc"
