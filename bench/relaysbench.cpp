// The fax monitor's own relays, measured: a post on its socket, as the
// reception hook makes it, until its datagram has reached the last of N
// destinations, and until its MQTT message has reached the last of M
// subscribers of a real local mosquitto broker; with the monitor's CPU per
// post.
//
//   relaysbench [--quick]
//
// Run by ./run-bench. Not part of the tests.

#include "benchsupport.h"

#include <mosquitto.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>

#include <filesystem>
#include <map>

using namespace bench;

namespace {

// UDP sockets on loopback, read by one thread.
class Destinations
{
public:
    explicit Destinations(int count)
    {
        for (int i = 0; i < count; ++i) {
            const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof address;
            bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
            getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
            m_fds.push_back(fd);
            m_ports.push_back(ntohs(address.sin_port));
        }
    }
    ~Destinations()
    {
        for (int fd : m_fds)
            close(fd);
    }
    std::string list() const
    {
        std::string text;
        for (int port : m_ports)
            text += (text.empty() ? "" : ", ") + std::string("127.0.0.1:") + std::to_string(port);
        return text;
    }
    // Waits until every destination has one datagram; when the last came.
    bool waitAll(Clock::time_point *last, int timeoutMs)
    {
        std::vector<bool> got(m_fds.size(), false);
        size_t missing = m_fds.size();
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        std::vector<pollfd> fds;
        for (int fd : m_fds)
            fds.push_back({fd, POLLIN, 0});
        char buffer[65536];
        while (missing > 0 && Clock::now() < deadline) {
            if (poll(fds.data(), fds.size(), 100) <= 0)
                continue;
            for (size_t i = 0; i < fds.size(); ++i) {
                if ((fds[i].revents & POLLIN) && recv(fds[i].fd, buffer, sizeof buffer, 0) > 0 && !got[i]) {
                    got[i] = true;
                    --missing;
                    *last = Clock::now();
                }
            }
        }
        return missing == 0;
    }

private:
    std::vector<int> m_fds;
    std::vector<int> m_ports;
};

// M subscribers of one topic, each its own connection, driven from one thread.
class Subscribers
{
public:
    Subscribers(int count, int port, const std::string &topic)
        : m_topic(topic)
    {
        for (int i = 0; i < count; ++i) {
            mosquitto *m = mosquitto_new(nullptr, true, this);
            mosquitto_connect_callback_set(m, [](mosquitto *m, void *self, int rc) {
                if (rc == 0)
                    mosquitto_subscribe(m, nullptr, static_cast<Subscribers *>(self)->m_topic.c_str(), 1);
            });
            mosquitto_subscribe_callback_set(m, [](mosquitto *, void *self, int, int, const int *) {
                ++static_cast<Subscribers *>(self)->m_subscribed;
            });
            mosquitto_message_callback_set(m, [](mosquitto *, void *self, const mosquitto_message *) {
                auto *subscribers = static_cast<Subscribers *>(self);
                ++subscribers->m_received;
                subscribers->m_last = Clock::now();
            });
            if (mosquitto_connect(m, "127.0.0.1", port, 60) == MOSQ_ERR_SUCCESS)
                m_clients.push_back(m);
            else
                mosquitto_destroy(m);
        }
    }
    ~Subscribers()
    {
        for (mosquitto *m : m_clients)
            mosquitto_destroy(m);
    }
    size_t size() const { return m_clients.size(); }
    // Serves the connections until done() or the time is up.
    template <typename Done>
    bool serve(Done done, int timeoutMs)
    {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        std::vector<pollfd> fds(m_clients.size());
        while (!done()) {
            if (Clock::now() > deadline)
                return false;
            for (size_t i = 0; i < m_clients.size(); ++i)
                fds[i] = {mosquitto_socket(m_clients[i]),
                          short(POLLIN | (mosquitto_want_write(m_clients[i]) ? POLLOUT : 0)), 0};
            poll(fds.data(), fds.size(), 50);
            for (size_t i = 0; i < m_clients.size(); ++i) {
                if (fds[i].revents & POLLIN)
                    mosquitto_loop_read(m_clients[i], 1);
                if (fds[i].revents & POLLOUT)
                    mosquitto_loop_write(m_clients[i], 1);
            }
            if (Clock::now() - m_misc > std::chrono::seconds(1)) {
                for (mosquitto *m : m_clients)
                    mosquitto_loop_misc(m);
                m_misc = Clock::now();
            }
        }
        return true;
    }
    size_t subscribed() const { return m_subscribed; }
    size_t received() const { return m_received; }
    Clock::time_point last() const { return m_last; }

private:
    std::string m_topic;
    std::vector<mosquitto *> m_clients;
    size_t m_subscribed = 0;
    size_t m_received = 0;
    Clock::time_point m_last;
    Clock::time_point m_misc = Clock::now();
};

struct Result
{
    std::string what;
    double p50Ms = 0;
    double p99Ms = 0;
    double monitorCpuUsPerPost = 0;
    double brokerCpuUsPerPost = -1;
    size_t posts = 0;
    size_t lost = 0;
};

// The monitor with this configuration, in a folder of its own.
struct RunningMonitor
{
    std::string folder = makeTempDir("relays");
    pid_t pid = -1;
    explicit RunningMonitor(const std::string &config, const std::string &waitFor = std::string())
    {
        chmod(folder.c_str(), 0755);
        std::ofstream(folder + "/kavrel-faxmon.conf") << config;
        pid = spawn({FAX_MONITOR, "--folder", folder, "--config", folder + "/kavrel-faxmon.conf", "--test-delays",
                     "mqttretry=200"},
                    {}, folder + "/said");
        for (int i = 0; i < 200; ++i) {
            std::ifstream said(folder + "/said");
            const std::string text((std::istreambuf_iterator<char>(said)), std::istreambuf_iterator<char>());
            if (text.find("listening") != std::string::npos
                && (waitFor.empty() || text.find(waitFor) != std::string::npos))
                break;
            sleepFor(25);
        }
    }
    ~RunningMonitor()
    {
        stop(pid);
        std::filesystem::remove_all(folder);
    }

};

Result datagrams(int count, size_t posts)
{
    Result result;
    result.what = "post to datagram at the last of " + std::to_string(count) + " destinations";
    Destinations destinations(count);
    RunningMonitor monitor("[Datagrams]\nDestinations=" + destinations.list() + "\n");
    std::vector<double> latencies;
    const Usage before = usageOf(monitor.pid);
    for (size_t i = 0; i < posts; ++i) {
        const Clock::time_point sent = Clock::now();
        Clock::time_point last;
        if (!postOnce(monitor.folder, long(i)) || !destinations.waitAll(&last, 2000)) {
            ++result.lost;
            continue;
        }
        latencies.push_back(millisecondsBetween(sent, last));
    }
    result.monitorCpuUsPerPost = (usageOf(monitor.pid).cpuMs - before.cpuMs) * 1000 / double(posts);
    std::tie(result.p50Ms, result.p99Ms) = percentiles(latencies);
    result.posts = posts;
    return result;
}

Result mqtt(int count, size_t posts, int port, pid_t broker)
{
    Result result;
    result.what = "post to MQTT message at the last of " + std::to_string(count) + " subscribers";
    Subscribers subscribers(count, port, "kavrel/fax/received");
    if (!subscribers.serve([&] { return subscribers.subscribed() == subscribers.size(); }, 60000)
        || subscribers.size() != size_t(count)) {
        std::fprintf(stderr, "relaysbench: only %zu of %d subscribers\n", subscribers.subscribed(), count);
        result.lost = posts;
        return result;
    }
    RunningMonitor monitor("[MQTT]\nBroker=mqtt://127.0.0.1:" + std::to_string(port) + "\n", "connected to the broker");
    std::vector<double> latencies;
    const Usage before = usageOf(monitor.pid), brokerBefore = usageOf(broker);
    for (size_t i = 0; i < posts; ++i) {
        const size_t expected = subscribers.received() + subscribers.size();
        const Clock::time_point sent = Clock::now();
        if (!postOnce(monitor.folder, long(i))
            || !subscribers.serve([&] { return subscribers.received() >= expected; }, 10000)) {
            ++result.lost;
            continue;
        }
        latencies.push_back(millisecondsBetween(sent, subscribers.last()));
    }
    if (result.lost > 0) {
        std::ifstream said(monitor.folder + "/said");
        std::fprintf(stderr, "relaysbench: the monitor said:\n%s\n",
                     std::string((std::istreambuf_iterator<char>(said)), std::istreambuf_iterator<char>()).c_str());
    }
    result.monitorCpuUsPerPost = (usageOf(monitor.pid).cpuMs - before.cpuMs) * 1000 / double(posts);
    result.brokerCpuUsPerPost = (usageOf(broker).cpuMs - brokerBefore.cpuMs) * 1000 / double(posts);
    std::tie(result.p50Ms, result.p99Ms) = percentiles(latencies);
    result.posts = posts;
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    signal(SIGPIPE, SIG_IGN);
    // A thousand subscribers are a thousand descriptors, here and at the broker.
    rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    mosquitto_lib_init();

    std::vector<Result> results;
    for (int count : {1, 10, 100})
        results.push_back(datagrams(count, quick ? 100 : 500));

    const std::string brokerFolder = makeTempDir("broker");
    const int port = 20000 + int(getpid() % 20000);
    std::ofstream(brokerFolder + "/mosquitto.conf")
        << "user " << (getenv("USER") ? getenv("USER") : "root") << "\nlistener " << port
        << " 127.0.0.1\nallow_anonymous true\nmax_connections -1\n";
    const pid_t broker = spawn({"mosquitto", "-c", brokerFolder + "/mosquitto.conf"}, {}, brokerFolder + "/log");
    sleepFor(500);
    for (int count : {1, 100, 1000})
        results.push_back(mqtt(count, count >= 1000 ? (quick ? 20 : 100) : (quick ? 50 : 300), port, broker));
    stop(broker);
    std::filesystem::remove_all(brokerFolder);

    std::printf("\nThe fax monitor's own relays: a post as the hook makes it, until it has reached the last "
                "receiver\n(loopback; mosquitto on this machine).\n\n");
    std::printf("| %-54s | %9s | %9s | %13s | %13s | %5s |\n", "figure", "p50 (ms)", "p99 (ms)",
                "monitor us/post", "broker us/post", "lost");
    std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(56, '-').c_str(), std::string(11, '-').c_str(),
                std::string(11, '-').c_str(), std::string(15, '-').c_str(), std::string(15, '-').c_str(),
                std::string(7, '-').c_str());
    for (const Result &r : results)
        std::printf("| %-54s | %9s | %9s | %13s | %13s | %5zu |\n", r.what.c_str(), number(r.p50Ms, 2).c_str(),
                    number(r.p99Ms, 2).c_str(), number(r.monitorCpuUsPerPost, 0).c_str(),
                    r.brokerCpuUsPerPost < 0 ? "-" : number(r.brokerCpuUsPerPost, 0).c_str(), r.lost);
    mosquitto_lib_cleanup();
    return 0;
}
