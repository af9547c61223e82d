#include "components/socketfaxlink.h"
#include "components/udpsender.h"
#include "fakes.h"
#include "server/notificationserver.h"
#include "gui/seams.h"
#include "settings/settingsstore.h"
#include "testsupport.h"
#include "ui/form1.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <sys/stat.h>

class TestServer : public QObject
{
    Q_OBJECT

    QStringList log;
    QStringList messages;
    QList<int> exits;

    void store(const QString &address, const QString &port)
    {
        SettingsStore settings;
        QVERIFY(settings.write(SettingsStore::IPAddressKey, address));
        QVERIFY(settings.write(SettingsStore::PortKey, port));
    }

private Q_SLOTS:
    void init()
    {
        log.clear();
        messages.clear();
        exits.clear();
        TestSupport::clearSettings();
        Seams::setMessageBox([this](QWidget *, const QString &text) { messages.append(text); });
        Seams::setExit([this](int status) { exits.append(status); });
    }

    // Runs the start-up with a short wait and waits for its end.
    static void startUp(Form1 &form, int wait = 0)
    {
        form.server()->setStartUpWait(wait);
        form.startUp();
    }

    void startUpWaitEndsTwoSecondsAfterTheNearestWholeSecond_data()
    {
        QTest::addColumn<double>("now");
        QTest::addColumn<int>("wait");
        QTest::newRow("half, to even below") << 100.5 << 1500;
        QTest::newRow("half, to even above") << 101.5 << 2500;
        QTest::newRow("below half") << 100.2 << 1800;
        QTest::newRow("above half") << 100.7 << 2300;
        QTest::newRow("whole") << 7.0 << 2000;
    }

    void startUpWaitEndsTwoSecondsAfterTheNearestWholeSecond()
    {
        QFETCH(double, now);
        QFETCH(int, wait);
        QCOMPARE(NotificationServer::startUpWait(now), wait);
    }

    // The window tells, when asked, whether the fax monitor is reached and
    // where receptions go; a destination the settings give that cannot be
    // used is told beside the one still in use.
    void windowTellsItsState()
    {
        auto *link = new FakeFaxLink(&log, {true});
        Form1 form(link, new FakeSender(&log));
        QVERIFY(form.toolTip().contains(QStringLiteral("接続しています")));
        startUp(form);
        QTRY_VERIFY(form.isMinimized());
        QCOMPARE(form.toolTip(), QStringLiteral("FAX モニター：接続中\n送信先：127.0.0.1 ポート 21825"));
        Q_EMIT link->LinkChanged(false);
        QVERIFY(form.toolTip().startsWith(QStringLiteral("FAX モニター：接続が切れました")));
        Q_EMIT link->LinkChanged(true);
        store(QStringLiteral("127.255.255.255"), QStringLiteral("9"));
        form.server()->applySettings();
        QCOMPARE(form.toolTip(), QStringLiteral("FAX モニター：接続中\n送信先：127.255.255.255 ポート 9"));
        store(QStringLiteral("127.0.0.1"), QStringLiteral("99999999999"));
        form.server()->applySettings();
        QVERIFY2(form.toolTip().startsWith(QStringLiteral("FAX モニター：接続中\n送信先：127.255.255.255 ポート 9\n設定の送信先は使えません：")), qPrintable(form.toolTip()));
    }

    void connectSucceedsOnTheFourthCall()
    {
        Form1 form(new FakeFaxLink(&log, {false, false, false, true}), new FakeSender(&log));
        startUp(form, 100);
        // Configured at once; minimised only once the wait is over.
        QCOMPARE(log, (QStringList{QStringLiteral("Connect"), QStringLiteral("Connect"), QStringLiteral("Connect"),
                                   QStringLiteral("Connect"), QStringLiteral("Protocol=1"),
                                   QStringLiteral("RemoteHost=127.0.0.1"), QStringLiteral("RemotePort=21825")}));
        QVERIFY(!form.isMinimized());
        QTRY_VERIFY(form.isMinimized());
        QVERIFY(messages.isEmpty());
        QVERIFY(exits.isEmpty());
        // Started once only.
        form.startUp();
        QCOMPARE(log.count(QStringLiteral("Connect")), 4);
    }

    void connectFailsFourTimes()
    {
        {
            Form1 form(new FakeFaxLink(&log, {false, false, false, false, true}), new FakeSender(&log));
            startUp(form);
            QCOMPARE(log, QStringList(4, QStringLiteral("Connect")));
            QCOMPARE(messages, QStringList{QStringLiteral("Ｏｒｖｅｘとのコネクトに失敗しました。動作環境を確認してください。")});
            QCOMPARE(exits.size(), 1);
            QVERIFY(exits.first() != 0);
            log.clear();
        }
        // In the real program the process is gone by now; here the window is
        // destroyed afterwards, which is the ordinary shutdown.
        QCOMPARE(log, (QStringList{QStringLiteral("Close"), QStringLiteral("Disconnect")}));
    }

    // While the link is still trying, the window answers: a click on quit
    // ends the program there and then.
    void quitWhileConnecting()
    {
        auto *link = new SocketFaxLink({TestSupport::runtimeDir() + QStringLiteral("/nobody.sock")});
        SocketFaxLink::Timing timing;
        timing.connectTimeout = 60000;
        link->setTiming(timing);
        Form1 form(link, new FakeSender(&log));
        form.startUp();
        QTimer::singleShot(50, &form, [&form] { form.findChild<QPushButton *>(QStringLiteral("Command2"))->click(); });
        QTRY_COMPARE(exits, QList<int>{0});
        QVERIFY(messages.isEmpty());
    }

    // A later start asks for the window while this one is still starting: it
    // stays up rather than being minimised at the end of the wait.
    void windowAskedForDuringStartUpStaysUp()
    {
        Form1 form(new FakeFaxLink(&log, {true}), new FakeSender(&log));
        QSignalSpy finished(form.server(), &NotificationServer::startUpFinished);
        startUp(form, 20);
        form.bringToFront();
        QTRY_COMPARE(finished.size(), 1);
        QVERIFY(!form.isMinimized());
        QVERIFY(form.isVisible());
    }

    void storedSettingsConfigureTheSender()
    {
        store(QStringLiteral("127.255.255.255"), QStringLiteral("２１８２６"));
        Form1 form(new FakeFaxLink(&log, {true}), new FakeSender(&log));
        startUp(form);
        QTRY_VERIFY(form.isMinimized());
        QCOMPARE(log, (QStringList{QStringLiteral("Connect"), QStringLiteral("Protocol=1"),
                                   QStringLiteral("RemoteHost=127.255.255.255"), QStringLiteral("RemotePort=21826")}));
        QVERIFY(form.isMinimized());
    }

    void failedConfigurationIsToldWindowNormal_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("failing");
        QTest::addColumn<QString>("reasonPart");
        QTest::newRow("port of letters") << QStringLiteral("abc") << QString() << QStringLiteral("数値ではありません");
        QTest::newRow("empty port") << QString() << QString() << QStringLiteral("入力されていません");
        QTest::newRow("port refused") << QStringLiteral("70000") << QStringLiteral("RemotePort") << QStringLiteral("refused");
        QTest::newRow("host refused") << QStringLiteral("80") << QStringLiteral("RemoteHost") << QStringLiteral("refused");
        // Settings that cannot be read are not taken for the defaults.
        QTest::newRow("folder in the file's place") << QStringLiteral("folder") << QString() << QStringLiteral("フォルダ");
        QTest::newRow("not a regular file") << QStringLiteral("fifo") << QString() << QStringLiteral("通常のファイル");
        QTest::newRow("far too large") << QStringLiteral("large") << QString() << QStringLiteral("バイトを超えて");
        QTest::newRow("link to nothing") << QStringLiteral("dangling") << QString() << QStringLiteral("リンク先がありません");
    }

    void failedConfigurationIsToldWindowNormal()
    {
        QFETCH(QString, port);
        QFETCH(QString, failing);
        QFETCH(QString, reasonPart);
        const QString file = TestSupport::settingsFile();
        if (port == QStringLiteral("folder")) {
            QVERIFY(QDir().mkpath(file));
        } else if (port == QStringLiteral("fifo")) {
            QCOMPARE(mkfifo(QFile::encodeName(file).constData(), 0600), 0);
        } else if (port == QStringLiteral("dangling")) {
            QVERIFY(QFile::link(TestSupport::configDir() + QStringLiteral("/gone"), file));
        } else if (port == QStringLiteral("large")) {
            QFile large(file);
            QVERIFY(large.open(QIODevice::WriteOnly));
            QVERIFY(large.resize(64 * 1024 * 1024));
        } else {
            store(QStringLiteral("127.0.0.1"), port);
        }
        auto *sender = new FakeSender(&log);
        sender->failing = failing;
        {
            Form1 form(new FakeFaxLink(&log, {true}), sender);
            startUp(form);
            QTRY_COMPARE(messages.size(), 1);
            // Neither half of the destination is taken.
            QCOMPARE(log, (QStringList{QStringLiteral("Connect"), QStringLiteral("Protocol=1")}));
            QVERIFY(form.isVisible());
            QVERIFY(!form.isMinimized());
            QCOMPARE(messages.size(), 1);
            QVERIFY2(messages.first().startsWith(NotificationServer::ApplyFailedMessage + QStringLiteral("\r\n")),
                     qPrintable(messages.first()));
            QVERIFY2(messages.first().contains(reasonPart), qPrintable(messages.first()));
            QVERIFY(exits.isEmpty());
        }
    }

    void receptionDuringTheWaitIsSent()
    {
        auto *link = new FakeFaxLink(&log, {true});
        Form1 form(link, new FakeSender(&log));
        startUp(form, 100);
        QVERIFY(!form.isMinimized());
        link->receive(QStringLiteral("during the wait"));
        QCOMPARE(log.last(), QStringLiteral("SendData=during the wait"));
        QCOMPARE(log.indexOf(QStringLiteral("RemotePort=21825")), 3);
        QTRY_VERIFY(form.isMinimized());
    }

    // Settings that could not be used at first, fixed (with the dialog)
    // while the start-up waits, are used when the wait is over.
    void settingsFixedDuringTheWaitAreUsed()
    {
        store(QStringLiteral("127.0.0.1"), QStringLiteral("abc"));
        Form1 form(new FakeFaxLink(&log, {true}), new FakeSender(&log));
        startUp(form, 100);
        store(QStringLiteral("127.0.0.1"), QStringLiteral("21826"));
        QTRY_VERIFY(form.isMinimized());
        QVERIFY(messages.isEmpty());
        QCOMPARE(log.last(), QStringLiteral("RemotePort=21826"));
    }

    void relayPassesTextUnchangedAndIgnoresFailures()
    {
        auto *link = new FakeFaxLink(&log, {true});
        auto *sender = new FakeSender(&log);
        Form1 form(link, sender);
        const QString text = QStringLiteral(" 2026/12/07,09:05,03-1234-5678,株式会社　サンプル,3 ");
        link->receive(text);
        sender->failing = QStringLiteral("SendData=fails");
        link->receive(QStringLiteral("fails"));
        link->receive(QStringLiteral("next"));
        QCOMPARE(log, (QStringList{QStringLiteral("SendData=") + text, QStringLiteral("SendData=fails (failed)"),
                                   QStringLiteral("SendData=next")}));
        QVERIFY(messages.isEmpty());
    }

    void quitEndsAtOnceWithoutShutdown()
    {
        Form1 form(new FakeFaxLink(&log, {true}), new FakeSender(&log));
        form.findChild<QPushButton *>(QStringLiteral("Command2"))->click();
        QCOMPARE(exits, QList<int>{0});
        QVERIFY(log.isEmpty());
    }

    void destroyingTheWindowClosesSenderThenLink()
    {
        {
            Form1 form(new FakeFaxLink(&log, {true}), new FakeSender(&log));
        }
        QCOMPARE(log, (QStringList{QStringLiteral("Close"), QStringLiteral("Disconnect")}));
    }

    // The real link and sender, end to end inside one process.
    void receptionsReachTheNetworkAsShiftJis()
    {
        TestSupport::UdpReceiver receiver;
        store(QStringLiteral("127.0.0.1"), QString::number(receiver.port()));
        const QString path = SocketFaxLink::defaultSocketPath();
        TestSupport::TestMonitor monitor(path);
        Form1 form(new SocketFaxLink({path}), new UdpSender);
        startUp(form);
        QTRY_VERIFY(form.isMinimized());
        QVERIFY(monitor.waitForLink());
        monitor.write(QStringLiteral("2026/12/07,09:05,03-1234-5678,株式会社サンプル〜商事,3\r\n\nnext\n").toUtf8());
        QTRY_COMPARE(receiver.datagrams().size(), 2);
        QCOMPARE(receiver.datagrams().at(0),
                 QByteArray("2026/12/07,09:05,03-1234-5678,\x8a\x94\x8e\xae\x89\xef\x8e\xd0\x83\x54\x83\x93\x83\x76"
                            "\x83\x8b\x81\x60\x8f\xa4\x8e\x96,3"));
        QCOMPARE(receiver.datagrams().at(1), QByteArray("next"));
    }
};

QTEST_MAIN(TestServer)
#include "tst_server.moc"
