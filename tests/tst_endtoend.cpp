// The real program, started as a process the way a user starts it, with a test
// monitor on the fax link's socket and UDP receivers on loopback. The cases
// with clicks run on a virtual X screen (Xvfb) with a window manager, driven
// with xdotool; where those are not installed they are skipped, saying so.

#include "core/monitorprotocol.h"
#include "settings/settingsstore.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using TestSupport::FastUdpReceiver;
using TestSupport::TestMonitor;

namespace {

const QString ProgramPath = QStringLiteral(KAVREL_PROGRAM);

QString socketPath()
{
    return TestSupport::runtimeDir() + QLatin1Char('/') + MonitorProtocol::linkSocketName();
}

void storeDestination(const QString &address, const QString &port)
{
    SettingsStore store;
    QVERIFY(store.write(SettingsStore::IPAddressKey, address));
    QVERIFY(store.write(SettingsStore::PortKey, port));
}

// kavrel-s as a child process, in the test's own folders.
class Program : public TestSupport::Program
{
public:
    explicit Program(const TestSupport::Desktop *desktop = nullptr, const QStringList &wrapper = QStringList())
        : TestSupport::Program(ProgramPath, TestSupport::kavrelSArguments(),
                               desktop ? desktop->environment() : QProcessEnvironment(), wrapper)
    {
    }
};

// Centres of the controls, in logical pixels of their window's client area.
constexpr int SettingsButtonX = (2880 + 855 / 2) / 15, ButtonsY = (2040 + 375 / 2) / 15;
constexpr int TestButtonX = (1560 + 975 / 2) / 15;
constexpr int PortBoxX = (1680 + 2175 / 2) / 15, PortBoxY = (960 + 375 / 2) / 15;

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestSupport::Desktop> desktop;

    bool haveDesktop()
    {
        if (!desktop)
            desktop = std::make_unique<TestSupport::Desktop>();
        return desktop->missing().isEmpty();
    }

private Q_SLOTS:
    void init()
    {
        TestSupport::clearSettings();
        QFile::remove(socketPath());
    }

    void cleanupTestCase() { desktop.reset(); }

    void receptionsArriveExactlyAndInOrder()
    {
        FastUdpReceiver receiver;
        QVERIFY(receiver.ok());
        storeDestination(QStringLiteral("127.0.0.1"), QString::number(receiver.port()));
        TestMonitor monitor(socketPath());
        Program program;
        QVERIFY(monitor.waitForLink());

        monitor.write(QStringLiteral("2026/12/07,09:05:07,03-1234-5678,株式会社サンプル〜商事,3\r\n\n").toUtf8());
        monitor.write(QStringLiteral(" blanks , and ｶﾅ \n").toUtf8());
        QTRY_COMPARE(receiver.count(), 2);
        QCOMPARE(receiver.datagrams().at(0),
                 QByteArray("2026/12/07,09:05:07,03-1234-5678,\x8a\x94\x8e\xae\x89\xef\x8e\xd0\x83\x54\x83\x93\x83\x76"
                            "\x83\x8b\x81\x60\x8f\xa4\x8e\x96,3"));
        QCOMPARE(receiver.datagrams().at(1), QByteArray(" blanks , and \xb6\xc5 "));
        // Over 64 KiB as the monitor writes it, but it fits one datagram.
        monitor.write(QString(21846, QChar(0x3042)).toUtf8() + "\n");
        QTRY_COMPARE(receiver.count(), 3);
        QCOMPARE(receiver.datagrams().at(2), QByteArray("\x82\xa0").repeated(21846));

        // A burst written at once: every line, in order.
        const int count = 10000;
        QByteArray burst;
        for (int i = 0; i < count; ++i)
            burst += QByteArray::number(i) + ",受信\n";
        monitor.write(burst);
        QTRY_COMPARE_WITH_TIMEOUT(receiver.count(), count + 3, 30000);
        const QList<QByteArray> datagrams = receiver.datagrams();
        for (int i = 0; i < count; ++i)
            QCOMPARE(datagrams.at(i + 3), QByteArray::number(i) + ",\x8e\xf3\x90\x4d");
    }

    void defaultsApplyWhenNothingIsStored()
    {
        FastUdpReceiver receiver(21825);
        if (!receiver.ok())
            QSKIP("port 21825 on 127.0.0.1 is in use on this machine");
        TestMonitor monitor(socketPath());
        Program program;
        QVERIFY(monitor.waitForLink());
        monitor.write("to the default destination\n");
        QTRY_COMPARE(receiver.count(), 1);
        QCOMPARE(receiver.datagrams().first(), QByteArray("to the default destination"));
        QVERIFY(!QFile::exists(TestSupport::settingsFile()));
    }

    void receptionsResumeAfterTheMonitorRestarts()
    {
        FastUdpReceiver receiver;
        storeDestination(QStringLiteral("127.0.0.1"), QString::number(receiver.port()));
        auto monitor = std::make_unique<TestMonitor>(socketPath());
        Program program;
        QVERIFY(monitor->waitForLink());
        monitor->write("before\n");
        QTRY_COMPARE(receiver.count(), 1);

        monitor.reset();
        QTest::qWait(300);
        monitor = std::make_unique<TestMonitor>(socketPath());
        QVERIFY(monitor->waitForLink());
        monitor->write("after\n");
        QTRY_COMPARE(receiver.count(), 2);
        QCOMPARE(receiver.datagrams().at(1), QByteArray("after"));
        QCOMPARE(program.process().state(), QProcess::Running);
    }

    void oneCopyPerUserSession()
    {
        const bool onDesktop = haveDesktop();
        FastUdpReceiver receiver;
        storeDestination(QStringLiteral("127.0.0.1"), QString::number(receiver.port()));
        TestMonitor monitor(socketPath());
        auto first = std::make_unique<Program>(onDesktop ? desktop.get() : nullptr);
        QVERIFY(monitor.waitForLink());
        QString main;
        if (onDesktop) {
            main = desktop->window(first->pid(), QStringLiteral("受信通知サーバ"));
            QTRY_VERIFY_WITH_TIMEOUT(desktop->window(first->pid(), QStringLiteral("受信通知サーバ"), true, 0).isEmpty(), 5000);
        }

        // A second start shows the first copy's window and ends.
        Program second(onDesktop ? desktop.get() : nullptr);
        QVERIFY(second.process().waitForFinished(10000));
        QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.process().exitCode(), 0);
        if (onDesktop)
            QVERIFY(!desktop->window(first->pid(), QStringLiteral("受信通知サーバ"), true).isEmpty());
        QCOMPARE(monitor.linkCount(), 1);
        for (int i = 0; i < 10; ++i)
            monitor.write(QByteArray::number(i) + "\n");
        QTRY_COMPARE(receiver.count(), 10);

        // A copy killed outright leaves nothing in the way; of two copies
        // started at the same moment, exactly one runs.
        first->process().kill();
        QVERIFY(first->process().waitForFinished(5000));
        first.reset();
        QTRY_COMPARE(monitor.linkCount(), 0);
        Program third(onDesktop ? desktop.get() : nullptr);
        Program fourth(onDesktop ? desktop.get() : nullptr);
        QTRY_COMPARE(monitor.linkCount(), 1);
        QTRY_VERIFY(third.process().state() == QProcess::NotRunning || fourth.process().state() == QProcess::NotRunning);
        QProcess &ended = third.process().state() == QProcess::NotRunning ? third.process() : fourth.process();
        QCOMPARE(ended.exitCode(), 0);
        QTest::qWait(500);
        QCOMPARE(monitor.linkCount(), 1);
        monitor.write("once\n");
        QTRY_COMPARE(receiver.count(), 11);
    }

    void monitorComingUpAfterTheProgramIsFound()
    {
        FastUdpReceiver receiver;
        storeDestination(QStringLiteral("127.0.0.1"), QString::number(receiver.port()));
        Program program;
        std::unique_ptr<TestMonitor> monitor;
        QTimer::singleShot(500, [&] { monitor = std::make_unique<TestMonitor>(socketPath()); });
        QTRY_VERIFY(monitor);
        QVERIFY(monitor->waitForLink());
        monitor->write("late monitor\n");
        QTRY_COMPARE(receiver.count(), 1);
        QCOMPARE(program.process().state(), QProcess::Running);
    }

    void unusableStoredSettingsAreTold_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("port of letters") << QByteArray("[Settings]\nIPAddress=127.0.0.1\nPort=abc\n");
        QTest::newRow("port 0") << QByteArray("[Settings]\nIPAddress=127.0.0.1\nPort=0\n");
        QTest::newRow("empty address") << QByteArray("[Settings]\nIPAddress=\nPort=21825\n");
        QTest::newRow("octal-looking address") << QByteArray("[Settings]\nIPAddress=127.000.000.001\nPort=21825\n");
        QTest::newRow("unreadable") << QByteArray("unreadable");
        QTest::newRow("fifo") << QByteArray("fifo");
        QTest::newRow("oversized") << QByteArray("oversized");
    }

    void unusableStoredSettingsAreTold()
    {
        QFETCH(QByteArray, content);
        if (!haveDesktop())
            QSKIP(qPrintable(QStringLiteral("no virtual desktop here (missing: %1)").arg(desktop->missing())));
        FastUdpReceiver defaultReceiver(21825);
        if (!defaultReceiver.ok())
            QSKIP("port 21825 on 127.0.0.1 is in use on this machine");
        const QByteArray file = QFile::encodeName(TestSupport::settingsFile());
        QStringList wrapper;
        if (content == "fifo") {
            QCOMPARE(mkfifo(file.constData(), 0600), 0);
        } else {
            QFile settings(TestSupport::settingsFile());
            QVERIFY(settings.open(QIODevice::WriteOnly));
            if (content == "oversized")
                QVERIFY(settings.resize(8 * 1024 * 1024));
            else
                settings.write(content == "unreadable" ? QByteArray("[Settings]\nPort=21825\n") : content);
            settings.close();
            if (content == "unreadable") {
                QVERIFY(settings.setPermissions(QFileDevice::WriteOwner));
                // Root reads anything; the program runs without that power.
                if (geteuid() == 0)
                    wrapper = QStringList{QStringLiteral("setpriv"),
                                          QStringLiteral("--bounding-set=-dac_override,-dac_read_search,-fowner"),
                                          QStringLiteral("--")};
            }
        }
        TestMonitor monitor(socketPath());
        Program program(desktop.get(), wrapper);
        QVERIFY(monitor.waitForLink());
        const QString box = desktop->window(program.pid(), QStringLiteral("kavrel-s"), true);
        QVERIFY(!box.isEmpty());
        monitor.write("not to the default\n");
        desktop->activate(box);
        desktop->key(QStringLiteral("Return"));
        // The program goes on, its window up for the user to fix the settings.
        QTRY_VERIFY(desktop->window(program.pid(), QStringLiteral("kavrel-s"), true, 0).isEmpty());
        QVERIFY(!desktop->window(program.pid(), QStringLiteral("受信通知サーバ"), true, 0).isEmpty());
        QCOMPARE(program.process().state(), QProcess::Running);
        QCOMPARE(defaultReceiver.count(), 0);
        QFile::remove(TestSupport::settingsFile());
    }

    void clicksOnTheTestAndSettingsButtons()
    {
        if (!haveDesktop())
            QSKIP(qPrintable(QStringLiteral("no virtual desktop here (missing: %1)").arg(desktop->missing())));
        FastUdpReceiver first;
        FastUdpReceiver second;
        storeDestination(QStringLiteral("127.0.0.1"), QString::number(first.port()));
        TestMonitor monitor(socketPath());
        Program program(desktop.get());
        QVERIFY(monitor.waitForLink());
        const QString main = desktop->window(program.pid(), QStringLiteral("受信通知サーバ"));
        QVERIFY(!main.isEmpty());
        // The start-up minimises the window; the user restores it.
        QTRY_VERIFY_WITH_TIMEOUT(desktop->window(program.pid(), QStringLiteral("受信通知サーバ"), true, 0).isEmpty(), 5000);
        desktop->activate(main);
        QVERIFY(!desktop->window(program.pid(), QStringLiteral("受信通知サーバ"), true, 0).isEmpty());

        desktop->click(main, TestButtonX, ButtonsY);
        QTRY_COMPARE(first.count(), 1);
        const QByteArray test = first.datagrams().first();
        QCOMPARE(test.size(), 30);
        QVERIFY2(QRegularExpression(QStringLiteral("^Test Receive Message\r\n\\d\\d:\\d\\d:\\d\\d$"))
                     .match(QString::fromLatin1(test)).hasMatch(), test.constData());

        // A new port, typed into the settings dialog and confirmed with OK.
        desktop->click(main, SettingsButtonX, ButtonsY);
        const QString dialog = desktop->window(program.pid(), QStringLiteral("設定"), true);
        QVERIFY(!dialog.isEmpty());
        desktop->click(dialog, PortBoxX, PortBoxY);
        desktop->key(QStringLiteral("ctrl+a"));
        desktop->type(QString::number(second.port()));
        desktop->key(QStringLiteral("Return"));
        QTRY_VERIFY(desktop->window(program.pid(), QStringLiteral("設定"), true, 0).isEmpty());
        QCOMPARE(SettingsStore().read(SettingsStore::PortKey, QString()), QString::number(second.port()));

        desktop->activate(main);
        desktop->click(main, TestButtonX, ButtonsY);
        QTRY_COMPARE(second.count(), 1);
        QVERIFY(second.datagrams().first().startsWith("Test Receive Message\r\n"));
        QCOMPARE(first.count(), 1);
    }

    void connectFailureIsToldThenTheProgramEnds()
    {
        if (!haveDesktop())
            QSKIP(qPrintable(QStringLiteral("no virtual desktop here (missing: %1)").arg(desktop->missing())));
        Program program(desktop.get());
        const QString box = desktop->window(program.pid(), QStringLiteral("kavrel-s"), true);
        QVERIFY(!box.isEmpty());
        QCOMPARE(program.process().state(), QProcess::Running);
        desktop->activate(box);
        desktop->key(QStringLiteral("Return"));
        QTRY_COMPARE_WITH_TIMEOUT(program.process().state(), QProcess::NotRunning, 5000);
        QCOMPARE(program.process().exitStatus(), QProcess::NormalExit);
        QVERIFY(program.process().exitCode() != 0);
    }

    void closingTheMainWindowEndsTheProgram()
    {
        if (!haveDesktop())
            QSKIP(qPrintable(QStringLiteral("no virtual desktop here (missing: %1)").arg(desktop->missing())));
        TestMonitor monitor(socketPath());
        Program program(desktop.get());
        QVERIFY(monitor.waitForLink());
        const QString main = desktop->window(program.pid(), QStringLiteral("受信通知サーバ"));
        QVERIFY(!main.isEmpty());
        // Once the start-up has minimised it, the user brings it up and closes it.
        QTRY_VERIFY_WITH_TIMEOUT(desktop->window(program.pid(), QStringLiteral("受信通知サーバ"), true, 0).isEmpty(), 5000);
        desktop->activate(main);
        desktop->key(QStringLiteral("alt+F4"));
        QTRY_COMPARE_WITH_TIMEOUT(program.process().state(), QProcess::NotRunning, 5000);
        QCOMPARE(program.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.process().exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
