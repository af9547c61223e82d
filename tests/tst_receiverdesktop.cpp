// kavrel-r as a user meets it: the real program on a virtual screen with a
// window manager (no tray there), a private session bus with dunst as the
// notification service and gnome-keyring as the keyring, a real mosquitto,
// and datagrams sent to it over loopback. Every process the test uses it
// starts itself, and stops by its own id.

#include "components/shiftjis.h"
#include "receiver/history.h"
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSettings>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>

namespace {

const QString ReceiverPath = QStringLiteral(KAVREL_RECEIVER);

QString settingsPath()
{
    return TestSupport::configDir() + QStringLiteral("/Kavrel/kavrel-r.conf");
}

} // namespace

class TestReceiverDesktop : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestSupport::Desktop> desktop;
    TestSupport::TestBroker broker;
    QTemporaryDir services; // the bus starts nothing by itself
    QTemporaryDir keyringHome;
    QProcess dunst;
    QProcess keyring;
    std::unique_ptr<TestSupport::Program> receiver;
    quint16 port = 0;
    QUdpSocket sender;

    void send(const QByteArray &datagram) { sender.writeDatagram(datagram, QHostAddress::LocalHost, port); }

    QString dunstctl(const QStringList &arguments) const { return desktop->run(QStringLiteral("dunstctl"), arguments); }

    bool nameOwned(const QString &name) const
    {
        return desktop
            ->run(QStringLiteral("dbus-send"), {QStringLiteral("--session"), QStringLiteral("--print-reply"),
                                                QStringLiteral("--dest=org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                                QStringLiteral("org.freedesktop.DBus.NameHasOwner"), QStringLiteral("string:") + name})
            .contains(QStringLiteral("boolean true"));
    }

    // The notices dunst shows now and has shown, with what they said.
    QStringList notices() const
    {
        QStringList found;
        const QJsonDocument document = QJsonDocument::fromJson(dunstctl({QStringLiteral("history")}).toUtf8());
        for (const QJsonValue &notice : document.object().value(QStringLiteral("data")).toArray().at(0).toArray()) {
            const QJsonObject object = notice.toObject();
            QStringList fields;
            for (const char *name : {"appname", "summary", "category", "body"})
                fields.append(object.value(QLatin1String(name)).toObject().value(QStringLiteral("data")).toString());
            found.append(fields.join(QLatin1Char('|')));
        }
        return found;
    }

    // Every notice shown so far goes to dunst's history, where notices() reads it.
    QStringList shownNotices() const
    {
        dunstctl({QStringLiteral("close-all")});
        return notices();
    }

    // The program's window in the taskbar, and its title.
    QString taskbarWindow(QString *title = nullptr) const
    {
        const QStringList ids = desktop->xdotool({QStringLiteral("search"), QStringLiteral("--pid"),
                                                  QString::number(receiver->pid())})
                                    .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &id : ids) {
            const QString name = desktop->xdotool({QStringLiteral("getwindowname"), id});
            if (name.startsWith(QStringLiteral("受信通知クライアント"))) {
                if (title)
                    *title = name;
                return id;
            }
        }
        return QString();
    }

    QString taskbarTitle() const
    {
        QString title;
        taskbarWindow(&title);
        return title;
    }

    void startDunst()
    {
        dunst.setProcessEnvironment(desktop->environment());
        // Each notice it is given printed as well: a replaced one, too.
        dunst.start(QStringLiteral("dunst"), {QStringLiteral("-print")});
        QTRY_VERIFY(nameOwned(QStringLiteral("org.freedesktop.Notifications")));
    }

    void writeSettings(bool withPassword)
    {
        QDir().mkpath(QFileInfo(settingsPath()).absolutePath());
        QFile settings(settingsPath());
        QVERIFY(settings.open(QIODevice::WriteOnly | QIODevice::Truncate));
        settings.write("[Receive]\nPort=" + QByteArray::number(port) + "\n[MQTT]\nBroker=" + broker.url().toUtf8()
                       + "\nUser=" + broker.user().toUtf8() + "\n");
        if (withPassword)
            settings.write("Password=" + broker.password().toUtf8() + "\n");
    }

    void startReceiver(const QString &busAddress = QString(), const QString &delays = QStringLiteral("gather=300"))
    {
        QProcessEnvironment environment = desktop->environment();
        if (!busAddress.isEmpty())
            environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress);
        receiver = std::make_unique<TestSupport::Program>(
            ReceiverPath, QStringList{QStringLiteral("--test-delays"), delays}, environment);
    }

    void waitForTaskbar()
    {
        // No tray on this desktop: the program's window is in the taskbar.
        QTRY_VERIFY_WITH_TIMEOUT(!taskbarWindow().isEmpty(), 10000);
    }

    // Whether a UDP socket is bound to port (as /proc tells, for any process).
    static bool bound(quint16 port)
    {
        const QString hex = QStringLiteral(":%1 ").arg(port, 4, 16, QLatin1Char('0')).toUpper();
        for (const char *table : {"/proc/net/udp", "/proc/net/udp6"}) {
            QFile file{QString::fromLatin1(table)};
            if (file.open(QIODevice::ReadOnly) && QString::fromLatin1(file.readAll()).contains(hex))
                return true;
        }
        return false;
    }

    void stopReceiver()
    {
        receiver->process().terminate();
        QVERIFY(receiver->process().waitForFinished(5000));
        QCOMPARE(receiver->process().exitStatus(), QProcess::NormalExit);
        receiver.reset();
    }

    bool publish(const QString &line, bool retained = false, const QString &topic = QStringLiteral("kavrel/fax/received"),
                 const QString &message = QString())
    {
        QStringList arguments{QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                              QString::number(broker.port()), QStringLiteral("-u"), broker.user(), QStringLiteral("-P"),
                              broker.password(), QStringLiteral("-q"), QStringLiteral("1"), QStringLiteral("-t"),
                              topic, QStringLiteral("-m"),
                              !message.isEmpty() ? message
                              : line.isEmpty()   ? QString()
                                                 : QStringLiteral("{\"line\":\"%1\",\"status\":\"OK\"}").arg(line)};
        if (retained)
            arguments << QStringLiteral("-r");
        return QProcess::execute(QStringLiteral("mosquitto_pub"), arguments) == 0;
    }

private Q_SLOTS:
    void initTestCase()
    {
        desktop = std::make_unique<TestSupport::Desktop>();
        QVERIFY2(desktop->missing().isEmpty(), qPrintable(desktop->missing()));
        QVERIFY(!desktop->startSessionBus(services.path()).isEmpty());
        // The desktop's keyring, unlocked as at a login.
        QProcessEnvironment environment = desktop->environment();
        environment.insert(QStringLiteral("HOME"), keyringHome.path());
        environment.insert(QStringLiteral("XDG_DATA_HOME"), keyringHome.path());
        keyring.setProcessEnvironment(environment);
        keyring.start(QStringLiteral("gnome-keyring-daemon"),
                      {QStringLiteral("--foreground"), QStringLiteral("--unlock"), QStringLiteral("--components=secrets")});
        QVERIFY(keyring.waitForStarted());
        keyring.write("login-password");
        keyring.closeWriteChannel();
        QTRY_VERIFY(nameOwned(QStringLiteral("org.freedesktop.secrets")));
        startDunst();
        QVERIFY2(broker.missing().isEmpty(), qPrintable(broker.missing()));
        QVERIFY(broker.start());
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
        port = probe.localPort();
        probe.close();
        writeSettings(true);
    }

    void init()
    {
        if (!receiver) {
            startReceiver();
            waitForTaskbar();
        }
    }

    void cleanupTestCase()
    {
        // The program before its bus: a program whose bus goes is ended.
        receiver.reset();
        for (QProcess *process : {&dunst, &keyring}) {
            process->kill();
            process->waitForFinished();
        }
        desktop.reset();
    }

    // The broker's password given in the settings file goes to the keyring
    // (and out of the file); started again, the program takes it from
    // there and reaches the broker. What the broker keeps (a retained
    // message) is shown when it comes, not again at each connection.
    void passwordGoesToTheKeyring()
    {
        QTRY_VERIFY(publish(QStringLiteral("2026/12/07 06:29:00,,0312345678,ｷｰﾌﾟ,1,OK"), true)
                    && shownNotices().join(QLatin1Char('\n')).contains(QStringLiteral("ｷｰﾌﾟ")));
        QTRY_VERIFY(!QSettings(settingsPath(), QSettings::IniFormat).contains(QStringLiteral("MQTT/Password")));
        QCOMPARE(desktop->run(QStringLiteral("secret-tool"), {QStringLiteral("lookup"), QStringLiteral("server"),
                                                              QStringLiteral("kavrel-r"), QStringLiteral("user"),
                                                              QStringLiteral("mqtt-password")}),
                 broker.password());
        stopReceiver();
        startReceiver();
        waitForTaskbar();
        const QString line = QStringLiteral("2026/12/07 06:30:00,,0312345678,ｷｰﾘﾝｸﾞ,1,OK");
        QTRY_VERIFY(publish(line) && shownNotices().join(QLatin1Char('\n')).contains(QStringLiteral("ｷｰﾘﾝｸﾞ")));
        QCOMPARE(notices().filter(QStringLiteral("ｷｰﾌﾟ")).size(), 1);
        QVERIFY(publish(QString(), true)); // the broker keeps nothing more
    }

    // A reception becomes one desktop notice, its copy none; the taskbar
    // window counts it (unread, and nobody's: no states are shared here);
    // clicking the notice opens the history, and then it is read.
    void receptionIsShownOnce()
    {
        const QByteArray line = "2026/12/07 06:38:44,81 3 1234 5678,0312345678,\xd4\xcf\xc0\xde\xbc\xae\xb3\xbc\xde,2,OK";
        dunstctl({QStringLiteral("close-all")});
        send(line);
        send(line);
        QTRY_COMPARE(dunstctl({QStringLiteral("count"), QStringLiteral("displayed")}).toInt(), 1);
        QTRY_VERIFY(taskbarTitle().contains(QStringLiteral("未対応 ")));
        dunstctl({QStringLiteral("action"), QStringLiteral("0")});
        QVERIFY(!desktop->window(receiver->pid(), QStringLiteral("受信履歴"), true).isEmpty());
        QTRY_COMPARE(taskbarTitle(), QStringLiteral("受信通知クライアント"));
        // Datagrams are taken in order: once a later one is shown, the copy
        // has been dealt with.
        send("2026/12/07 06:38:45,,,\xba\xdd\xc4\xde,1,OK");
        QTRY_VERIFY(shownNotices().join(QLatin1Char('\n')).contains(QStringLiteral("ｺﾝﾄﾞ")));
        const QStringList shown = notices().filter(QStringLiteral("ﾔﾏﾀﾞｼｮｳｼﾞ"));
        QCOMPARE(shown.size(), 1);
        const QStringList first = shown.first().split(QLatin1Char('|'));
        QCOMPARE(first.at(0), QStringLiteral("kavrel-r"));
        QCOMPARE(first.at(1), QStringLiteral("FAXを受信しました"));
        QCOMPARE(first.at(2), QStringLiteral("transfer.complete"));

        // What a sender wrote is text, not markup for the notice.
        send(toWindowsShiftJis(QStringLiteral("2026/12/07 06:38:46,,,<b>A&B</b>,1,OK")));
        QTRY_VERIFY(shownNotices().join(QLatin1Char('\n')).contains(QStringLiteral("&lt;b&gt;A&amp;B&lt;/b&gt;")));
    }

    // Subscribed to the broker as well: a reception published there is
    // shown, and when it also comes by UDP it is still one notice.
    void brokerAndDatagramAreOneNotice()
    {
        const QString line = QStringLiteral("2026/12/07 06:39:00,,0312345678,ｻﾄｳ,3,OK");
        QVERIFY(publish(line));
        QTRY_COMPARE(shownNotices().filter(QStringLiteral("ｻﾄｳ")).size(), 1);
        send(toWindowsShiftJis(line));
        send(toWindowsShiftJis(QStringLiteral("2026/12/07 06:39:01,,,ｻｲｺﾞ,1,OK")));
        QTRY_VERIFY(shownNotices().join(QLatin1Char('\n')).contains(QStringLiteral("ｻｲｺﾞ")));
        QCOMPARE(notices().filter(QStringLiteral("ｻﾄｳ")).size(), 1);
    }

    // A notification service that hangs is not waited for: the notice is
    // the program's own, soon.
    void hungServiceIsNotWaitedFor()
    {
        ::kill(pid_t(dunst.processId()), SIGSTOP);
        send("2026/12/07 06:39:30,,0312345678,,1,OK");
        const bool shown = !desktop->window(receiver->pid(), QStringLiteral("受信通知"), true).isEmpty();
        ::kill(pid_t(dunst.processId()), SIGCONT);
        QVERIFY(shown);
    }

    // Without a notification service, the notice is the program's own.
    void withoutAServiceTheProgramShowsItItself()
    {
        dunst.kill();
        QVERIFY(dunst.waitForFinished());
        QTRY_VERIFY(!nameOwned(QStringLiteral("org.freedesktop.Notifications")));
        send("2026/12/07 06:40:00,,0312345678,,1,RSPREC error/got DCN");
        QVERIFY(!desktop->window(receiver->pid(), QStringLiteral("受信通知"), true).isEmpty());
        startDunst();
    }

    // The session ends while the settings dialog is open: the program ends.
    void endOfSessionWithADialogOpen()
    {
        QString window;
        QTRY_VERIFY(!(window = taskbarWindow()).isEmpty());
        desktop->activate(window);
        // From 最新のFAXを開く past 受信履歴 and すべて既読にする to 設定.
        for (int i = 0; i < 3; ++i)
            desktop->key(QStringLiteral("Tab"));
        desktop->key(QStringLiteral("space"));
        QVERIFY(!desktop->window(receiver->pid(), QStringLiteral("設定"), true).isEmpty());
        stopReceiver();
    }

    // At a login with a damaged history and a session bus that takes the
    // connection and never answers: the port is had at once, what comes is
    // kept and shown by the program itself, and the history's problem is
    // told without a box that waits.
    void startsWhateverIsWrong()
    {
        if (receiver)
            stopReceiver();
        const QString historyFile = TestSupport::dataDir() + QStringLiteral("/kavrel-r/history.sqlite");
        QFile::remove(historyFile);
        QFile damaged(historyFile);
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write(QByteArray("SQLite format 3\0", 16) + QByteArray(8192, '\x5a'));
        damaged.close();
        QLocalServer silentBus; // takes connections, answers nothing
        QVERIFY(silentBus.listen(keyringHome.filePath(QStringLiteral("silent-bus"))));
        QList<QLocalSocket *> held;
        connect(&silentBus, &QLocalServer::newConnection, this, [&] { held.append(silentBus.nextPendingConnection()); });
        startReceiver(QStringLiteral("unix:path=") + silentBus.fullServerName(), QStringLiteral("gather=300,bus=2000"));
        QTRY_VERIFY(bound(port));
        send("2026/12/07 06:42:00,,0312345678,\xc3\xde\xb8\xde\xc1,1,OK");
        const QString line = QStringLiteral("2026/12/07 06:42:00,,0312345678,ﾃﾞｸﾞﾁ,1,OK");
        QVERIFY(!desktop->window(receiver->pid(), QStringLiteral("受信通知"), true, 20000).isEmpty());
        QVERIFY(!desktop->window(receiver->pid(), QStringLiteral("受信通知クライアント"), true, 20000).isEmpty());
        waitForTaskbar();
        stopReceiver();
        History history;
        QVERIFY(history.open());
        QCOMPARE(history.entries(1).first().text, line);
    }

    // A fax someone took at another desk: its notice here goes.
    void takenElsewhereWithdrawsTheNotice()
    {
        if (!receiver)
            startReceiver();
        dunstctl({QStringLiteral("close-all")});
        QTRY_VERIFY(publish(QString(), false, QStringLiteral("kavrel/fax/fax1/all/reception"),
                            QStringLiteral("{\"line\":\"2026/12/08 10:31:00,,0312345678,ﾀｲｼｮｳ,1,OK\",\"status\":\"OK\","
                                           "\"server\":\"fax1\",\"commid\":\"000000901\"}"))
                    && dunstctl({QStringLiteral("count"), QStringLiteral("displayed")}).toInt() == 1);
        const QString state = QStringLiteral("kavrel/fax/fax1/all/state/000000901");
        QVERIFY(publish(QString(), true, state,
                        QStringLiteral("{\"state\":\"taken\",\"at\":\"2026-12-08T10:32:00+09:00\",\"user\":\"alice\","
                                       "\"name\":\"山田\"}")));
        QTRY_COMPARE(dunstctl({QStringLiteral("count"), QStringLiteral("displayed")}).toInt(), 0);
        QVERIFY(publish(QString(), true, state));
    }

    // Killed the moment a reception is shown: it is in the history all the
    // same (written before shown).
    void shownIsKept()
    {
        const QByteArray line = "2026/12/07 06:41:00,,0312345678,\xb5\xdc\xd8,1,OK";
        dunstctl({QStringLiteral("close-all")});
        send(line);
        QTRY_COMPARE(dunstctl({QStringLiteral("count"), QStringLiteral("displayed")}).toInt(), 1);
        receiver->process().kill();
        QVERIFY(receiver->process().waitForFinished());
        receiver.reset();
        History history;
        QVERIFY(history.open());
        QCOMPARE(history.entries(1).first().text, fromWindowsShiftJis(line));
    }

    // As it comes out of the box: a reception is shown at once, what comes
    // within the next three seconds is gathered into one notice; a gathered
    // notice that replaces one still shown keeps the failure that one told.
    void gatheredAsShipped()
    {
        if (receiver)
            stopReceiver();
        startReceiver(QString(), QStringLiteral("none=0"));
        waitForTaskbar();
        dunstctl({QStringLiteral("close-all")});
        dunst.readAllStandardOutput();
        const auto displayed = [this] { return dunstctl({QStringLiteral("count"), QStringLiteral("displayed")}).toInt(); };
        QElapsedTimer sinceFirst;
        sinceFirst.start();
        send("2026/12/07 06:42:00,,0312345678,\xb1,1,OK");
        send("2026/12/07 06:42:01,,0312345678,\xb2,0,No carrier");
        send("2026/12/07 06:42:02,,0312345678,\xb3,1,OK");
        QTRY_COMPARE(displayed(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(displayed(), 2, 10000);
        // (Qt's coarse timers may fire up to 5% early.)
        QVERIFY2(sinceFirst.elapsed() >= 2800, qPrintable(QString::number(sinceFirst.elapsed())));
        send("2026/12/07 06:42:03,,0312345678,\xb4,1,OK");
        send("2026/12/07 06:42:04,,0312345678,\xb5,1,OK");
        // The second gathered notice replaces the first, shown still.
        auto gathered = [this, printed = QString()]() mutable {
            printed += QString::fromUtf8(dunst.readAllStandardOutput());
            QStringList summaries;
            QRegularExpressionMatchIterator it =
                QRegularExpression(QStringLiteral("summary: '(受信通知が[^']*)'")).globalMatch(printed);
            while (it.hasNext())
                summaries.append(it.next().captured(1));
            return summaries;
        };
        QTRY_COMPARE_WITH_TIMEOUT(gathered().size(), 2, 10000);
        QCOMPARE(displayed(), 2);
        QVERIFY2(gathered().last().contains(QStringLiteral("2件")), qPrintable(gathered().join(QLatin1Char('/'))));
        QVERIFY2(gathered().last().contains(QStringLiteral("失敗 1 件")), qPrintable(gathered().join(QLatin1Char('/'))));
        stopReceiver();
    }
};

QTEST_MAIN(TestReceiverDesktop)
#include "tst_receiverdesktop.moc"
