#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QLocalSocket>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QList>
#include <QString>
#include <QUdpSocket>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

class LinkServer;
class QTemporaryDir;

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
    explicit UdpReceiver(const QHostAddress &address = QHostAddress::LocalHost, quint16 port = 0);
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

// The fax monitor as a process, in a folder of its own that any user may
// reach (for the tests that act as an intruder). What it says (its standard
// error) is collected while the test waits with QTRY_* or QTest::qWait.
class MonitorProcess
{
public:
    // Receptions are held for links that come later only where a test says
    // so: the tests' links come and go all the time.
    static inline const QString DefaultDelays = QStringLiteral("post=300,refusals=300,comings=0,hold=0,mqttretry=200");

    MonitorProcess();
    ~MonitorProcess();
    // Starts it with the relays' configuration config (when empty, whatever
    // the test put at configFile(), or none),
    // and arguments besides, through wrapper when one is given (a shell that
    // sets limits, say); true once it listens.
    bool start(const QByteArray &config = QByteArray(), const QString &delays = DefaultDelays,
               const QStringList &arguments = QStringList(), const QStringList &wrapper = QStringList());
    // Ends it as systemd does; true when it ended by itself with status 0.
    bool terminate();
    void kill();
    QProcess &process() { return m_process; }
    QString folder() const;
    QString path(const QString &name) const;
    QString linkSocket() const;
    QString postSocket() const;
    QString configFile() const { return path(QStringLiteral("kavrel-faxmon.conf")); }
    // What it has said since it was started.
    QByteArray said() const { return m_said; }

    // The fields of a post, each ended by a NUL byte.
    static QByteArray fields(const QList<QByteArray> &values);
    // Posts raw bytes as the hook would; true when the monitor took them.
    bool post(const QByteArray &bytes);
    // A link, connected once the monitor has taken it in.
    std::unique_ptr<QLocalSocket> link();
    // Up to count lines from link (without their line ends), within timeout.
    static QList<QByteArray> readLines(QLocalSocket *link, int count, int timeout = 10000);

private:
    std::unique_ptr<QTemporaryDir> m_folder;
    QProcess m_process;
    QByteArray m_said;
};

// A program of ours run as a process, in the test's own folders, on the
// offscreen platform unless given another environment (a Desktop's);
// wrapper runs before it (setpriv, say). kavrelSArguments() make kavrel-s
// find the system fax monitor in the runtime folder (systemMonitorSocket())
// and wait only briefly at its start.
class Program
{
public:
    explicit Program(const QString &path, const QStringList &arguments = QStringList(),
                     const QProcessEnvironment &environment = QProcessEnvironment(),
                     const QStringList &wrapper = QStringList());
    ~Program();
    QProcess &process() { return m_process; }
    qint64 pid() const { return m_process.processId(); }
    // What it said on its standard error so far.
    QByteArray said() const { return m_said; }

private:
    QProcess m_process;
    QByteArray m_said;
};
QStringList kavrelSArguments(const QString &delays = QStringLiteral("wait=300,connect=300"),
                             const QString &monitorSocket = QString());
QString systemMonitorSocket();

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

// A real mosquitto broker on loopback ports of its own: one plain, with a
// user and a password (anonymous clients are refused), and one with TLS,
// whose certificate (for localhost and 127.0.0.1) a CA made by the test
// signs. It keeps its sessions over a restart, so a subscriber that asked to
// be remembered gets what was published while it was away.
class TestBroker
{
public:
    static QString user() { return QStringLiteral("faxserver"); }
    static QString password() { return QStringLiteral("fax-secret"); }

    TestBroker();
    ~TestBroker();
    // What is missing to run it (mosquitto, openssl), or the empty text.
    QString missing() const { return m_missing; }
    bool start();
    void stop();
    // Another account, and an ACL (mosquitto's acl_file): before start().
    bool addUser(const QString &name, const QString &password);
    bool setAcl(const QByteArray &acl);
    // Lines of mosquitto's configuration more (a bridge): before start().
    bool addConfig(const QByteArray &lines);
    // Stopped, it forgets what it kept (sessions, retained messages), as a
    // broker without persistence does over a restart.
    void forget();
    quint16 port() const { return m_port; }
    quint16 tlsPort() const { return m_tlsPort; }
    QString url() const { return QStringLiteral("mqtt://127.0.0.1:%1").arg(m_port); }
    QString tlsUrl() const { return QStringLiteral("mqtts://localhost:%1").arg(m_tlsPort); }
    QString caFile() const;
    // A CA that did not sign the broker's certificate.
    QString otherCaFile() const;
    QString folder() const;

private:
    QString m_missing;
    std::unique_ptr<class QTemporaryDir> m_dir;
    QProcess m_broker;
    quint16 m_port = 0;
    quint16 m_tlsPort = 0;
};

// A fax monitor's [MQTT] part for broker: the fax server's account, its
// password in a file of monitor's folder, and the server's name.
QByteArray monitorBrokerConfig(const MonitorProcess &monitor, const TestBroker &broker, const QString &server);

// mosquitto_sub on a broker of the tests: the messages of a topic, one a
// line. It asks the broker to remember it (QoS 1, a session of its own), so
// it misses nothing while the broker restarts.
class TestSubscriber
{
public:
    TestSubscriber(const TestBroker &broker, const QString &topic);
    ~TestSubscriber();
    // Subscribed, as a message on a probe topic of its own shows.
    bool ready();
    QList<QByteArray> messages();

private:
    const TestBroker &m_broker;
    QString m_topic;
    QProcess m_process;
    QByteArray m_output;
};

// A private session bus of the test's (or the benchmark's) own, with the
// services described in serviceFolder to start (none when empty); what it
// starts gets environment.
class SessionBus
{
public:
    SessionBus();
    ~SessionBus();
    // Its address, or the empty text when it could not be started.
    QString start(const QString &serviceFolder = QString(),
                  const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
    void stop();

private:
    QProcess m_daemon;
    std::unique_ptr<QTemporaryDir> m_folder;
};

// A private copy of the fax server's spool (its scripts, its configuration
// and a recvq) where HylaFAX's own faxrcvd runs, as the fax server's user,
// on faxes the test makes; nothing of an installed fax server is changed.
// Needs root (to act as the fax user), hylafax-server and libtiff-tools.
class HylaFaxSpool
{
public:
    HylaFaxSpool();
    ~HylaFaxSpool();
    // What is missing to use it, or the empty text.
    QString missing() const { return m_missing; }
    QString path() const;
    // A fax of pages pages as the fax server receives it into recvq/name:
    // Group 4, fine resolution, with the sender's TSI and the time of
    // reception as the fax server writes them.
    bool makeFax(const QString &name, int pages);
    // A fax of one blank page, rows long (Group 4, a bit a row), as HylaFAX
    // would keep it; with brokenStrip, its strip runs past the end of the
    // file.
    bool makeLongFax(const QString &name, int rows, bool brokenStrip = false);
    // The fax in the TIFF file source, its pages copies times over, as the
    // fax server receives it into recvq/name.
    bool putFax(const QString &name, const QString &source, int copies = 1);
    // FaxDispatch with the hook as shipped, posting to the monitor in
    // monitorFolder; with none, no hook at all.
    bool useHook(const QString &monitorFolder);
    // faxrcvd on recvq/name, as the fax server runs it for a fax that came
    // on device; its exit status.
    int faxrcvd(const QString &name, const QString &commId, const QString &message = QString(),
                const QString &device = QStringLiteral("ttyS0"));

private:
    std::unique_ptr<QTemporaryDir> m_folder;
    QString m_missing;
};

// A virtual screen with a window manager, and xdotool to act as the user.
class Desktop
{
public:
    Desktop()
    {
        for (const char *tool : {"Xvfb", "openbox", "xdotool"}) {
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty()) {
                m_missing.append(QLatin1String(tool));
            }
        }
        if (!m_missing.isEmpty())
            return;
        // Xvfb picks a free display itself and writes its number once it
        // accepts clients: its socket file is there a moment before that, and
        // a window manager started then could not open the display. Without
        // -noreset it starts over whenever its last client leaves (a probe
        // before the window manager came), and a connection on the way then
        // can be dropped.
        m_xvfb.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-noreset"),
                                              QStringLiteral("-screen"), QStringLiteral("0"),
                                              QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                                              QStringLiteral("tcp")});
        if (m_xvfb.waitForStarted(5000)
            && QTest::qWaitFor([this] { return m_xvfb.canReadLine() || m_xvfb.state() != QProcess::Running; }, 10000)
            && m_xvfb.canReadLine()) {
            bool number = false;
            const QByteArray line = m_xvfb.readLine().trimmed();
            line.toUInt(&number);
            if (number)
                m_display = QLatin1Char(':') + QString::fromLatin1(line);
        }
        if (m_display.isEmpty()) {
            m_missing.append(QStringLiteral("an X server that starts (Xvfb)"));
            return;
        }
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), m_display);
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configDir());
        m_windowManager.setProcessEnvironment(environment);
        m_windowManager.setProcessChannelMode(QProcess::MergedChannels);
        m_windowManager.start(QStringLiteral("openbox"), QStringList());
        m_windowManager.waitForStarted();
        // Managing windows once it has said so on the root window.
        if (!QTest::qWaitFor([this] {
                return run(QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")})
                    .contains(QLatin1String("window id"));
            }, 10000))
            m_missing.append(QStringLiteral("a window manager that starts (openbox on %1, %2: %3)")
                                 .arg(m_display,
                                      m_windowManager.state() == QProcess::Running
                                          ? QStringLiteral("running")
                                          : QStringLiteral("exit %1").arg(m_windowManager.exitCode()),
                                      QString::fromLocal8Bit(m_windowManager.readAll()).trimmed()));
    }
    ~Desktop()
    {
        m_bus.stop();
        for (QProcess *process : {&m_windowManager, &m_xvfb}) {
            process->terminate();
            if (!process->waitForFinished(3000))
                process->kill();
        }
    }

    QString missing() const { return m_missing.join(QStringLiteral(", ")); }
    QString display() const { return m_display; }

    // A private session bus that starts the services described in
    // serviceFolder (see SessionBus); the empty text when it could not be
    // started.
    QString startSessionBus(const QString &serviceFolder)
    {
        m_busAddress = m_bus.start(serviceFolder, environment());
        return m_busAddress;
    }

    // The environment of a program on this desktop (and its session bus).
    QProcessEnvironment environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), m_display);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        if (!m_busAddress.isEmpty())
            environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_busAddress);
        else
            environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        return environment;
    }

    // A tool run on this desktop and its bus; its standard output.
    QString run(const QString &program, const QStringList &arguments) const
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(program, arguments);
        if (!process.waitForFinished(10000))
            process.kill();
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }

    QString xdotool(const QStringList &arguments) const { return run(QStringLiteral("xdotool"), arguments); }

    // The window of process pid with that title, once it is there.
    QString window(qint64 pid, const QString &title, bool visibleOnly = false, int timeout = 10000) const
    {
        QElapsedTimer timer;
        timer.start();
        do {
            QStringList arguments{QStringLiteral("search")};
            if (visibleOnly)
                arguments << QStringLiteral("--onlyvisible");
            arguments << QStringLiteral("--pid") << QString::number(pid);
            const QStringList ids = xdotool(arguments).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            for (const QString &id : ids) {
                if (xdotool({QStringLiteral("getwindowname"), id}) == title)
                    return id;
            }
            QTest::qWait(100);
        } while (timer.elapsed() < timeout);
        return QString();
    }

    void activate(const QString &window) const
    {
        xdotool({QStringLiteral("windowactivate"), QStringLiteral("--sync"), window});
        QTest::qWait(200);
    }

    // A click at x, y (logical pixels) inside the window's client area.
    void click(const QString &window, int x, int y) const
    {
        xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window, QString::number(x),
                 QString::number(y), QStringLiteral("click"), QStringLiteral("1")});
        QTest::qWait(200);
    }

    void key(const QString &keys) const
    {
        xdotool({QStringLiteral("key"), QStringLiteral("--clearmodifiers"), keys});
        QTest::qWait(200);
    }

    void type(const QString &text) const
    {
        xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"), text});
        QTest::qWait(200);
    }

private:
    QStringList m_missing;
    QString m_display;
    QProcess m_xvfb;
    QProcess m_windowManager;
    SessionBus m_bus;
    QString m_busAddress;
};


} // namespace TestSupport
