#include "components/udpsender.h"
#include "fakes.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

using TestSupport::UdpReceiver;

namespace {

void configure(DatagramSender &sender, const QString &host, int port)
{
    QString error;
    QVERIFY2(sender.setProtocol(DatagramSender::Udp, &error) && sender.setRemoteHost(host, &error)
                 && sender.setRemotePort(port, &error),
             qPrintable(error));
}

bool send(DatagramSender &sender, const QString &text)
{
    QString error;
    return sender.sendData(text, &error);
}

// What a call that fails says; empty when it works.
QString failure(const std::function<bool(QString *)> &call)
{
    QString error;
    return call(&error) ? QString() : error.isEmpty() ? QStringLiteral("(no reason)") : error;
}

} // namespace

class TestUdpSender : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void exactBytes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("ascii") << QStringLiteral("2026/12/07,09:05,0312345678,ABC,3")
                               << QByteArray("2026/12/07,09:05,0312345678,ABC,3");
        QTest::newRow("blanks kept") << QStringLiteral("  a , b  ") << QByteArray("  a , b  ");
        QTest::newRow("japanese") << QStringLiteral("受信,ｶﾅ,株式会社①")
                                  << QByteArray("\x8e\xf3\x90\x4d,\xb6\xc5,\x8a\x94\x8e\xae\x89\xef\x8e\xd0\x87\x40");
        QTest::newRow("jis forms mapped") << QStringLiteral("〜‖−¢£¬—")
                                          << QByteArray("\x81\x60\x81\x61\x81\x7c\x81\x91\x81\x92\x81\xca\x81\x5c");
        QTest::newRow("windows forms") << QStringLiteral("～∥－￠￡￢―")
                                       << QByteArray("\x81\x60\x81\x61\x81\x7c\x81\x91\x81\x92\x81\xca\x81\x5c");
        QTest::newRow("unmappable") << QStringLiteral("a☃é😀b") << QByteArray("a???b");
        QTest::newRow("line break") << QStringLiteral("x\r\ny") << QByteArray("x\r\ny");
    }

    void exactBytes()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        UdpReceiver receiver;
        UdpSender sender;
        configure(sender, QStringLiteral("127.0.0.1"), receiver.port());
        QVERIFY(send(sender, text));
        QTRY_COMPARE(receiver.datagrams().size(), 1);
        QCOMPARE(receiver.datagrams().first(), bytes);
    }

    void destinations_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("bindAddress");
        QTest::newRow("broadcast") << QStringLiteral("127.255.255.255") << QStringLiteral("0.0.0.0");
        QTest::newRow("full-width address") << QStringLiteral("１２７．０．０．１") << QStringLiteral("127.0.0.1");
        QTest::newRow("blanks around") << QStringLiteral(" 127.0.0.1 ") << QStringLiteral("127.0.0.1");
        QTest::newRow("ipv6") << QStringLiteral("::1") << QStringLiteral("::1");
    }

    void destinations()
    {
        QFETCH(QString, host);
        QFETCH(QString, bindAddress);
        UdpReceiver receiver{QHostAddress(bindAddress)};
        if (receiver.port() == 0)
            QSKIP("cannot listen on that address here");
        UdpSender sender;
        configure(sender, host, receiver.port());
        QVERIFY(send(sender, QStringLiteral("hello")));
        QTRY_COMPARE(receiver.datagrams().size(), 1);
        QCOMPARE(receiver.datagrams().first(), QByteArray("hello"));
    }

    void newDestinationAppliesToNextSend()
    {
        UdpReceiver first;
        UdpReceiver second;
        UdpSender sender;
        configure(sender, QStringLiteral("127.0.0.1"), first.port());
        QVERIFY(send(sender, QStringLiteral("one")));
        QVERIFY(failure([&](QString *e) { return sender.setRemotePort(second.port(), e); }).isEmpty());
        QVERIFY(send(sender, QStringLiteral("two")));
        QVERIFY(failure([&](QString *e) { return sender.setRemoteHost(QStringLiteral("::1"), e); }).isEmpty());
        QVERIFY(failure([&](QString *e) { return sender.setRemoteHost(QStringLiteral("127.0.0.1"), e); }).isEmpty());
        QVERIFY(send(sender, QStringLiteral("three")));
        QTRY_COMPARE(second.datagrams().size(), 2);
        QCOMPARE(first.datagrams(), QList<QByteArray>{"one"});
        QCOMPARE(second.datagrams(), (QList<QByteArray>{"two", "three"}));
    }

    void hostNameResolvedSendsInOrder()
    {
        // The system's own resolver answers for "localhost" (from /etc/hosts).
        if (QHostInfo::fromName(QStringLiteral("localhost")).addresses().isEmpty())
            QSKIP("this machine does not resolve \"localhost\" (no entry in /etc/hosts)");
        UdpReceiver receiver;
        UdpSender sender;
        QSignalSpy errors(&sender, &DatagramSender::error);
        configure(sender, QStringLiteral("localhost"), receiver.port());
        for (int i = 0; i < 20; ++i)
            QVERIFY(send(sender, QString::number(i)));
        QTRY_COMPARE(receiver.datagrams().size(), 20);
        for (int i = 0; i < 20; ++i)
            QCOMPARE(receiver.datagrams().at(i), QByteArray::number(i));
        // Once resolved, sends go out at once.
        QVERIFY(send(sender, QStringLiteral("later")));
        QTRY_COMPARE(receiver.datagrams().size(), 21);
        QCOMPARE(errors.size(), 0);
    }

    void resolvedNamePrefersIPv4()
    {
        UdpReceiver receiver;
        ScriptedLookupSender sender;
        configure(sender, QStringLiteral("ｒｅｃｅｉｖｅｒ．office.test"), receiver.port());
        QCOMPARE(sender.looked, QStringList{QStringLiteral("receiver.office.test")});
        QVERIFY(send(sender, QStringLiteral("x")));
        QTRY_COMPARE(receiver.datagrams().size(), 1);
    }

    void unknownHostRaisesErrorOnceAndIsTriedAgain()
    {
        UdpReceiver receiver;
        ScriptedLookupSender sender;
        QSignalSpy errors(&sender, &DatagramSender::error);
        configure(sender, QStringLiteral("faxreceiver"), receiver.port());
        QVERIFY(send(sender, QStringLiteral("a")));
        QVERIFY(send(sender, QStringLiteral("b")));
        QTRY_COMPARE(errors.size(), 1);
        QCOMPARE(errors.first().at(0).toInt(), int(SenderErrors::HostNotFound));
        QVERIFY(errors.first().at(1).toString().contains(QStringLiteral("faxreceiver")));

        // Later sends look the name up again; still unknown, nothing more is said.
        QVERIFY(send(sender, QStringLiteral("c")));
        QTRY_COMPARE(sender.looked.size(), 2);
        QTest::qWait(50);
        QCOMPARE(errors.size(), 1);

        // Once the name resolves, receptions flow again.
        sender.resolvable.append(QStringLiteral("faxreceiver"));
        QVERIFY(send(sender, QStringLiteral("d")));
        QTRY_COMPARE(receiver.datagrams().size(), 1);
        QCOMPARE(receiver.datagrams().first(), QByteArray("d"));
        QCOMPARE(errors.size(), 1);

        // Another unknown name is told of again.
        QVERIFY(failure([&](QString *e) { return sender.setRemoteHost(QStringLiteral("otherreceiver"), e); }).isEmpty());
        QVERIFY(send(sender, QStringLiteral("e")));
        QTRY_COMPARE(errors.size(), 2);
        QVERIFY(errors.last().at(1).toString().contains(QStringLiteral("otherreceiver")));
    }

    // A name that moves is followed: it is looked up again now and then,
    // and meanwhile sends go on to the address known, never held.
    void nameThatMovesIsFollowed()
    {
        UdpReceiver first(QHostAddress(QStringLiteral("127.0.0.1")));
        UdpReceiver second(QHostAddress(QStringLiteral("127.0.0.2")), first.port());
        ScriptedLookupSender sender;
        sender.setRefreshInterval(20);
        sender.movedTo.insert(QStringLiteral("fax.office.test"), QHostAddress(QStringLiteral("127.0.0.1")));
        configure(sender, QStringLiteral("fax.office.test"), first.port());
        QVERIFY(send(sender, QStringLiteral("one")));
        QTRY_COMPARE(first.datagrams(), QList<QByteArray>{"one"});
        sender.movedTo.insert(QStringLiteral("fax.office.test"), QHostAddress(QStringLiteral("127.0.0.2")));
        const qsizetype looked = sender.looked.size();
        QTRY_VERIFY(sender.looked.size() > looked + 1);
        sender.unanswered.append(QStringLiteral("fax.office.test"));
        QTRY_VERIFY(sender.looked.size() > looked + 2);
        QVERIFY(send(sender, QStringLiteral("two")));
        QTRY_COMPARE(second.datagrams(), QList<QByteArray>{"two"});
        QCOMPARE(first.datagrams().size(), 1);
    }

    void lookupOfReplacedHostIsIgnored()
    {
        UdpReceiver receiver;
        ScriptedLookupSender sender;
        QSignalSpy errors(&sender, &DatagramSender::error);
        configure(sender, QStringLiteral("nosuchhost"), receiver.port());
        QVERIFY(send(sender, QStringLiteral("dropped")));
        QVERIFY(failure([&](QString *e) { return sender.setRemoteHost(QStringLiteral("127.0.0.1"), e); }).isEmpty());
        QVERIFY(send(sender, QStringLiteral("kept")));
        QTRY_COMPARE(receiver.datagrams().size(), 1);
        QTest::qWait(50);
        QCOMPARE(receiver.datagrams(), QList<QByteArray>{"kept"});
        QCOMPARE(errors.size(), 0);
    }

    // A socket error inside a send fails that send and is not raised as
    // well; one the socket notices on its own is raised.
    void socketErrorsAreRaisedOnlyOutsideCalls()
    {
        UdpReceiver receiver;
        UdpSender sender;
        QSignalSpy errors(&sender, &DatagramSender::error);
        configure(sender, QStringLiteral("127.0.0.1"), receiver.port());
        QVERIFY(send(sender, QStringLiteral("x")));
        auto *socket = sender.findChild<QUdpSocket *>();
        QVERIFY(socket);
        const int saved = ::dup(int(socket->socketDescriptor()));
        const int notASocket = ::open("/dev/null", O_RDONLY);
        ::dup2(notASocket, int(socket->socketDescriptor()));
        QVERIFY(!failure([&](QString *e) { return sender.sendData(QStringLiteral("y"), e); }).isEmpty());
        ::dup2(saved, int(socket->socketDescriptor()));
        ::close(saved);
        ::close(notASocket);
        QCOMPARE(errors.size(), 0);
        // As the socket reports an error it noticed on its own.
        Q_EMIT socket->errorOccurred(QAbstractSocket::NetworkError);
        QCOMPARE(errors.size(), 1);
        QVERIFY(errors.first().at(0).toInt() != 0);
        QVERIFY(!errors.first().at(1).toString().isEmpty());
        sender.close();
        Q_EMIT socket->errorOccurred(QAbstractSocket::NetworkError);
        QCOMPARE(errors.size(), 1);
    }

    void refusedSettings()
    {
        UdpSender sender;
        for (int protocol : {0, 2, -1})
            QVERIFY(!failure([&](QString *e) { return sender.setProtocol(protocol, e); }).isEmpty());
        for (int port : {0, -1, 65536, 2147483647, int(-2147483647 - 1)})
            QVERIFY(!failure([&](QString *e) { return sender.setRemotePort(port, e); }).isEmpty());
        for (int port : {1, 65535})
            QCOMPARE(failure([&](QString *e) { return sender.setRemotePort(port, e); }), QString());
        // Only the usual dotted form is an IPv4 address: no octal, no short
        // forms, no lone number, and nothing that goes nowhere.
        for (const char *host : {"192.168.1.300", "1.2.3.4.5", "bad host", "a..b", "-x.example", "ho$t", "",
                                 " \u3000", "192.168.001.010", "127.000.000.010", "192.168.1", "21825", "0.0.0.0",
                                 "0x7f.1", "10.0x1", "printer.0xBEEF.", "x-.example", "::", "1::2::3",
                                 "192.168.01.1", "192.168.1.256"}) {
            const QString text = QString::fromUtf8(host);
            QVERIFY(!failure([&](QString *e) { return sender.checkDestination(text, 80, e); }).isEmpty());
            QVERIFY(!failure([&](QString *e) { return sender.setRemoteHost(text, e); }).isEmpty());
        }
        const QString shortForm = failure([&](QString *e) { return sender.setRemoteHost(QStringLiteral("192.168.1"), e); });
        QVERIFY2(shortForm.contains(QStringLiteral("（例：192.168.1.255）")), qPrintable(shortForm));
        for (const char *host : {"192.168.1.255", "\uff11\uff12\uff17\uff0e\uff10\uff0e\uff10\uff0e\uff11", "::1",
                                 "fax-receiver.office.test", "x1.example", "0xbeef.example"})
            QCOMPARE(failure([&](QString *e) { return sender.checkDestination(QString::fromUtf8(host), 80, e); }), QString());
        QVERIFY(!failure([&](QString *e) { return sender.checkDestination(QStringLiteral("127.0.0.1"), 0, e); }).isEmpty());
    }

    void refusedSettingKeepsEarlierDestination()
    {
        UdpReceiver receiver;
        UdpSender sender;
        configure(sender, QStringLiteral("127.0.0.1"), receiver.port());
        QVERIFY(!failure([&](QString *e) { return sender.setRemotePort(0, e); }).isEmpty());
        QVERIFY(!failure([&](QString *e) { return sender.setRemoteHost(QStringLiteral("bad host"), e); }).isEmpty());
        QVERIFY(send(sender, QStringLiteral("still here")));
        QTRY_COMPARE(receiver.datagrams().size(), 1);
    }

    void sendsThatFailInTheCall()
    {
        UdpReceiver receiver;
        const quint16 port = receiver.port();

        UdpSender unconfigured;
        QVERIFY(failure([&](QString *e) { return unconfigured.sendData(QStringLiteral("x"), e); }).contains(QStringLiteral("not been configured")));
        QVERIFY(failure([&](QString *e) { return unconfigured.setRemoteHost(QStringLiteral("127.0.0.1"), e); }).isEmpty());
        QVERIFY(failure([&](QString *e) { return unconfigured.setRemotePort(port, e); }).isEmpty());
        // Without the protocol the sender is not yet a UDP sender.
        QVERIFY(failure([&](QString *e) { return unconfigured.sendData(QStringLiteral("x"), e); }).contains(QStringLiteral("not been configured")));

        UdpSender noHost;
        QVERIFY(failure([&](QString *e) { return noHost.setProtocol(DatagramSender::Udp, e); }).isEmpty());
        QVERIFY(failure([&](QString *e) { return noHost.setRemotePort(port, e); }).isEmpty());
        QVERIFY(failure([&](QString *e) { return noHost.sendData(QStringLiteral("x"), e); }).contains(QStringLiteral("No destination")));

        UdpSender oversize;
        QSignalSpy oversizeErrors(&oversize, &DatagramSender::error);
        configure(oversize, QStringLiteral("127.0.0.1"), port);
        QVERIFY(failure([&](QString *e) { return oversize.sendData(QString(UdpSender::MaxDatagramSize + 1, QLatin1Char('x')), e); })
                    .contains(QStringLiteral("too long")));
        // Two bytes a character in Shift_JIS.
        QVERIFY(failure([&](QString *e) { return oversize.sendData(QString(UdpSender::MaxDatagramSize / 2 + 1, QChar(0x3042)), e); })
                    .contains(QStringLiteral("too long")));
        QVERIFY(send(oversize, QString(UdpSender::MaxDatagramSize, QLatin1Char('y'))));

        // While a name is being looked up, sends wait, up to a bound.
        ScriptedLookupSender slow;
        slow.unanswered.append(QStringLiteral("slow.office.test"));
        configure(slow, QStringLiteral("slow.office.test"), port);
        for (int i = 0; i < UdpSender::MaxHeldDatagrams; ++i)
            QVERIFY(send(slow, QStringLiteral("held")));
        QVERIFY(failure([&](QString *e) { return slow.sendData(QStringLiteral("one too many"), e); }).contains(QStringLiteral("too many sends")));

        UdpSender closed;
        configure(closed, QStringLiteral("127.0.0.1"), port);
        QVERIFY(send(closed, QStringLiteral("before close")));
        closed.close();
        QVERIFY(failure([&](QString *e) { return closed.sendData(QStringLiteral("x"), e); }).contains(QStringLiteral("closed")));

        QTRY_COMPARE(receiver.datagrams().size(), 2);
        QCOMPARE(receiver.datagrams().at(0).size(), UdpSender::MaxDatagramSize);
        QCOMPARE(receiver.datagrams().at(1), QByteArray("before close"));
        QCOMPARE(oversizeErrors.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestUdpSender)
#include "tst_udpsender.moc"
