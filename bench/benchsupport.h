#pragma once

// What the benchmarks share: clocks, temporary folders, child processes,
// what /proc says of them, percentiles, and a post made as the fax server's
// reception hook makes it.

#include "core/monitorprotocol.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double millisecondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

inline void sleepFor(double milliseconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(milliseconds));
}

inline std::string makeTempDir(const char *name)
{
    std::string pattern = std::string("/tmp/kavrel-bench-") + name + "-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return pattern;
}


// --- What /proc says of a process, all its threads included.

struct Usage
{
    double cpuMs = 0;
    long contextSwitches = 0;
};

inline Usage usageOf(pid_t pid)
{
    Usage usage;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = opendir(tasks.c_str());
    if (!dir)
        return usage;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string task = tasks + "/" + entry->d_name;
        std::ifstream schedstat(task + "/schedstat");
        double runNs = 0;
        if (schedstat >> runNs)
            usage.cpuMs += runNs / 1e6;
        std::ifstream status(task + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                usage.contextSwitches += std::atol(line.substr(line.find(':') + 1).c_str());
        }
    }
    closedir(dir);
    return usage;
}

// A "kB" figure of /proc/PID/status.
inline long statusKb(pid_t pid, const char *field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0)
            return std::atol(line.substr(std::strlen(field)).c_str());
    }
    return 0;
}

inline double residentMegabytes(pid_t pid, const char *field = "VmRSS:")
{
    return statusKb(pid, field) / 1024.0;
}


// --- A child process.

// Standard input and output go to /dev/null; standard error to errorFile
// when one is given.
inline pid_t spawn(const std::vector<std::string> &command, const std::vector<std::string> &environment,
                   const std::string &errorFile = std::string())
{
    const pid_t pid = fork();
    if (pid == 0) {
        for (const std::string &variable : environment)
            putenv(strdup(variable.c_str()));
        std::vector<char *> argv;
        for (const std::string &word : command)
            argv.push_back(const_cast<char *>(word.c_str()));
        argv.push_back(nullptr);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        if (!errorFile.empty()) {
            const int error = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(error, STDERR_FILENO);
        }
        // Nothing of this process's own (a thousand sockets, say) goes along.
        close_range(3, ~0U, 0);
        execvp(argv[0], argv.data());
        std::perror("exec");
        _exit(127);
    }
    return pid;
}

inline void stop(pid_t pid)
{
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}


// The median and the 99th percentile.
inline std::pair<double, double> percentiles(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    if (values.empty())
        return {0, 0};
    return {values[values.size() / 2], values[std::min(values.size() - 1, values.size() * 99 / 100)]};
}


// A post as the fax server's reception hook makes it, to the monitor that
// listens in folder; the sequence number stands in its last field.
inline bool postOnce(const std::string &folder, long sequence)
{
    QString error;
    return MonitorProtocol::post(QString::fromStdString(folder),
                                 {"2026:12:07 06:38:44", "81 3 1234 5678", "0312345678", "\xef\xbe\x94\xef\xbe\x8f", "1",
                                  QByteArray::number(qlonglong(sequence))},
                                 2000, &error);
}


inline std::string number(double value, int decimals = 1)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}


} // namespace bench
