#include "fakes.h"
#include "server/notificationserver.h"
#include "gui/seams.h"
#include "settings/settingsstore.h"
#include "testsupport.h"
#include "ui/dialog_s.h"
#include "ui/form1.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <functional>

namespace {

QRect twips(int left, int top, int width, int height)
{
    return QRect(qRound(left / 15.0), qRound(top / 15.0), qRound(width / 15.0), qRound(height / 15.0));
}

template <typename T>
T *control(QWidget *dialog, const char *name)
{
    T *widget = dialog->findChild<T *>(QLatin1String(name));
    if (!widget)
        qFatal("no control %s", name);
    return widget;
}

QByteArray settingsFileContent()
{
    QFile file(TestSupport::settingsFile());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(no file)");
}

} // namespace

class TestSettingsDialog : public QObject
{
    Q_OBJECT

    QStringList log;
    QStringList messages;
    std::unique_ptr<Form1> form;
    FakeSender *sender = nullptr;

    // Clicks the settings button and, once the dialog is up, does what the
    // user does in it; returns when the dialog is gone again.
    void useSettingsDialog(const std::function<void(Dialog_S *)> &user, Form1 *on = nullptr)
    {
        Form1 *target = on ? on : form.get();
        bool done = false;
        QTimer::singleShot(0, target, [&] {
            auto *dialog = qobject_cast<Dialog_S *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            user(dialog);
            done = true;
        });
        QTest::mouseClick(target->findChild<QPushButton *>(QStringLiteral("Command1")), Qt::LeftButton);
        QVERIFY(done);
        QVERIFY(!QApplication::activeModalWidget());
        QVERIFY(!target->findChild<Dialog_S *>());
    }

    static void type(Dialog_S *dialog, const char *box, const QString &text)
    {
        control<QLineEdit>(dialog, box)->setText(text);
    }

    static void click(Dialog_S *dialog, const char *button)
    {
        QTest::mouseClick(control<QPushButton>(dialog, button), Qt::LeftButton);
    }

private Q_SLOTS:
    void init()
    {
        log.clear();
        messages.clear();
        TestSupport::clearSettings();
        Seams::setMessageBox([this](QWidget *, const QString &text) { messages.append(text); });
        Seams::setExit([](int) { QFAIL("the process would have ended"); });
        sender = new FakeSender(&log);
        form = std::make_unique<Form1>(new FakeFaxLink(&log, {true}), sender);
        form->show();
    }

    void cleanup() { form.reset(); }

    void firstOpeningShowsDefaultsAndOkStoresThem()
    {
        QString shownAddress;
        QString shownPort;
        useSettingsDialog([&](Dialog_S *dialog) {
            shownAddress = control<QLineEdit>(dialog, "Text1")->text();
            shownPort = control<QLineEdit>(dialog, "Text2")->text();
            click(dialog, "OKButton");
        });
        QCOMPARE(shownAddress, QStringLiteral("127.0.0.1"));
        QCOMPARE(shownPort, QStringLiteral("21825"));
        QCOMPARE(settingsFileContent(), QByteArray("[Settings]\nIPAddress=127.0.0.1\nPort=21825\n"));
        // Applied to the sender; the protocol is left alone.
        QCOMPARE(log, (QStringList{QStringLiteral("RemoteHost=127.0.0.1"), QStringLiteral("RemotePort=21825")}));
        QVERIFY(messages.isEmpty());
    }

    void okStoresTextsExactlyAsTyped()
    {
        const QString address = QStringLiteral(" １９２．１６８．１．２５５ ");
        const QString port = QStringLiteral("２１８２６");
        useSettingsDialog([&](Dialog_S *dialog) {
            type(dialog, "Text1", address);
            type(dialog, "Text2", port);
            click(dialog, "OKButton");
        });
        SettingsStore store;
        QCOMPARE(store.read(SettingsStore::IPAddressKey, QString()), address);
        QCOMPARE(store.read(SettingsStore::PortKey, QString()), port);
        QCOMPARE(log, (QStringList{QStringLiteral("RemoteHost=") + address, QStringLiteral("RemotePort=21826")}));
    }

    void cancelStoresNothingAndAppliesUnchangedValues_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("cancel button") << "cancel";
        QTest::newRow("escape") << "escape";
        QTest::newRow("close box") << "close";
    }

    void cancelStoresNothingAndAppliesUnchangedValues()
    {
        QFETCH(QString, how);
        SettingsStore store;
        QVERIFY(store.write(SettingsStore::PortKey, QStringLiteral("5000")));
        const QByteArray before = settingsFileContent();
        useSettingsDialog([&](Dialog_S *dialog) {
            type(dialog, "Text1", QStringLiteral("10.0.0.255"));
            type(dialog, "Text2", QStringLiteral("6000"));
            if (how == QLatin1String("cancel"))
                click(dialog, "CancelButton");
            else if (how == QLatin1String("escape"))
                QTest::keyClick(control<QLineEdit>(dialog, "Text2"), Qt::Key_Escape);
            else
                dialog->close();
        });
        QCOMPARE(settingsFileContent(), before);
        QCOMPARE(log, (QStringList{QStringLiteral("RemoteHost=127.0.0.1"), QStringLiteral("RemotePort=5000")}));

        // The next opening shows the stored values, not the cancelled edits.
        QString shownPort;
        useSettingsDialog([&](Dialog_S *dialog) {
            shownPort = control<QLineEdit>(dialog, "Text2")->text();
            click(dialog, "CancelButton");
        });
        QCOMPARE(shownPort, QStringLiteral("5000"));
    }

    void enterPressesOk()
    {
        // Tabbed there past ｷｬﾝｾﾙ, which is the default button while it has
        // the focus: in a text box, Enter is OK's again.
        useSettingsDialog([&](Dialog_S *dialog) {
            QApplication::setActiveWindow(dialog);
            QVERIFY(QTest::qWaitForWindowActive(dialog));
            for (int i = 0; i < 3; ++i)
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QLineEdit *port = control<QLineEdit>(dialog, "Text2");
            QCOMPARE(QApplication::focusWidget(), port);
            port->setText(QStringLiteral("4000"));
            QTest::keyClick(port, Qt::Key_Return);
        });
        QCOMPARE(SettingsStore().read(SettingsStore::PortKey, QString()), QStringLiteral("4000"));
    }

    void longTextsAreNotCut()
    {
        const QString address = QString(40000, QLatin1Char('a'));
        useSettingsDialog([&](Dialog_S *dialog) {
            type(dialog, "Text1", address);
            click(dialog, "OKButton");
        });
        QCOMPARE(SettingsStore().read(SettingsStore::IPAddressKey, QString()), address);
    }

    void unusableValuesAreRefusedAndNothingChanges_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("reasonPart");
        QTest::newRow("port of letters") << QStringLiteral("127.0.0.2") << QStringLiteral("abc") << QStringLiteral("数値ではありません");
        QTest::newRow("out of 32-bit range") << QStringLiteral("127.0.0.2") << QStringLiteral("99999999999") << QStringLiteral("範囲外");
        QTest::newRow("port out of range") << QStringLiteral("127.0.0.2") << QStringLiteral("70000") << QStringLiteral("1～65535");
        QTest::newRow("empty address") << QString() << QStringLiteral("21825") << QStringLiteral("入力されていません");
        QTest::newRow("octal-looking address") << QStringLiteral("127.000.000.010") << QStringLiteral("21825")
                                               << QStringLiteral("（例：192.168.1.255）");
    }

    void unusableValuesAreRefusedAndNothingChanges()
    {
        QFETCH(QString, address);
        QFETCH(QString, port);
        QFETCH(QString, reasonPart);
        form.reset();
        TestSupport::UdpReceiver receiver;
        SettingsStore store;
        QVERIFY(store.write({{SettingsStore::IPAddressKey, QStringLiteral("127.0.0.1")},
                             {SettingsStore::PortKey, QString::number(receiver.port())}}));
        const QByteArray before = settingsFileContent();
        auto *udp = new UdpSender;
        Form1 real(new FakeFaxLink(&log, {true}), udp);
        real.show();
        QString error;
        QVERIFY(udp->setProtocol(DatagramSender::Udp, &error)); // as the start-up does
        QStringList stillShown;
        useSettingsDialog([&](Dialog_S *dialog) {
            type(dialog, "Text1", address);
            type(dialog, "Text2", port);
            click(dialog, "OKButton");
            QVERIFY(dialog->isVisible());
            stillShown << control<QLineEdit>(dialog, "Text1")->text() << control<QLineEdit>(dialog, "Text2")->text();
            click(dialog, "CancelButton");
        }, &real);
        QCOMPARE(stillShown, (QStringList{address, port}));
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages.first().startsWith(QStringLiteral(
                     "送信先を設定できませんでした。ＩＰアドレスとポート番号を確認してください。\r\n")),
                 qPrintable(messages.first()));
        QVERIFY2(messages.first().contains(reasonPart), qPrintable(messages.first()));
        QCOMPARE(settingsFileContent(), before);
        // The sender still sends where it did.
        QTest::mouseClick(real.findChild<QPushButton *>(QStringLiteral("Command3")), Qt::LeftButton);
        QTRY_COMPARE(receiver.datagrams().size(), 1);
    }

    void unreadableSettingsAreToldAndCanBeReplaced()
    {
        SettingsStore store;
        QVERIFY(store.write(SettingsStore::PortKey, QStringLiteral("5000")));
        QString shown;
        {
            TestSupport::ReadOnly unreadable(TestSupport::settingsFile(), 0444);
            QVERIFY(unreadable.ok());
            useSettingsDialog([&](Dialog_S *dialog) {
                shown = control<QLineEdit>(dialog, "Text2")->text();
                type(dialog, "Text2", QStringLiteral("6000"));
                click(dialog, "OKButton");
            });
            // The new file can be read back, whatever the old one allowed.
            QString failure;
            QCOMPARE(SettingsStore().read(SettingsStore::PortKey, QString(), &failure), QStringLiteral("6000"));
            QVERIFY2(failure.isEmpty(), qPrintable(failure));
        }
        QCOMPARE(shown, QStringLiteral("21825"));
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages.first().startsWith(Dialog_S::ReadFailedMessage + QStringLiteral("\r\n")), qPrintable(messages.first()));
        QCOMPARE(SettingsStore().read(SettingsStore::PortKey, QString()), QStringLiteral("6000"));
    }

    // Cancelled over settings that cannot be read: the sender cannot be
    // given a destination, and the user hears of it.
    void cancelOverUnreadableSettingsIsTold()
    {
        SettingsStore store;
        QVERIFY(store.write(SettingsStore::PortKey, QStringLiteral("5000")));
        TestSupport::ReadOnly unreadable(TestSupport::settingsFile(), 0444);
        QVERIFY(unreadable.ok());
        useSettingsDialog([&](Dialog_S *dialog) { click(dialog, "CancelButton"); });
        QCOMPARE(messages.size(), 2);
        QVERIFY2(messages.last().startsWith(NotificationServer::ApplyFailedMessage + QStringLiteral("\r\n")),
                 qPrintable(messages.last()));
    }

    void unwritableSettingsKeepTheDialogOpen()
    {
        SettingsStore store;
        QVERIFY(store.write(SettingsStore::IPAddressKey, QStringLiteral("127.0.0.1")));
        QVERIFY(store.write(SettingsStore::PortKey, QStringLiteral("5000")));
        const QByteArray before = settingsFileContent();
        TestSupport::ReadOnly readOnly(TestSupport::settingsFile());
        QVERIFY(readOnly.ok());

        QStringList stillShown;
        useSettingsDialog([&](Dialog_S *dialog) {
            type(dialog, "Text1", QStringLiteral("127.255.255.255"));
            type(dialog, "Text2", QStringLiteral("6000"));
            click(dialog, "OKButton");
            // Still open, with what the user typed.
            QVERIFY(dialog->isVisible());
            stillShown << control<QLineEdit>(dialog, "Text1")->text() << control<QLineEdit>(dialog, "Text2")->text();
            click(dialog, "CancelButton");
        });
        QCOMPARE(stillShown, (QStringList{QStringLiteral("127.255.255.255"), QStringLiteral("6000")}));
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages.first().startsWith(QStringLiteral("設定を保存できませんでした。\r\n")), qPrintable(messages.first()));
        QVERIFY(messages.first().size() > QStringLiteral("設定を保存できませんでした。\r\n").size());
        QCOMPARE(settingsFileContent(), before);
    }

    void broadcastAddressTakesEffectWithoutRestart()
    {
        form.reset();
        TestSupport::UdpReceiver receiver{QHostAddress(QHostAddress::AnyIPv4)};
        auto *udp = new UdpSender;
        Form1 real(new FakeFaxLink(&log, {true}), udp);
        real.show();
        QString error;
        QVERIFY(udp->setProtocol(DatagramSender::Udp, &error)); // as the start-up does
        useSettingsDialog([&](Dialog_S *dialog) {
            type(dialog, "Text1", QStringLiteral("127.255.255.255"));
            type(dialog, "Text2", QString::number(receiver.port()));
            click(dialog, "OKButton");
        }, &real);
        QVERIFY(messages.isEmpty());
        QTest::mouseClick(real.findChild<QPushButton *>(QStringLiteral("Command3")), Qt::LeftButton);
        QTRY_COMPARE(receiver.datagrams().size(), 1);
        QVERIFY(receiver.datagrams().first().startsWith("Test Receive Message\r\n"));
    }

    void dialogAsDrawn()
    {
        Dialog_S dialog(form.get());
        QCOMPARE(dialog.windowTitle(), QStringLiteral("設定"));
        QCOMPARE(dialog.geometry(), twips(2760, 3750, 6030, 2250));
        QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
        const Qt::WindowFlags flags = dialog.windowFlags();
        QCOMPARE(dialog.windowType(), Qt::Dialog); // a dialog of the main window: no taskbar entry
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QCOMPARE(dialog.windowIcon().availableSizes(), QList<QSize>{QSize(32, 32)});

        const struct { const char *name; QRect rect; QString text; } controls[] = {
            {"OKButton", twips(4680, 120, 1215, 375), QStringLiteral("OK")},
            {"CancelButton", twips(4680, 600, 1215, 375), QString::fromUtf8("\xef\xbd\xb7\xef\xbd\xac\xef\xbe\x9d\xef\xbd\xbe\xef\xbe\x99")},
            {"Text1", twips(1680, 240, 2175, 375), QStringLiteral("127.0.0.1")},
            {"Text2", twips(1680, 960, 2175, 375), QStringLiteral("21825")},
            {"Label1", twips(240, 360, 1335, 255), QStringLiteral("ＩＰアドレス：")},
            {"Label2", twips(240, 1080, 1335, 255), QStringLiteral("ポート番号：")},
            {"Label3", twips(480, 1680, 5175, 255), QStringLiteral("ＩＰアドレスには、ブロードキャストアドレスを指定できます。")},
            {"Label4", twips(480, 1920, 3135, 375), QString::fromUtf8("(\xe4\xbe\x8b\xef\xbc\x9a" "192.168.1.255\xef\xbc\x89")},
        };
        for (const auto &c : controls) {
            QWidget *widget = control<QWidget>(&dialog, c.name);
            QCOMPARE(widget->geometry(), c.rect);
            QCOMPARE(widget->property("text").toString(), c.text);
        }
        QVERIFY(control<QLabel>(&dialog, "Label1")->alignment() & Qt::AlignRight);
        QVERIFY(control<QLabel>(&dialog, "Label2")->alignment() & Qt::AlignRight);

        dialog.show();
        QApplication::setActiveWindow(&dialog);
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QCOMPARE(QApplication::focusWidget(), control<QWidget>(&dialog, "OKButton"));
        for (const char *name : {"CancelButton", "Text1", "Text2", "OKButton"}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), control<QWidget>(&dialog, name));
        }
    }
};

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
