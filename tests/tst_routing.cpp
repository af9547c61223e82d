// Receptions routed to the departments they are for: the fax monitor's rules
// on the line, the number called, the caller's number and the TSI; a real
// mosquitto whose password and ACL files keep each department's faxes to its
// people; the datagrams of each department; and the kavrel-s links of a
// department's Unix group. Makes a group of its own: root only.

#include "core/monitorprotocol.h"
#include "core/testdelays.h"
#include "receiver/history.h"
#include "receiver/subscription.h"
#include "testsupport.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QSignalSpy>
#include <QtTest>

#include <unistd.h>

#include <tuple>

namespace {

const QString Group = QStringLiteral("kavrel-test-sales");

// RECEIVED SENDER CIDNUMBER CIDNAME PAGES MSG FILE COMMID DEVICE DESTINATION
QList<QByteArray> post(const char *name, const char *tsi, const char *number, const char *device, const char *called)
{
    return {"2026:12:08 09:00:00", tsi, number, name, "1", "", "", "", device, called};
}

QStringList callers(const QSignalSpy &spy)
{
    QStringList found;
    for (const QList<QVariant> &arguments : spy)
        found.append(arguments.at(0).toString().section(QLatin1Char(','), 3, 3));
    found.sort();
    return found;
}

QStringList callers(const QList<QByteArray> &lines)
{
    QStringList found;
    for (const QByteArray &line : lines)
        found.append(QString::fromUtf8(line).section(QLatin1Char(','), 3, 3));
    found.sort();
    return found;
}

} // namespace

class TestRouting : public QObject
{
    Q_OBJECT

    TestSupport::TestBroker broker;
    TestSupport::MonitorProcess monitor;

    ReceiverSettings desk(const char *user, const QStringList &departments, bool documents = false)
    {
        ReceiverSettings settings;
        settings.broker = broker.url();
        settings.user = QLatin1String(user);
        settings.password = QStringLiteral("%1-secret").arg(QLatin1String(user));
        settings.departments = departments;
        settings.documents = documents;
        return settings;
    }

    QByteArray monitorsBroker() { return TestSupport::monitorBrokerConfig(monitor, broker, QStringLiteral("fax1")); }

    // Publishes message on topic as user (kept by the broker with retain);
    // true when mosquitto_pub handed it over.
    bool mosquittoPub(const QString &user, const QString &password, const QString &topic, const QString &message,
                      bool retain = false)
    {
        QStringList arguments{QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                              QString::number(broker.port()), QStringLiteral("-u"), user, QStringLiteral("-P"), password,
                              QStringLiteral("-q"), QStringLiteral("1"), QStringLiteral("-t"), topic, QStringLiteral("-m"), message};
        if (retain)
            arguments << QStringLiteral("-r");
        return QProcess::execute(QStringLiteral("mosquitto_pub"), arguments) == 0;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(broker.missing().isEmpty(), qPrintable(broker.missing()));
        if (::geteuid() != 0)
            QSKIP("makes a Unix group of its own: run as root (run-tests does)");
        // Every account may read the list of departments; each reads its
        // department's faxes, and no other's.
        QVERIFY(broker.addUser(QStringLiteral("alice"), QStringLiteral("alice-secret")));
        QVERIFY(broker.addUser(QStringLiteral("bob"), QStringLiteral("bob-secret")));
        QVERIFY(broker.addUser(QStringLiteral("carol"), QStringLiteral("carol-secret")));
        QVERIFY(broker.setAcl("pattern read kavrel/fax/+/departments\n"
                              "pattern write kavrel/fax/+/request/%u/#\n"
                              "user faxserver\ntopic write kavrel/fax/#\ntopic read kavrel/fax/+/request/#\n"
                              "user alice\ntopic read kavrel/fax/+/sales/#\n"
                              "user bob\ntopic read kavrel/fax/+/payroll/#\n"
                              "user carol\ntopic read kavrel/fax/+/all/#\n"));
        QVERIFY(broker.start());
        QProcess::execute(QStringLiteral("groupdel"), {Group});
        QCOMPARE(QProcess::execute(QStringLiteral("groupadd"), {QStringLiteral("-U"), QStringLiteral("root"), Group}), 0);
        TestDelays::set(QStringLiteral("readcheck=500"));
    }

    void cleanupTestCase()
    {
        QProcess::execute(QStringLiteral("groupdel"), {Group});
    }

    // Each department's people get its faxes, and nobody else's: by the
    // broker (its ACL), as datagrams (its destinations), and on the links
    // of its Unix group; what no rule takes goes to the default department.
    void eachDepartmentGetsItsFaxes()
    {
        TestSupport::UdpReceiver everyone, sales, payroll;
        const QByteArray config = monitorsBroker() + "[Departments]\nsales=営業部\npayroll=給与係\n"
            "[Routes]\n"
            "device ttyACM1 = payroll\n"
            "called 03-1234-0002 = payroll\n"
            "caller 06* = sales\n"
            "tsi +81 3 1111 2222 = sales, payroll\n"
            "[Datagrams]\nDestinations=127.0.0.1:" + QByteArray::number(everyone.port())
            + "\nsales=127.0.0.1:" + QByteArray::number(sales.port())
            + "\npayroll=127.0.0.1:" + QByteArray::number(payroll.port()) + ", 127.0.0.1: " + QByteArray::number(everyone.port())
            + "\n"
            "[Groups]\nsales=" + Group.toUtf8() + "\n";
        QVERIFY(monitor.start(config));
        QTRY_VERIFY2(monitor.said().contains("connected"), monitor.said().constData());
        QVERIFY2(!monitor.said().contains("routing is off"), monitor.said().constData());

        Subscription alice, bob, nosy, carol;
        QSignalSpy aliceGot(&alice, &Subscription::received), bobGot(&bob, &Subscription::received),
            carolGot(&carol, &Subscription::received);
        QSignalSpy told(&nosy, &Subscription::departmentsUnreadable);
        alice.setClientId(QStringLiteral("alice"));
        bob.setClientId(QStringLiteral("bob"));
        nosy.setClientId(QStringLiteral("nosy"));
        carol.setClientId(QStringLiteral("carol"));
        carol.apply(desk("carol", {QStringLiteral("all")}));
        alice.apply(desk("alice", {QStringLiteral("sales")}));
        bob.apply(desk("bob", {QStringLiteral("payroll")}));
        // Alice asks for the payroll's faxes too: she is told she cannot
        // have them, by the department's name.
        nosy.apply(desk("alice", {QStringLiteral("sales"), QStringLiteral("payroll")}));
        QTRY_COMPARE_WITH_TIMEOUT(told.size(), 1, 10000);
        QCOMPARE(told.first().first().toStringList(), QStringList{QStringLiteral("給与係")});
        QCOMPARE(alice.departmentNames().value(QStringLiteral("payroll")), QStringLiteral("給与係"));
        auto link = monitor.link();
        QVERIFY(link);

        QString error;
        for (const QList<QByteArray> &fields :
             {post("LINE1", "", "0311110000", "ttyACM1", ""), post("CALLED", "", "0311110001", "ttyACM0", "0312340002"),
              post("OSAKA", "", "0612345678", "ttyACM0", ""), post("BOTH", "+81311112222", "", "ttyACM0", ""),
              post("NOBODY", "", "0311119999", "ttyACM0", "0312340001")})
            QVERIFY2(MonitorProtocol::post(monitor.folder(), fields, 5000, &error), qPrintable(error));
        QTRY_COMPARE(everyone.datagrams().size(), 5);
        QTRY_COMPARE(callers(sales.datagrams()), (QStringList{QStringLiteral("BOTH"), QStringLiteral("OSAKA")}));
        QTRY_COMPARE(callers(payroll.datagrams()),
                     (QStringList{QStringLiteral("BOTH"), QStringLiteral("CALLED"), QStringLiteral("LINE1")}));
        QTRY_COMPARE(callers(aliceGot), (QStringList{QStringLiteral("BOTH"), QStringLiteral("OSAKA")}));
        QTRY_COMPARE(callers(bobGot), (QStringList{QStringLiteral("BOTH"), QStringLiteral("CALLED"), QStringLiteral("LINE1")}));
        QCOMPARE(aliceGot.first().at(3).toString(), QStringLiteral("sales"));
        // The link of a user in the sales department's group.
        QCOMPARE(callers(TestSupport::MonitorProcess::readLines(link.get(), 2)),
                 (QStringList{QStringLiteral("BOTH"), QStringLiteral("OSAKA")}));
        // Whatever comes after: the next line the link reads is sales's.
        QVERIFY(MonitorProtocol::post(monitor.folder(), post("LAST", "", "0698765432", "", ""), 5000, &error));
        QCOMPARE(callers(TestSupport::MonitorProcess::readLines(link.get(), 1)), QStringList{QStringLiteral("LAST")});
        // What no rule takes goes to the default department's people alone;
        // a destination of every reception that is a department's too gets
        // each reception once.
        QTRY_COMPARE(callers(carolGot), QStringList{QStringLiteral("NOBODY")});
        QVERIFY(!callers(aliceGot).contains(QStringLiteral("NOBODY")) && !callers(bobGot).contains(QStringLiteral("NOBODY")));
        QCOMPARE(everyone.datagrams().size(), 6);
    }

    // A document on a department's topic reaches its people, and the ACL
    // keeps it from anyone else's (alice, who takes both, gets sales's).
    void documentsOnlyToTheirDepartment()
    {
        Subscription alice, bob;
        QSignalSpy aliceGot(&alice, &Subscription::document), bobGot(&bob, &Subscription::document);
        alice.setClientId(QStringLiteral("alice-documents"));
        bob.setClientId(QStringLiteral("bob-documents"));
        alice.apply(desk("alice", {QStringLiteral("sales"), QStringLiteral("payroll")}, true));
        bob.apply(desk("bob", {QStringLiteral("payroll")}, true));
        int commId = 100;
        const auto publish = [&](const char *department) {
            return mosquittoPub(TestSupport::TestBroker::user(), TestSupport::TestBroker::password(),
                                QStringLiteral("kavrel/fax/fax1/%1/document/%2").arg(QLatin1String(department)).arg(++commId),
                                QStringLiteral("%PDF-1.4"));
        };
        // Until both take documents (their connections come up in their time).
        QTRY_VERIFY_WITH_TIMEOUT(publish("sales") && !aliceGot.isEmpty(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(publish("payroll") && !bobGot.isEmpty(), 10000);
        const qsizetype aliceHad = aliceGot.size();
        QVERIFY(publish("payroll"));
        QVERIFY(publish("sales"));
        QTRY_COMPARE(aliceGot.size(), aliceHad + 1);
        QTRY_VERIFY(bobGot.last().first().toString() == QStringLiteral("fax1/%1").arg(commId - 1));
        for (const QList<QVariant> &got : std::as_const(aliceGot))
            QVERIFY(got.first().toString() != QStringLiteral("fax1/%1").arg(commId - 1));
    }

    // The whole road: HylaFAX's own faxrcvd on two lines, the monitor making
    // each fax's document and routing it on the line, the broker with its
    // ACL, and kavrel-r of each department: each history has its
    // department's fax, with its document, and not the other's.
    void desktopsOfTwoDepartments()
    {
        TestSupport::HylaFaxSpool spool;
        if (!spool.missing().isEmpty())
            QSKIP(qPrintable(QStringLiteral("needs ") + spool.missing()));
        QVERIFY(monitor.start(monitorsBroker() + "[Documents]\nPublish=true\nSpool="
                                  + QFile::encodeName(spool.path()) + "\nFaxUser=uucp\n"
                                  "[Departments]\nsales=営業部\npayroll=給与係\n[Routes]\ndevice ttyS1 = payroll\ndevice ttyS0 = sales\n",
                              TestSupport::MonitorProcess::DefaultDelays, {QStringLiteral("--poster"), QStringLiteral("uucp")}));
        QTRY_VERIFY(monitor.said().count("connected to the broker") >= 2);
        QVERIFY(spool.useHook(monitor.folder()));
        QVERIFY(spool.makeFax(QStringLiteral("fax00001.tif"), 1));
        QVERIFY(spool.makeFax(QStringLiteral("fax00002.tif"), 2));

        // Each desk in folders of its own, with the broker's account of its
        // department and the documents taken; payroll's as another Unix
        // user (nobody), as two desks are.
        struct Desk {
            QTemporaryDir home;
            std::unique_ptr<TestSupport::Program> program;
            QString history() const { return home.filePath(QStringLiteral("data/kavrel-r/history.sqlite")); }
        };
        Desk sales, payroll;
        for (auto [desk, user, department] : {std::tuple{&sales, "alice", "sales"}, std::tuple{&payroll, "bob", "payroll"}}) {
            QVERIFY(QDir().mkpath(desk->home.filePath(QStringLiteral("config/Kavrel"))));
            QFile settings(desk->home.filePath(QStringLiteral("config/Kavrel/kavrel-r.conf")));
            QVERIFY(settings.open(QIODevice::WriteOnly));
            QUdpSocket probe;
            QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
            settings.write("[Receive]\nPort=" + QByteArray::number(probe.localPort()) + "\n[MQTT]\nBroker="
                           + broker.url().toUtf8() + "\nUser=" + user + "\nPassword=" + user + "-secret\nRoot=kavrel/fax\n"
                           "Documents=true\nDepartments=" + department + "\n");
            settings.close();
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            for (const char *folder : {"config", "data", "cache", "runtime"}) {
                QDir().mkpath(desk->home.filePath(QLatin1String(folder)));
                QFile::setPermissions(desk->home.filePath(QLatin1String(folder)),
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
            }
            environment.insert(QStringLiteral("XDG_CONFIG_HOME"), desk->home.filePath(QStringLiteral("config")));
            environment.insert(QStringLiteral("XDG_DATA_HOME"), desk->home.filePath(QStringLiteral("data")));
            environment.insert(QStringLiteral("XDG_CACHE_HOME"), desk->home.filePath(QStringLiteral("cache")));
            environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), desk->home.filePath(QStringLiteral("runtime")));
            environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent"));
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
            QStringList wrapper;
            if (desk == &payroll) {
                QCOMPARE(QProcess::execute(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("65534:65534"), desk->home.path()}), 0);
                wrapper = QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                      QStringLiteral("--clear-groups")};
            }
            desk->program = std::make_unique<TestSupport::Program>(QStringLiteral(KAVREL_RECEIVER), QStringList(), environment, wrapper);
        }
        QTRY_VERIFY_WITH_TIMEOUT(sales.program->said().contains("documents: connected")
                                     && payroll.program->said().contains("documents: connected"),
                                 15000);
        QCOMPARE(spool.faxrcvd(QStringLiteral("fax00001.tif"), QStringLiteral("000000201"), QString(), QStringLiteral("ttyS0")), 0);
        QCOMPARE(spool.faxrcvd(QStringLiteral("fax00002.tif"), QStringLiteral("000000202"), QString(), QStringLiteral("ttyS1")), 0);
        const auto kept = [](const Desk &desk) {
            History history(desk.history());
            QStringList found;
            if (history.open()) {
                for (const History::Entry &entry : history.entries())
                    found.append(QStringLiteral("%1 %2 %3").arg(entry.commId.section(QLatin1Char('/'), 1), entry.department,
                                                              entry.document.isEmpty() ? QStringLiteral("-") : QStringLiteral("pdf")));
            }
            return found;
        };
        QTRY_COMPARE_WITH_TIMEOUT(kept(sales), QStringList{QStringLiteral("000000201 sales pdf")}, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(kept(payroll), QStringList{QStringLiteral("000000202 payroll pdf")}, 20000);
    }

    // The fax's one state, decided by the monitor that received it: the
    // first to take it has it, a second is refused; a request under
    // another's name never reaches the monitor (the broker's ACL); the
    // state is kept by the broker for its department's people, and by the
    // monitor over its restart.
    void statesDecidedByTheMonitor()
    {
        const QByteArray config = monitorsBroker() + "States=true\n[Departments]\npayroll=給与係\n[Routes]\ndevice ttyACM1 = payroll\n";
        QVERIFY(monitor.start(config));
        QTRY_VERIFY(monitor.said().contains("states: connected"));
        QString error;
        QVERIFY2(MonitorProtocol::post(monitor.folder(),
                                       {"2026:12:08 09:30:00", "", "0311110000", "STATE", "1", "", "", "000000301", "ttyACM1", ""},
                                       5000, &error),
                 qPrintable(error));
        const auto ask = [this](const char *user, const char *as, const char *request, bool kept = false) {
            return mosquittoPub(QLatin1String(user), QStringLiteral("%1-secret").arg(QLatin1String(user)),
                                QStringLiteral("kavrel/fax/fax1/request/%1/000000301").arg(QLatin1String(as)),
                                QString::fromUtf8(request), kept);
        };
        const auto kept = [this] {
            QProcess subscriber;
            subscriber.start(QStringLiteral("mosquitto_sub"),
                             {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(broker.port()),
                              QStringLiteral("-u"), QStringLiteral("bob"), QStringLiteral("-P"), QStringLiteral("bob-secret"),
                              QStringLiteral("-t"), QStringLiteral("kavrel/fax/fax1/payroll/state/000000301"),
                              QStringLiteral("-C"), QStringLiteral("1"), QStringLiteral("-W"), QStringLiteral("5")});
            subscriber.waitForFinished(10000);
            return QJsonDocument::fromJson(subscriber.readAllStandardOutput()).object();
        };
        QTRY_COMPARE(kept().value(QStringLiteral("state")).toString(), QStringLiteral("open"));
        // Alice, as bob: the broker passes nothing on.
        QVERIFY(ask("alice", "bob", "{\"action\":\"done\",\"name\":\"偽物\"}"));
        // Bob's asks to be kept by the broker, too: a request kept is taken
        // once, as it comes, never again at a later connection.
        QVERIFY(ask("bob", "bob", "{\"action\":\"take\",\"name\":\"佐藤\"}", true));
        QTRY_VERIFY(monitor.said().contains("000000301: taken by bob"));
        QVERIFY(ask("alice", "alice", "{\"action\":\"take\",\"name\":\"山田\"}"));
        QTRY_VERIFY(monitor.said().contains("alice asked to take 000000301, which 佐藤 has"));
        QVERIFY(!monitor.said().contains("done by bob"));
        QCOMPARE(kept().value(QStringLiteral("name")).toString(), QStringLiteral("佐藤"));
        // The monitor started again still has it, and leaves the kept
        // request alone.
        QVERIFY(monitor.start(config));
        QTRY_VERIFY(monitor.said().contains("states: connected"));
        QTRY_VERIFY(monitor.said().contains("refused a request kept by the broker"));
        QVERIFY(ask("alice", "alice", "{\"action\":\"done\"}"));
        QTRY_VERIFY(monitor.said().contains("alice asked to make 000000301 done, which 佐藤 has"));
    }
};

QTEST_GUILESS_MAIN(TestRouting)
#include "tst_routing.moc"
