// kavrel-r as a user meets it: the real program on a virtual screen with a
// window manager (no tray there), a private session bus with dunst as the
// notification service, and datagrams sent to it over loopback.

#include "components/shiftjis.h"
#include "history.h"
#include "testsupport.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

namespace {

const QString ReceiverPath = QStringLiteral(KAVREL_RECEIVER);

} // namespace

class TestReceiverDesktop : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestSupport::Desktop> desktop;
    TestSupport::TestBroker broker;
    QTemporaryDir services;

    QString dunstService() const { return services.filePath(QStringLiteral("org.freedesktop.Notifications.service")); }
    QProcess receiver;
    quint16 port = 0;
    QUdpSocket sender;

    void send(const QByteArray &datagram) { sender.writeDatagram(datagram, QHostAddress::LocalHost, port); }

    int displayed() const { return desktop->run(QStringLiteral("dunstctl"), {QStringLiteral("count"), QStringLiteral("displayed")}).toInt(); }

    // The notices dunst has shown and closed, newest first.
    QJsonArray history() const
    {
        const QJsonDocument document = QJsonDocument::fromJson(
            desktop->run(QStringLiteral("dunstctl"), {QStringLiteral("history")}).toUtf8());
        return document.object().value(QStringLiteral("data")).toArray().at(0).toArray();
    }

    static QString field(const QJsonValue &notice, const char *name)
    {
        return notice.toObject().value(QLatin1String(name)).toObject().value(QStringLiteral("data")).toString();
    }

private Q_SLOTS:
    void initTestCase()
    {
        desktop = std::make_unique<TestSupport::Desktop>();
        QVERIFY2(desktop->missing().isEmpty(), qPrintable(desktop->missing()));
        QFile service(dunstService());
        QVERIFY(service.open(QIODevice::WriteOnly));
        service.write("[D-BUS Service]\nName=org.freedesktop.Notifications\nExec=/usr/bin/dunst\n");
        service.close();
        QVERIFY(!desktop->startSessionBus(services.path()).isEmpty());
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
        port = probe.localPort();
        probe.close();
        QDir().mkpath(TestSupport::configDir() + QStringLiteral("/Kavrel"));
        QFile settings(TestSupport::configDir() + QStringLiteral("/Kavrel/kavrel-r.conf"));
        QVERIFY(settings.open(QIODevice::WriteOnly));
        QVERIFY2(broker.missing().isEmpty(), qPrintable(broker.missing()));
        QVERIFY(broker.start());
        settings.write("[Receive]\nPort=" + QByteArray::number(port) + "\n[MQTT]\nBroker=" + broker.url().toUtf8()
                       + "\nUser=" + broker.user().toUtf8() + "\nPassword=" + broker.password().toUtf8() + "\n");
        settings.close();
        receiver.setProcessEnvironment(desktop->environment());
        receiver.setProcessChannelMode(QProcess::ForwardedChannels);
        receiver.start(ReceiverPath, QStringList());
        // No tray on this desktop: the program's window is in the taskbar.
        QVERIFY(!desktop->window(receiver.processId(), QStringLiteral("受信通知クライアント")).isEmpty());
    }

    void cleanupTestCase()
    {
        desktop.reset();
    }

    // A reception becomes one desktop notice, its copy none; the taskbar
    // window counts it unread; clicking the notice opens the history, and
    // then it is read.
    void receptionIsShownOnce()
    {
        const QByteArray line = "2026/12/07 06:38:44,81 3 1234 5678,0312345678,\xd4\xcf\xc0\xde\xbc\xae\xb3\xbc\xde,2,OK";
        send(line);
        send(line);
        QTRY_COMPARE(displayed(), 1);
        QTest::qWait(300);
        QCOMPARE(displayed(), 1);
        QVERIFY(!desktop->window(receiver.processId(), QStringLiteral("受信通知クライアント（未読 1 件）")).isEmpty());

        desktop->run(QStringLiteral("dunstctl"), {QStringLiteral("action"), QStringLiteral("0")});
        QVERIFY(!desktop->window(receiver.processId(), QStringLiteral("受信履歴"), true).isEmpty());
        QVERIFY(!desktop->window(receiver.processId(), QStringLiteral("受信通知クライアント")).isEmpty());
        desktop->run(QStringLiteral("dunstctl"), {QStringLiteral("close-all")});
        QTRY_VERIFY(!history().isEmpty());
        const QJsonValue notice = history().at(0);
        QCOMPARE(field(notice, "appname"), QStringLiteral("kavrel-r"));
        QCOMPARE(field(notice, "summary"), QStringLiteral("FAXを受信しました"));
        QCOMPARE(field(notice, "category"), QStringLiteral("transfer.complete"));
        QVERIFY2(field(notice, "body").contains(QStringLiteral("ﾔﾏﾀﾞｼｮｳｼﾞ")), qPrintable(field(notice, "body")));
    }

    // Subscribed to the broker as well: a reception published there is
    // shown, and when it also comes by UDP it is still one notice.
    void brokerAndDatagramAreOneNotice()
    {
        desktop->run(QStringLiteral("dunstctl"), {QStringLiteral("close-all")});
        QTRY_COMPARE(displayed(), 0);
        const QString line = QStringLiteral("2026/12/07 06:39:00,,0312345678,ｻﾄｳ,3,OK");
        const QByteArray json = "{\"line\":\"" + line.toUtf8() + "\",\"status\":\"OK\"}";
        QCOMPARE(QProcess::execute(QStringLiteral("mosquitto_pub"),
                                   {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                                    QString::number(broker.port()), QStringLiteral("-u"), broker.user(),
                                    QStringLiteral("-P"), broker.password(), QStringLiteral("-q"), QStringLiteral("1"),
                                    QStringLiteral("-t"), QStringLiteral("kavrel/fax/received"), QStringLiteral("-m"),
                                    QString::fromUtf8(json)}),
                 0);
        QTRY_COMPARE(displayed(), 1);
        send(toWindowsShiftJis(line));
        QTest::qWait(500);
        QCOMPARE(displayed(), 1);
        desktop->run(QStringLiteral("dunstctl"), {QStringLiteral("close-all")});
        QTRY_VERIFY(field(history().at(0), "body").contains(QStringLiteral("ｻﾄｳ")));
    }

    // Without a notification service, the notice is the program's own.
    void withoutAServiceTheProgramShowsItItself()
    {
        // Nothing on the bus answers for notifications any more.
        QVERIFY(QFile::remove(dunstService()));
        desktop->run(QStringLiteral("dbus-send"), {QStringLiteral("--session"), QStringLiteral("--dest=org.freedesktop.DBus"),
                                                   QStringLiteral("/org/freedesktop/DBus"),
                                                   QStringLiteral("org.freedesktop.DBus.ReloadConfig")});
        desktop->run(QStringLiteral("pkill"), {QStringLiteral("-x"), QStringLiteral("dunst")});
        QTRY_VERIFY(desktop->run(QStringLiteral("pgrep"), {QStringLiteral("-x"), QStringLiteral("dunst")}).isEmpty());
        send("2026/12/07 06:40:00,,0312345678,,1,RSPREC error/got DCN");
        QVERIFY(!desktop->window(receiver.processId(), QStringLiteral("受信通知"), true).isEmpty());
    }

    // The session ends (the program is told to end) the moment a reception
    // came: it is in the history all the same.
    void endOfSessionKeepsWhatCameLast()
    {
        send("2026/12/07 06:41:00,,0312345678,,1,OK");
        QTRY_VERIFY(!desktop->window(receiver.processId(), QStringLiteral("受信通知"), true, 0).isEmpty());
        receiver.terminate();
        QVERIFY(receiver.waitForFinished(5000));
        QCOMPARE(receiver.exitStatus(), QProcess::NormalExit);
        History history;
        QVERIFY(history.open());
        QCOMPARE(history.entries(1).first().text, QStringLiteral("2026/12/07 06:41:00,,0312345678,,1,OK"));
        QCOMPARE(history.entries().size(), 4);
        QCOMPARE(history.entries().at(2).copies, 2); // by the broker and by UDP
    }
};

QTEST_MAIN(TestReceiverDesktop)
#include "tst_receiverdesktop.moc"
