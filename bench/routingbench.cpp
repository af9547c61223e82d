// Routing receptions to departments, measured: what one reception costs the
// monitor's rules with 1,000 of them, next to a plain lookup table (a
// caller's number to its departments); and receptions a second through the
// monitor, posted as the hook posts them until each has gone out as a
// datagram, with routing on (1,000 rules, a destination per department) and
// off, in the same run.
//
//   routingbench [--quick]
//
// Run by ./run-bench. Not part of the tests.

#include "benchsupport.h"
#include "faxmonitor/routing.h"

#include <QHash>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <filesystem>
#include <random>

using namespace bench;

namespace {

// 1,000 rules as an office of many suppliers would have them: callers'
// numbers, prefixes of them, lines, TSIs, numbers called and names.
QByteArray thousandRules()
{
    QByteArray config = "[Departments]\n";
    for (int d = 0; d < 20; ++d)
        config += "d" + QByteArray::number(d) + "=部署" + QByteArray::number(d) + "\n";
    config += "[Routes]\n";
    for (int i = 0; i < 1000; ++i) {
        const QByteArray department = " = d" + QByteArray::number(i % 20) + "\n";
        switch (i % 10) {
        case 0: config += "device ttyACM" + QByteArray::number(i) + department; break;
        case 1: config += "called 0500000" + QByteArray::number(1000 + i) + department; break;
        case 2: config += "caller 07" + QByteArray::number(100 + i) + "*" + department; break;
        case 3: config += "tsi +81 3 " + QByteArray::number(1000 + i) + " 0000" + department; break;
        case 4: config += "name 商事" + QByteArray::number(i) + department; break;
        default: config += "caller 03" + QByteArray::number(10000000 + i) + department; break;
        }
    }
    return config;
}

double nanosecondsPer(const std::function<void(int)> &work, int count)
{
    std::vector<double> runs;
    for (int run = 0; run < 7; ++run) {
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < count; ++i)
            work(i);
        runs.push_back(millisecondsBetween(start, Clock::now()) * 1e6 / count);
    }
    return percentiles(runs).first;
}

// A UDP socket on loopback that counts what comes.
struct Sink {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int port = 0;
    Sink()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~Sink() { close(fd); }
    bool take(int timeoutMs)
    {
        pollfd ready{fd, POLLIN, 0};
        char buffer[2048];
        return poll(&ready, 1, timeoutMs) == 1 && recv(fd, buffer, sizeof buffer, 0) > 0;
    }
};

// Receptions a second through a monitor with config, each posted and taken
// at the sink before the next.
double throughput(const std::string &config, Sink &sink, int posts)
{
    const std::string folder = makeTempDir("routing");
    chmod(folder.c_str(), 0755);
    std::ofstream(folder + "/kavrel-faxmon.conf") << config;
    const pid_t pid = spawn({FAX_MONITOR, "--folder", folder, "--config", folder + "/kavrel-faxmon.conf"}, {},
                            folder + "/said");
    for (int i = 0; i < 200 && !std::filesystem::exists(folder + "/post.sock"); ++i)
        sleepFor(25);
    int through = 0;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < posts; ++i)
        through += postOnce(folder, i) && sink.take(2000) ? 1 : 0;
    const double seconds = millisecondsBetween(start, Clock::now()) / 1000;
    stop(pid);
    std::filesystem::remove_all(folder);
    if (through != posts)
        std::fprintf(stderr, "routingbench: %d of %d receptions went through\n", through, posts);
    return through / seconds;
}

} // namespace

int main(int argc, char *argv[])
{
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const QByteArray config = thousandRules();
    Routing routing;
    QStringList errors;
    if (!routing.load(config, &errors) || routing.rules() != 1000) {
        std::fprintf(stderr, "routingbench: the rules were refused: %s\n", qPrintable(errors.join(QLatin1Char('\n'))));
        return 1;
    }
    // Receptions as they come: most from callers no rule names, a few from
    // those that rules name, all with a name to look through.
    std::mt19937 random(7);
    std::vector<Reception> receptions(1000);
    for (size_t i = 0; i < receptions.size(); ++i) {
        Reception &reception = receptions[i];
        const int n = int(random() % 2000);
        reception.number = QStringLiteral("03-%1").arg(10000000 + n);
        reception.tsi = QStringLiteral("+81 3 %1 0000").arg(1000 + n);
        reception.name = QStringLiteral("ｶﾌﾞｼｷｶﾞｲｼｬ ﾔﾏﾀﾞ %1").arg(n);
        reception.device = QStringLiteral("ttyACM%1").arg(n % 4);
        reception.called = QStringLiteral("0312345678");
    }
    QHash<QString, QStringList> table;
    for (int i = 0; i < 1000; ++i)
        table.insert(QStringLiteral("03%1").arg(10000000 + i), {QStringLiteral("d%1").arg(i % 20)});
    const int count = quick ? 20000 : 200000;
    volatile qsizetype sink = 0;
    const double routed = nanosecondsPer([&](int i) { sink = sink + routing.route(receptions[size_t(i) % 1000]).size(); }, count);
    const double looked = nanosecondsPer(
        [&](int i) {
            sink = sink + table.value(Routing::plainNumber(receptions[size_t(i) % 1000].number), {QStringLiteral("all")}).size();
        },
        count);
    // A table for each field the rules name, each value read as the rules
    // read it (numbers without blanks, names in one width): what a plain
    // table would cost for the same rules, without prefixes or words.
    QHash<QString, int> devices, called, tsis, callers, names;
    for (int i = 0; i < 1000; ++i) {
        devices.insert(QStringLiteral("ttyACM%1").arg(i), i);
        called.insert(QStringLiteral("0500000%1").arg(1000 + i), i);
        tsis.insert(Routing::plainNumber(QStringLiteral("+81 3 %1 0000").arg(1000 + i)), i);
        callers.insert(QStringLiteral("03%1").arg(10000000 + i), i);
        names.insert(Routing::plainName(QStringLiteral("商事%1").arg(i)), i);
    }
    const double tables = nanosecondsPer(
        [&](int i) {
            const Reception &r = receptions[size_t(i) % 1000];
            sink = sink + qMin(qMin(devices.value(r.device, 1000), called.value(Routing::plainNumber(r.called), 1000)),
                               qMin(qMin(tsis.value(Routing::plainNumber(r.tsi), 1000), callers.value(Routing::plainNumber(r.number), 1000)),
                                    names.value(Routing::plainName(r.name), 1000)));
        },
        count);

    Sink datagrams;
    const std::string destination = "127.0.0.1:" + std::to_string(datagrams.port);
    const int posts = quick ? 300 : 2000;
    std::string routed20 = config.toStdString() + "[Datagrams]\n";
    for (const char *department : {"all", "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d8", "d9", "d10", "d11", "d12",
                                   "d13", "d14", "d15", "d16", "d17", "d18", "d19"})
        routed20 += std::string(department) + "=" + destination + "\n";
    const double off = throughput("[Datagrams]\nDestinations=" + destination + "\n", datagrams, posts);
    const double on = throughput(routed20, datagrams, posts);

    std::printf("\nRouting receptions to departments (1,000 rules; %d receptions of 1,000 callers).\n\n", count);
    std::printf("| %-58s | %12s |\n", "figure", "value");
    std::printf("|%s|%s|\n", std::string(60, '-').c_str(), std::string(14, '-').c_str());
    std::printf("| %-58s | %12s |\n", "routing one reception, 1,000 rules (us)", number(routed / 1000, 2).c_str());
    std::printf("| %-58s | %12s |\n", "a plain lookup table, caller's number to departments (us)",
                number(looked / 1000, 2).c_str());
    std::printf("| %-58s | %12s |\n", "plain tables of the same fields, read the same way (us)",
                number(tables / 1000, 2).c_str());
    std::printf("| %-58s | %12s |\n", "receptions a second through the monitor, routing off", number(off, 0).c_str());
    std::printf("| %-58s | %12s |\n", "receptions a second through the monitor, routing on", number(on, 0).c_str());
    return 0;
}
