// The office's shared inbox: desks (kavrel-r, each with its own settings,
// history and broker account) and a fax monitor that decides who has each
// fax, through a real mosquitto whose ACL lets each account ask under its
// own name only; and two offices whose brokers a mosquitto bridge joins.

#include "core/monitorprotocol.h"
#include "core/testdelays.h"
#include "gui/seams.h"
#include "receiver/history.h"
#include "receiver/noticegate.h"
#include "receiver/subscription.h"
#include "receiver/ui/historywindow.h"
#include "receiver/ui/noticepopup.h"
#include "receiver/ui/receiverapp.h"
#include "testsupport.h"

#include <QTableView>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

#include <unistd.h>

namespace {

const QString Root = QStringLiteral("kavrel/fax");

QString key(const char *commId)
{
    return Subscription::faxKey(QStringLiteral("fax1"), QLatin1String(commId));
}

} // namespace

class TestInbox : public QObject
{
    Q_OBJECT

    TestSupport::TestBroker broker;
    TestSupport::MonitorProcess monitor;
    QTemporaryDir folder;
    QStringList told;

    // A desk of its own folder (settings, history), as user of the broker at
    // url, named name; started, and subscribed.
    std::unique_ptr<ReceiverApp> desk(const char *user, const QString &name, const QString &url, bool documents = false)
    {
        const QString home = folder.filePath(QLatin1String(user));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home + QStringLiteral("/config")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(home + QStringLiteral("/data")));
        QUdpSocket probe;
        probe.bind(QHostAddress::LocalHost, 0);
        ReceiverSettings settings;
        settings.port = probe.localPort();
        probe.close();
        settings.broker = url;
        settings.user = QLatin1String(user);
        settings.password = QStringLiteral("%1-secret").arg(QLatin1String(user));
        settings.displayName = name;
        settings.documents = documents;
        QString error;
        if (!settings.save(&error))
            qWarning() << error;
        auto app = std::make_unique<ReceiverApp>();
        app->subscription()->setClientId(QStringLiteral("desk-%1").arg(QLatin1String(user)));
        app->start();
        return app;
    }

    bool connected(ReceiverApp *app)
    {
        return app->subscription()->state().startsWith(QStringLiteral("connected")) && app->subscription()->canRequest();
    }

    void post(const char *commId, const char *caller)
    {
        QString error;
        QVERIFY2(MonitorProtocol::post(monitor.folder(),
                                       {"2026:12:08 10:30:00", "", "0311110000", caller, "1", "", "", commId, "ttyS0", ""},
                                       5000, &error),
                 qPrintable(error));
    }

    static FaxState::State state(ReceiverApp *app, const char *commId) { return app->history()->state(key(commId)).state; }
    // The fax is in the history, open (its state may come before it).
    static bool open(ReceiverApp *app, const char *commId)
    {
        return app->history()->idOf(key(commId)) > 0 && state(app, commId) == FaxState::Open;
    }

    QByteArray monitorConfig()
    {
        return TestSupport::monitorBrokerConfig(monitor, broker, QStringLiteral("fax1")) + "States=true\n";
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(broker.missing().isEmpty(), qPrintable(broker.missing()));
        for (const char *user : {"alice", "bob", "carol", "dave", "bridge"})
            QVERIFY(broker.addUser(QLatin1String(user), QStringLiteral("%1-secret").arg(QLatin1String(user))));
        // As the README has it: each desk reads the faxes and asks under its
        // own name only.
        QVERIFY(broker.setAcl("pattern write kavrel/fax/+/request/%u/#\n"
                              "user faxserver\ntopic write kavrel/fax/#\ntopic read kavrel/fax/+/request/#\n"
                              "user alice\ntopic read kavrel/fax/#\n"
                              "user bob\ntopic read kavrel/fax/#\n"
                              "user carol\ntopic read kavrel/fax/#\n"
                              "user dave\ntopic read kavrel/fax/#\n"
                              "user bridge\ntopic readwrite kavrel/fax/#\n"));
        QVERIFY(broker.start());
        Seams::setNotice([this](QWidget *, const QString &text) { told.append(text); });
        TestDelays::set(QStringLiteral("bus=200,gather=50,copy=50,answer=3000,readcheck=60000"));
        QVERIFY(monitor.start(monitorConfig()));
        QTRY_VERIFY(monitor.said().contains("states: connected"));
    }

    void cleanupTestCase() { monitor.terminate(); }

    void init() { told.clear(); }

    // Two desks: a fax reaches both; one takes it, the other sees who has
    // it (and its notice goes), and is told so when it asks too; both ask
    // for a new fax at once, one has it; what a desk that was off missed,
    // it has as it starts; a restart of the monitor and of a broker that
    // forgets everything loses no state.
    void sharedByTwoDesks()
    {
        // A name as people type it (a full-width space): the monitor keeps
        // it on one line, blanks run together, and the desk knows its own.
        auto a = desk("alice", QStringLiteral("山田　太郎"), broker.url());
        auto b = desk("bob", QStringLiteral("佐藤"), broker.url());
        QTRY_VERIFY(connected(a.get()) && connected(b.get()));
        post("000000501", "ﾔﾏﾀﾞｼｮｳｼﾞ");
        QTRY_VERIFY(open(a.get(), "000000501"));
        QTRY_VERIFY(open(b.get(), "000000501"));
        QTRY_VERIFY(b->notifier() && b->notifier()->popup() && b->notifier()->popup()->isVisible());
        QVERIFY(b->notifier()->popup()->findChild<QWidget *>(QStringLiteral("TakeButton"))->isVisible());
        QCOMPARE(a->history()->openCount(), 1);

        a->askState(a->history()->idOf(key("000000501")), FaxState::Take);
        b->openHistory();
        QTRY_COMPARE(state(b.get(), "000000501"), FaxState::Taken);
        const FaxState taken = b->history()->state(key("000000501"));
        QCOMPARE(taken.user, QStringLiteral("alice"));
        QCOMPARE(taken.name, QStringLiteral("山田 太郎"));
        QTRY_COMPARE(b->historyWindow()->model()->index(0, HistoryModel::State).data().toString(), QStringLiteral("対応中：山田 太郎"));
        QVERIFY(!b->notifier()->popup()->isVisible());
        QCOMPARE(b->history()->openCount(), 0);
        b->askState(b->history()->idOf(key("000000501")), FaxState::Take);
        QCOMPARE(told, QStringList{QStringLiteral("この FAX は 山田 太郎さんが担当しています。")});
        told.clear();

        // Both at once, before either has heard the other.
        post("000000502", "ｺﾊﾞﾔｼ");
        QTRY_VERIFY(open(a.get(), "000000502"));
        QTRY_VERIFY(open(b.get(), "000000502"));
        a->askState(a->history()->idOf(key("000000502")), FaxState::Take);
        b->askState(b->history()->idOf(key("000000502")), FaxState::Take);
        QTRY_COMPARE(state(a.get(), "000000502"), FaxState::Taken);
        QTRY_COMPARE(state(b.get(), "000000502"), FaxState::Taken);
        const QString holder = a->history()->state(key("000000502")).user;
        QTRY_COMPARE(b->history()->state(key("000000502")).user, holder);
        // The one that lost is told who has it; nobody else is.
        QTRY_COMPARE(told.size(), 1);
        QCOMPARE(told.first(), QStringLiteral("この FAX は %1さんが担当しています。")
                                   .arg(holder == QLatin1String("alice") ? QStringLiteral("山田 太郎") : QStringLiteral("佐藤")));
        told.clear();

        // Bob goes home; meanwhile alice finishes the first, with a memo,
        // and a third fax comes.
        b.reset();
        a->askState(a->history()->idOf(key("000000501")), FaxState::Finish);
        QTRY_COMPARE(state(a.get(), "000000501"), FaxState::Done);
        a->askState(a->history()->idOf(key("000000501")), FaxState::Memo, QStringLiteral("折り返し済み"));
        QTRY_COMPARE(a->history()->state(key("000000501")).memo, QStringLiteral("折り返し済み"));
        post("000000503", "ﾀﾅｶ");
        QTRY_VERIFY(open(a.get(), "000000503"));
        b = desk("bob", QStringLiteral("佐藤"), broker.url());
        QTRY_COMPARE(state(b.get(), "000000501"), FaxState::Done);
        QTRY_COMPARE(b->history()->state(key("000000501")).memo, QStringLiteral("折り返し済み"));
        QTRY_VERIFY(open(b.get(), "000000503"));
        QCOMPARE(b->history()->openCount(), 1);

        // The monitor, and a broker that forgets all it kept: a desk that
        // starts afresh still hears every state.
        a.reset();
        b.reset();
        monitor.terminate();
        broker.forget();
        QVERIFY(broker.start());
        QVERIFY(monitor.start(monitorConfig()));
        auto c = desk("carol", QStringLiteral("鈴木"), broker.url());
        QTRY_COMPARE(state(c.get(), "000000501"), FaxState::Done);
        QTRY_COMPARE(state(c.get(), "000000502"), FaxState::Taken);
        QTRY_COMPARE(state(c.get(), "000000503"), FaxState::Open);
        QVERIFY(told.isEmpty());
    }

    // A fax as HylaFAX's own faxrcvd hands it to the monitor (with its
    // document): both desks have it and its PDF, open; one takes it, the
    // other sees who has it.
    void fedByFaxrcvd()
    {
        TestSupport::HylaFaxSpool spool;
        if (!spool.missing().isEmpty())
            QSKIP(qPrintable(QStringLiteral("needs ") + spool.missing()));
        if (::geteuid() != 0)
            QSKIP("faxrcvd runs as the fax user: run as root (run-tests does)");
        QVERIFY(monitor.start(monitorConfig() + "[Documents]\nPublish=true\nSpool=" + QFile::encodeName(spool.path())
                                  + "\nFaxUser=uucp\n",
                              TestSupport::MonitorProcess::DefaultDelays, {QStringLiteral("--poster"), QStringLiteral("uucp")}));
        QTRY_VERIFY(monitor.said().contains("states: connected"));
        QVERIFY(spool.useHook(monitor.folder()));
        QVERIFY(spool.makeFax(QStringLiteral("fax00001.tif"), 2));
        auto a = desk("alice", QStringLiteral("山田"), broker.url(), true);
        auto b = desk("bob", QStringLiteral("佐藤"), broker.url(), true);
        QTRY_VERIFY(connected(a.get()) && connected(b.get()));
        QCOMPARE(spool.faxrcvd(QStringLiteral("fax00001.tif"), QStringLiteral("000000531")), 0);
        QTRY_VERIFY_WITH_TIMEOUT(open(a.get(), "000000531") && open(b.get(), "000000531"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!b->history()->entry(b->history()->idOf(key("000000531"))).document.isEmpty(), 20000);
        a->askState(a->history()->idOf(key("000000531")), FaxState::Take);
        QTRY_COMPARE(b->history()->state(key("000000531")).name, QStringLiteral("山田"));
        QVERIFY(monitor.start(monitorConfig()));
        QTRY_VERIFY(monitor.said().contains("states: connected"));
    }

    // More states than a broker passes on to a QoS 1 subscription as it is
    // made (its queue, some 1,000): a desk that comes has them all.
    void everyStateReachesANewDesk()
    {
        const int count = 1100;
        const auto commId = [](int i) { return QByteArray::number(100000000 + i); };
        // A desk that is there hears each as it is said.
        auto a = desk("alice", QStringLiteral("山田"), broker.url());
        QTRY_VERIFY(connected(a.get()));
        for (int i = 0; i < count; ++i)
            post(commId(i).constData(), "ﾀｲﾘｮｳ");
        QTRY_VERIFY_WITH_TIMEOUT(state(a.get(), commId(count - 1).constData()) == FaxState::Open, 20000);
        // One that comes afterwards has what the broker kept, all of it.
        auto d = desk("dave", QStringLiteral("伊藤"), broker.url());
        QTRY_VERIFY_WITH_TIMEOUT(state(d.get(), commId(count - 1).constData()) == FaxState::Open, 20000);
        int known = 0;
        for (int i = 0; i < count; ++i)
            known += state(d.get(), commId(i).constData()) == FaxState::Open ? 1 : 0;
        QCOMPARE(known, count);
    }

    // A request no monitor answers is told, not taken for done.
    void unansweredRequestIsTold()
    {
        auto a = desk("alice", QStringLiteral("山田"), broker.url());
        QTRY_VERIFY(connected(a.get()));
        post("000000511", "ﾏﾂﾓﾄ");
        QTRY_VERIFY(open(a.get(), "000000511"));
        monitor.terminate();
        a->askState(a->history()->idOf(key("000000511")), FaxState::Take);
        QTRY_COMPARE(told.size(), 1);
        QVERIFY2(told.first().startsWith(QStringLiteral("FAX モニターから返事がなく、担当は変わっていません（1 件）")), qPrintable(told.join(QLatin1Char('|'))));
        QCOMPARE(state(a.get(), "000000511"), FaxState::Open);
        QVERIFY(monitor.start(monitorConfig()));
        QTRY_VERIFY(monitor.said().contains("states: connected"));
    }

    // Without the broker, a request is refused and said, never kept to go
    // out later; a fax someone has already (its state came first) calls
    // nobody with a notice.
    void requestNeedsTheBroker()
    {
        auto d = desk("alice", QStringLiteral("山田"), QStringLiteral("mqtt://127.0.0.1:1"));
        QTRY_VERIFY(d->notifier() && d->subscription()->isActive());
        d->gate()->take(QStringLiteral("2026/12/08 10:30:00,,0311110000,ﾏﾂﾓﾄ,1,OK"), QStringLiteral("mqtt"), key("000000599"));
        QTRY_VERIFY(d->notifier()->popup() && d->notifier()->popup()->isVisible());
        d->askState(d->history()->idOf(key("000000599")), FaxState::Take);
        QVERIFY2(told.filter(QStringLiteral("MQTT ブローカーに接続していないため、担当を変えられません")).size() == 1, qPrintable(told.join(QLatin1Char('|'))));
        d->notifier()->popup()->hide();
        QTest::qWait(100); // past the gathering of notices
        FaxState taken;
        taken.state = FaxState::Taken;
        taken.user = QStringLiteral("bob");
        Q_EMIT d->subscription()->faxStateChanged(key("000000598"), taken, true);
        d->gate()->take(QStringLiteral("2026/12/08 10:31:00,,0311110000,ｻｲﾄｳ,1,OK"), QStringLiteral("mqtt"), key("000000598"));
        QTRY_VERIFY(d->history()->idOf(key("000000598")) > 0);
        QTest::qWait(100);
        QVERIFY(!d->notifier()->popup()->isVisible());
    }

    // Two offices, their brokers joined by a bridge as the README shows: a
    // fax taken at one office shows taken at the other, and a desk there
    // can take one too.
    void acrossABridge()
    {
        TestSupport::TestBroker branch;
        QVERIFY(branch.addUser(QStringLiteral("bob"), QStringLiteral("bob-secret")));
        QVERIFY(branch.setAcl("pattern write kavrel/fax/+/request/%u/#\nuser bob\ntopic read kavrel/fax/#\n"));
        QVERIFY(branch.addConfig("connection head-office\naddress 127.0.0.1:" + QByteArray::number(broker.port())
                                 + "\nremote_username bridge\nremote_password bridge-secret\n"
                                   "topic kavrel/fax/# both 1\n"));
        QVERIFY(branch.start());
        // The bridge is up once a message said at the head office comes out
        // at the branch; a reception posted before would not get there.
        QProcess probe;
        probe.start(QStringLiteral("mosquitto_sub"),
                    {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(branch.port()),
                     QStringLiteral("-u"), QStringLiteral("bob"), QStringLiteral("-P"), QStringLiteral("bob-secret"),
                     QStringLiteral("-t"), QStringLiteral("kavrel/fax/probe"), QStringLiteral("-C"), QStringLiteral("1")});
        QVERIFY(probe.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(
            (QProcess::execute(QStringLiteral("mosquitto_pub"),
                               {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                                QString::number(broker.port()), QStringLiteral("-u"), TestSupport::TestBroker::user(),
                                QStringLiteral("-P"), TestSupport::TestBroker::password(), QStringLiteral("-t"),
                                QStringLiteral("kavrel/fax/probe"), QStringLiteral("-m"), QStringLiteral("probe")}),
             probe.state() == QProcess::NotRunning),
            20000);
        QCOMPARE(probe.exitCode(), 0);
        auto a = desk("alice", QStringLiteral("山田"), broker.url());
        auto b = desk("bob", QStringLiteral("佐藤"), branch.url());
        QTRY_VERIFY(connected(a.get()) && connected(b.get()));
        post("000000521", "ｲﾉｳｴ");
        post("000000522", "ｴﾝﾄﾞｳ");
        QTRY_VERIFY(open(b.get(), "000000521"));
        QTRY_VERIFY(open(b.get(), "000000522"));
        QTRY_VERIFY(open(a.get(), "000000521"));
        a->askState(a->history()->idOf(key("000000521")), FaxState::Take);
        b->askState(b->history()->idOf(key("000000522")), FaxState::Take);
        QTRY_COMPARE(b->history()->state(key("000000521")).name, QStringLiteral("山田"));
        QTRY_COMPARE(a->history()->state(key("000000522")).name, QStringLiteral("佐藤"));
        QVERIFY(told.isEmpty());
    }
};

QTEST_MAIN(TestInbox)
#include "tst_inbox.moc"
