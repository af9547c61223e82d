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
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

const QString Spool = QStringLiteral("/var/spool/hylafax");

bool run(const QString &program, const QStringList &arguments, int timeout = 30000)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, arguments);
    return process.waitForFinished(timeout) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

class TestHylaFax : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    QString spool;            // the private copy
    TestSupport::MonitorProcess monitor;
    std::unique_ptr<TestSupport::Program> program;
    std::unique_ptr<TestSupport::FastUdpReceiver> receiver;

    // faxrcvd on one received fax, as the fax server runs it; returns its
    // exit status and how long it took.
    int faxrcvd(const QString &message, qint64 *elapsed)
    {
        QElapsedTimer timer;
        timer.start();
        QProcess process;
        process.start(QStringLiteral("su"), {QStringLiteral("-s"), QStringLiteral("/bin/sh"), QStringLiteral("uucp"),
                                             QStringLiteral("-c"),
                                             QStringLiteral("cd '%1' && bin/faxrcvd recvq/fax00001.tif ttyS0 000000123 '%2' "
                                                            "0312345678 'ﾔﾏﾀﾞｼｮｳｼﾞ'").arg(spool, message)});
        process.waitForFinished(30000);
        *elapsed = timer.elapsed();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    void useHook(bool on)
    {
        QFile dispatch(spool + QStringLiteral("/etc/FaxDispatch"));
        QVERIFY(dispatch.open(QIODevice::WriteOnly | QIODevice::Truncate));
        dispatch.write("SENDTO=root\n");
        if (on) {
            // The hook as shipped, pointed at this test's monitor.
            QFile hook(QStringLiteral(KAVREL_HOOK));
            QVERIFY(hook.open(QIODevice::ReadOnly));
            dispatch.write(hook.readAll().replace("--post", "--post --folder '" + monitor.folder().toUtf8() + "'"));
        }
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (geteuid() != 0)
            QSKIP("needs root, to run the fax server's script as its user");
        for (const QString &tool : {Spool + QStringLiteral("/bin/faxrcvd"), QStringLiteral("/usr/bin/ppm2tiff"),
                                    QStringLiteral("/usr/bin/tiffset")}) {
            if (!QFile::exists(tool))
                QSKIP(qPrintable(tool + QStringLiteral(" is not installed (hylafax-server, libtiff-tools)")));
        }
        QFile::setPermissions(work.path(), QFile::permissions(work.path()) | QFileDevice::ReadOther | QFileDevice::ExeOther);
        spool = work.path() + QStringLiteral("/spool");
        QVERIFY(QDir().mkpath(spool + QStringLiteral("/recvq")));
        QVERIFY(run(QStringLiteral("cp"), {QStringLiteral("-a"), Spool + QStringLiteral("/bin"), spool}));
        QVERIFY(run(QStringLiteral("cp"), {QStringLiteral("-a"), QStringLiteral("/etc/hylafax/."), spool + QStringLiteral("/etc")}));

        // A received fax: one page, 1-bit, Group 4, with the sender's TSI and
        // the time of reception as the fax server writes them.
        QFile page(work.path() + QStringLiteral("/page.pbm"));
        QVERIFY(page.open(QIODevice::WriteOnly));
        page.write("P4\n1728 200\n" + QByteArray(216 * 200, '\0'));
        page.close();
        const QString tiff = spool + QStringLiteral("/recvq/fax00001.tif");
        QVERIFY(run(QStringLiteral("ppm2tiff"), {QStringLiteral("-c"), QStringLiteral("g4"), page.fileName(), tiff}));
        QVERIFY(run(QStringLiteral("tiffset"), {QStringLiteral("-s"), QStringLiteral("270"), QStringLiteral("81 3 1234 5678"), tiff}));
        QVERIFY(run(QStringLiteral("tiffset"), {QStringLiteral("-s"), QStringLiteral("306"), QStringLiteral("2026:12:07 06:38:44"), tiff}));
        QVERIFY(run(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("uucp:uucp"), spool}));

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
        useHook(true);
        const int before = receiver->count();
        qint64 elapsed = 0;
        QCOMPARE(faxrcvd(message, &elapsed), 0);
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
        useHook(true);
        qint64 elapsed = 0;
        QCOMPARE(faxrcvd(QString(), &elapsed), 0);
    }

    // A fax server with nobody at a desktop: no kavrel-s, the monitor sends
    // the datagram and the MQTT message itself.
    void relaysWithNoDesktop()
    {
        program.reset();
        TestSupport::TestBroker broker;
        QVERIFY2(broker.missing().isEmpty(), qPrintable(broker.missing()));
        QVERIFY(broker.start());
        TestSupport::TestSubscriber subscriber(broker, QStringLiteral("kavrel/fax/received"));
        QVERIFY(subscriber.ready());
        TestSupport::FastUdpReceiver alone;
        QFile password(work.filePath(QStringLiteral("password")));
        QVERIFY(password.open(QIODevice::WriteOnly));
        password.write(broker.password().toUtf8());
        password.close();
        QVERIFY(monitor.start("[Datagrams]\nDestinations=127.0.0.1:" + QByteArray::number(alone.port())
                                  + "\n[MQTT]\nBroker=" + broker.url().toUtf8() + "\nUser=" + broker.user().toUtf8()
                                  + "\nPasswordFile=" + QFile::encodeName(password.fileName()) + "\n",
                              TestSupport::MonitorProcess::DefaultDelays, {QStringLiteral("--poster"), QStringLiteral("uucp")}));
        QTRY_VERIFY(monitor.said().contains("connected to the broker"));
        useHook(true);
        qint64 elapsed = 0;
        QCOMPARE(faxrcvd(QString(), &elapsed), 0);
        QTRY_COMPARE(alone.count(), 1);
        QCOMPARE(alone.datagrams().first(),
                 QByteArray("2026/12/07 06:38:44,81 3 1234 5678,0312345678,\xd4\xcf\xc0\xde\xbc\xae\xb3\xbc\xde,1,OK"));
        QTRY_COMPARE(subscriber.messages().size(), 1);
        const QJsonObject json = QJsonDocument::fromJson(subscriber.messages().first()).object();
        QCOMPARE(json.value(QStringLiteral("name")).toString(), QStringLiteral("ﾔﾏﾀﾞｼｮｳｼﾞ"));
        QCOMPARE(json.value(QStringLiteral("number")).toString(), QStringLiteral("0312345678"));
        QCOMPARE(json.value(QStringLiteral("status")).toString(), QStringLiteral("OK"));
    }
};

QTEST_GUILESS_MAIN(TestHylaFax)
#include "tst_hylafax.moc"
