// The shared inbox: from a desk's request (担当する) until another desk has the
// new state, beside the floor measured in the same run through the same
// broker (one publish and one delivery, twice: a ping and its answer); and
// the fax monitor's memory with 100,000 states kept, said again at a
// connection.
//   inboxbench [--quick]

#include "benchsupport.h"
#include "core/faxstate.h"
#include "core/monitorprotocol.h"
#include "core/topics.h"
#include "faxmonitor/statekeeper.h"
#include "mqtt/mqttclient.h"
#include "receiver/subscription.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {

// Runs the event loop until done() or timeout milliseconds, sleeping until
// something happens (a spinning loop would take a core from the monitor and
// the broker it measures).
bool waitFor(const std::function<bool()> &done, int timeout = 10000)
{
    QElapsedTimer clock;
    clock.start();
    QTimer tick; // wakes the loop to look at the time
    tick.start(20);
    while (!done()) {
        if (clock.hasExpired(timeout))
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

MqttClient::Options brokerOptions(const TestSupport::TestBroker &broker, const QString &id)
{
    MqttClient::Options options;
    QString error;
    MqttClient::parseUrl(broker.url(), &options, &error);
    options.user = TestSupport::TestBroker::user();
    options.password = TestSupport::TestBroker::password();
    options.clientId = id;
    return options;
}

ReceiverSettings desk(const TestSupport::TestBroker &broker, const char *name)
{
    ReceiverSettings settings;
    settings.broker = broker.url();
    settings.user = TestSupport::TestBroker::user();
    settings.password = TestSupport::TestBroker::password();
    settings.displayName = QLatin1String(name);
    return settings;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int rounds = quick ? 50 : 300;
    TestSupport::TestBroker broker;
    // Its messages go out as they are written too (else the floor measures
    // Nagle's rule against delayed acknowledgements, some 40 ms a hop).
    if (!broker.missing().isEmpty() || !broker.addConfig("set_tcp_nodelay true\n") || !broker.start()) {
        std::fprintf(stderr, "inboxbench: no broker (%s)\n", qPrintable(broker.missing()));
        return 1;
    }

    // The floor: a ping published by one client, answered by another as it
    // comes, the answer delivered back.
    MqttClient pinger(brokerOptions(broker, QStringLiteral("bench-ping")));
    MqttClient answerer(brokerOptions(broker, QStringLiteral("bench-answer")));
    pinger.subscribe(QStringLiteral("bench/pong"));
    answerer.subscribe(QStringLiteral("bench/ping"));
    bool pingerUp = false, answererUp = false;
    QObject::connect(&pinger, &MqttClient::stateChanged, [&](const QString &, bool up) { pingerUp = up; });
    QObject::connect(&answerer, &MqttClient::stateChanged, [&](const QString &, bool up) { answererUp = up; });
    QObject::connect(&answerer, &MqttClient::messagesWaiting, [&] {
        for (const MqttClient::Message &message : answerer.takeMessages(100))
            answerer.publish(QStringLiteral("bench/pong"), message.payload);
    });
    // Timed as it is taken, as the desks' states are.
    int pongs = 0;
    bench::Clock::time_point ponged;
    QObject::connect(&pinger, &MqttClient::messagesWaiting, [&] {
        pongs += int(pinger.takeMessages(100).size());
        ponged = bench::Clock::now();
    });
    pinger.start();
    answerer.start();
    if (!waitFor([&] { return pingerUp && answererUp; })) {
        std::fprintf(stderr, "inboxbench: the floor's clients did not connect\n");
        return 1;
    }
    bench::sleepFor(300); // the subscriptions made
    std::vector<double> floor;
    for (int i = 0; i < rounds; ++i) {
        const int before = pongs;
        const auto start = bench::Clock::now();
        pinger.publish(QStringLiteral("bench/ping"), QByteArray::number(i));
        if (!waitFor([&] { return pongs > before; }, 5000)) {
            std::fprintf(stderr, "inboxbench: a ping was not answered\n");
            return 1;
        }
        floor.push_back(bench::millisecondsBetween(start, ponged));
    }

    // The road: desk A asks, the monitor decides, desk B hears.
    TestSupport::MonitorProcess monitor;
    const QByteArray config = TestSupport::monitorBrokerConfig(monitor, broker, QStringLiteral("fax1")) + "States=true\n";
    if (!monitor.start(config) || !waitFor([&] { return monitor.said().contains("states: connected"); })) {
        std::fprintf(stderr, "inboxbench: the fax monitor did not start\n");
        return 1;
    }
    Subscription a, b;
    a.setClientId(QStringLiteral("bench-desk-a"));
    b.setClientId(QStringLiteral("bench-desk-b"));
    QHash<QString, FaxState> seenByA, seenByB;
    QHash<QString, bench::Clock::time_point> heardByB;
    QObject::connect(&a, &Subscription::faxStateChanged, [&](const QString &key, const FaxState &state, bool) { seenByA.insert(key, state); });
    QObject::connect(&b, &Subscription::faxStateChanged, [&](const QString &key, const FaxState &state, bool) {
        seenByB.insert(key, state);
        if (state.state == FaxState::Taken)
            heardByB.insert(key, bench::Clock::now());
    });
    a.apply(desk(broker, "A"));
    b.apply(desk(broker, "B"));
    bench::sleepFor(100);
    if (!waitFor([&] { return a.state().startsWith(QStringLiteral("connected")) && b.state().startsWith(QStringLiteral("connected")); })) {
        std::fprintf(stderr, "inboxbench: the desks did not connect\n");
        return 1;
    }
    bench::sleepFor(300);
    std::vector<double> road;
    for (int i = 0; i < rounds; ++i) {
        const QByteArray commId = QByteArray::number(700000000 + i);
        const QString key = Subscription::faxKey(QStringLiteral("fax1"), QString::fromLatin1(commId));
        QString error;
        if (!MonitorProtocol::post(monitor.folder(), {"2026:12:08 10:30:00", "", "0311110000", "BENCH", "1", "", "", commId, "ttyS0", ""},
                                   5000, &error)
            || !waitFor([&] { return seenByA.value(key).isKnown() && seenByB.value(key).isKnown(); })) {
            std::fprintf(stderr, "inboxbench: fax %s did not reach both desks (%s)\n", commId.constData(), qPrintable(error));
            return 1;
        }
        const auto start = bench::Clock::now();
        if (!a.request(key, FaxState::Take, QString(), &error) || !waitFor([&] { return heardByB.contains(key); }, 5000)) {
            std::fprintf(stderr, "inboxbench: desk B did not hear that A took %s (%s)\n", commId.constData(), qPrintable(error));
            return 1;
        }
        road.push_back(bench::millisecondsBetween(start, heardByB.value(key)));
    }
    const auto floorMs = bench::percentiles(floor);
    const auto roadMs = bench::percentiles(road);
    std::printf("\nA desk's 担当する until another desk has the state (%d faxes, the monitor deciding), beside one publish\n"
                "and one delivery twice through the same broker:\n\n", rounds);
    std::printf("%-44s %10s %10s\n", "", "p50 ms", "p99 ms");
    std::printf("%-44s %10s %10s\n", "floor: ping and its answer", bench::number(floorMs.first, 2).c_str(),
                bench::number(floorMs.second, 2).c_str());
    std::printf("%-44s %10s %10s\n", "request -> state at the other desk", bench::number(roadMs.first, 2).c_str(),
                bench::number(roadMs.second, 2).c_str());
    std::printf("%-44s %10s %10s   (goal: at most 2)\n", "ratio", bench::number(roadMs.first / floorMs.first, 2).c_str(),
                bench::number(roadMs.second / floorMs.second, 2).c_str());
    monitor.terminate();

    // 100,000 states kept: the monitor's memory when it says them all again
    // as it connects.
    const int faxes = quick ? 20000 : StateKeeper::MaxFaxes;
    TestSupport::MonitorProcess kept;
    {
        StateKeeper keeper;
        QString error;
        if (!keeper.open(kept.path(QStringLiteral("states.sqlite")), &error)) {
            std::fprintf(stderr, "inboxbench: %s\n", qPrintable(error));
            return 1;
        }
        keeper.batch([&] {
            for (int i = 0; i < faxes; ++i) {
                Reception reception;
                reception.commId = QString::number(800000000 + i);
                keeper.add(reception, {Topics::defaultDepartment()});
            }
        });
    }
    const QByteArray keptConfig = TestSupport::monitorBrokerConfig(kept, broker, QStringLiteral("fax2")) + "States=true\n";
    const auto started = bench::Clock::now();
    if (!kept.start(keptConfig) || !waitFor([&] { return kept.said().contains("states: connected"); }, 60000)) {
        std::fprintf(stderr, "inboxbench: the fax monitor with %d states did not start\n", faxes);
        return 1;
    }
    // Said again: every state reaches a subscriber.
    int said = 0;
    MqttClient counter(brokerOptions(broker, QStringLiteral("bench-count")));
    counter.subscribe(QStringLiteral("kavrel/fax/fax2/+/state/+"));
    QObject::connect(&counter, &MqttClient::messagesWaiting, [&] {
        said += int(counter.takeMessages(MqttClient::MaxIncoming).size());
        QTimer::singleShot(0, &counter, [&] { said += int(counter.takeMessages(MqttClient::MaxIncoming).size()); });
    });
    counter.start();
    waitFor([&] { return said >= faxes; }, 120000);
    const double sayAllSeconds = bench::millisecondsBetween(started, bench::Clock::now()) / 1000;
    const pid_t pid = pid_t(kept.process().processId());
    std::printf("\nThe fax monitor with %d states kept, said again at its connection (%d reached a subscriber in %.1f s):\n"
                "  resident now %.1f MB, at most %.1f MB; the file %.1f MB\n",
                faxes, said, sayAllSeconds, bench::residentMegabytes(pid), bench::residentMegabytes(pid, "VmHWM:"),
                QFile(kept.path(QStringLiteral("states.sqlite"))).size() / 1e6);
    kept.terminate();
    return 0;
}
