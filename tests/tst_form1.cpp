#include "fakes.h"
#include "testsupport.h"
#include "ui/form1.h"

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

namespace {

QRect twips(int left, int top, int width, int height)
{
    return QRect(qRound(left / 15.0), qRound(top / 15.0), qRound(width / 15.0), qRound(height / 15.0));
}

int countPixels(const QImage &image, const QRect &area, QRgb color)
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x)
            count += image.pixel(x, y) == color ? 1 : 0;
    }
    return count;
}

} // namespace

class TestForm1 : public QObject
{
    Q_OBJECT

    QStringList log;
    std::unique_ptr<Form1> form;

    template <typename T = QWidget>
    T *child(const char *name)
    {
        T *widget = form->findChild<T *>(QLatin1String(name));
        if (!widget)
            qFatal("no control %s", name);
        return widget;
    }

private Q_SLOTS:
    void init() { form = std::make_unique<Form1>(new FakeFaxLink(&log, {true}), new FakeSender(&log)); }
    void cleanup() { form.reset(); }

    void geometry_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("rect");
        QTest::newRow("Label1") << "Label1" << twips(240, 1200, 5295, 615);
        QTest::newRow("Label2") << "Label2" << twips(180, 480, 3615, 615);
        QTest::newRow("Label3") << "Label3" << twips(180, 1140, 5295, 615);
        QTest::newRow("Label4") << "Label4" << twips(120, 420, 3375, 615);
        QTest::newRow("Label5") << "Label5" << twips(960, 2520, 4695, 255);
        QTest::newRow("Command1") << "Command1" << twips(2880, 2040, 855, 375);
        QTest::newRow("Command2") << "Command2" << twips(4080, 2040, 855, 375);
        QTest::newRow("Command3") << "Command3" << twips(1560, 2040, 975, 375);
    }

    void geometry()
    {
        QFETCH(QString, name);
        QFETCH(QRect, rect);
        QCOMPARE(child(qPrintable(name))->geometry(), rect);
    }

    void window()
    {
        QCOMPARE(form->objectName(), QStringLiteral("Form1"));
        QCOMPARE(form->windowTitle(), QStringLiteral("受信通知サーバ"));
        QCOMPARE(form->minimumSize(), QSize(375, 189));
        QCOMPARE(form->maximumSize(), QSize(375, 189));
        const Qt::WindowFlags flags = form->windowFlags();
        QVERIFY(flags & Qt::WindowMinimizeButtonHint);
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
        QVERIFY(form->isWindow());
        QCOMPARE(form->windowType(), Qt::Window); // a tool window would have no taskbar entry
        QCOMPARE(form->findChild<QObject *>(QStringLiteral("FaxLink1"))->parent(), form.get());
        QCOMPARE(form->findChild<QObject *>(QStringLiteral("Winsock1"))->parent(), form.get());
    }

    void texts()
    {
        QCOMPARE(child<QLabel>("Label1")->text(), QStringLiteral("for Orvex"));
        QCOMPARE(child<QLabel>("Label2")->text(), QStringLiteral("受信通知サーバ"));
        QCOMPARE(child<QLabel>("Label3")->text(), QStringLiteral("for Orvex"));
        QCOMPARE(child<QLabel>("Label4")->text(), QStringLiteral("受信通知サーバ"));
        QVERIFY(!child<QLabel>("Label5")->text().isEmpty());
        QVERIFY(child<QLabel>("Label5")->alignment() & Qt::AlignRight);
        // Its text ends inside the window, clear of the edge.
        const QLabel *notice = child<QLabel>("Label5");
        const int textRight = notice->geometry().right() - notice->contentsMargins().right();
        QVERIFY2(textRight <= form->width() - 1 - 4, qPrintable(QString::number(textRight)));
        QCOMPARE(child<QPushButton>("Command1")->text(), QStringLiteral("設定"));
        QCOMPARE(child<QPushButton>("Command2")->text(), QStringLiteral("終了"));
        QCOMPARE(child<QPushButton>("Command3")->text(), QString::fromUtf8("\xe9\x80\x9a\xe7\x9f\xa5\xef\xbe\x83\xef\xbd\xbd\xef\xbe\x84"));
    }

    void colours()
    {
        const QColor cyan(192, 255, 255);
        const QColor yellow(255, 255, 128);
        QVERIFY(form->autoFillBackground());
        QCOMPARE(form->palette().color(QPalette::Window), cyan);
        for (const char *name : {"Label1", "Label2"}) {
            QVERIFY2(child(name)->autoFillBackground(), name);
            QCOMPARE(child(name)->palette().color(QPalette::Window), cyan);
        }
        QCOMPARE(child("Label1")->palette().color(QPalette::WindowText), QColor(Qt::black));
        QCOMPARE(child("Label2")->palette().color(QPalette::WindowText),
                 QApplication::palette().color(QPalette::WindowText));
        for (const char *name : {"Label3", "Label4"}) {
            QVERIFY2(!child(name)->autoFillBackground(), name);
            QCOMPARE(child(name)->palette().color(QPalette::WindowText), yellow);
        }
    }

    void shadowedTitleAsDrawn()
    {
        const QImage image = form->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(image.size(), QSize(375, 189));
        const QRgb yellow = qRgb(255, 255, 128);
        const QRgb black = qRgb(0, 0, 0);
        // The light copies lie above the opaque black ones: their letters show
        // inside the black copies' boxes, and so does the shadow.
        for (const char *name : {"Label1", "Label2"}) {
            const QRect box = child(name)->geometry();
            QVERIFY2(countPixels(image, box, yellow) > 100, name);
            QVERIFY2(countPixels(image, box, black) > 100, name);
        }
        // One title with its shadow, not a double image: a good part of the
        // black copy's strokes lies under the light copy's, drawn 4 pixels up
        // and to the left (a black weight covers about 40%; a regular one,
        // whose strokes lie side by side with their shadows, about 15%).
        const QImage shadowAlone = child("Label2")->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QPoint at = child("Label2")->pos();
        int strokes = 0;
        int covered = 0;
        for (int y = 0; y < shadowAlone.height(); ++y) {
            for (int x = 0; x < shadowAlone.width(); ++x) {
                if (qGray(shadowAlone.pixel(x, y)) < 96) {
                    ++strokes;
                    covered += image.pixel(at.x() + x, at.y() + y) == yellow ? 1 : 0;
                }
            }
        }
        QVERIFY2(strokes > 500 && covered * 3 > strokes,
                 qPrintable(QStringLiteral("%1 of %2 shadow pixels under the title in %3")
                                .arg(covered).arg(strokes).arg(QFontInfo(child("Label2")->font()).family())));
        const QList<QObject *> stacking = form->children();
        QVERIFY(stacking.indexOf(child("Label4")) > stacking.indexOf(child("Label2")));
        QVERIFY(stacking.indexOf(child("Label3")) > stacking.indexOf(child("Label1")));
    }

    void titleFontHasRealJapaneseGlyphs()
    {
        for (const char *name : {"Label1", "Label2", "Label3", "Label4"}) {
            const QFont font = child(name)->font();
            QCOMPARE(font.families().value(0), QStringLiteral("HGP創英角ﾎﾟｯﾌﾟ体"));
            QCOMPARE(font.pointSize(), 24);
            QCOMPARE(font.weight(), QFont::Normal);
            QVERIFY(!font.italic() && !font.underline() && !font.strikeOut());
        }
        const QFontMetrics metrics(child("Label2")->font());
        for (QChar c : QStringLiteral("受信通知サーバ"))
            QVERIFY2(metrics.inFont(c), qPrintable(QStringLiteral("no glyph for %1 in %2").arg(c).arg(QFontInfo(child("Label2")->font()).family())));
        // The notice and the buttons keep the default font.
        QCOMPARE(child("Label5")->font(), QApplication::font());
        QCOMPARE(child("Command1")->font(), QApplication::font(child("Command1")));
    }

    void focusAndKeys()
    {
        for (const char *name : {"Label1", "Label2", "Label3", "Label4", "Label5"})
            QCOMPARE(child(name)->focusPolicy(), Qt::NoFocus);
        form->show();
        QApplication::setActiveWindow(form.get());
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QCOMPARE(QApplication::focusWidget(), child("Command1"));
        for (const char *name : {"Command2", "Command3", "Command1"}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), child(name));
        }
        // Enter presses the focused button, as Space does.
        child("Command3")->setFocus();
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter})
            QTest::keyClick(QApplication::focusWidget(), key);
        QCOMPARE(log.filter(QStringLiteral("SendData=")).size(), 2);
    }

    void icon()
    {
        QCOMPARE(form->windowIcon().availableSizes(), QList<QSize>{QSize(32, 32)});
        const QImage image(QStringLiteral(":/kavrel/kavrel.png"));
        QCOMPARE(image.size(), QSize(32, 32));
        QCOMPARE(image.format(), QImage::Format_Indexed8);
        QVERIFY(image.colorCount() <= 256);
    }
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
