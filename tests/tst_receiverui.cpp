// kavrel-r's windows and the program put together, in one process, on a
// desktop without a notification service (no session bus): its own popup,
// the settings applied as the dialog applies them, losses told.

#include "core/testdelays.h"
#include "gui/seams.h"
#include "receiver/history.h"
#include "receiver/noticegate.h"
#include "receiver/noticelistener.h"
#include "receiver/subscription.h"
#include "receiver/ui/historywindow.h"
#include "receiver/ui/noticepopup.h"
#include "receiver/ui/notifier.h"
#include "receiver/ui/receiverapp.h"
#include "receiver/ui/receiversettingsdialog.h"
#include "receiver/ui/presence.h"
#include "testsupport.h"

#include <QApplication>
#include <QLabel>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QLocalServer>
#include <QLocalSocket>
#include <QtTest>

// Stands in for the desktop's viewer.
class TestReceiverUi : public QObject
{
    Q_OBJECT

    QStringList told;

    // Settings that listen on a port nobody has.
    static ReceiverSettings freePort()
    {
        QUdpSocket probe;
        probe.bind(QHostAddress::LocalHost, 0);
        ReceiverSettings settings;
        settings.port = probe.localPort();
        probe.close();
        QString error;
        settings.save(&error);
        return settings;
    }

private Q_SLOTS:
    void initTestCase()
    {
        Seams::setNotice([this](QWidget *, const QString &text) { told.append(text); });
        TestDelays::set(QStringLiteral("burst=50,bus=1000,undo=500"));
    }

    // Where no notification service answers, the program's own popup says
    // it, within the width of a notice and on the screen, however long the
    // text; a click on it asks for the history.
    void noNotificationServiceMeansAPopup_data()
    {
        QTest::addColumn<QString>("line");
        QTest::newRow("reception") << QStringLiteral("2026/12/07 06:38:44,,0312345678,ﾔﾏﾀﾞ,1,OK");
        QTest::newRow("long text") << QStringLiteral("ﾔﾏﾀﾞ") + QString(5000, QLatin1Char('x'));
        // A failure's message and time are seen whole, in its red border.
        QTest::newRow("failed") << QStringLiteral("2026/12/07 06:38:44,,0312345678,ﾔﾏﾀﾞ,0,RSPREC error/got DCN "
                                                  "(sender abort) after a long exchange of training and a retrain");
    }

    void noNotificationServiceMeansAPopup()
    {
        QFETCH(QString, line);
        Notifier notifier;
        QSignalSpy history(&notifier, &Notifier::historyRequested);
        notifier.notify(NotificationText::parse(line), 1);
        QTRY_VERIFY(notifier.popup() && notifier.popup()->isVisible());
        QVERIFY(notifier.popup()->body().contains(QStringLiteral("ﾔﾏﾀﾞ")));
        if (QByteArray(QTest::currentDataTag()) == "failed") {
            // Every line of the text within the popup, none cut off.
            auto *body = notifier.popup()->findChild<QLabel *>(QStringLiteral("Body"));
            QVERIFY(body);
            QVERIFY2(body->height() >= body->heightForWidth(body->width()),
                     qPrintable(QStringLiteral("%1 < %2").arg(body->height()).arg(body->heightForWidth(body->width()))));
            QVERIFY(notifier.popup()->body().contains(QStringLiteral("受信時刻：2026/12/07 06:38:44")));
            const QImage drawn = notifier.popup()->grab().toImage();
            QCOMPARE(drawn.pixelColor(0, drawn.height() / 2), QColor(0xc0, 0, 0));
        }
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY(notifier.popup()->width() <= NoticePopup::MaxWidth);
        QVERIFY2(screen.contains(notifier.popup()->frameGeometry()), qPrintable(QStringLiteral("%1,%2 %3x%4")
                                                                                      .arg(notifier.popup()->x())
                                                                                      .arg(notifier.popup()->y())
                                                                                      .arg(notifier.popup()->width())
                                                                                      .arg(notifier.popup()->height())));
        QTest::mouseClick(notifier.popup(), Qt::LeftButton);
        QCOMPARE(history.size(), 1);
        QVERIFY(!notifier.popup()->isVisible());
    }

    // The history window finds by caller, number or error, sorts by the
    // column clicked, and opens the reception that is selected, whatever
    // the order shown.
    void historyWindowFindsAndOpens()
    {
        QTemporaryDir folder;
        History history(folder.filePath(QStringLiteral("history.sqlite")));
        QVERIFY(history.open());
        // Arrival times are kept in UTC and shown in the office's time.
        qputenv("TZ", "JST-9");
        const QDateTime now = QDateTime::currentDateTime();
        history.add(QDateTime(QDate(2026, 12, 7), QTime(21, 0), Qt::UTC), QStringLiteral("127.0.0.1"),
                    QStringLiteral("2026/12/07 06:00:00,,0311111111,ｳｴﾀﾞ,1,OK"));
        history.add(now.addSecs(-2), QStringLiteral("127.0.0.1"),
                    QStringLiteral("2026/12/07 06:01:00,,0322222222,ｱｵｷ,2,OK"), QStringLiteral("000000100"));
        history.add(now.addSecs(-1), QStringLiteral("127.0.0.1"),
                    QStringLiteral("2026/12/07 06:02:00,,0333333333,ｲﾄｳ,1,RSPREC error/got DCN"));
        history.flush();
        history.addDocument(QStringLiteral("000000100"), QStringLiteral("fax.pdf"));
        const qint64 withDocument = history.idOf(QStringLiteral("000000100"));

        HistoryWindow window(&history);
        QSignalSpy open(&window, &HistoryWindow::openRequested);
        window.present();
        auto *view = window.findChild<QTableView *>(QStringLiteral("HistoryView"));
        auto *openButton = window.findChild<QPushButton *>(QStringLiteral("OpenButton"));
        QVERIFY(view && openButton);
        QCOMPARE(view->model()->rowCount(), 3);
        const auto callers = [view] {
            QStringList found;
            for (int row = 0; row < view->model()->rowCount(); ++row)
                found.append(view->model()->index(row, HistoryModel::Caller).data().toString());
            return found;
        };
        QCOMPARE(callers(), (QStringList{QStringLiteral("ｲﾄｳ"), QStringLiteral("ｱｵｷ"), QStringLiteral("ｳｴﾀﾞ")}));
        // The office's day and time; the fax server's time beside it when
        // the reception waited somewhere on the way.
        QCOMPARE(view->model()->index(2, HistoryModel::Arrived).data(Qt::ToolTipRole).toString().section(QLatin1Char('\n'), 0, 0),
                 QStringLiteral("到着 2026/12/08 06:00:00"));
        QVERIFY(view->model()->index(2, HistoryModel::Arrived).data().toString().endsWith(QStringLiteral("06:00（受信 12/07 06:00）")));
        QVERIFY(view->model()->index(0, HistoryModel::Arrived).data().toString().startsWith(QStringLiteral("今日 ")));
        qunsetenv("TZ");
        view->horizontalHeader()->setSortIndicator(HistoryModel::Caller, Qt::AscendingOrder);
        QCOMPARE(callers(), (QStringList{QStringLiteral("ｱｵｷ"), QStringLiteral("ｲﾄｳ"), QStringLiteral("ｳｴﾀﾞ")}));
        view->selectRow(0);
        openButton->click();
        QCOMPARE(open.size(), 1);
        QCOMPARE(open.first().first().toLongLong(), withDocument);

        auto *search = window.findChild<QLineEdit *>(QStringLiteral("Search"));
        search->setText(QStringLiteral("DCN"));
        QCOMPARE(callers(), QStringList{QStringLiteral("ｲﾄｳ")});
        search->setText(QStringLiteral("03111"));
        QCOMPARE(callers(), QStringList{QStringLiteral("ｳｴﾀﾞ")});
        search->setText(QStringLiteral("%"));
        QCOMPARE(callers(), QStringList());

        // What a fax says finds it; the row says where, and opens there.
        history.addText(QStringLiteral("000000100"), FaxText{2, 2, QStringLiteral("納期 12月20日\n支払条件 月末締め"), QString()});
        QSignalSpy openAt(&window, &HistoryWindow::openAtPageRequested);
        search->setText(QStringLiteral("しはらい"));
        QCOMPARE(callers(), QStringList());
        QVERIFY(view->isColumnHidden(HistoryModel::Match) == false);
        search->setText(QStringLiteral("支払条件"));
        QCOMPARE(callers(), QStringList{QStringLiteral("ｱｵｷ")});
        QCOMPARE(view->model()->index(0, HistoryModel::Match).data(HistoryModel::HtmlRole).toString(),
                 QStringLiteral("2 ページ：納期 12月20日 <b>支払条件</b> 月末締め"));
        view->selectRow(0);
        openButton->click();
        QCOMPARE(openAt.size(), 1);
        QCOMPARE(openAt.first().at(1).toInt(), 2);
        search->setText(QStringLiteral("失敗"));
        QCOMPARE(callers(), QStringList{QStringLiteral("ｲﾄｳ")});
        QVERIFY(view->isColumnHidden(HistoryModel::Match));
        // Viewers that can be told a page, and one that cannot.
        QString program;
        QStringList arguments;
        QVERIFY(ReceiverApp::pageOpener(QStringLiteral("org.gnome.Evince.desktop"), QStringLiteral("/f.pdf"), 3, &program, &arguments));
        QCOMPARE(program + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')), QStringLiteral("evince --page-index=3 /f.pdf"));
        QVERIFY(ReceiverApp::pageOpener(QStringLiteral("okularApplication_pdf.desktop"), QStringLiteral("/f.pdf"), 3, &program, &arguments));
        QCOMPARE(program + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')), QStringLiteral("okular --page 3 /f.pdf"));
        QVERIFY(!ReceiverApp::pageOpener(QStringLiteral("firefox-esr.desktop"), QStringLiteral("/f.pdf"), 3, &program, &arguments));

        // 削除 asks, and can be undone for a while; then it is gone.
        search->clear();
        QAction *remove = nullptr;
        for (QAction *action : window.actions())
            remove = action->text() == QStringLiteral("削除") ? action : remove;
        QVERIFY(remove);
        bool answer = false;
        Seams::setConfirm([&answer](QWidget *, const QString &) { return answer; });
        view->selectRow(0);
        remove->trigger();
        QCOMPARE(view->model()->rowCount(), 3);
        answer = true;
        remove->trigger();
        QCOMPARE(callers(), (QStringList{QStringLiteral("ｲﾄｳ"), QStringLiteral("ｳｴﾀﾞ")}));
        window.findChild<QPushButton *>(QStringLiteral("UndoButton"))->click();
        QCOMPARE(view->model()->rowCount(), 3);
        view->selectRow(0);
        remove->trigger();
        Seams::setConfirm({});
        QCOMPARE(history.count(), 3);
        QTRY_COMPARE(history.count(), 2);
        QCOMPARE(callers(), (QStringList{QStringLiteral("ｲﾄｳ"), QStringLiteral("ｳｴﾀﾞ")}));
    }

    // A session bus that takes the connection and never answers: what comes
    // meanwhile is in the history at once; its notice waits for the bus's
    // time to answer, not the row.
    void rowsDoNotWaitForTheBus()
    {
        QLocalServer silentBus;
        QTemporaryDir folder;
        QVERIFY(silentBus.listen(folder.filePath(QStringLiteral("bus"))));
        QList<QLocalSocket *> held;
        connect(&silentBus, &QLocalServer::newConnection, this, [&] { held.append(silentBus.nextPendingConnection()); });
        const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(silentBus.fullServerName()));
        TestDelays::set(QStringLiteral("burst=50,bus=60000"));
        const ReceiverSettings settings = freePort();
        {
            ReceiverApp app;
            QUdpSocket sender;
            // While start() waits for the bus: the row comes, the notifier
            // does not; then the program is asked to end, as SIGTERM does.
            bool rowWhileAsked = false;
            QTimer poll;
            connect(&poll, &QTimer::timeout, this, [&] {
                if (app.history()->count() == 0)
                    return;
                rowWhileAsked = !app.notifier();
                poll.stop();
                QCoreApplication::exit(0);
            });
            QTimer::singleShot(0, this, [&] {
                sender.writeDatagram("2026/12/07 06:42:00,,0312345678,,1,OK", QHostAddress::LocalHost, settings.port);
                poll.start(10);
            });
            QVERIFY(!app.start());
            QVERIFY(rowWhileAsked);
            QVERIFY(!app.notifier());
            app.history()->clear();
        }
        TestDelays::set(QStringLiteral("burst=50,bus=1000,undo=500"));
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    }

    // The settings dialog helps: a wrong setting is told and its field has
    // the focus; the CA file can be chosen; the connection test says
    // whether the broker takes what is typed.
    void settingsDialogHelps()
    {
        ReceiverSettingsDialog dialog(freePort(), nullptr);
        dialog.show();
        QStringList shown;
        Seams::setMessageBox([&shown](QWidget *, const QString &text) { shown.append(text); });
        dialog.findChild<QLineEdit *>(QStringLiteral("Broker"))->setText(QStringLiteral("mqtts://broker.example:8883"));
        dialog.accept();
        Seams::setMessageBox({});
        QCOMPARE(shown.size(), 1);
        QVERIFY(dialog.focusWidget());
        QCOMPARE(dialog.focusWidget()->objectName(), QStringLiteral("CAFile"));

        // The departments the fax monitors announced, by name; a choice
        // stays as the list grows.
        auto *departments = dialog.findChild<QListWidget *>(QStringLiteral("Departments"));
        dialog.setDepartmentNames({{QStringLiteral("sales"), QStringLiteral("営業部")}});
        QCOMPARE(departments->count(), 1);
        QCOMPARE(departments->item(0)->text(), QStringLiteral("営業部（sales）"));
        QVERIFY(dialog.settings().departments.isEmpty());
        departments->item(0)->setCheckState(Qt::Checked);
        dialog.setDepartmentNames({{QStringLiteral("sales"), QStringLiteral("営業部")}, {QStringLiteral("payroll"), QStringLiteral("給与係")}});
        QCOMPARE(departments->count(), 2);
        QCOMPARE(dialog.settings().departments, QStringList{QStringLiteral("sales")});

        TestSupport::TestBroker broker;
        QVERIFY2(broker.missing().isEmpty(), qPrintable(broker.missing()));
        QVERIFY(broker.start());
        // The CA file, chosen in a file dialog.
        Seams::setChooseFile([&broker](QWidget *, const QString &, const QString &, const QString &) { return broker.caFile(); });
        dialog.findChild<QPushButton *>(QStringLiteral("ChooseCAFile"))->click();
        Seams::setChooseFile({});
        QCOMPARE(dialog.findChild<QLineEdit *>(QStringLiteral("CAFile"))->text(), broker.caFile());

        auto *result = dialog.findChild<QLabel *>(QStringLiteral("TestResult"));
        dialog.findChild<QLineEdit *>(QStringLiteral("Broker"))->setText(broker.url());
        dialog.findChild<QLineEdit *>(QStringLiteral("User"))->setText(TestSupport::TestBroker::user());
        dialog.findChild<QLineEdit *>(QStringLiteral("Password"))->setText(QStringLiteral("wrong"));
        dialog.findChild<QPushButton *>(QStringLiteral("TestBroker"))->click();
        QTRY_VERIFY(result->text().startsWith(QStringLiteral("接続できません")));
        dialog.findChild<QLineEdit *>(QStringLiteral("Password"))->setText(TestSupport::TestBroker::password());
        dialog.findChild<QPushButton *>(QStringLiteral("TestBroker"))->click();
        QTRY_COMPARE(result->text(), QStringLiteral("接続できました。"));
    }

    // Listening comes first: a datagram sent while the history is being
    // opened (here a damaged one, moved aside) is not lost.
    void listensBeforeTheHistoryOpens()
    {
        const ReceiverSettings settings = freePort();
        QDir().mkpath(QFileInfo(History::defaultPath()).absolutePath());
        QFile damaged(History::defaultPath());
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write(QByteArray("SQLite format 3\0", 16) + QByteArray(8192, 'z'));
        damaged.close();
        ReceiverApp app;
        QUdpSocket sender;
        const QMetaObject::Connection sending = connect(app.history(), &History::problem, this, [&] {
            sender.writeDatagram("2026/12/07 06:00:00,,0311111111,OHNO,1,OK", QHostAddress::LocalHost, settings.port);
        });
        QVERIFY(app.start());
        disconnect(sending);
        QTRY_COMPARE(app.history()->count(), 1);
        app.history()->clear();
        for (const QFileInfo &aside : QDir(QFileInfo(History::defaultPath()).absolutePath())
                                          .entryInfoList({QStringLiteral("history.sqlite.broken-*")}))
            QFile::remove(aside.filePath());
    }

    // Where no tray is, the program's window has what the tray's menu has;
    // its 終了 asks first (an ended program shows no notices).
    void windowWithoutATray()
    {
        freePort();
        ReceiverApp app;
        QVERIFY(app.start());
        QWidget *window = app.presence()->window();
        QVERIFY(window);
        QSignalSpy allRead(app.presence(), &Presence::allReadRequested);
        QSignalSpy latest(app.presence(), &Presence::latestRequested);
        QSignalSpy quit(app.presence(), &Presence::quitRequested);
        window->findChild<QPushButton *>(QStringLiteral("AllReadButton"))->click();
        window->findChild<QPushButton *>(QStringLiteral("LatestButton"))->click();
        QCOMPARE(allRead.size(), 1);
        QCOMPARE(latest.size(), 1);
        bool answer = false;
        Seams::setConfirm([&answer](QWidget *, const QString &) { return answer; });
        window->findChild<QPushButton *>(QStringLiteral("QuitButton"))->click();
        QCOMPARE(quit.size(), 0);
        answer = true;
        window->findChild<QPushButton *>(QStringLiteral("QuitButton"))->click();
        Seams::setConfirm({});
        QCOMPARE(quit.size(), 1);
    }

    // A document that comes after its reception is kept, and the history's
    // 開く opens it with the desktop's viewer.
    void historyOpensTheDocument()
    {
        freePort();
        ReceiverApp app;
        app.start();
        app.gate()->take(QStringLiteral("2026/12/07 06:00:00,,0311111111,ｳｴﾀﾞ,3,OK"), QStringLiteral("broker"),
                         QStringLiteral("000000500"));
        // The least PDF of three pages that opens.
        QByteArray pdf = "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
                         "2 0 obj<</Type/Pages/Kids[3 0 R 4 0 R 5 0 R]/Count 3>>endobj\n";
        for (const char *page : {"3", "4", "5"})
            pdf += QByteArray(page) + " 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]>>endobj\n";
        pdf += "trailer<</Root 1 0 R>>\n%%EOF\n";
        Q_EMIT app.subscription()->document(QStringLiteral("000000500"), pdf);
        // Kept once pdfinfo has read it through.
        QTRY_VERIFY(app.history()->hasKept(QStringLiteral("000000500"), false));
        // The desktop's opener, first on the path: it writes down what it
        // is given, and says it opened it, or (with no viewer) that it could
        // not, as xdg-open does.
        QTemporaryDir bin;
        const QString log = bin.filePath(QStringLiteral("opened"));
        QFile opener(bin.filePath(QStringLiteral("xdg-open")));
        QVERIFY(opener.open(QIODevice::WriteOnly));
        opener.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + QFile::encodeName(log) + "'\n"
                     "[ -e '" + QFile::encodeName(bin.filePath(QStringLiteral("no-viewer"))) + "' ] && exit 3\nexit 0\n");
        opener.close();
        QVERIFY(opener.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin.path()) + ':' + path);
        const auto opened = [&log] {
            QFile file(log);
            return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)
                                                  : QStringList();
        };
        app.openHistory();
        auto *view = app.historyWindow()->findChild<QTableView *>(QStringLiteral("HistoryView"));
        view->selectRow(0);
        told.clear();
        app.historyWindow()->findChild<QPushButton *>(QStringLiteral("OpenButton"))->click();
        QTRY_COMPARE(opened().size(), 1);
        // Under a name that says who sent it and when, as a viewer's title
        // shows it: a link to the history's own file.
        const QFileInfo document(opened().first());
        QCOMPARE(document.fileName(), QStringLiteral("FAX ｳｴﾀﾞ 2026年12月7日 6時00分.pdf"));
        QVERIFY2(document.symLinkTarget().startsWith(app.history()->documentFolder()) && document.exists(),
                 qPrintable(document.symLinkTarget()));

        // No PDF viewer: said, with what to install.
        QFile(bin.filePath(QStringLiteral("no-viewer"))).open(QIODevice::WriteOnly);
        app.historyWindow()->findChild<QPushButton *>(QStringLiteral("OpenButton"))->click();
        QTRY_COMPARE(told.size(), 1);
        qputenv("PATH", path);
        QCOMPARE(opened().size(), 2);
        QVERIFY2(told.first().contains(QStringLiteral("PDF ビューアーをインストール")), qPrintable(told.first()));
    }

    // The program as the settings dialog changes it: a new list of senders
    // alone takes effect; a burst the kernel could not keep is told once.
    void settingsAndLosses()
    {
        ReceiverSettings settings = freePort();
        QString error;
        ReceiverApp app;
        app.start();
        QUdpSocket sender;
        sender.writeDatagram("taken", QHostAddress::LocalHost, settings.port);
        QTRY_COMPARE(app.history()->count(), 1);
        settings.allowedSenders = {QStringLiteral("127.0.0.2")};
        QVERIFY2(app.applySettings(settings, &error), qPrintable(error));
        sender.writeDatagram("refused", QHostAddress::LocalHost, settings.port);
        QTRY_COMPARE(app.listener()->refused(), 1);
        QCOMPARE(app.history()->count(), 1);

        told.clear();
        for (int i = 0; i < 3; ++i) {
            Q_EMIT app.listener()->dropped(5);
            QTest::qWait(10);
        }
        QTRY_COMPARE(told.size(), 1);
        QVERIFY2(told.first().contains(QStringLiteral("15 件")), qPrintable(told.first()));
        QTest::qWait(100);
        QCOMPARE(told.size(), 1);
    }
};

QTEST_MAIN(TestReceiverUi)
#include "tst_receiverui.moc"
