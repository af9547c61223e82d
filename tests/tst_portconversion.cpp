#include "settings/portconversion.h"

#include <QtTest>

class TestPortConversion : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void accepted_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value");
        QTest::newRow("plain") << QStringLiteral("21825") << 21825;
        QTest::newRow("leading zeros") << QStringLiteral("000080") << 80;
        QTest::newRow("zero") << QStringLiteral("0") << 0;
        QTest::newRow("plus") << QStringLiteral("+5") << 5;
        QTest::newRow("minus") << QStringLiteral("-5") << -5;
        QTest::newRow("minus zero") << QStringLiteral("-0") << 0;
        QTest::newRow("blanks") << QStringLiteral(" \t21825  ") << 21825;
        QTest::newRow("ideographic space") << QStringLiteral("\u3000２１８２５\u3000") << 21825;
        QTest::newRow("full-width") << QStringLiteral("２１８２５") << 21825;
        QTest::newRow("full-width sign and point") << QStringLiteral("－１２．５") << -12;
        QTest::newRow("full-width plus") << QStringLiteral("＋７") << 7;
        QTest::newRow("mixed widths") << QStringLiteral("2１8２5") << 21825;
        QTest::newRow("every full-width digit") << QStringLiteral("１０３４６９") << 103469;
        QTest::newRow("half to even down") << QStringLiteral("0.5") << 0;
        QTest::newRow("half to even up") << QStringLiteral("1.5") << 2;
        QTest::newRow("half to even 2.5") << QStringLiteral("2.5") << 2;
        QTest::newRow("half to even 3.5") << QStringLiteral("3.5") << 4;
        QTest::newRow("negative half") << QStringLiteral("-2.5") << -2;
        QTest::newRow("negative 3.5") << QStringLiteral("-3.5") << -4;
        QTest::newRow("just over half") << QStringLiteral("2.5000001") << 3;
        QTest::newRow("second digit counts") << QStringLiteral("2.51") << 3;
        QTest::newRow("just under half") << QStringLiteral("2.4999999999") << 2;
        QTest::newRow("point only fraction") << QStringLiteral(".5") << 0;
        QTest::newRow("trailing point") << QStringLiteral("80.") << 80;
        QTest::newRow("int max") << QStringLiteral("2147483647") << 2147483647;
        QTest::newRow("int min") << QStringLiteral("-2147483648") << int(-2147483647 - 1);
        QTest::newRow("rounds down into range") << QStringLiteral("2147483647.4") << 2147483647;
        QTest::newRow("many leading zeros") << QStringLiteral("00000000000000021825") << 21825;
        QTest::newRow("port out of port range") << QStringLiteral("70000") << 70000;
    }

    void accepted()
    {
        QFETCH(QString, text);
        QFETCH(int, value);
        qint32 converted = 0;
        QString error;
        QVERIFY2(convertPort(text, &converted, &error), qPrintable(error));
        QCOMPARE(converted, value);
    }

    void refused_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("reasonPart");
        const QString notNumber = QStringLiteral("数値ではありません");
        const QString outOfRange = QStringLiteral("範囲外");
        QTest::newRow("empty") << QString() << QStringLiteral("入力されていません");
        QTest::newRow("blanks only") << QStringLiteral(" \u3000 ") << QStringLiteral("入力されていません");
        QTest::newRow("letters") << QStringLiteral("abc") << notNumber;
        QTest::newRow("trailing letters") << QStringLiteral("80x") << notNumber;
        QTest::newRow("hex") << QStringLiteral("0x50") << notNumber;
        QTest::newRow("vb hex") << QStringLiteral("&H50") << notNumber;
        QTest::newRow("exponent") << QStringLiteral("1e3") << notNumber;
        QTest::newRow("thousands") << QStringLiteral("21,825") << notNumber;
        QTest::newRow("two points") << QStringLiteral("1.2.3") << notNumber;
        QTest::newRow("sign only") << QStringLiteral("-") << notNumber;
        QTest::newRow("point only") << QStringLiteral(".") << notNumber;
        QTest::newRow("two signs") << QStringLiteral("+-5") << notNumber;
        QTest::newRow("inner blank") << QStringLiteral("21 825") << notNumber;
        QTest::newRow("blank after sign") << QStringLiteral("- 5") << notNumber;
        QTest::newRow("arabic-indic digits") << QStringLiteral("\u0661\u0662") << notNumber;
        QTest::newRow("kanji digits") << QStringLiteral("二万") << notNumber;
        QTest::newRow("over max") << QStringLiteral("2147483648") << outOfRange;
        QTest::newRow("under min") << QStringLiteral("-2147483649") << outOfRange;
        QTest::newRow("rounds up out of range") << QStringLiteral("2147483647.5") << outOfRange;
        QTest::newRow("huge") << QStringLiteral("99999999999999999999999") << outOfRange;
    }

    void refused()
    {
        QFETCH(QString, text);
        QFETCH(QString, reasonPart);
        qint32 converted = 0;
        QString error;
        QVERIFY(!convertPort(text, &converted, &error));
        QVERIFY2(error.contains(reasonPart), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestPortConversion)
#include "tst_portconversion.moc"
