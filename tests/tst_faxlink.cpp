#include "components/socketfaxlink.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QLocalServer>
#include <QSignalSpy>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>


using TestSupport::TestMonitor;

namespace {

QStringList texts(const QSignalSpy &spy)
{
    QStringList result;
    for (const QList<QVariant> &arguments : spy)
        result.append(arguments.first().toString());
    return result;
}

QString socketPath(const char *name = "orvex-monitor.sock")
{
    return TestSupport::runtimeDir() + QLatin1Char('/') + QLatin1String(name);
}

// One Connect() call, and its answer.
bool connectLink(SocketFaxLink &link)
{
    QSignalSpy answered(&link, &FaxLink::ConnectFinished);
    link.Connect();
    if (!QTest::qWaitFor([&] { return !answered.isEmpty(); }, 10000))
        return false;
    return answered.first().first().toBool();
}

// A bare listening socket the test controls: closing it leaves its file in
// place, as a monitor that was killed does.
int listenAt(const QString &path, int backlog = 4)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(fd, backlog) != 0)
        qWarning("cannot listen at %s", qPrintable(path));
    return fd;
}

} // namespace

class TestFaxLink : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QFile::remove(socketPath()); }

    void socketsInOrder()
    {
        QCOMPARE(SocketFaxLink().socketPaths(),
                 (QStringList{socketPath(), socketPath("system-monitor.sock")}));
    }

    // A call never blocks; it keeps trying for its time, so a monitor that
    // comes up meanwhile is found, and one that never does is answered no.
    void connectCallKeepsTryingWithoutBlocking()
    {
        SocketFaxLink link({socketPath()});
        SocketFaxLink::Timing timing;
        timing.connectTimeout = 50;
        link.setTiming(timing);
        QSignalSpy answered(&link, &FaxLink::ConnectFinished);
        link.Connect();
        QVERIFY(answered.isEmpty());
        QTRY_COMPARE(answered.size(), 1);
        QCOMPARE(answered.first().first().toBool(), false);

        timing.connectTimeout = 60000;
        link.setTiming(timing);
        link.Connect();
        std::unique_ptr<TestMonitor> monitor;
        QTimer::singleShot(100, this, [&] { monitor = std::make_unique<TestMonitor>(socketPath()); });
        QTRY_COMPARE(answered.size(), 2);
        QCOMPARE(answered.last().first().toBool(), true);
        QVERIFY(monitor->waitForLink());
    }

    // A socket in the runtime folder that does not answer is passed over
    // for the system monitor's, at the first connect and at reconnects.
    void deadUserSocketIsPassedOver_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("stale socket") << QStringLiteral("stale");
        QTest::newRow("plain file") << QStringLiteral("file");
        QTest::newRow("nobody accepts, queue full") << QStringLiteral("full");
    }

    void deadUserSocketIsPassedOver()
    {
        QFETCH(QString, kind);
        const QString user = socketPath(), system = socketPath("system.sock");
        QList<int> held;
        if (kind == QLatin1String("file")) {
            QFile file(user);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else if (kind == QLatin1String("stale")) {
            ::close(listenAt(user));
        } else {
            held.append(listenAt(user, 0));
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            qstrncpy(address.sun_path, QFile::encodeName(user).constData(), sizeof address.sun_path);
            for (int filled = 0; filled < 64; ++filled) {
                const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                held.append(fd);
                if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
                    break;
            }
        }
        SocketFaxLink link({user, system});
        QSignalSpy spy(&link, &FaxLink::FaxReceived);
        auto systemMonitor = std::make_unique<TestMonitor>(system);
        QVERIFY(connectLink(link));
        QVERIFY(systemMonitor->waitForLink());
        systemMonitor.reset();
        systemMonitor = std::make_unique<TestMonitor>(system);
        QVERIFY(systemMonitor->waitForLink());
        systemMonitor->write("after the restart\n");
        QTRY_COMPARE(texts(spy), QStringList{QStringLiteral("after the restart")});
        QFile::remove(system);
        for (int fd : std::as_const(held))
            ::close(fd);
    }

    void fallsBackToTheSystemMonitor()
    {
        const QString user = socketPath(), system = socketPath("system.sock");
        SocketFaxLink link({user, system});
        QSignalSpy spy(&link, &FaxLink::FaxReceived);
        auto systemMonitor = std::make_unique<TestMonitor>(system);
        QVERIFY(connectLink(link));
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
        SocketFaxLink link({socketPath()});
        TestMonitor monitor(socketPath());
        QSignalSpy spy(&link, &FaxLink::FaxReceived);
        QVERIFY(connectLink(link));
        QVERIFY(monitor.waitForLink());
        monitor.write(written);
        QTRY_COMPARE(texts(spy), received);
        QTest::qWait(50);
        QCOMPARE(texts(spy), received);
    }

    void lineSplitAcrossWrites()
    {
        SocketFaxLink link({socketPath()});
        TestMonitor monitor(socketPath());
        QSignalSpy spy(&link, &FaxLink::FaxReceived);
        QVERIFY(connectLink(link));
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
        SocketFaxLink link({socketPath()});
        TestMonitor monitor(socketPath());
        QSignalSpy spy(&link, &FaxLink::FaxReceived);
        QVERIFY(connectLink(link));
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
        SocketFaxLink link({socketPath()});
        TestMonitor monitor(socketPath());
        QSignalSpy spy(&link, &FaxLink::FaxReceived);
        QVERIFY(connectLink(link));
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

    // A monitor that comes back is found at once (the folder is watched),
    // not after the pause before the next attempt; half a line from before
    // is not glued to the next one.
    void reconnectsWhenTheMonitorRestarts()
    {
        SocketFaxLink link({socketPath()});
        SocketFaxLink::Timing timing;
        timing.firstRetryDelay = timing.maxRetryDelay = 600000;
        link.setTiming(timing);
        QSignalSpy spy(&link, &FaxLink::FaxReceived);
        QSignalSpy scheduled(&link, &SocketFaxLink::ReconnectScheduled);
        QSignalSpy up(&link, &FaxLink::LinkChanged);
        auto monitor = std::make_unique<TestMonitor>(socketPath());
        QVERIFY(connectLink(link));
        QVERIFY(monitor->waitForLink());
        monitor->write("first\n");
        QTRY_COMPARE(spy.size(), 1);

        monitor->write("half a li");
        monitor.reset();
        QTRY_VERIFY(!scheduled.isEmpty());
        monitor = std::make_unique<TestMonitor>(socketPath());
        QVERIFY(monitor->waitForLink());
        monitor->write("second\n");
        QTRY_COMPARE(texts(spy), (QStringList{QStringLiteral("first"), QStringLiteral("second")}));
        // Up, down, and up again, as the window tells it.
        QCOMPARE(up.size(), 3);
        QCOMPARE((QList<bool>{up.at(0).at(0).toBool(), up.at(1).at(0).toBool(), up.at(2).at(0).toBool()}),
                 (QList<bool>{true, false, true}));
    }

    // Each failed reconnection doubles the pause up to its cap; after a
    // success the pauses start over from the first.
    void reconnectPausesAreCappedAndStartOver()
    {
        SocketFaxLink link({socketPath()});
        link.setTiming({1000, 10, 1, 8, 300});
        QSignalSpy scheduled(&link, &SocketFaxLink::ReconnectScheduled);
        int listener = listenAt(socketPath());
        QVERIFY(connectLink(link));
        ::close(listener); // its file stays: nothing for the watch to see
        QTRY_VERIFY(scheduled.size() >= 6);
        QList<int> pauses;
        for (int i = 0; i < 6; ++i)
            pauses.append(scheduled.at(i).first().toInt());
        QCOMPARE(pauses, (QList<int>{1, 2, 4, 8, 8, 8}));

        QFile::remove(socketPath());
        listener = listenAt(socketPath());
        int accepted = -1;
        QVERIFY(QTest::qWaitFor([&] { return (accepted = ::accept4(listener, nullptr, nullptr, 0)) >= 0; }));
        // Closed at once, as a monitor refusing the link: the pauses go on
        // growing; after a connection that lasted, they start over.
        scheduled.clear();
        ::close(accepted);
        QTRY_VERIFY(!scheduled.isEmpty());
        QCOMPARE(scheduled.first().first().toInt(), 8);
        QVERIFY(QTest::qWaitFor([&] { return (accepted = ::accept4(listener, nullptr, nullptr, 0)) >= 0; }));
        QTest::qWait(400);
        scheduled.clear();
        ::close(accepted);
        ::close(listener);
        QTRY_VERIFY(!scheduled.isEmpty());
        QCOMPARE(scheduled.first().first().toInt(), 1);
    }

    void disconnectStopsReconnecting()
    {
        SocketFaxLink link({socketPath()});
        link.setTiming({1000, 10, 1, 8});
        QSignalSpy spy(&link, &FaxLink::FaxReceived);
        auto monitor = std::make_unique<TestMonitor>(socketPath());
        QVERIFY(connectLink(link));
        QVERIFY(monitor->waitForLink());
        link.Disconnect();
        monitor.reset();
        monitor = std::make_unique<TestMonitor>(socketPath());
        // Longer than several pauses between attempts.
        QVERIFY(!monitor->waitForLink(200));
        QCOMPARE(spy.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestFaxLink)
#include "tst_faxlink.moc"
