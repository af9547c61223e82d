#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QUdpSocket>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

class LinkServer;

// Every test program runs in folders of its own: XDG_CONFIG_HOME,
// XDG_RUNTIME_DIR, XDG_CACHE_HOME and XDG_DATA_HOME point at fresh temporary
// folders (set up before main), so no test reads or writes a real user's
// files; and the fax link's system monitor socket is one in the runtime
// folder, so none reaches a fax monitor running on the machine.
namespace TestSupport {

QString configDir();
QString runtimeDir();
QString dataDir();
QString settingsFile();
// Removes the settings file (or whatever stands in its place), so the next read finds nothing stored.
void clearSettings();

// A UDP receiver on a loopback port that keeps every datagram it gets.
class UdpReceiver
{
public:
    explicit UdpReceiver(const QHostAddress &address = QHostAddress::LocalHost);
    quint16 port() const { return m_socket.localPort(); }
    // Datagrams received so far (collects what is pending first).
    QList<QByteArray> &datagrams();

private:
    QUdpSocket m_socket;
    QList<QByteArray> m_datagrams;
};

// A receiver that keeps up with a burst: a thread of its own reads a socket
// with a large receive buffer, so the kernel drops nothing while the test's
// event loop is busy.
class FastUdpReceiver
{
public:
    explicit FastUdpReceiver(quint16 port = 0);
    ~FastUdpReceiver();
    FastUdpReceiver(const FastUdpReceiver &) = delete;
    FastUdpReceiver &operator=(const FastUdpReceiver &) = delete;

    bool ok() const { return m_fd >= 0; }
    quint16 port() const { return m_port; }
    int count() const;
    QList<QByteArray> datagrams() const;

private:
    void run();

    int m_fd = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    QList<QByteArray> m_datagrams;
    std::thread m_thread;
};

// A stand-in for the fax product's monitor on the fax link's socket; the test
// writes bytes through it to every link that has connected.
class TestMonitor
{
public:
    explicit TestMonitor(const QString &path);
    ~TestMonitor();
    bool listen();
    // Drops every link and stops listening, as a monitor that goes away.
    void stop();
    // Waits (processing events) until a link has connected.
    bool waitForLink(int timeout = 10000);
    int linkCount() const;
    void write(const QByteArray &bytes);

private:
    QString m_path;
    std::unique_ptr<LinkServer> m_server;
};

// Makes a file or folder read-only (or, with other bits cleared, unreadable)
// for as long as it lives. Root ignores file permissions, so for root the
// permission-overriding capabilities are also dropped from the effective set
// (and given back afterwards).
class ReadOnly
{
public:
    explicit ReadOnly(const QString &path, unsigned clearedBits = 0222);
    ~ReadOnly();
    ReadOnly(const ReadOnly &) = delete;
    ReadOnly &operator=(const ReadOnly &) = delete;
    bool ok() const { return m_ok; }

private:
    QString m_path;
    unsigned m_mode = 0;
    bool m_ok = false;
    bool m_capsLowered = false;
};

} // namespace TestSupport
