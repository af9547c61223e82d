// The whole road with the real fax server's own reception script: HylaFAX's
// faxrcvd, run as the fax user on a received TIFF, sources FaxDispatch with
// our hook; the fax monitor takes the post; kavrel-s relays it to a loopback
// receiver. Needs root (to act as the fax user) and hylafax-server with
// libtiff-tools installed; skipped, saying so, otherwise.
//
// faxrcvd runs from a private copy of the spool's scripts and configuration,
// so no file of an installed fax server is changed.

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestHylaFax : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    TestSupport::HylaFaxSpool spool;
    TestSupport::MonitorProcess monitor;
    std::unique_ptr<TestSupport::Program> program;
    std::unique_ptr<TestSupport::FastUdpReceiver> receiver;

    int faxrcvd(const QString &message = QString())
    {
        return spool.faxrcvd(QStringLiteral("fax00001.tif"), QStringLiteral("000000123"), message);
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!spool.missing().isEmpty())
            QSKIP(qPrintable(QStringLiteral("needs ") + spool.missing()));
        QVERIFY(spool.makeFax(QStringLiteral("fax00001.tif"), 1));
        QVERIFY(monitor.start(QByteArray(), TestSupport::MonitorProcess::DefaultDelays,
                              {QStringLiteral("--poster"), QStringLiteral("uucp")}));

        // kavrel-s finds the monitor as it finds the system's.
        receiver = std::make_unique<TestSupport::FastUdpReceiver>();
        QFile settings(TestSupport::settingsFile());
        QVERIFY(settings.open(QIODevice::WriteOnly));
        settings.write("[Settings]\nIPAddress=127.0.0.1\nPort=" + QByteArray::number(receiver->port()) + "\n");
        settings.close();
        program = std::make_unique<TestSupport::Program>(
            QStringLiteral(KAVREL_PROGRAM), TestSupport::kavrelSArguments(QStringLiteral("wait=300,connect=300"), monitor.linkSocket()));
        QTRY_VERIFY_WITH_TIMEOUT(monitor.said().contains(" connected ("), 10000);
    }

    void receptionsArriveAsOneDatagram_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("lastField");
        QTest::newRow("received") << QString() << QByteArray("OK");
        QTest::newRow("with an error") << QStringLiteral("Missing EOL after 5 seconds")
                                       << QByteArray("Missing EOL after 5 seconds");
    }

    void receptionsArriveAsOneDatagram()
    {
        QFETCH(QString, message);
        QFETCH(QByteArray, lastField);
        QVERIFY(spool.useHook(monitor.folder()));
        const int before = receiver->count();
        QCOMPARE(faxrcvd(message), 0);
        QTRY_COMPARE(receiver->count(), before + 1);
        // The caller's name in Shift_JIS half-width katakana.
        QCOMPARE(receiver->datagrams().last(),
                 "2026/12/07 06:38:44,81 3 1234 5678,0312345678,\xd4\xcf\xc0\xde\xbc\xae\xb3\xbc\xde,1," + lastField);
        QTest::qWait(300);
        QCOMPARE(receiver->count(), before + 1);
    }

    // The hook returns at once and leaves its post to the background with
    // a time limit: a monitor that never answers neither holds the fax
    // server's script up nor leaves a post behind for long; one that is
    // down fails nothing.
    void hookReturnsAtOnceAndPostsWithATimeLimit()
    {
        const QString pidFile = work.filePath(QStringLiteral("post.pid"));
        QFile poster(work.filePath(QStringLiteral("hanging-post")));
        QVERIFY(poster.open(QIODevice::WriteOnly));
        poster.write("#!/bin/sh\necho $$ > '" + QFile::encodeName(pidFile) + "'\nexec sleep 30\n");
        poster.close();
        QVERIFY(poster.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        QFile hook(QStringLiteral(KAVREL_HOOK));
        QVERIFY(hook.open(QIODevice::ReadOnly));
        const QString script = QString::fromUtf8(hook.readAll()).replace(QStringLiteral(KAVREL_FAXMON), poster.fileName());
        QProcess shell;
        shell.start(QStringLiteral("sh"), {QStringLiteral("-c"), script});
        QVERIFY(shell.waitForFinished(5000));
        QCOMPARE(shell.exitCode(), 0);
        QByteArray pid;
        QTRY_VERIFY([&] {
            QFile file(pidFile);
            return file.open(QIODevice::ReadOnly) && !(pid = file.readAll().trimmed()).isEmpty();
        }());
        const QString process = QStringLiteral("/proc/") + QString::fromLatin1(pid);
        QVERIFY(QFile::exists(process)); // still posting after the script went on
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(process), 5000);

        monitor.kill();
        QVERIFY(spool.useHook(monitor.folder()));
        QCOMPARE(faxrcvd(), 0);
    }

    // A fax server with nobody at a desktop: no kavrel-s, the monitor sends
    // the datagram and the MQTT message itself (without the document, which
    // is not asked for); routed on the line faxrcvd names, the line's
    // department has its datagram too.
    void relaysWithNoDesktop()
    {
        program.reset();
        TestSupport::TestBroker broker;
        QVERIFY2(broker.missing().isEmpty(), qPrintable(broker.missing()));
        QVERIFY(broker.start());
        TestSupport::TestSubscriber subscriber(broker, QStringLiteral("kavrel/fax/received"));
        QVERIFY(subscriber.ready());
        TestSupport::FastUdpReceiver alone, sales;
        QFile password(work.filePath(QStringLiteral("password")));
        QVERIFY(password.open(QIODevice::WriteOnly));
        password.write(broker.password().toUtf8());
        password.close();
        QVERIFY(monitor.start("[Datagrams]\nDestinations=127.0.0.1:" + QByteArray::number(alone.port())
                                  + "\n[MQTT]\nBroker=" + broker.url().toUtf8() + "\nUser=" + broker.user().toUtf8()
                                  + "\nPasswordFile=" + QFile::encodeName(password.fileName())
                                  + "\n[Departments]\nsales=営業部\n[Routes]\ndevice ttyS0 = sales\n[Datagrams]\nsales=127.0.0.1:"
                                  + QByteArray::number(sales.port()) + "\n",
                              TestSupport::MonitorProcess::DefaultDelays, {QStringLiteral("--poster"), QStringLiteral("uucp")}));
        QTRY_VERIFY(monitor.said().contains("connected to the broker"));
        QVERIFY(spool.useHook(monitor.folder()));
        QCOMPARE(faxrcvd(), 0);
        QTRY_COMPARE(alone.count(), 1);
        QCOMPARE(alone.datagrams().first(),
                 QByteArray("2026/12/07 06:38:44,81 3 1234 5678,0312345678,\xd4\xcf\xc0\xde\xbc\xae\xb3\xbc\xde,1,OK"));
        QTRY_COMPARE(sales.count(), 1);
        QCOMPARE(sales.datagrams().first(), alone.datagrams().first());
        QTRY_COMPARE(subscriber.messages().size(), 1);
        const QJsonObject json = QJsonDocument::fromJson(subscriber.messages().first()).object();
        QCOMPARE(json.value(QStringLiteral("name")).toString(), QStringLiteral("ﾔﾏﾀﾞｼｮｳｼﾞ"));
        QCOMPARE(json.value(QStringLiteral("number")).toString(), QStringLiteral("0312345678"));
        QCOMPARE(json.value(QStringLiteral("status")).toString(), QStringLiteral("OK"));
        // Documents are off unless the configuration turns them on.
        QVERIFY(!json.contains(QStringLiteral("document")));
        QVERIFY(!monitor.said().contains("document"));
    }
};

QTEST_GUILESS_MAIN(TestHylaFax)
#include "tst_hylafax.moc"
