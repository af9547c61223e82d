#include "components/shiftjis.h"

#include <QStringEncoder>
#include <QtTest>

class TestShiftJis : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Characters are written one by one from a table made at build time;
    // the result must be what the converter writes for the text as a whole.
    void sameAsTheConverterForEveryWritableCharacter()
    {
        QString writable;
        QString unwritable;
        for (char32_t c = 0x80; c <= 0xFFFF; ++c) {
            if (QChar::isSurrogate(c))
                continue;
            // Those the program writes in their Windows forms instead.
            if (c == 0x301C || c == 0x2016 || c == 0x2212 || c == 0x00A2 || c == 0x00A3 || c == 0x00AC
                || c == 0x2014)
                continue;
            QStringEncoder single("windows-31j");
            // The converter converts only when its result is taken.
            const QByteArray bytes = single.encode(QStringView(reinterpret_cast<const char16_t *>(&c), 1));
            (single.hasError() ? unwritable : writable).append(QChar(c));
        }
        QVERIFY(writable.size() > 7000); // JIS X 0208 and the Windows extensions
        QStringEncoder whole("windows-31j");
        const QByteArray expected = whole.encode(writable);
        QVERIFY(!whole.hasError());
        QCOMPARE(toWindowsShiftJis(writable), expected);
        QCOMPARE(toWindowsShiftJis(unwritable), QByteArray(unwritable.size(), '?'));
    }

    void mixedText()
    {
        QCOMPARE(toWindowsShiftJis(u"ab〜c"), QByteArray("ab\x81\x60" "c"));
        QCOMPARE(toWindowsShiftJis(u"\U0001F600x\xD800y\xDC00"), QByteArray("?x?y?"));
        QCOMPARE(toWindowsShiftJis(u""), QByteArray());
    }

    // Every character the sender can write comes back as itself; of the
    // whole table only one private-use character has a twin it is read as.
    void everyWritableCharacterComesBack()
    {
        QString twins;
        int writable = 0;
        for (char32_t c = 0x80; c <= 0xFFFF; ++c) {
            if (QChar::isSurrogate(c))
                continue;
            const QString one{QChar(char16_t(c))};
            const QByteArray bytes = toWindowsShiftJis(one);
            if (bytes == "?")
                continue;
            ++writable;
            const QString back = fromWindowsShiftJis(bytes);
            if (back != one) {
                QCOMPARE(toWindowsShiftJis(back), bytes);
                twins.append(one);
            }
        }
        QVERIFY(writable > 7000);
        // The seven characters written in their Windows forms, and U+F86F,
        // which the code page writes as U+2116's bytes.
        QCOMPARE(twins, QStringLiteral("\u00a2\u00a3\u00ac\u2014\u2016\u2212\u301c\uf86f"));
    }

    void bytesThatAreNotShiftJisAreReplaced_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("half-width kana") << QByteArray("\xd4\xcf\xc0\xde") << QStringLiteral("ﾔﾏﾀﾞ");
        QTest::newRow("lead byte at the end") << QByteArray("ab\x82") << QStringLiteral("ab\ufffd");
        QTest::newRow("lead byte before a digit") << QByteArray("\x82" "1\x82\xa0") << QStringLiteral("\ufffd1\u3042");
        // The ASCII byte of a pair that is no character is read on its own.
        QTest::newRow("pair the code page lacks") << QByteArray("\x85\x40x\x85\x80") << QStringLiteral("\ufffd@x\ufffd");
        QTest::newRow("bytes of no character") << QByteArray("\x80\xa0\xfd\xfe\xff") << QString(5, QChar(0xfffd));
    }

    void bytesThatAreNotShiftJisAreReplaced()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(fromWindowsShiftJis(bytes), text);
    }
};

QTEST_GUILESS_MAIN(TestShiftJis)
#include "tst_shiftjis.moc"
