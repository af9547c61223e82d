// The receiver's parts without windows, in one process: reading what
// arrives, listening, the gate between receptions and notices (the history
// has tests of its own).

#include "receiver/documentstore.h"
#include "receiver/history.h"
#include "receiver/noticecontent.h"
#include "receiver/noticegate.h"
#include "receiver/noticelistener.h"
#include "receiver/notificationtext.h"
#include "receiver/passwordstore.h"
#include "receiver/subscription.h"
#include "mqtt/mqttclient.h"
#include "testsupport.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

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
        // A NUL ends a string on the notification service's bus: it must
        // not cut the notice short.
        QTest::newRow("NUL in a field") << QStringLiteral("2026/12/07 06:38:44,,0312345678,ﾔﾏ") + QChar(0)
                + QStringLiteral("ﾀﾞ,1,RSPREC")
                                        << int(NotificationText::Fax) << false << QStringLiteral("ﾔﾏ") + QChar(0) + QStringLiteral("ﾀﾞ");
        // A free text keeps its lines, and nothing else that would move or
        // ring anything on the desk.
        QTest::newRow("free text with escapes") << QStringLiteral("ﾃｽﾄ\r\n\x1b[2Jｶﾞｰ\a\tend") << int(NotificationText::Other)
                                                << false << QString();
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
        for (const QChar c : content.body)
            QVERIFY2(c == QLatin1Char('\n') || c.category() != QChar::Other_Control, qPrintable(content.body));
        if (kind == NotificationText::Fax) {
            QCOMPARE(content.summary.contains(QStringLiteral("失敗")), !ok);
            QVERIFY(content.body.contains(QStringLiteral("受信時刻")));
        }
        QString shown = QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        for (QChar &c : shown) {
            if (c != QLatin1Char('\n') && c.category() == QChar::Other_Control)
                c = QChar(QChar::ReplacementCharacter);
        }
        if (kind != NotificationText::Fax)
            QVERIFY(content.body.contains(kind == NotificationText::Test ? QStringLiteral("09:05:07") : shown));
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
        QTRY_COMPARE(first.refused(), 1);

        // A port that cannot be had is told, and the old one goes on.
        const quint16 working = settings.port;
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::AnyIPv4, 0));
        settings.port = holder.localPort();
        QVERIFY(!second.listen(settings, &why));
        QVERIFY2(why.contains(QString::number(settings.port)), qPrintable(why));
        QCOMPARE(second.port(), working);
        sender.writeDatagram("still here", QHostAddress(QStringLiteral("127.255.255.255")), working);
        QTRY_COMPARE(secondGot.last().first().toString(), QStringLiteral("still here"));
        settings.allowedSenders = {QStringLiteral("not a subnet")};
        QVERIFY(!second.listen(settings, &why));
        QVERIFY2(why.contains(QStringLiteral("not a subnet")), qPrintable(why));

        // IPv6 receptions that another program would take are told.
        QUdpSocket ipv6Holder;
        QVERIFY(ipv6Holder.bind(QHostAddress::AnyIPv6, 0));
        settings = ReceiverSettings();
        settings.port = ipv6Holder.localPort();
        NoticeListener third;
        QVERIFY2(third.listen(settings, &why), qPrintable(why));
        QVERIFY2(third.warning().contains(QString::number(settings.port)), qPrintable(third.warning()));
    }

    // A burst larger than the socket's buffer: what the kernel dropped is
    // counted, so that what came and what was lost add up to what was sent.
    void burstLossIsCounted()
    {
        ReceiverSettings settings;
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
        settings.port = probe.localPort();
        probe.close();
        NoticeListener listener;
        QString error;
        QVERIFY2(listener.listen(settings, &error), qPrintable(error));
        QSignalSpy got(&listener, &NoticeListener::received), dropped(&listener, &NoticeListener::dropped);
        QUdpSocket sender;
        int sent = 0; // a few megabytes, far more than a user's buffer
        for (int i = 0; i < 4000; ++i)
            sent += sender.writeDatagram(QByteArray(1000, 'x'), QHostAddress::LocalHost, settings.port) > 0;
        QTRY_COMPARE(got.size() + listener.lost(), qint64(sent));
        QVERIFY(listener.lost() > 0);
        qint64 told = 0;
        for (const QList<QVariant> &count : std::as_const(dropped))
            told += count.first().toInt();
        QCOMPARE(told, listener.lost());
    }

    // Senders as the settings name them: an address or a subnet, IPv4 or
    // IPv6; an IPv4-mapped source is no IPv4 sender.
    void sendersTaken_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("source");
        QTest::addColumn<bool>("taken");
        QTest::newRow("address") << QStringLiteral("192.168.1.10") << QStringLiteral("192.168.1.10") << true;
        QTest::newRow("another address") << QStringLiteral("192.168.1.10") << QStringLiteral("192.168.1.11") << false;
        QTest::newRow("subnet") << QStringLiteral("10.0.0.0/8") << QStringLiteral("10.1.2.3") << true;
        QTest::newRow("IPv6 subnet") << QStringLiteral("fd00::/8") << QStringLiteral("fd12::1") << true;
        QTest::newRow("IPv6 subnet, IPv4 source") << QStringLiteral("fd00::/8") << QStringLiteral("10.1.2.3") << false;
        QTest::newRow("mapped source, IPv4 entry") << QStringLiteral("10.0.0.1") << QStringLiteral("::ffff:10.0.0.1") << false;
        QTest::newRow("mapped source, IPv4 subnet") << QStringLiteral("10.0.0.0/8") << QStringLiteral("::ffff:10.0.0.1") << false;
        // An entry in IPv4-mapped form is the IPv4 address (or subnet) it
        // maps: IPv4 comes on a socket of its own, never mapped.
        QTest::newRow("mapped source, mapped entry") << QStringLiteral("::ffff:10.0.0.1") << QStringLiteral("::ffff:10.0.0.1") << false;
        QTest::newRow("IPv4 source, mapped entry") << QStringLiteral("::ffff:10.0.0.1") << QStringLiteral("10.0.0.1") << true;
        QTest::newRow("IPv4 source, mapped subnet") << QStringLiteral("::ffff:10.0.0.0/104") << QStringLiteral("10.9.8.7") << true;
        QTest::newRow("IPv4 source out of a mapped subnet") << QStringLiteral("::ffff:10.0.0.0/104") << QStringLiteral("11.0.0.1") << false;
        QTest::newRow("IPv6 address") << QStringLiteral("fd12::1") << QStringLiteral("fd12::1") << true;
        QTest::newRow("another IPv6 address") << QStringLiteral("fd12::1") << QStringLiteral("fd12::2") << false;
    }

    void sendersTaken()
    {
        QFETCH(QString, entry);
        QFETCH(QString, source);
        QFETCH(bool, taken);
        ReceiverSettings settings;
        settings.allowedSenders = {entry};
        QString error;
        QVERIFY2(settings.checkListening(&error), qPrintable(error));
        QCOMPARE(settings.accepts(QHostAddress(source)), taken);
    }

    // What the broker brings, known by its topic: receptions of every fax
    // server and of 1.x monitors, each once; a document never a reception
    // and never another server's fax; nothing that is not text.
    void brokerMessagesKnownByTheirTopic()
    {
        TestSupport::TestBroker broker;
        QVERIFY2(broker.missing().isEmpty(), qPrintable(broker.missing()));
        QVERIFY(broker.start());
        ReceiverSettings settings;
        settings.broker = broker.url();
        settings.user = TestSupport::TestBroker::user();
        settings.password = TestSupport::TestBroker::password();
        settings.documents = true;
        settings.storedTopic = QStringLiteral("kavrel/#"); // as 1.x kept it
        Subscription subscription;
        QSignalSpy received(&subscription, &Subscription::received);
        QSignalSpy documents(&subscription, &Subscription::document);
        subscription.apply(settings);
        QTRY_COMPARE(subscription.state(), QStringLiteral("connected to the broker %1").arg(broker.url()));
        MqttClient::Options options;
        QString error;
        QVERIFY(MqttClient::parseUrl(broker.url(), &options, &error));
        options.user = settings.user;
        options.password = settings.password;
        MqttClient publisher(options);
        publisher.start();
        const auto publish = [&](const char *topic, const QByteArray &payload) {
            publisher.publish(QString::fromLatin1(topic), payload);
        };
        // Until the subscriptions stand, whatever is published is lost:
        // probes until one comes through on each connection (a 1.x
        // monitor's reception, with no server, and a document).
        QTRY_VERIFY((publish("kavrel/fax/received", "{\"line\":\"probe\"}"), !received.isEmpty()));
        QTRY_VERIFY((publish("kavrel/fax/probe/all/document/1", "%PDF-probe"), !documents.isEmpty()));
        publish("kavrel/fax/fax1/all/document/7", "%PDF-1.4 of fax1");
        publish("kavrel/fax/fax2/all/document/7", "%PDF-1.4 of fax2");
        // fax2's copy on the 1.x topic comes alone (its layout's topic is
        // not carried): taken. fax1's comes after its layout's: left alone.
        publish("kavrel/fax/received", "{\"server\":\"fax2\",\"line\":\"fax2 alone\"}");
        publish("kavrel/fax/fax1/all/reception", "{\"server\":\"fax1\",\"line\":\"fax1\",\"commid\":\"7\",\"document\":\"d\"}");
        publish("kavrel/fax/received", "{\"server\":\"fax1\",\"line\":\"fax1\"}");
        publish("kavrel/fax/fax1/all/reception", QByteArray("\x89PNG\r\n\x1a\n\0\xff", 10));
        // Larger than a datagram could carry: refused like one.
        publish("kavrel/fax/fax1/all/reception", QByteArray(70000, 'x'));
        // More than one share of waiting messages: the next shares are
        // taken too.
        for (int i = 0; i < Subscription::TakeBatch + 10; ++i)
            publish("kavrel/fax/fax1/all/reception", "many " + QByteArray::number(i));
        publish("kavrel/fax/fax1/all/reception", "last");
        const auto taken = [](const QSignalSpy &spy, int column) {
            QStringList found;
            for (const QList<QVariant> &signal : spy) {
                if (!signal.at(0).toString().contains(QLatin1String("probe")))
                    found.append(signal.at(0).toString() + QLatin1Char('|') + signal.at(column).toString());
            }
            return found;
        };
        QTRY_VERIFY(taken(received, 2).contains(QStringLiteral("last|")));
        const QStringList all = taken(received, 2);
        QCOMPARE(all.filter(QStringLiteral("many ")).size(), Subscription::TakeBatch + 10);
        QStringList others = all;
        others.removeIf([](const QString &text) { return text.startsWith(QLatin1String("many ")); });
        QCOMPARE(others, (QStringList{QStringLiteral("fax2 alone|"), QStringLiteral("fax1|fax1/7"), QStringLiteral("last|")}));
        QTRY_COMPARE(taken(documents, 0).size(), 2);
        QCOMPARE(taken(documents, 0), (QStringList{QStringLiteral("fax1/7|fax1/7"), QStringLiteral("fax2/7|fax2/7")}));
        QCOMPARE(subscription.refused(), 2);
    }

    // The faxes' folder is the user's own: a link in its place is never
    // written through (nor is its target's mode changed), and a write that
    // fails says why in words a person reads.
    void documentsKeptOnlyWhereTheyMay()
    {
        QTemporaryDir work;
        const QString target = work.filePath(QStringLiteral("elsewhere"));
        QVERIFY(QDir().mkpath(target));
        QVERIFY(QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                  | QFileDevice::ReadOther | QFileDevice::ExeOther));
        const QString folder = work.filePath(QStringLiteral("faxes"));
        QVERIFY(QFile::link(target, folder));
        const QByteArray pdf = "%PDF-1.4\n%%EOF\n";
        QString name, error;
        QCOMPARE(DocumentStore::writeDocument(folder, pdf, &name, &error), DocumentStore::Outcome::NotWritten);
        QVERIFY2(error.contains(QStringLiteral("このユーザーのフォルダーではありません")), qPrintable(error));
        QVERIFY(QDir(target).isEmpty());
        QVERIFY(QFile::permissions(target) & QFileDevice::ReadOther);

        // A file larger than may be written: the reason, not "Unknown error".
        QVERIFY(QFile::remove(folder));
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit before;
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &before) == 0);
        rlimit small = before;
        small.rlim_cur = 4;
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        const DocumentStore::Outcome outcome = DocumentStore::writeDocument(folder, pdf, &name, &error);
        ::setrlimit(RLIMIT_FSIZE, &before);
        QCOMPARE(outcome, DocumentStore::Outcome::NotWritten);
        QVERIFY2(error.contains(QStringLiteral("ファイルが大きすぎます")), qPrintable(error));
        QVERIFY(QDir(folder).isEmpty());
        QCOMPARE(int(QFile::permissions(folder) & 0x0077), 0);
    }

    // A picture is decoded within bounds, whatever it says of itself.
    void picturesDecodedWithinBounds_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("format");
        QTest::addColumn<bool>("kept");
        QTest::newRow("the monitor's") << QSize(256, 384) << int(QImage::Format_Grayscale8) << true;
        QTest::newRow("16-bit, 4096 square") << QSize(4096, 4096) << int(QImage::Format_RGBA64) << false;
        QTest::newRow("16-bit, 2048 square") << QSize(2048, 2048) << int(QImage::Format_RGBA64) << false;
        QTest::newRow("grey, 2048 square") << QSize(2048, 2048) << int(QImage::Format_Grayscale8) << true;
    }

    void picturesDecodedWithinBounds()
    {
        QFETCH(QSize, size);
        QFETCH(int, format);
        QFETCH(bool, kept);
        QImage image(size, QImage::Format(format));
        image.fill(Qt::white);
        QByteArray png;
        QBuffer buffer(&png);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && image.save(&buffer, "PNG"));
        image = QImage();
        QTemporaryDir work;
        QString name, error;
        QCOMPARE(DocumentStore::storePicture(work.filePath(QStringLiteral("faxes")), png, &name, &error) == DocumentStore::Outcome::Written,
                 kept);
    }

    // A file of 1.x keeps its receptions' topic: read as the root it stands
    // for, and kept in the file for what the broker still holds.
    void oldTopicSettingsRead_data()
    {
        QTest::addColumn<QByteArray>("mqtt");
        QTest::addColumn<QString>("root");
        QTest::newRow("1.x default") << QByteArray("Topic=kavrel/fax/received\n") << "kavrel/fax";
        QTest::newRow("1.x wildcard") << QByteArray("Topic=kavrel/#\n") << "kavrel/fax";
        QTest::newRow("1.x of an office") << QByteArray("Topic=office/fax/incoming\n") << "office/fax";
        QTest::newRow("root") << QByteArray("Topic=kavrel/#\nRoot=office/fax\n") << "office/fax";
        QTest::newRow("none") << QByteArray() << "kavrel/fax";
    }

    void oldTopicSettingsRead()
    {
        QFETCH(QByteArray, mqtt);
        QFETCH(QString, root);
        QDir().mkpath(QFileInfo(ReceiverSettings::filePath()).absolutePath());
        QFile file(ReceiverSettings::filePath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[MQTT]\n" + mqtt);
        file.close();
        ReceiverSettings settings = ReceiverSettings::load();
        QCOMPARE(settings.topic, root);
        QString error;
        QVERIFY2(settings.save(&error), qPrintable(error));
        QCOMPARE(ReceiverSettings::load().topic, root);
        QCOMPARE(ReceiverSettings::load().storedTopic, settings.storedTopic);
        QFile::remove(ReceiverSettings::filePath());
    }

    // What can be used, and what each part needs: a broker that cannot be
    // used leaves UDP to work.
    // A department taken stands as a topic level, or is refused by name.
    void departmentsChecked()
    {
        ReceiverSettings settings;
        settings.broker = QStringLiteral("mqtt://broker:1883");
        settings.departments = {QStringLiteral("sales"), QStringLiteral("payroll")};
        QString error, field;
        QVERIFY2(settings.checkBroker(&error, &field), qPrintable(error));
        settings.departments.append(QStringLiteral("sa/les"));
        QVERIFY(!settings.checkBroker(&error, &field));
        QCOMPARE(field, QStringLiteral("Departments"));
        // A person's name, at most as long as the fax monitors keep it.
        settings.departments.removeLast();
        settings.displayName = QString(ReceiverSettings::MaxNameLength, QChar(0x5c71));
        QVERIFY2(settings.checkBroker(&error, &field), qPrintable(error));
        settings.displayName.append(QChar(0x7530));
        QVERIFY(!settings.checkBroker(&error, &field));
        QCOMPARE(field, QStringLiteral("DisplayName"));
    }

    void settingsChecked_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("broker");
        QTest::addColumn<QString>("caFile");
        QTest::addColumn<QString>("topic");
        QTest::addColumn<bool>("listening");
        QTest::addColumn<bool>("brokerOk");
        const QString topic = QStringLiteral("kavrel/fax/received");
        QTest::newRow("defaults") << 21825 << QString() << QString() << topic << true << true;
        QTest::newRow("port 1") << 1 << QString() << QString() << topic << true << true;
        QTest::newRow("port 0") << 0 << QString() << QString() << topic << false << true;
        QTest::newRow("port 65535") << 65535 << QString() << QString() << topic << true << true;
        QTest::newRow("port 65536") << 65536 << QString() << QString() << topic << false << true;
        QTest::newRow("credentials in the URL") << 21825 << QStringLiteral("mqtt://u:p@broker:1883") << QString() << topic << true << false;
        QTest::newRow("mqtts without a CA") << 21825 << QStringLiteral("mqtts://broker:8883") << QString() << topic << true << false;
        QTest::newRow("mqtts with a blank CA") << 21825 << QStringLiteral("mqtts://broker:8883") << QStringLiteral("  ") << topic << true << false;
        QTest::newRow("topic with a tab") << 21825 << QStringLiteral("mqtt://broker:1883") << QString() << QStringLiteral("kavrel/\tfax") << true << false;
        // The topic is the root the monitors publish under, not a
        // subscription (a stored one is read as the root it stands for).
        QTest::newRow("wildcard topic") << 21825 << QStringLiteral("mqtt://broker:1883") << QString() << QStringLiteral("kavrel/#") << true << false;
    }

    void settingsChecked()
    {
        ReceiverSettings settings;
        QFETCH(int, port);
        QFETCH(QString, broker);
        QFETCH(QString, caFile);
        QFETCH(QString, topic);
        QFETCH(bool, listening);
        QFETCH(bool, brokerOk);
        settings.port = port;
        settings.broker = broker;
        settings.caFile = caFile;
        settings.topic = topic;
        QString error;
        QCOMPARE(settings.checkListening(&error), listening);
        QCOMPARE(settings.checkBroker(&error), brokerOk);
        QCOMPARE(settings.check(&error), listening && brokerOk);
        // A broker that cannot be used leaves UDP to listen.
        if (listening) {
            QUdpSocket probe;
            QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
            settings.port = probe.localPort();
            probe.close();
            NoticeListener listener;
            QVERIFY2(listener.listen(settings, &error), qPrintable(error));
        }
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
        // Written before shown: the file has it when the notice is given.
        int inTheFile = -1;
        connect(&gate, &NoticeGate::show, this, [&] {
            History reader(historyPath("gate"));
            inTheFile = reader.open() ? reader.count() : -1;
        });
        const QString line = QStringLiteral("2026/12/07 06:38:44,,0312345678,,1,OK");
        gate.take(line, QStringLiteral("192.168.1.10"));
        QCOMPARE(inTheFile, 1);
        gate.take(line, QStringLiteral("192.168.1.11"));
        QCOMPARE(shown.size(), 1);
        QElapsedTimer sinceShown;
        sinceShown.start();
        // A failure in the middle of the flood: the gathering notice says so.
        for (int i = 0; i < 5000; ++i)
            gate.take(i == 2500 ? QStringLiteral("2026/12/07 06:38:45,,0312345678,,0,No carrier")
                                : QStringLiteral("flood %1").arg(i),
                      QStringLiteral("192.168.1.10"));
        QCOMPARE(shown.size(), 1);
        QTRY_COMPARE(shown.size(), 2);
        QCOMPARE(shown.last().at(3).toInt(), 1);
        const NoticeContent gathered = NoticeContent::describe(shown.last().at(0).value<NotificationText>(),
                                                               shown.last().at(1).toInt(), shown.last().at(3).toInt());
        QCOMPARE(gathered.category, QStringLiteral("transfer.error"));
        QVERIFY2(gathered.summary.contains(QStringLiteral("失敗 1 件")), qPrintable(gathered.summary));
        // Not before the gathering interval is over.
        QVERIFY2(sinceShown.elapsed() >= 190, qPrintable(QString::number(sinceShown.elapsed())));
        QCOMPARE(inTheFile, 5001);
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
        // The window is in milliseconds: 100 of them, and the same text
        // after 300 is a reception again.
        const QString later = QStringLiteral("2026/12/07 06:39:44,,0312345678,,1,OK");
        gate.setIntervals(100, 200);
        gate.take(later, QStringLiteral("192.168.1.10"));
        QTest::qWait(300);
        gate.take(later, QStringLiteral("192.168.1.10"));
        history.flush();
        QCOMPARE(history.entries(2).at(0).text, later);
        QCOMPARE(history.entries(2).at(1).text, later);
    }

    // The settings file is the user's alone (it may hold the broker's
    // password); one that is not a file is not waited on.
    void settingsFile()
    {
        ReceiverSettings settings;
        settings.password = QStringLiteral("secret");
        QString error;
        QVERIFY2(settings.save(&error), qPrintable(error));
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(ReceiverSettings::filePath()).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
        QCOMPARE(ReceiverSettings::load(&error).password, QStringLiteral("secret"));
        QVERIFY(QFile::remove(ReceiverSettings::filePath()));
        QCOMPARE(::mkfifo(QFile::encodeName(ReceiverSettings::filePath()).constData(), 0600), 0);
        QVERIFY(ReceiverSettings::load(&error).password.isEmpty());
        QVERIFY2(!error.isEmpty(), "a FIFO is not read as settings");
        QFile::remove(ReceiverSettings::filePath());
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
