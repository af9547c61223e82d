// kavrel-r measured, next to the least a receiver can do (refreceiver: a
// socket and one call to the notification service): the time from a
// datagram to its notice and to its row in the history's file; its CPU per
// reception from the first to the 30,000th and in a burst; what a burst of
// 20,000 leaves counted; its private memory; how soon it answers while
// receptions pour in; how soon the history window opens on 10,000 rows; and
// what a history file far over the bounds (left by an older version) costs
// at start: how long the program's loop stands still, how soon the file is
// within the bounds, its size before and after, and the memory it took.
// The bench stands for the desktop's notification service, on a private
// session bus, and the programs run on the offscreen platform.
//
//   receiverbench [--quick | --history]
//
// Run by ./run-bench. Not part of the tests.

#include "receiversupport.h"
#include "receiver/history.h"
#include "receiver/ui/historywindow.h"
#include "testsupport.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDBusConnection>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>
#include <QVariantMap>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>

#include <atomic>
#include <map>
#include <mutex>

using namespace bench;

namespace {

class Sender
{
public:
    explicit Sender(quint16 port)
        : m_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        m_to.sin_family = AF_INET;
        m_to.sin_port = htons(port);
        m_to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int size = 4 * 1024 * 1024;
        setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    ~Sender() { close(m_fd); }
    // A reception whose caller's name carries the sample's number.
    bool send(int sample)
    {
        const std::string line = "2026/12/07 06:38:44,,0312345678,B" + std::to_string(sample) + ",1,OK";
        return sendto(m_fd, line.data(), line.size(), 0, reinterpret_cast<const sockaddr *>(&m_to), sizeof m_to)
            == ssize_t(line.size());
    }

private:
    int m_fd;
    sockaddr_in m_to{};
};

// Private memory of a process (its heap and stacks), in megabytes.
double anonymousMegabytes(qint64 pid)
{
    return statusKb(pid_t(pid), "RssAnon:") / 1024.0;
}

// When the history's file was last written to (its write-ahead log), as
// inotify says.
class Commits
{
public:
    explicit Commits(const QString &folder)
        : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        QDir().mkpath(folder);
        inotify_add_watch(m_fd, QFile::encodeName(folder).constData(), IN_MODIFY);
        m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this] {
            char buffer[4096];
            while (read(m_fd, buffer, sizeof buffer) > 0)
                last = Clock::now();
        });
    }
    ~Commits() { close(m_fd); }
    Clock::time_point last;

private:
    int m_fd;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

// How long the receiver's event loop takes to answer: a line on its
// one-copy socket, which it reads and hangs up on.
class Pinger
{
public:
    explicit Pinger(const QString &socketPath)
        : m_path(QFile::encodeName(socketPath).toStdString())
        , m_thread([this] { run(); })
    {
    }
    ~Pinger()
    {
        m_stop = true;
        m_thread.join();
    }
    std::vector<double> rounds()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_rounds;
    }

private:
    void run()
    {
        while (!m_stop) {
            const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, m_path.c_str(), sizeof address.sun_path - 1);
            const auto start = Clock::now();
            if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
                && ::write(fd, "ping\n", 5) == 5) {
                pollfd ready{fd, POLLIN, 0};
                char byte;
                if (poll(&ready, 1, 10000) > 0 && ::read(fd, &byte, 1) == 0) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_rounds.push_back(millisecondsBetween(start, Clock::now()));
                }
            }
            close(fd);
            sleepFor(20);
        }
    }

    std::string m_path;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<double> m_rounds;
    std::thread m_thread;
};

struct Latency
{
    std::pair<double, double> notice;
    std::pair<double, double> commit;
    size_t lost = 0;
};

Latency measureLatency(Notices &notices, const QString &program, const QStringList &arguments, const QString &bus,
                       int samples, bool history)
{
    const quint16 port = freePort();
    Receiver receiver(program, arguments, bus, port);
    Commits commits(receiver.folder("data") + QStringLiteral("/kavrel-r"));
    Sender sender(port);
    processFor(1500); // the start-up
    notices.arrived.clear();
    std::vector<double> notice, commit;
    Latency latency;
    for (int i = 0; i < samples; ++i) {
        const auto sent = Clock::now();
        sender.send(i);
        if (!processUntil([&] { return notices.arrived.count(i) > 0; }, 2000)) {
            ++latency.lost;
            continue;
        }
        notice.push_back(millisecondsBetween(sent, notices.arrived[i]));
        if (history && commits.last > sent)
            commit.push_back(millisecondsBetween(sent, commits.last));
        processFor(5);
    }
    latency.notice = percentiles(notice);
    latency.commit = percentiles(commit);
    return latency;
}

struct Load
{
    std::vector<double> usPerReception; // per thousand, in order
    double burstUsPerReception = 0;
    size_t burstSent = 0;
    size_t burstKept = 0;  // in the history
    size_t burstDropped = 0; // counted and told
    double memoryStart = 0, memoryAfter10k = 0, memoryAfterFlood = 0;
    double pingMax = 0, pingP99 = 0;
};

// How many receptions the history has taken in all: the newest's number
// (the history numbers them in order, and lets the oldest go).
qint64 historyTaken(const QString &path)
{
    qint64 taken = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench"));
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        QSqlQuery query(db);
        if (db.open() && query.exec(QStringLiteral("SELECT COALESCE(MAX(id), 0) FROM receptions")) && query.next())
            taken = query.value(0).toLongLong();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench"));
    return taken;
}

Load measureLoad(const QString &program, const QStringList &arguments, const QString &bus, int steady, int burst,
                 bool kavrel)
{
    const quint16 port = freePort();
    Receiver receiver(program, arguments, bus, port);
    Sender sender(port);
    processFor(2000);
    Load load;
    load.memoryStart = anonymousMegabytes(receiver.pid());
    std::unique_ptr<Pinger> pinger;
    if (kavrel)
        pinger = std::make_unique<Pinger>(receiver.folder("runtime") + QStringLiteral("/kavrel-r.instance"));
    // Steady: 3000 a second, a thousand at a time.
    int sample = 0;
    for (int chunk = 0; chunk < steady / 1000; ++chunk) {
        const Usage before = usageOf(pid_t(receiver.pid()));
        for (int i = 0; i < 100; ++i) {
            for (int j = 0; j < 10; ++j)
                sender.send(sample++);
            processFor(3.3);
        }
        processFor(50);
        load.usPerReception.push_back((usageOf(pid_t(receiver.pid())).cpuMs - before.cpuMs) * 1000 / 1000.0);
        if (sample == 10000) {
            processFor(12000); // past the ten seconds of the copy check
            load.memoryAfter10k = anonymousMegabytes(receiver.pid());
        }
    }
    // A burst, as fast as the sender can.
    processFor(4000);
    const QString history = receiver.folder("data") + QStringLiteral("/kavrel-r/history.sqlite");
    const qint64 takenBefore = kavrel ? historyTaken(history) : 0;
    const Usage before = usageOf(pid_t(receiver.pid()));
    for (int i = 0; i < burst; ++i)
        load.burstSent += sender.send(sample++) ? 1 : 0;
    processFor(5000); // until every drop is told
    load.burstUsPerReception = (usageOf(pid_t(receiver.pid())).cpuMs - before.cpuMs) * 1000 / double(burst);
    processFor(8000); // past the ten seconds of the copy check
    load.memoryAfterFlood = anonymousMegabytes(receiver.pid());
    if (kavrel) {
        load.burstKept = size_t(historyTaken(history) - takenBefore);
        static const QRegularExpression dropped(QStringLiteral("dropped (\\d+) datagrams"));
        QRegularExpressionMatchIterator it = dropped.globalMatch(QString::fromUtf8(receiver.said()));
        while (it.hasNext())
            load.burstDropped += it.next().captured(1).toULongLong();
        const auto rounds = pinger->rounds();
        pinger.reset();
        load.pingMax = rounds.empty() ? 0 : *std::max_element(rounds.begin(), rounds.end());
        load.pingP99 = percentiles(rounds).second;
    }
    return load;
}

// Notes when a widget is first painted.
class FirstPaint : public QObject
{
public:
    QElapsedTimer *timer = nullptr;
    double at = -1;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && at < 0)
            at = timer->nsecsElapsed() / 1e6;
        return false;
    }
};

// The history window opened on the history at path, until its table is
// painted.
double windowOpening(const QString &path)
{
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        History history(path);
        history.open();
        QElapsedTimer timer;
        FirstPaint painted;
        painted.timer = &timer;
        timer.start();
        HistoryWindow window(&history);
        window.findChild<QAbstractItemView *>()->viewport()->installEventFilter(&painted);
        window.present();
        processUntil([&] { return painted.at >= 0; }, 5000);
        times.push_back(painted.at);
        processFor(50);
    }
    return percentiles(times).first;
}

long peakKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("VmHWM:\\s+(\\d+)")).match(QString::fromLatin1(status.readAll()));
    return match.hasMatch() ? match.captured(1).toLong() : -1;
}

struct Oversized {
    double before = 0, after = 0; // file size (MB)
    double longestStall = 0;      // the loop's longest turn from open() until done (ms)
    double done = 0;              // open() until the file is within the bounds (ms)
    double memory = 0;            // peak resident memory meanwhile, above the start (MB)
    int rows = 0;
};

// 3,000 receptions of 64 KB in a file, as an older version or another tool
// may leave it: ten times the history's byte bound.
Oversized oversizedHistory(const QString &path)
{
    {
        History writer(path);
        writer.setMaxBytes(qint64(1) << 40);
        writer.open();
        const QString text = QStringLiteral("2026/12/07 06:38:44,81 3 1234 5678,0312345678,ﾔﾏﾀﾞｼｮｳｼﾞ,2,OK ")
            + QString(64 * 1024 - 60, QLatin1Char('x'));
        for (int i = 0; i < 3000; ++i)
            writer.add(QDateTime::currentDateTime(), QStringLiteral("192.168.1.10"), text);
        writer.flush();
    }
    auto size = [&] {
        qint64 bytes = 0;
        for (const char *suffix : {"", "-wal"})
            bytes += QFileInfo(path + QLatin1String(suffix)).size();
        return bytes / 1e6;
    };
    Oversized result;
    result.before = size();
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
    clear.close();
    const long start = peakKilobytes();
    QElapsedTimer timer, turn;
    timer.start();
    History history(path);
    turn.start();
    history.open();
    result.longestStall = turn.nsecsElapsed() / 1e6;
    QObject::connect(&history, &History::changed, [] {});
    QTimer ticker;
    ticker.start(0);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        result.longestStall = qMax(result.longestStall, turn.nsecsElapsed() / 1e6);
        turn.start();
    });
    processUntil([&] { return !history.compacting(); }, 120000);
    result.done = timer.nsecsElapsed() / 1e6;
    result.memory = (peakKilobytes() - start) / 1024.0;
    result.rows = history.count();
    result.after = size();
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const bool historyOnly = argc > 1 && std::strcmp(argv[1], "--history") == 0;
    QTemporaryDir folder;
    const Oversized oversized = oversizedHistory(folder.filePath(QStringLiteral("oversized.sqlite")));
    auto printOversized = [&] {
        std::printf("| %-58s | %12s | %12s |\n", "oversized history (3,000 x 64 KB): loop's longest stall (ms)",
                    number(oversized.longestStall, 1).c_str(), "-");
        std::printf("| %-58s | %12s | %12s |\n", "  within the bounds after (ms) / rows kept",
                    (number(oversized.done, 0) + " / " + std::to_string(oversized.rows)).c_str(), "-");
        std::printf("| %-58s | %12s | %12s |\n", "  file before / after (MB), peak memory meanwhile (MB)",
                    (number(oversized.before, 0) + " / " + number(oversized.after, 0) + ", " + number(oversized.memory, 0))
                        .c_str(),
                    "-");
    };
    if (historyOnly) {
        printOversized();
        return 0;
    }
    TestSupport::SessionBus sessionBus;
    const QString bus = sessionBus.start();
    if (bus.isEmpty()) {
        std::fprintf(stderr, "receiverbench: no session bus (dbus-daemon)\n");
        return 1;
    }
    Notices notices;
    QDBusConnection connection = QDBusConnection::connectToBus(bus, QStringLiteral("bench"));
    connection.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &notices, QDBusConnection::ExportAllSlots);
    connection.registerService(QStringLiteral("org.freedesktop.Notifications"));

    const QString kavrel = QStringLiteral(KAVREL_RECEIVER);
    const QString reference = QStringLiteral(REFERENCE_RECEIVER);
    const int samples = quick ? 50 : 300;
    // Every notice at once (no gathering): what is measured is one reception's road.
    const Latency kavrelLatency = measureLatency(notices, kavrel, {QStringLiteral("--test-delays"), QStringLiteral("gather=0")},
                                                 bus, samples, true);
    const Latency referenceLatency = measureLatency(notices, reference, {QStringLiteral("PORT")}, bus, samples, false);

    const int steady = quick ? 10000 : 30000;
    const int burst = 20000;
    const Load kavrelLoad = measureLoad(kavrel, {}, bus, steady, burst, true);
    const Load bareLoad = measureLoad(reference, {QStringLiteral("PORT"), QStringLiteral("--bare")}, bus, steady, burst, false);

    // The history window: empty, and with 10,000 receptions.
    const QString empty = folder.filePath(QStringLiteral("empty.sqlite"));
    const QString full = folder.filePath(QStringLiteral("full.sqlite"));
    {
        History history(full);
        history.open();
        for (int i = 0; i < History::MaxEntries; ++i)
            history.add(QDateTime::currentDateTime(), QStringLiteral("192.168.1.10"),
                        QStringLiteral("2026/12/07 06:38:44,81 3 1234 5678,0312345678,ﾔﾏﾀﾞｼｮｳｼﾞ %1,2,OK").arg(i));
        history.flush();
    }
    const double emptyWindow = windowOpening(empty);
    const double fullWindow = windowOpening(full);

    auto average = [](const std::vector<double> &values, size_t from, size_t count) {
        double sum = 0;
        size_t n = 0;
        for (size_t i = from; i < values.size() && n < count; ++i, ++n)
            sum += values[i];
        return n ? sum / n : 0;
    };
    const size_t chunks = kavrelLoad.usPerReception.size();
    std::printf("\nkavrel-r: a datagram until its notice is asked of the notification service, and until its row is\n"
                "in the history's file; the reference reads the datagram and asks for a notice, nothing more.\n\n");
    std::printf("| %-58s | %12s | %12s |\n", "figure", "kavrel-r", "reference");
    std::printf("|%s|%s|%s|\n", std::string(60, '-').c_str(), std::string(14, '-').c_str(), std::string(14, '-').c_str());
    std::printf("| %-58s | %12s | %12s |\n", "datagram to notice, p50 / p99 (ms)",
                (number(kavrelLatency.notice.first, 2) + " / " + number(kavrelLatency.notice.second, 2)).c_str(),
                (number(referenceLatency.notice.first, 2) + " / " + number(referenceLatency.notice.second, 2)).c_str());
    std::printf("| %-58s | %12s | %12s |\n", "datagram to committed row, p50 / p99 (ms)",
                (number(kavrelLatency.commit.first, 2) + " / " + number(kavrelLatency.commit.second, 2)).c_str(), "-");
    std::printf("| %-58s | %12zu | %12zu |\n", "notices not seen", kavrelLatency.lost, referenceLatency.lost);
    std::printf("| %-58s | %12s | %12s |\n", "CPU per reception, first / last 3000 at 3000 a second (us)",
                (number(average(kavrelLoad.usPerReception, 0, 3), 1) + " / "
                 + number(average(kavrelLoad.usPerReception, chunks >= 3 ? chunks - 3 : 0, 3), 1))
                    .c_str(),
                (number(average(bareLoad.usPerReception, 0, 3), 1) + " / "
                 + number(average(bareLoad.usPerReception, chunks >= 3 ? chunks - 3 : 0, 3), 1))
                    .c_str());
    std::printf("| %-58s | %12s | %12s |\n", "CPU per reception in a burst of 20,000 (us)",
                number(kavrelLoad.burstUsPerReception, 1).c_str(), number(bareLoad.burstUsPerReception, 1).c_str());
    std::printf("| %-58s | %12s | %12s |\n", "burst: sent / taken into the history + dropped and told",
                (std::to_string(kavrelLoad.burstSent) + " / " + std::to_string(kavrelLoad.burstKept + kavrelLoad.burstDropped))
                    .c_str(),
                "-");
    std::printf("| %-58s | %12s | %12s |\n", "private memory: start / +10,000 / +flood (MB)",
                (number(kavrelLoad.memoryStart, 1) + " / " + number(kavrelLoad.memoryAfter10k - kavrelLoad.memoryStart, 1)
                 + " / " + number(kavrelLoad.memoryAfterFlood - kavrelLoad.memoryStart, 1))
                    .c_str(),
                (number(bareLoad.memoryStart, 1) + " / " + number(bareLoad.memoryAfter10k - bareLoad.memoryStart, 1) + " / "
                 + number(bareLoad.memoryAfterFlood - bareLoad.memoryStart, 1))
                    .c_str());
    std::printf("| %-58s | %12s | %12s |\n", "answers while receptions pour in, p99 / most (ms)",
                (number(kavrelLoad.pingP99, 1) + " / " + number(kavrelLoad.pingMax, 1)).c_str(), "-");
    std::printf("| %-58s | %12s | %12s |\n", "history window open, empty / 10,000 rows (ms)",
                (number(emptyWindow, 1) + " / " + number(fullWindow, 1)).c_str(), "-");
    printOversized();
    return 0;
}

