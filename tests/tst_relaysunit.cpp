// The fax monitor's relays, as parts: what they decide without a broker.

#include "faxmonitor/relays.h"

#include <QtTest>

class TestRelaysUnit : public QObject
{
    Q_OBJECT

private Q_SLOTS:
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
