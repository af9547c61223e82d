// The relay benchmark: drives the real program (kavrel-s) with a fax monitor
// on its link's socket and a UDP receiver on loopback, and the reference relay
// (refrelay, the least work a relay can do) the same way, and prints their
// figures side by side.
//
//   relaybench [--quick]
//
// Run by ./run-bench from the top of the repository. Not part of the tests.

#include "benchsupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using namespace bench;

// --- The fax monitor: one listening Unix socket, one link.

class Monitor
{
public:
    explicit Monitor(const std::string &path)
        : m_path(path)
    {
        unlink(path.c_str());
        m_listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (bind(m_listen, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(m_listen, 4) != 0) {
            std::perror("monitor");
            std::exit(1);
        }
    }
    ~Monitor()
    {
        if (m_link >= 0)
            close(m_link);
        close(m_listen);
        unlink(m_path.c_str());
    }

    bool accept(int timeoutMs)
    {
        pollfd pfd{m_listen, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0)
            return false;
        m_link = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        return m_link >= 0;
    }

    void write(const std::string &bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t wrote = ::write(m_link, bytes.data() + done, bytes.size() - done);
            if (wrote <= 0) {
                std::perror("monitor write");
                return;
            }
            done += static_cast<size_t>(wrote);
        }
    }

private:
    std::string m_path;
    int m_listen = -1;
    int m_link = -1;
};

// --- The receiver: a thread that stamps each datagram as it arrives.

class Receiver
{
public:
    Receiver()
    {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int size = 256 * 1024 * 1024;
        m_forcedBuffer = setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == 0;
        if (!m_forcedBuffer)
            setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_arrivals.reserve(200000);
        m_thread = std::thread(&Receiver::run, this);
    }
    ~Receiver()
    {
        m_stop = true;
        m_thread.join();
        close(m_fd);
    }

    int port() const { return m_port; }
    bool forcedBuffer() const { return m_forcedBuffer; }

    struct Arrival
    {
        long sequence;
        Clock::time_point at;
    };

    size_t count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_arrivals.size();
    }
    // Waits until more than `count` datagrams have arrived, or the timeout.
    bool waitBeyond(size_t count, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return m_arrivals.size() > count; });
    }
    Arrival at(size_t index)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_arrivals.at(index);
    }
    std::vector<Arrival> take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_arrivals, {});
    }

private:
    void run()
    {
        char buffer[65536];
        while (!m_stop) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (poll(&pfd, 1, 50) <= 0)
                continue;
            for (;;) {
                const ssize_t got = recv(m_fd, buffer, sizeof buffer - 1, MSG_DONTWAIT);
                if (got < 0)
                    break;
                const Clock::time_point now = Clock::now();
                buffer[got] = '\0';
                const char *comma = std::strrchr(buffer, ',');
                const long sequence = comma ? std::atol(comma + 1) : -1;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_arrivals.push_back({sequence, now});
                }
                m_arrived.notify_all();
            }
        }
    }

    int m_fd = -1;
    int m_port = 0;
    bool m_forcedBuffer = false;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::vector<Arrival> m_arrivals;
    std::thread m_thread;
};

// --- One relay measured.

struct Figures
{
    double startToWindowMs = -1;
    double startupWaitCpuMs = -1;
    double idleCpuMs = 0;
    long idleSwitches = 0;
    double rssMb = 0;
    double peakRssMb = 0;
    double p50Us = 0;
    double p99Us = 0;
    double burstRate = 0;
    long lost = 0;
    bool ordered = false;
    size_t latencySamples = 0;
    size_t burstLines = 0;
};

std::string reception(long sequence)
{
    return "2026/12/07,09:05:07,03-1234-5678,株式会社サンプル商事,3," + std::to_string(sequence) + "\n";
}

std::optional<Figures> measure(bool isProgram, const std::string &binary, const std::string &configDir,
                               const std::string &runtimeDir, size_t latencyCount, size_t burstCount)
{
    Figures figures;
    figures.latencySamples = latencyCount;
    figures.burstLines = burstCount;
    const std::string socketPath = runtimeDir + "/orvex-monitor.sock";
    Monitor monitor(socketPath);
    Receiver receiver;
    if (!receiver.forcedBuffer())
        std::fprintf(stderr, "relaybench: not root: the receiver's buffer is capped, a burst may be cut short\n");

    std::vector<std::string> command{binary};
    if (isProgram) {
        std::ofstream conf(configDir + "/Kavrel.conf");
        conf << "[Settings]\nIPAddress=127.0.0.1\nPort=" << receiver.port() << "\n";
    } else {
        command.push_back(socketPath);
        command.push_back(std::to_string(receiver.port()));
    }
    const Clock::time_point started = Clock::now();
    const pid_t pid = spawn(command, {"XDG_CONFIG_HOME=" + configDir, "XDG_RUNTIME_DIR=" + runtimeDir,
                                      "QT_QPA_PLATFORM=offscreen"});
    if (!monitor.accept(10000)) {
        std::fprintf(stderr, "relaybench: %s did not connect\n", binary.c_str());
        stop(pid);
        return std::nullopt;
    }
    const Clock::time_point connected = Clock::now();

    if (isProgram) {
        // The program shows its window, then connects: the connection is the
        // first sign from outside that the window is up.
        figures.startToWindowMs = millisecondsBetween(started, connected);
        const Usage before = usageOf(pid);
        sleepFor(2600 - millisecondsBetween(connected, Clock::now()));
        figures.startupWaitCpuMs = usageOf(pid).cpuMs - before.cpuMs;
    } else {
        sleepFor(500);
    }

    const Usage idleStart = usageOf(pid);
    sleepFor(5000);
    const Usage idleEnd = usageOf(pid);
    figures.idleCpuMs = idleEnd.cpuMs - idleStart.cpuMs;
    figures.idleSwitches = idleEnd.contextSwitches - idleStart.contextSwitches;
    figures.rssMb = residentMegabytes(pid);

    // Latency: one reception at a time, each waited for.
    long sequence = 0;
    std::vector<double> latencies;
    for (size_t i = 0; i < latencyCount + 100; ++i) {
        const size_t before = receiver.count();
        const std::string line = reception(sequence++);
        const Clock::time_point sent = Clock::now();
        monitor.write(line);
        if (!receiver.waitBeyond(before, 2000)) {
            std::fprintf(stderr, "relaybench: reception %ld lost\n", sequence - 1);
            continue;
        }
        if (i >= 100) // the first ones warm up
            latencies.push_back(std::chrono::duration<double, std::micro>(receiver.at(before).at - sent).count());
    }
    std::tie(figures.p50Us, figures.p99Us) = percentiles(latencies);
    receiver.take();

    // Burst: all lines in one go.
    std::string burst;
    burst.reserve(burstCount * 80);
    const long first = sequence;
    for (size_t i = 0; i < burstCount; ++i)
        burst += reception(sequence++);
    const Clock::time_point burstStart = Clock::now();
    monitor.write(burst);
    size_t seen = 0;
    while (seen < burstCount && receiver.waitBeyond(seen, 2000))
        seen = receiver.count();
    const std::vector<Receiver::Arrival> arrivals = receiver.take();
    figures.lost = static_cast<long>(burstCount) - static_cast<long>(arrivals.size());
    figures.ordered = true;
    for (size_t i = 0; i < arrivals.size(); ++i)
        figures.ordered = figures.ordered && arrivals[i].sequence == first + static_cast<long>(i);
    if (!arrivals.empty())
        figures.burstRate = arrivals.size() / (millisecondsBetween(burstStart, arrivals.back().at) / 1000.0);
    figures.peakRssMb = residentMegabytes(pid, "VmHWM:");
    stop(pid);
    return figures;
}

// --- The real road: a post on the fax monitor's post socket, as the reception
// hook makes it, through the monitor and the program to the receiver.

struct Road
{
    double postP50Us = 0;
    double postP99Us = 0;
    double hookP50Ms = 0;    // the hook's whole poster process, started afresh
    double monitorRssMb = 0;
    double monitorIdleCpuMs = 0;
    long monitorIdleSwitches = 0;
    size_t samples = 0;
};

std::optional<Road> measureRoad(const std::string &configDir, size_t count)
{
    Road road;
    road.samples = count;
    const std::string folder = makeTempDir("faxmon");
    chmod(folder.c_str(), 0755);
    const std::string runtimeDir = makeTempDir("road-runtime");
    chmod(runtimeDir.c_str(), 0700);
    const std::string postPath = folder + "/post.sock";
    if (symlink((folder + "/orvex-monitor.sock").c_str(), (runtimeDir + "/orvex-monitor.sock").c_str()) != 0) {
        std::perror("relaybench: link to the fax monitor's socket");
        return std::nullopt;
    }
    Receiver receiver;
    {
        std::ofstream conf(configDir + "/Kavrel.conf");
        conf << "[Settings]\nIPAddress=127.0.0.1\nPort=" << receiver.port() << "\n";
    }
    const pid_t monitor = spawn({FAX_MONITOR, "--folder", folder, "--config", folder + "/no-relays.conf"}, {});
    for (int i = 0; i < 100 && access(postPath.c_str(), F_OK) != 0; ++i)
        sleepFor(20);
    const pid_t program = spawn({KAVREL_PROGRAM}, {"XDG_CONFIG_HOME=" + configDir, "XDG_RUNTIME_DIR=" + runtimeDir,
                                                   "QT_QPA_PLATFORM=offscreen"});
    // Posts go nowhere until the program's link is up.
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
        const size_t before = receiver.count();
        up = postOnce(folder, -1) && receiver.waitBeyond(before, 100);
    }
    if (!up) {
        std::fprintf(stderr, "relaybench: the road through the fax monitor did not open\n");
        stop(program);
        stop(monitor);
        return std::nullopt;
    }
    sleepFor(2600); // the program's start-up wait
    const Usage idleStart = usageOf(monitor);
    sleepFor(5000);
    const Usage idleEnd = usageOf(monitor);
    road.monitorIdleCpuMs = idleEnd.cpuMs - idleStart.cpuMs;
    road.monitorIdleSwitches = idleEnd.contextSwitches - idleStart.contextSwitches;

    std::vector<double> latencies;
    for (size_t i = 0; i < count + 100; ++i) {
        const size_t before = receiver.count();
        const Clock::time_point sent = Clock::now();
        if (!postOnce(folder, long(i)) || !receiver.waitBeyond(before, 2000)) {
            std::fprintf(stderr, "relaybench: post %zu lost\n", i);
            continue;
        }
        if (i >= 100)
            latencies.push_back(std::chrono::duration<double, std::micro>(receiver.at(before).at - sent).count());
    }
    std::tie(road.postP50Us, road.postP99Us) = percentiles(latencies);

    // The poster as the hook starts it: a process of its own each time.
    std::vector<double> hooks;
    for (int i = 0; i < 100; ++i) {
        const size_t before = receiver.count();
        const Clock::time_point sent = Clock::now();
        const pid_t poster = spawn({FAX_MONITOR, "--post", "--folder", folder, "--", "2026:12:07 06:38:44", "s", "",
                                    "", "1", std::to_string(i)}, {});
        waitpid(poster, nullptr, 0);
        if (receiver.waitBeyond(before, 2000))
            hooks.push_back(millisecondsBetween(sent, receiver.at(before).at));
    }
    road.hookP50Ms = percentiles(hooks).first;
    road.monitorRssMb = residentMegabytes(monitor);
    stop(program);
    stop(monitor);
    std::filesystem::remove_all(folder);
    std::filesystem::remove_all(runtimeDir);
    return road;
}

// --- Memory on a real X server with a window manager, as a desktop user meets
// the program: minimised after its start-up, after one relayed line, next to
// an empty Qt window of the same size on the same server; and where the
// difference lies, mapping by mapping (/proc/PID/smaps).

struct Mapping
{
    long rssKb = 0;
    long anonKb = 0;
};

std::map<std::string, Mapping> mappingsOf(pid_t pid)
{
    std::map<std::string, Mapping> mappings;
    std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
    std::string line;
    Mapping *current = nullptr;
    while (std::getline(smaps, line)) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first.back() != ':') {
            // A mapping's first line: range, permissions, offset, device, inode, name.
            std::string skip, name;
            words >> skip >> skip >> skip >> skip;
            std::getline(words >> std::ws, name);
            current = &mappings[name.empty() ? "[anonymous]" : name];
        } else if (current && first == "Rss:") {
            long kb = 0;
            words >> kb;
            current->rssKb += kb;
        } else if (current && first == "Anonymous:") {
            long kb = 0;
            words >> kb;
            current->anonKb += kb;
        }
    }
    return mappings;
}

struct DesktopMemory
{
    long rssKb = 0, anonKb = 0, emptyRssKb = 0, emptyAnonKb = 0;
    std::vector<std::pair<std::string, std::pair<Mapping, Mapping>>> largest; // ours, the empty window's
};

std::optional<DesktopMemory> measureDesktopMemory(const std::string &configDir, const std::string &runtimeDir)
{
    if (access("/usr/bin/Xvfb", X_OK) != 0 || access("/usr/bin/openbox", X_OK) != 0) {
        std::printf("\nMemory on a desktop: skipped (needs xvfb and openbox)\n");
        return std::nullopt;
    }
    // Xvfb picks a free display and writes its number (here on its error
    // output, a file) once it accepts clients; -noreset: it does not start
    // over when a client leaves before the window manager came, which can
    // drop the window manager's connection.
    const std::string numberFile = runtimeDir + "/xvfb-display";
    const pid_t server = spawn({"/usr/bin/Xvfb", "-displayfd", "2", "-noreset", "-screen", "0", "1024x768x24",
                                "-nolisten", "tcp"},
                               {}, numberFile);
    int display = -1;
    for (int i = 0; i < 200 && display < 0; ++i) {
        std::ifstream said(numberFile);
        for (std::string line; display < 0 && std::getline(said, line);) {
            if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos)
                display = std::stoi(line);
        }
        if (display < 0)
            sleepFor(50);
    }
    if (display < 0) {
        std::printf("\nMemory on a desktop: skipped (Xvfb did not start)\n");
        stop(server);
        return std::nullopt;
    }
    const std::string displayVariable = "DISPLAY=:" + std::to_string(display);
    const pid_t windowManager = spawn({"/usr/bin/openbox"}, {displayVariable});
    sleepFor(500);
    if (waitpid(windowManager, nullptr, WNOHANG) != 0) {
        std::printf("\nMemory on a desktop: skipped (openbox did not start on :%d)\n", display);
        stop(server);
        return std::nullopt;
    }

    std::optional<DesktopMemory> result;
    {
        Monitor monitor(runtimeDir + "/orvex-monitor.sock");
        Receiver receiver;
        {
            std::ofstream conf(configDir + "/Kavrel.conf");
            conf << "[Settings]\nIPAddress=127.0.0.1\nPort=" << receiver.port() << "\n";
        }
        const std::vector<std::string> environment{displayVariable, "XDG_CONFIG_HOME=" + configDir,
                                                   "XDG_RUNTIME_DIR=" + runtimeDir};
        const pid_t program = spawn({KAVREL_PROGRAM}, environment);
        if (monitor.accept(5000)) {
            sleepFor(3500); // the start-up wait, then minimised
            monitor.write(reception(1));
            if (receiver.waitBeyond(0, 2000)) {
                sleepFor(1000);
                DesktopMemory memory;
                memory.rssKb = statusKb(program, "VmRSS:");
                memory.anonKb = statusKb(program, "RssAnon:");
                const std::map<std::string, Mapping> ours = mappingsOf(program);
                const pid_t empty = spawn({EMPTY_WINDOW}, environment);
                sleepFor(2000);
                memory.emptyRssKb = statusKb(empty, "VmRSS:");
                memory.emptyAnonKb = statusKb(empty, "RssAnon:");
                std::map<std::string, Mapping> theirs = mappingsOf(empty);
                stop(empty);
                for (const auto &[name, mapping] : ours)
                    memory.largest.push_back({name, {mapping, theirs[name]}});
                for (const auto &[name, mapping] : theirs) {
                    if (!ours.count(name))
                        memory.largest.push_back({name, {Mapping{}, mapping}});
                }
                std::sort(memory.largest.begin(), memory.largest.end(), [](const auto &a, const auto &b) {
                    return a.second.first.rssKb - a.second.second.rssKb > b.second.first.rssKb - b.second.second.rssKb;
                });
                memory.largest.resize(std::min<size_t>(memory.largest.size(), 14));
                result = memory;
            }
        }
        if (!result)
            std::fprintf(stderr, "relaybench: the program did not relay on the virtual desktop\n");
        stop(program);
    }
    stop(windowManager);
    stop(server);
    return result;
}

double emptyWindowRss(const std::vector<std::string> &command, const std::string &configDir,
                      const std::string &runtimeDir)
{
    const pid_t pid = spawn(command, {"XDG_CONFIG_HOME=" + configDir, "XDG_RUNTIME_DIR=" + runtimeDir,
                                       "QT_QPA_PLATFORM=offscreen"});
    sleepFor(1500);
    const double rss = residentMegabytes(pid);
    stop(pid);
    return rss;
}

void row(const std::string &figure, const std::string &ours, const std::string &theirs, const std::string &ratio,
         const std::string &target)
{
    std::printf("| %-36s | %14s | %14s | %7s | %-28s |\n", figure.c_str(), ours.c_str(), theirs.c_str(),
                ratio.c_str(), target.c_str());
}

std::string verdict(bool met)
{
    return met ? "met" : "MISSED";
}

} // namespace

int main(int argc, char *argv[])
{
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const size_t latencyCount = quick ? 500 : 3000;
    const size_t burstCount = quick ? 10000 : 100000;
    signal(SIGPIPE, SIG_IGN);

    const std::string configDir = makeTempDir("config");
    const std::string runtimeDir = makeTempDir("runtime");
    chmod(runtimeDir.c_str(), 0700);

    std::printf("relaybench: kavrel-s against the reference relay; %zu receptions one at a time, a burst of %zu\n",
                latencyCount, burstCount);
    std::fflush(stdout);
    const std::optional<Figures> ours =
        measure(true, KAVREL_PROGRAM, configDir, runtimeDir, latencyCount, burstCount);
    const std::optional<Figures> reference =
        measure(false, REFERENCE_RELAY, configDir, runtimeDir, latencyCount, burstCount);
    const std::optional<Road> road = measureRoad(configDir, latencyCount);
    const double emptyRss = emptyWindowRss({EMPTY_WINDOW}, configDir, runtimeDir);
    const double japaneseRss = emptyWindowRss({EMPTY_WINDOW, "--japanese-title"}, configDir, runtimeDir);
    const std::optional<DesktopMemory> desktop = measureDesktopMemory(configDir, runtimeDir);
    std::filesystem::remove_all(configDir);
    std::filesystem::remove_all(runtimeDir);
    if (!ours || !reference || !road)
        return 1;

    const Figures &a = *ours;
    const Figures &b = *reference;
    std::printf("\n| %-36s | %14s | %14s | %7s | %-28s |\n", "figure", "kavrel-s", "reference", "ratio", "target");
    std::printf("|%s|%s|%s|%s|%s|\n", std::string(38, '-').c_str(), std::string(16, '-').c_str(),
                std::string(16, '-').c_str(), std::string(9, '-').c_str(), std::string(30, '-').c_str());
    row("latency p50 (us)", number(a.p50Us), number(b.p50Us), number(a.p50Us / b.p50Us, 2),
        "<= 2x: " + verdict(a.p50Us <= 2 * b.p50Us));
    row("latency p99 (us)", number(a.p99Us), number(b.p99Us), number(a.p99Us / b.p99Us, 2),
        "<= 3x: " + verdict(a.p99Us <= 3 * b.p99Us));
    row("burst throughput (receptions/s)", number(a.burstRate, 0), number(b.burstRate, 0),
        number(a.burstRate / b.burstRate, 2), ">= 0.7x: " + verdict(a.burstRate >= 0.7 * b.burstRate));
    row("burst lost", std::to_string(a.lost), std::to_string(b.lost), "", "0: " + verdict(a.lost == 0));
    row("burst order kept", a.ordered ? "yes" : "no", b.ordered ? "yes" : "no", "", "yes: " + verdict(a.ordered));
    row("RSS idle (MB; ref = empty Qt window)", number(a.rssMb), number(emptyRss), number(a.rssMb / emptyRss, 2),
        "<= +5 MB: " + verdict(a.rssMb <= emptyRss + 5));
    row("  same, ref = window + Japanese line", number(a.rssMb), number(japaneseRss),
        number(a.rssMb / japaneseRss, 2), "(for comparison)");
    row("peak RSS after burst (MB)", number(a.peakRssMb), number(b.peakRssMb), "", "");
    row("CPU during 5 s idle (ms)", number(a.idleCpuMs, 2), number(b.idleCpuMs, 2), "",
        "~0: " + verdict(a.idleCpuMs < 1));
    row("context switches during 5 s idle", std::to_string(a.idleSwitches), std::to_string(b.idleSwitches), "",
        "0: " + verdict(a.idleSwitches == 0));
    row("CPU during start-up wait (ms)", number(a.startupWaitCpuMs, 2), "-", "", "~0: " + verdict(a.startupWaitCpuMs < 20));
    row("start to window shown (ms)", number(a.startToWindowMs), "-", "", "");
    const Road &r = *road;
    std::printf("\nThe real road: a post on the fax monitor's socket, as the reception hook makes it, until its "
                "datagram is received\n(%zu posts after 100 to warm up), next to the link-to-datagram figure above.\n\n",
                r.samples);
    std::printf("| %-44s | %14s | %-30s |\n", "figure", "value", "target");
    std::printf("|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(16, '-').c_str(), std::string(32, '-').c_str());
    auto roadRow = [](const std::string &figure, const std::string &value, const std::string &target) {
        std::printf("| %-44s | %14s | %-30s |\n", figure.c_str(), value.c_str(), target.c_str());
    };
    roadRow("post to datagram p50 (us)", number(r.postP50Us), "");
    roadRow("post to datagram p99 (us)", number(r.postP99Us), "");
    roadRow("monitor's hop at p50 (us; minus link p50)", number(r.postP50Us - a.p50Us),
            "< 100: " + verdict(r.postP50Us - a.p50Us < 100));
    roadRow("hook's poster process to datagram p50 (ms)", number(r.hookP50Ms, 2), "");
    roadRow("monitor RSS (MB)", number(r.monitorRssMb), "a few MB: " + verdict(r.monitorRssMb < 16));
    roadRow("monitor CPU during 5 s idle (ms)", number(r.monitorIdleCpuMs, 2), "~0: " + verdict(r.monitorIdleCpuMs < 1));
    roadRow("monitor context switches during 5 s idle", std::to_string(r.monitorIdleSwitches),
            "0: " + verdict(r.monitorIdleSwitches == 0));

    if (desktop) {
        const DesktopMemory &m = *desktop;
        std::printf("\nMemory on a desktop: Xvfb with openbox; kavrel-s minimised after relaying one line, next to an "
                    "empty Qt\nwindow of the same size on the same server.\n\n");
        std::printf("| %-44s | %14s | %14s | %-24s |\n", "figure (MB)", "kavrel-s", "empty window", "target");
        std::printf("|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(16, '-').c_str(),
                    std::string(16, '-').c_str(), std::string(26, '-').c_str());
        std::printf("| %-44s | %14s | %14s | %-24s |\n", "RSS", number(m.rssKb / 1024.0).c_str(),
                    number(m.emptyRssKb / 1024.0).c_str(),
                    ("within +6: " + verdict(m.rssKb - m.emptyRssKb <= 6 * 1024)).c_str());
        std::printf("| %-44s | %14s | %14s | %-24s |\n", "anonymous memory", number(m.anonKb / 1024.0).c_str(),
                    number(m.emptyAnonKb / 1024.0).c_str(),
                    ("within +2: " + verdict(m.anonKb - m.emptyAnonKb <= 2 * 1024)).c_str());
        std::printf("\nWhere the difference lies (RSS in kB, of which anonymous; the largest differences):\n\n");
        std::printf("| %8s | %8s | %8s | %s\n", "kavrel-s", "empty", "more", "mapping");
        for (const auto &[name, pair] : m.largest) {
            std::printf("| %8ld | %8ld | %+8ld | %s%s\n", pair.first.rssKb, pair.second.rssKb,
                        pair.first.rssKb - pair.second.rssKb, name.c_str(),
                        pair.first.anonKb ? (" (anonymous " + std::to_string(pair.first.anonKb) + ")").c_str() : "");
        }
    }

    std::printf("\nLatency: a line written to the link's socket until its datagram is received, over %zu "
                "receptions\n(after 100 to warm up). Window shown: measured as the link's connection, which the "
                "program\nmakes right after showing its window (offscreen platform).\n",
                a.latencySamples);
    return 0;
}
