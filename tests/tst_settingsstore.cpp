#include "settings/settingsstore.h"
#include "testsupport.h"

#include <QFile>
#include <QSettings>
#include <QtTest>

using TestSupport::settingsFile;

class TestSettingsStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { TestSupport::clearSettings(); }

    void keptInUsersConfigFolder()
    {
        SettingsStore store;
        QCOMPARE(store.filePath(), settingsFile());
        QVERIFY(store.write(SettingsStore::IPAddressKey, QStringLiteral("192.168.1.255")));
        QVERIFY(store.write(SettingsStore::PortKey, QStringLiteral("21825")));

        QFile file(settingsFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY2(content.startsWith("[Settings]\n"), content.constData());
        QVERIFY(content.contains("IPAddress=192.168.1.255\n"));
        QVERIFY(content.contains("Port=21825\n"));
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << QString();
        QTest::newRow("blanks around") << QStringLiteral("  192.168.1.255\t ");
        QTest::newRow("commas") << QStringLiteral("a,b, c,,");
        QTest::newRow("quotes") << QStringLiteral("\"quoted\" and 'single'");
        QTest::newRow("ini specials") << QStringLiteral("; # = [Settings] x=y");
        QTest::newRow("leading at") << QStringLiteral("@Variant(foo)");
        QTest::newRow("backslashes") << QStringLiteral("C:\\path\\to\\ \\n");
        QTest::newRow("japanese") << QStringLiteral("受信通知　サーバ ２１８２５ ｷｬﾝｾﾙ");
        QTest::newRow("line breaks") << QStringLiteral("one\r\ntwo\n");
        QTest::newRow("only blanks") << QStringLiteral("   ");
    }

    void roundTrip()
    {
        QFETCH(QString, text);
        SettingsStore store;
        QVERIFY(store.write(SettingsStore::PortKey, text));
        QVERIFY(store.write(SettingsStore::IPAddressKey, text + QStringLiteral("x")));
        // A store opened afresh, as the next run of the program does.
        SettingsStore later;
        QCOMPARE(later.read(SettingsStore::PortKey, QStringLiteral("default")), text);
        QCOMPARE(later.read(SettingsStore::IPAddressKey, QStringLiteral("default")),
                 text + QStringLiteral("x"));
    }

    void absentReadsDefaultEmptyReadsEmpty()
    {
        SettingsStore store;
        QCOMPARE(store.read(SettingsStore::IPAddressKey, SettingsStore::DefaultIPAddress),
                 QStringLiteral("127.0.0.1"));
        QVERIFY(store.write(SettingsStore::IPAddressKey, QString()));
        QCOMPARE(store.read(SettingsStore::IPAddressKey, SettingsStore::DefaultIPAddress), QString());
        // The other key is still absent.
        QCOMPARE(store.read(SettingsStore::PortKey, SettingsStore::DefaultPort), QStringLiteral("21825"));
    }

    void everyReadGoesToTheFile()
    {
        SettingsStore store;
        QVERIFY(store.write(SettingsStore::PortKey, QStringLiteral("1")));
        QCOMPARE(store.read(SettingsStore::PortKey, QString()), QStringLiteral("1"));
        // Another program (or the user with an editor) changes the file.
        QFile file(settingsFile());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[Settings]\nPort=2222\n");
        file.close();
        QCOMPARE(store.read(SettingsStore::PortKey, QString()), QStringLiteral("2222"));
    }

    void failedWriteKeepsEarlierValues_data()
    {
        QTest::addColumn<bool>("folderReadOnly");
        QTest::newRow("read-only folder") << true;
        QTest::newRow("read-only file") << false;
    }

    void failedWriteKeepsEarlierValues()
    {
        QFETCH(bool, folderReadOnly);
        SettingsStore store;
        QVERIFY(store.write(SettingsStore::IPAddressKey, QStringLiteral("10.1.2.255")));
        QVERIFY(store.write(SettingsStore::PortKey, QStringLiteral("5000")));
        QFile file(settingsFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        file.close();

        {
            TestSupport::ReadOnly readOnly(folderReadOnly ? TestSupport::configDir() : settingsFile());
            QVERIFY(readOnly.ok());
            QString reason;
            QVERIFY(!store.write(SettingsStore::PortKey, QStringLiteral("6000"), &reason));
            QVERIFY2(reason.contains(QStringLiteral("Kavrel.conf")), qPrintable(reason));
            QCOMPARE(store.read(SettingsStore::PortKey, QString()), QStringLiteral("5000"));
        }

        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
    }

    void missingFolderIsCreated()
    {
        const QString path = TestSupport::configDir() + QStringLiteral("/new/sub/Kavrel.conf");
        SettingsStore store(path);
        QVERIFY(store.write(SettingsStore::PortKey, QStringLiteral("7")));
        QCOMPARE(SettingsStore(path).read(SettingsStore::PortKey, QString()), QStringLiteral("7"));
    }

    void handEditedOrDamagedFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("port");
        QTest::newRow("bare commas") << QByteArray("[Settings]\nPort=1,2\n") << QStringLiteral("1,2");
        QTest::newRow("no section") << QByteArray("Port=1\n") << QStringLiteral("default");
        QTest::newRow("variant") << QByteArray("[Settings]\nPort=@Variant(\\0\\0\\0\\x7f\\0\\0\\0)\n")
                                 << QString();
        QTest::newRow("binary junk") << QByteArray("\xff\xfe\x00[Set\x01\ntings]]\n=\n\xc0", 19)
                                     << QStringLiteral("default");
        QTest::newRow("unterminated quote") << QByteArray("[Settings]\nPort=\"12\n") << QStringLiteral("12\n");
    }

    void handEditedOrDamagedFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, port);
        QFile file(settingsFile());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();

        SettingsStore store;
        const QString read = store.read(SettingsStore::PortKey, QStringLiteral("default"));
        if (!port.isNull())
            QCOMPARE(read, port);
        // A good value can still be stored over it.
        QVERIFY(store.write(SettingsStore::PortKey, QStringLiteral("21825")));
        QCOMPARE(store.read(SettingsStore::PortKey, QString()), QStringLiteral("21825"));
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
