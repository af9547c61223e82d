// The fax monitor's relays, as parts: what they decide without a broker.

#include "faxmonitor/relays.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestRelaysUnit : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each configuration as the monitor reads it at start: what cannot be
    // used is said, one a line, and what can is set up all the same.
    void configurationRead_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QString>("problem"); // empty: none
        QTest::addColumn<int>("destinations");
        QTest::addColumn<bool>("mqtt");
        const QByteArray broker = "[MQTT]\nBroker=mqtt://127.0.0.1:1\n";
        QTest::newRow("none") << QByteArray() << "" << 0 << false;
        QTest::newRow("a destination") << QByteArray("[Datagrams]\nDestinations=127.0.0.1:21825\n") << "" << 1 << false;
        QTest::newRow("one bad of two") << QByteArray("[Datagrams]\nDestinations=127.0.0.1:21825, 192.168.1.300:21825\n")
                                        << "192.168.1.300:21825 cannot be used" << 1 << false;
        QTest::newRow("unknown key") << QByteArray("[Datagrams]\nDestination=127.0.0.1:21825\n")
                                     << "unknown key Datagrams/Destination" << 0 << false;
        QTest::newRow("not INI") << QByteArray("\xff\xfe\x00garbage[") << "" << 0 << false;
        QTest::newRow("no broker") << QByteArray("[MQTT]\nTopic=kavrel/fax/received\n") << "[MQTT] has no Broker" << 0 << false;
        QTest::newRow("a broker") << broker << "" << 0 << true;
        QTest::newRow("TLS without a CA") << QByteArray("[MQTT]\nBroker=mqtts://127.0.0.1:1\n") << "needs a CAFile" << 0 << false;
        QTest::newRow("CA not there") << QByteArray("[MQTT]\nBroker=mqtts://127.0.0.1:1\nCAFile=/nonexistent/ca.pem\n")
                                      << "the CA file: /nonexistent/ca.pem is not there" << 0 << false;
        QTest::newRow("password file not there") << broker + "PasswordFile=/nonexistent/pw\n"
                                                 << "the password file: /nonexistent/pw is not there" << 0 << false;
        QTest::newRow("wildcard topic") << broker + "Topic=kavrel/#\n" << "has no wildcards" << 0 << false;
        QTest::newRow("server not a level") << broker + "Server=fax/1\n" << "MQTT/Server" << 0 << false;
        QTest::newRow("server a kind's word") << broker + "Server=document\n" << "MQTT/Server" << 0 << false;
        QTest::newRow("documents without a broker") << QByteArray("[Documents]\nPublish=true\n")
                                                    << "documents travel through the broker" << 0 << false;
        QTest::newRow("documents neither true nor false") << broker + "[Documents]\nPublish=yes\n"
                                                          << "Documents/Publish is true or false" << 0 << true;
    }

    void configurationRead()
    {
        QFETCH(QByteArray, config);
        QFETCH(QString, problem);
        QFETCH(int, destinations);
        QFETCH(bool, mqtt);
        QTemporaryDir folder;
        QFile file(folder.filePath(QStringLiteral("faxmon.conf")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(config);
        file.close();
        Relays relays;
        QString error;
        const bool clean = relays.load(file.fileName(), &error);
        if (QByteArray(QTest::currentDataTag()) == "not INI") {
            // Read as INI all the same, or refused: said either way.
            QVERIFY(clean || !error.isEmpty());
        } else {
            QCOMPARE(clean, problem.isEmpty());
            QVERIFY2(error.contains(problem), qPrintable(error));
        }
        QCOMPARE(relays.destinations(), destinations);
        QCOMPARE(relays.mqtt() != nullptr, mqtt);
    }

    // Documents wait in a queue of their own, bounded in number and bytes,
    // with room kept for the notices that a document will not come.
    void documentsAdmitted_data()
    {
        QTest::addColumn<int>("queued");
        QTest::addColumn<qint64>("queuedBytes");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<bool>("admitted");
        const int last = Relays::MaxBulkQueued - Relays::BulkRoomForNotices;
        const qint64 room = Relays::MaxBulkQueuedBytes - Relays::BulkRoomForNotices * 1024;
        QTest::newRow("empty") << 0 << qint64(0) << qint64(5 << 20) << true;
        QTest::newRow("the last two places") << last - 2 << qint64(0) << qint64(1) << true;
        QTest::newRow("one place short") << last - 1 << qint64(0) << qint64(1) << false;
        QTest::newRow("the notices' room") << Relays::MaxBulkQueued - 2 << qint64(0) << qint64(1) << false;
        QTest::newRow("bytes to the last") << 0 << room - 100 << qint64(100) << true;
        QTest::newRow("a byte over") << 0 << room - 100 << qint64(101) << false;
    }

    void documentsAdmitted()
    {
        QFETCH(int, queued);
        QFETCH(qint64, queuedBytes);
        QFETCH(qint64, bytes);
        QFETCH(bool, admitted);
        QString error;
        QCOMPARE(Relays::admitDocument(queued, queuedBytes, bytes, &error), admitted);
        QCOMPARE(error.isEmpty(), admitted);
    }
};

QTEST_GUILESS_MAIN(TestRelaysUnit)
#include "tst_relaysunit.moc"
