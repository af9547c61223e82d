// The receiver's parts without windows, in one process: reading what
// arrives, listening, the gate between receptions and notices, and the
// history.

#include "receiver/history.h"
#include "receiver/noticecontent.h"
#include "receiver/noticegate.h"
#include "receiver/noticelistener.h"
#include "receiver/notificationtext.h"
#include "receiver/passwordstore.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

namespace {

QString historyPath(const char *name)
{
    return TestSupport::dataDir() + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".sqlite");
}

} // namespace

class TestReceiver : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void textsAreRead_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("caller");
        QTest::newRow("reception") << QStringLiteral("2026/12/07 06:38:44,81 3 1234 5678,0312345678,ﾔﾏﾀﾞｼｮｳｼﾞ,1,OK")
                                   << int(NotificationText::Fax) << true << QStringLiteral("ﾔﾏﾀﾞｼｮｳｼﾞ");
        QTest::newRow("failed") << QStringLiteral("2026/12/07 06:38:44,81 3 1234 5678,,,1,RSPREC error/got DCN")
                                << int(NotificationText::Fax) << false << QStringLiteral("81 3 1234 5678");
        QTest::newRow("blank status is a failure") << QStringLiteral("2026/12/07 06:38:44,,0312345678,,,  ")
                                                   << int(NotificationText::Fax) << false
                                                   << QStringLiteral("0312345678");
        QTest::newRow("status OK with blanks") << QStringLiteral("2026/12/07 06:38:44,,,,1, OK")
                                               << int(NotificationText::Fax) << false << QString();
        QTest::newRow("test") << QStringLiteral("Test Receive Message\r\n09:05:07") << int(NotificationText::Test)
                              << false << QString();
        QTest::newRow("test with a bad time") << QStringLiteral("Test Receive Message\r\n25:05:07")
                                              << int(NotificationText::Other) << false << QString();
        QTest::newRow("five fields") << QStringLiteral("2026/12/07,09:05:07,03-1234-5678,株式会社サンプル,3")
                                     << int(NotificationText::Other) << false << QString();
        QTest::newRow("impossible date") << QStringLiteral("2026/02/30 06:38:44,,,,1,OK")
                                         << int(NotificationText::Other) << false << QString();
    }

    void textsAreRead()
    {
        QFETCH(QString, text);
        QFETCH(int, kind);
        QFETCH(bool, ok);
        QFETCH(QString, caller);
        const NotificationText read = NotificationText::parse(text);
        QCOMPARE(int(read.kind), kind);
        QCOMPARE(read.kind == NotificationText::Fax && read.reception.ok(), ok);
        QCOMPARE(read.reception.caller(), caller);
        QCOMPARE(read.text, text);
        // A failure never reads as a success, not even in the notice.
        const NoticeContent content = NoticeContent::describe(read);
        if (kind == NotificationText::Fax)
            QCOMPARE(content.summary.contains(QStringLiteral("失敗")), !ok);
        else
            QVERIFY(content.body.contains(kind == NotificationText::Test ? QStringLiteral("09:05:07") : text));
    }

    // Unicast and the loopback broadcast reach a listener; two listeners
    // (two desktop users) share the port and both get a broadcast; senders
    // the settings do not take are dropped and counted; a port another
    // program holds is told.
    void listening()
    {
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
        ReceiverSettings settings;
        settings.port = probe.localPort();
        probe.close();
        NoticeListener first, second;
        QString why;
        QVERIFY2(first.listen(settings, &why), qPrintable(why));
        QVERIFY2(second.listen(settings, &why), qPrintable(why));
        QSignalSpy firstGot(&first, &NoticeListener::received), secondGot(&second, &NoticeListener::received);
        QUdpSocket sender;
        sender.writeDatagram(QByteArray("\x8e\xf3\x90\x4d"), QHostAddress(QStringLiteral("127.255.255.255")),
                             settings.port);
        QTRY_COMPARE(firstGot.size(), 1);
        QTRY_COMPARE(secondGot.size(), 1);
        QCOMPARE(firstGot.first().first().toString(), QStringLiteral("受信"));
        sender.writeDatagram("over IPv6", QHostAddress::LocalHostIPv6, settings.port);
        QTRY_COMPARE(firstGot.size() + secondGot.size(), 3);

        settings.allowedSenders = {QStringLiteral("127.0.0.2/32"), QStringLiteral("10.0.0.0/8")};
        QVERIFY(first.listen(settings, &why));
        sender.writeDatagram("from 127.0.0.1", QHostAddress::LocalHost, settings.port);
        QTRY_COMPARE(first.dropped(), 1);

        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::AnyIPv4, 0));
        settings.port = holder.localPort();
        QVERIFY(!second.listen(settings, &why));
        QVERIFY2(why.contains(QString::number(settings.port)), qPrintable(why));
        settings.allowedSenders = {QStringLiteral("not a subnet")};
        QVERIFY(!second.listen(settings, &why));
        QVERIFY2(why.contains(QStringLiteral("not a subnet")), qPrintable(why));
    }

    // The same text again within the window is one notice and a copy in the
    // history; a flood makes one notice at once and one gathered one, while
    // the history keeps every reception.
    void copiesAndFloods()
    {
        History history(historyPath("gate"));
        QVERIFY(history.open());
        NoticeGate gate(&history);
        gate.setIntervals(10000, 200);
        QSignalSpy shown(&gate, &NoticeGate::show);
        const QString line = QStringLiteral("2026/12/07 06:38:44,,0312345678,,1,OK");
        gate.take(line, QStringLiteral("192.168.1.10"));
        gate.take(line, QStringLiteral("192.168.1.11"));
        QCOMPARE(shown.size(), 1);
        for (int i = 0; i < 5000; ++i)
            gate.take(QStringLiteral("flood %1").arg(i), QStringLiteral("192.168.1.10"));
        QCOMPARE(shown.size(), 1);
        QTRY_COMPARE(shown.size(), 2);
        QCOMPARE(shown.last().at(1).toInt(), 5000);
        QCOMPARE(shown.last().at(0).value<NotificationText>().text, QStringLiteral("flood 4999"));
        QTest::qWait(300);
        QCOMPARE(shown.size(), 2);
        history.flush();
        const QList<History::Entry> entries = history.entries();
        QCOMPARE(entries.size(), 5001);
        QCOMPARE(entries.last().copies, 2);
        QCOMPARE(history.unreadCount(), 5001);

        // Outside the window the same text is a reception again.
        gate.setIntervals(0, 200);
        QTest::qWait(5);
        gate.take(line, QStringLiteral("192.168.1.10"));
        history.flush();
        QCOMPARE(history.entries(1).first().text, line);
        QCOMPARE(history.entries(1).first().copies, 1);
    }

    // Kept over a restart, bounded, and never lost on a damaged file or a
    // full disk.
    void historyKeepsWhatItHas()
    {
        const QString path = historyPath("kept");
        {
            History history(path);
            QVERIFY(history.open());
            history.add(QDateTime::currentDateTime().addDays(-History::MaxAgeDays - 1), QStringLiteral("x"),
                        QStringLiteral("too old"));
            for (int i = 0; i <= History::MaxEntries; ++i)
                history.add(QDateTime::currentDateTime(), QStringLiteral("192.168.1.10"), QString::number(i));
        }
        History reopened(path);
        QVERIFY(reopened.open());
        const QList<History::Entry> kept = reopened.entries();
        QCOMPARE(kept.size(), History::MaxEntries);
        QCOMPARE(kept.first().text, QString::number(History::MaxEntries));
        QCOMPARE(kept.last().text, QStringLiteral("1"));
        QCOMPARE(reopened.unreadCount(), History::MaxEntries);
        reopened.markAllRead();
        QCOMPARE(reopened.unreadCount(), 0);

        // A full disk: said once, receptions wait, and are written once
        // there is room again.
        QSignalSpy problems(&reopened, &History::problem);
        reopened.setMaxPages(1);
        reopened.add(QDateTime::currentDateTime(), QStringLiteral("192.168.1.10"), QString(200000, QLatin1Char('a')));
        reopened.flush();
        reopened.add(QDateTime::currentDateTime(), QStringLiteral("192.168.1.10"), QStringLiteral("still kept"));
        reopened.flush();
        QCOMPARE(problems.size(), 1);
        reopened.setMaxPages(0);
        reopened.setMaxPages(1000000);
        reopened.flush();
        History again(path);
        QVERIFY(again.open());
        QCOMPARE(again.entries(1).first().text, QStringLiteral("still kept"));
    }

    void damagedHistoryIsMovedAside()
    {
        const QString path = historyPath("damaged");
        QFile damaged(path);
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write(QByteArray("SQLite format 3\0", 16) + QByteArray(8192, '\x5a'));
        damaged.close();
        History history(path);
        QSignalSpy problems(&history, &History::problem);
        QVERIFY(history.open());
        QCOMPARE(problems.size(), 1);
        const QStringList aside = QDir(TestSupport::dataDir()).entryList({QStringLiteral("damaged.sqlite.broken-*")});
        QCOMPARE(aside.size(), 1);
        QVERIFY(problems.first().first().toString().contains(aside.first()));
        QCOMPARE(QFileInfo(TestSupport::dataDir() + QLatin1Char('/') + aside.first()).size(), 16 + 8192);
        history.add(QDateTime::currentDateTime(), QStringLiteral("192.168.1.10"), QStringLiteral("new"));
        history.flush();
        QCOMPARE(history.entries().size(), 1);
    }


    // Where no keyring answers (this test has no session bus), the password
    // is the settings file's, at once, and stays there.
    void passwordWithoutAKeyring()
    {
        PasswordStore store;
        QSignalSpy loaded(&store, &PasswordStore::loaded);
        store.load(QStringLiteral("from the file"));
        QTRY_COMPARE_WITH_TIMEOUT(loaded.size(), 1, PasswordStore::KeyringTimeout / 2);
        QCOMPARE(loaded.first().at(0).toString(), QStringLiteral("from the file"));
        QCOMPARE(loaded.first().at(1).toBool(), false);
        QCOMPARE(store.place(), PasswordStore::Place::SettingsFile);
    }
};

QTEST_GUILESS_MAIN(TestReceiver)
#include "tst_receiver.moc"
