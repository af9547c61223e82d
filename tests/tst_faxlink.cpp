#include "components/socketfaxlink.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QLocalServer>
#include <QSignalSpy>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <thread>

using TestSupport::TestMonitor;

namespace {

QStringList texts(const QSignalSpy &spy)
{
    QStringList result;
    for (const QList<QVariant> &arguments : spy)
        result.append(arguments.first().toString());
    return result;
}

} // namespace

class TestFaxLink : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void linkAtRuntimeFolder()
    {
        QCOMPARE(SocketFaxLink().socketPath(), TestSupport::runtimeDir() + QStringLiteral("/orvex-monitor.sock"));
    }

    void connectWaitsForAMonitorComingUp()
    {
        SocketFaxLink link;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!link.Connect());
        QVERIFY2(timer.elapsed() >= SocketFaxLink::ConnectTimeout - 50, qPrintable(QString::number(timer.elapsed())));

        // A monitor that starts listening while the call waits (no event
        // loop runs meanwhile, so it listens from a thread of its own).
        const QByteArray path = QFile::encodeName(link.socketPath());
        int listener = -1;
        std::thread late([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
            listener = socket(AF_UNIX, SOCK_STREAM, 0);
            ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
            ::listen(listener, 4);
        });
        const bool connected = link.Connect();
        late.join();
        QVERIFY(connected);
        link.Disconnect();
        ::close(listener);
        QFile::remove(link.socketPath());
    }

    void fallsBackToTheSystemMonitor()
    {
        const QString user = TestSupport::runtimeDir() + QStringLiteral("/user.sock");
        const QString system = TestSupport::runtimeDir() + QStringLiteral("/system.sock");
        SocketFaxLink link(user, system);
        QSignalSpy spy(&link, &FaxLink::FaxReceived);
        auto systemMonitor = std::make_unique<TestMonitor>(system);
        QVERIFY(link.Connect());
        QVERIFY(systemMonitor->waitForLink());
        // Once the user's own monitor is there, it is the one used.
        TestMonitor userMonitor(user);
        systemMonitor.reset();
        QVERIFY(userMonitor.waitForLink());
        userMonitor.write("from the user's monitor\n");
        QTRY_COMPARE(texts(spy), QStringList{QStringLiteral("from the user's monitor")});
    }

    void linesBecomeReceptions_data()
    {
        QTest::addColumn<QByteArray>("written");
        QTest::addColumn<QStringList>("received");
        QTest::newRow("commas blanks japanese")
            << QByteArray("2026/12/07,09:05:07, 03-1234-5678 ,株式会社サンプル商事,3\n")
            << QStringList{QStringLiteral("2026/12/07,09:05:07, 03-1234-5678 ,株式会社サンプル商事,3")};
        QTest::newRow("crlf and empty lines")
            << QByteArray("a\r\n\r\n\nb\n\r\nc\rd\r\n")
            << QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c\rd")};
        QTest::newRow("blanks only is a reception") << QByteArray("  \n") << QStringList{QStringLiteral("  ")};
        QTest::newRow("unfinished line waits") << QByteArray("one\ntwo") << QStringList{QStringLiteral("one")};
    }

    void linesBecomeReceptions()
    {
        QFETCH(QByteArray, written);
        QFETCH(QStringList, received);
        SocketFaxLink link;
        TestMonitor monitor(link.socketPath());
        QSignalSpy spy(&link, &FaxLink::FaxReceived);
        QVERIFY(link.Connect());
        QVERIFY(monitor.waitForLink());
        monitor.write(written);
        QTRY_COMPARE(texts(spy), received);
        QTest::qWait(50);
        QCOMPARE(texts(spy), received);
    }

    void lineSplitAcrossWrites()
    {
        SocketFaxLink link;
        TestMonitor monitor(link.socketPath());
        QSignalSpy spy(&link, &FaxLink::FaxReceived);
        QVERIFY(link.Connect());
        QVERIFY(monitor.waitForLink());
        const QByteArray line = QStringLiteral("受信,テスト\r\n").toUtf8();
        for (char byte : line) {
            monitor.write(QByteArray(1, byte));
            QTest::qWait(1);
        }
        QTRY_COMPARE(texts(spy), QStringList{QStringLiteral("受信,テスト")});
    }

    void burstArrivesCompleteAndInOrder()
    {
        SocketFaxLink link;
        TestMonitor monitor(link.socketPath());
        QSignalSpy spy(&link, &FaxLink::FaxReceived);
        QVERIFY(link.Connect());
        QVERIFY(monitor.waitForLink());
        QByteArray burst;
        const int count = 20000;
        for (int i = 0; i < count; ++i)
            burst += QStringLiteral("%1,受信\n").arg(i).toUtf8();
        monitor.write(burst);
        QTRY_COMPARE_WITH_TIMEOUT(spy.size(), count, 20000);
        for (int i = 0; i < count; ++i)
            QCOMPARE(spy.at(i).first().toString(), QStringLiteral("%1,受信").arg(i));
    }

    void overLongLineIsDropped()
    {
        SocketFaxLink link;
        TestMonitor monitor(link.socketPath());
        QSignalSpy spy(&link, &FaxLink::FaxReceived);
        QVERIFY(link.Connect());
        QVERIFY(monitor.waitForLink());
        const QByteArray longest(SocketFaxLink::MaxLineLength, 'x');
        monitor.write("before\n");
        // Fits a datagram in Shift_JIS, though far over 64 KiB in UTF-8.
        const QString kana(60000, QChar(0x3042));
        monitor.write(kana.toUtf8() + "\n");
        monitor.write(longest + "y\r\n");          // one byte too long
        monitor.write(QByteArray(1024 * 1024, 'z')); // far too long, in pieces
        monitor.write(QByteArray(1024 * 1024, 'z') + "\n");
        monitor.write(longest + "\r\n");            // just fits
        monitor.write("after\n");
        QTRY_COMPARE(spy.size(), 4);
        QCOMPARE(spy.at(0).first().toString(), QStringLiteral("before"));
        QCOMPARE(spy.at(1).first().toString(), kana);
        QCOMPARE(spy.at(2).first().toString().size(), SocketFaxLink::MaxLineLength);
        QCOMPARE(spy.at(3).first().toString(), QStringLiteral("after"));
    }

    void reconnectsWhenTheMonitorRestarts()
    {
        SocketFaxLink link;
        QSignalSpy spy(&link, &FaxLink::FaxReceived);
        auto monitor = std::make_unique<TestMonitor>(link.socketPath());
        QVERIFY(link.Connect());
        QVERIFY(monitor->waitForLink());
        monitor->write("first\n");
        QTRY_COMPARE(spy.size(), 1);

        monitor->write("half a li");
        monitor->stop();
        monitor.reset();
        // Away long enough for several attempts to fail.
        QTest::qWait(700);
        monitor = std::make_unique<TestMonitor>(link.socketPath());
        QVERIFY(monitor->waitForLink());
        monitor->write("second\n");
        QTRY_COMPARE(texts(spy), (QStringList{QStringLiteral("first"), QStringLiteral("second")}));
    }

    void disconnectStopsReconnecting()
    {
        SocketFaxLink link;
        QSignalSpy spy(&link, &FaxLink::FaxReceived);
        auto monitor = std::make_unique<TestMonitor>(link.socketPath());
        QVERIFY(link.Connect());
        QVERIFY(monitor->waitForLink());
        link.Disconnect();
        monitor->stop();
        monitor = std::make_unique<TestMonitor>(link.socketPath());
        // Longer than the first few pauses between attempts.
        QVERIFY(!monitor->waitForLink(SocketFaxLink::FirstRetryDelay * 8));
        QCOMPARE(spy.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestFaxLink)
#include "tst_faxlink.moc"
