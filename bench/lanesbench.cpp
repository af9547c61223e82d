// A reception while documents flow: how late does it reach a desktop that
// takes documents too, when the office's link is slow? Between the
// publishers and a local mosquitto, and between mosquitto and the
// subscribers, stands a link of 20 Mbit/s each way, shared fairly by the
// connections on it (as a network shares a line between TCP connections).
// The monitor's side publishes as Relays does (receptions and documents on
// connections of their own, the layout's topics) and the desktop is
// kavrel-r's own Subscription; beside it, the same with one connection at
// each end, as 1.1 had it. Each reception is published 50 ms after a 5 MiB
// document, and measured from its publication until the subscriber has it;
// the same with no documents is the baseline.
//
//   lanesbench [--quick]
//
// Run by ./run-bench. Not part of the tests.

#include "benchsupport.h"
#include "core/topics.h"
#include "mqtt/mqttclient.h"
#include "receiver/subscription.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <deque>
#include <map>

using namespace bench;

namespace {

constexpr qint64 LinkBitsPerSecond = 20'000'000;
constexpr int DocumentBytes = 5 * 1024 * 1024;

// A TCP link of a given rate each way, shared round robin by the
// connections through it, a segment at a time.
class SlowLink : public QObject
{
public:
    SlowLink(quint16 brokerPort, qint64 bitsPerSecond)
        : m_brokerPort(brokerPort)
        , m_bytesPerTick(bitsPerSecond / 8 / 1000)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *client = m_server.nextPendingConnection()) {
                auto *broker = new QTcpSocket(this);
                broker->connectToHost(QHostAddress::LocalHost, m_brokerPort);
                m_pipes.push_back({client, broker, {}, {}});
                const size_t index = m_pipes.size() - 1;
                connect(client, &QTcpSocket::readyRead, this, [this, index] {
                    m_pipes[index].up += m_pipes[index].client->readAll();
                });
                connect(broker, &QTcpSocket::readyRead, this, [this, index] {
                    m_pipes[index].down += m_pipes[index].broker->readAll();
                });
                for (QTcpSocket *end : {client, broker})
                    connect(end, &QTcpSocket::disconnected, this, [this, index] { close(index); });
            }
        });
        m_tick.setTimerType(Qt::PreciseTimer);
        connect(&m_tick, &QTimer::timeout, this, [this] {
            // Milliseconds of the link since the last turn.
            const qint64 now = m_clock.elapsed();
            const qint64 ticks = std::min<qint64>(now - m_last, 20);
            m_last = now;
            share(ticks * m_bytesPerTick, &Pipe::up, &Pipe::broker);
            share(ticks * m_bytesPerTick, &Pipe::down, &Pipe::client);
        });
        m_clock.start();
        m_tick.start(1);
    }
    ~SlowLink() override
    {
        for (Pipe &pipe : m_pipes) {
            for (QTcpSocket *end : {pipe.client, pipe.broker}) {
                if (end)
                    end->disconnect(this);
            }
        }
    }
    quint16 port() const { return m_server.serverPort(); }

private:
    struct Pipe {
        QTcpSocket *client;
        QTcpSocket *broker;
        QByteArray up;   // from the client, for the broker
        QByteArray down; // from the broker, for the client
    };

    void close(size_t index)
    {
        Pipe &pipe = m_pipes[index];
        for (QTcpSocket *end : {pipe.client, pipe.broker}) {
            if (end) {
                end->disconnect(this);
                end->abort();
                end->deleteLater();
            }
        }
        pipe = Pipe{nullptr, nullptr, {}, {}};
    }

    void share(qint64 budget, QByteArray Pipe::*buffer, QTcpSocket *Pipe::*to)
    {
        constexpr qint64 Segment = 1460;
        bool moved = true;
        while (budget > 0 && moved) {
            moved = false;
            for (Pipe &pipe : m_pipes) {
                QByteArray &waiting = pipe.*buffer;
                if (waiting.isEmpty() || !(pipe.*to) || budget <= 0)
                    continue;
                const qint64 bytes = std::min<qint64>({Segment, budget, waiting.size()});
                (pipe.*to)->write(waiting.constData(), bytes);
                waiting.remove(0, bytes);
                budget -= bytes;
                moved = true;
            }
        }
    }

    quint16 m_brokerPort;
    qint64 m_bytesPerTick;
    QTcpServer m_server;
    std::deque<Pipe> m_pipes;
    QTimer m_tick;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
};

bool processUntil(const std::function<bool()> &done, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > milliseconds)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

MqttClient::Options options(quint16 port, const QString &clientId)
{
    MqttClient::Options options;
    options.host = QStringLiteral("127.0.0.1");
    options.port = port;
    options.user = TestSupport::TestBroker::user();
    options.password = TestSupport::TestBroker::password();
    options.clientId = clientId;
    return options;
}

struct Result {
    std::vector<double> latencies;
    int lost = 0;
};

// rounds receptions, each 50 ms after a document when documents is set;
// lanes: the monitor and the desktop with a connection for documents of
// their own.
Result run(quint16 linkPort, bool lanes, bool documents, int rounds)
{
    const QString root = Topics::defaultRoot();
    static int runs = 0;
    const QString id = QStringLiteral("bench%1").arg(++runs);
    MqttClient receptions(options(linkPort, id + QStringLiteral("-monitor")));
    MqttClient bulk(options(linkPort, id + QStringLiteral("-monitor-documents")));
    MqttClient *documentPublisher = lanes ? &bulk : &receptions;

    // The desktop: kavrel-r's own subscription, or one connection for all.
    std::map<QString, Clock::time_point> arrived;
    Subscription subscription;
    MqttClient single(options(linkPort, id + QStringLiteral("-desktop")));
    int documentsTaken = 0;
    if (lanes) {
        QObject::connect(&subscription, &Subscription::received, &subscription,
                         [&arrived](const QString &text, const QString &, const QString &) { arrived[text] = Clock::now(); });
        QObject::connect(&subscription, &Subscription::document, &subscription,
                         [&documentsTaken](const QString &, const QByteArray &) { ++documentsTaken; });
        ReceiverSettings settings;
        settings.broker = QStringLiteral("mqtt://127.0.0.1:%1").arg(linkPort);
        settings.user = TestSupport::TestBroker::user();
        settings.password = TestSupport::TestBroker::password();
        settings.documents = true;
        subscription.apply(settings);
    } else {
        single.subscribe(Topics::filter(root, Topics::Kind::Reception));
        single.subscribe(Topics::filter(root, Topics::Kind::Document));
        QObject::connect(&single, &MqttClient::messagesWaiting, &single, [&] {
            for (const MqttClient::Message &message : single.takeMessages(1000)) {
                if (Topics::parse(root, message.topic).kind == Topics::Kind::Reception)
                    arrived[QString::fromUtf8(message.payload)] = Clock::now();
                else
                    ++documentsTaken;
            }
        });
        single.start();
    }
    receptions.start();
    if (lanes)
        bulk.start();
    // Connected and subscribed: a first reception comes through (one sent
    // before the subscription was made is lost, so again until one does).
    const QString topic = Topics::reception(root, QStringLiteral("bench"), Topics::defaultDepartment());
    Result result;
    QElapsedTimer waited;
    waited.start();
    while (arrived.count(QStringLiteral("ready")) == 0 && waited.elapsed() < 20000) {
        receptions.publish(topic, "ready");
        processUntil([&] { return arrived.count(QStringLiteral("ready")) > 0; }, 200);
    }
    if (arrived.count(QStringLiteral("ready")) == 0) {
        std::fprintf(stderr, "lanesbench: the subscriber is not ready\n");
        result.lost = rounds;
        return result;
    }
    const QByteArray document(DocumentBytes, 'D');
    for (int i = 0; i < rounds; ++i) {
        const int documentsBefore = documentsTaken;
        if (documents) {
            documentPublisher->publish(Topics::document(root, QStringLiteral("bench"), Topics::defaultDepartment(),
                                                        QString::number(i)),
                                       document);
            processUntil([] { return false; }, 50);
        }
        const QString text = QStringLiteral("reception %1").arg(i);
        const Clock::time_point sent = Clock::now();
        receptions.publish(topic, text.toUtf8());
        if (!processUntil([&] { return arrived.count(text) > 0; }, 30000)) {
            ++result.lost;
            continue;
        }
        result.latencies.push_back(millisecondsBetween(sent, arrived[text]));
        // The document through too before the next round.
        if (documents)
            processUntil([&] { return documentsTaken > documentsBefore; }, 30000);
    }
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    const int rounds = quick ? 5 : 20;
    TestSupport::TestBroker broker;
    if (!broker.missing().isEmpty() || !broker.start()) {
        std::fprintf(stderr, "lanesbench: needs mosquitto (%s)\n", qPrintable(broker.missing()));
        return 1;
    }
    SlowLink link(broker.port(), LinkBitsPerSecond);
    std::printf("\nA reception's latency to the desktop over a %lld Mbit/s link, %d rounds (a %d MiB document 50 ms "
                "before each, or none)\n",
                LinkBitsPerSecond / 1000000, rounds, DocumentBytes >> 20);
    std::printf("%-44s %10s %10s %6s\n", "", "p50 ms", "max ms", "lost");
    for (const bool lanes : {false, true}) {
        for (const bool documents : {false, true}) {
            const Result result = run(link.port(), lanes, documents, rounds);
            const auto [p50, p99] = percentiles(result.latencies);
            (void)p99;
            const double worst = result.latencies.empty() ? 0 : *std::max_element(result.latencies.cbegin(), result.latencies.cend());
            std::printf("%-44s %10.1f %10.1f %6d\n",
                        qPrintable(QStringLiteral("%1, %2").arg(lanes ? QStringLiteral("a connection for documents")
                                                                      : QStringLiteral("one connection (1.1)"),
                                                                documents ? QStringLiteral("documents flowing")
                                                                          : QStringLiteral("no documents"))),
                        p50, worst, result.lost);
            std::fflush(stdout);
        }
    }
    return 0;
}
