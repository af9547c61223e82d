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
};

QTEST_GUILESS_MAIN(TestShiftJis)
#include "tst_shiftjis.moc"
