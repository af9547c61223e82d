#include "testsupport.h"

#include "components/socketfaxlink.h"
#include "core/linkserver.h"
#include "core/monitorprotocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::string makeTempDir(const char *name)
{
    std::string pattern = std::string(P_tmpdir) + "/kavrel-test-" + name + "-XXXXXX";
    if (!mkdtemp(pattern.data()))
        std::abort();
    chmod(pattern.c_str(), 0700);
    return pattern;
}

void removeTree(const std::string &path)
{
    QDir(QString::fromStdString(path)).removeRecursively();
}

// Set up before main, so that nothing in the test can see the real folders,
// nor a system fax monitor that may run on the machine.
struct Folders
{
    std::string config = makeTempDir("config");
    std::string runtime = makeTempDir("runtime");
    std::string cache = makeTempDir("cache");
    std::string data = makeTempDir("data");
    Folders()
    {
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("XDG_CACHE_HOME", cache.c_str(), 1);
        setenv("XDG_DATA_HOME", data.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        SocketFaxLink::setSystemSocketPath(QString::fromStdString(runtime + "/system-monitor.sock"));
    }
    ~Folders()
    {
        for (const std::string &folder : {config, runtime, cache, data})
            removeTree(folder);
    }
} folders;

bool setDacCapabilities(bool effective)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    const unsigned bits = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER);
    if (effective)
        data[0].effective |= bits & data[0].permitted;
    else
        data[0].effective &= ~bits;
    return syscall(SYS_capset, &header, data) == 0;
}

} // namespace

namespace TestSupport {

QString configDir() { return QString::fromStdString(folders.config); }
QString runtimeDir() { return QString::fromStdString(folders.runtime); }
QString dataDir() { return QString::fromStdString(folders.data); }
QString settingsFile() { return configDir() + QStringLiteral("/Kavrel.conf"); }
QString systemMonitorSocket() { return runtimeDir() + QStringLiteral("/system-monitor.sock"); }
void clearSettings()
{
    QFile::remove(settingsFile());
    QDir(settingsFile()).removeRecursively();
}

UdpReceiver::UdpReceiver(const QHostAddress &address, quint16 port)
{
    m_socket.bind(address, port);
}

QList<QByteArray> &UdpReceiver::datagrams()
{
    while (m_socket.hasPendingDatagrams()) {
        QByteArray datagram(m_socket.pendingDatagramSize(), Qt::Uninitialized);
        m_socket.readDatagram(datagram.data(), datagram.size());
        m_datagrams.append(datagram);
    }
    return m_datagrams;
}

FastUdpReceiver::FastUdpReceiver(quint16 port)
{
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return;
    // Root may go past the system's limit on receive buffers.
    const int size = 64 * 1024 * 1024;
    if (setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread(&FastUdpReceiver::run, this);
}

FastUdpReceiver::~FastUdpReceiver()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0)
        ::close(m_fd);
}

void FastUdpReceiver::run()
{
    QByteArray buffer(65536, Qt::Uninitialized);
    while (!m_stop) {
        pollfd pfd{m_fd, POLLIN, 0};
        if (poll(&pfd, 1, 50) <= 0)
            continue;
        const ssize_t got = ::recv(m_fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0)
            continue;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_datagrams.append(buffer.left(got));
    }
}

int FastUdpReceiver::count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_datagrams.size();
}

QList<QByteArray> FastUdpReceiver::datagrams() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_datagrams;
}

TestMonitor::TestMonitor(const QString &path)
    : m_path(path)
    , m_server(std::make_unique<LinkServer>())
{
    // Tests write far more at once than a monitor would.
    LinkServer::Limits limits;
    limits.maxQueuedPerLink = limits.maxQueuedTotal = 256 * 1024 * 1024;
    m_server->setLimits(limits);
    listen();
}

TestMonitor::~TestMonitor() = default;

bool TestMonitor::listen()
{
    QString error;
    if (m_server->listen(m_path, 0600, &error))
        return true;
    qWarning("test monitor: %s", qPrintable(error));
    return false;
}

void TestMonitor::stop()
{
    m_server->close();
}

bool TestMonitor::waitForLink(int timeout)
{
    return QTest::qWaitFor([this] { return m_server->linkCount() > 0; }, timeout);
}

int TestMonitor::linkCount() const
{
    return m_server->linkCount();
}

void TestMonitor::write(const QByteArray &bytes)
{
    m_server->publish(bytes);
}

SessionBus::SessionBus() = default;

SessionBus::~SessionBus()
{
    stop();
}

QString SessionBus::start(const QString &serviceFolder, const QProcessEnvironment &environment)
{
    m_folder = std::make_unique<QTemporaryDir>();
    QFile config(m_folder->filePath(QStringLiteral("bus.conf")));
    if (!config.open(QIODevice::WriteOnly))
        return QString();
    config.write("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                 " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                 "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>");
    if (!serviceFolder.isEmpty())
        config.write("<servicedir>" + QFile::encodeName(serviceFolder) + "</servicedir>");
    config.write("<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                 "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    config.close();
    m_daemon.setProcessEnvironment(environment);
    m_daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config.fileName(),
                                                   QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (!m_daemon.waitForStarted(5000) || !m_daemon.waitForReadyRead(5000))
        return QString();
    return QString::fromUtf8(m_daemon.readLine()).trimmed();
}

void SessionBus::stop()
{
    if (m_daemon.state() == QProcess::NotRunning)
        return;
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(3000))
        m_daemon.kill();
    m_daemon.waitForFinished(1000);
}

namespace {

bool runQuietlyHere(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

const QString InstalledSpool = QStringLiteral("/var/spool/hylafax");

} // namespace

HylaFaxSpool::HylaFaxSpool()
    : m_folder(std::make_unique<QTemporaryDir>())
{
    if (geteuid() != 0) {
        m_missing = QStringLiteral("root, to run the fax server's script as its user");
        return;
    }
    for (const QString &tool : {InstalledSpool + QStringLiteral("/bin/faxrcvd"), QStringLiteral("/usr/bin/ppm2tiff"),
                                QStringLiteral("/usr/bin/tiffcp"), QStringLiteral("/usr/bin/tiffset")}) {
        if (!QFile::exists(tool)) {
            m_missing = tool + QStringLiteral(" (hylafax-server, libtiff-tools)");
            return;
        }
    }
    // Reachable by the fax user, as its spool is.
    QFile::setPermissions(m_folder->path(), QFile::permissions(m_folder->path()) | QFileDevice::ReadOther
                                                 | QFileDevice::ExeOther);
    if (!QDir().mkpath(path() + QStringLiteral("/recvq"))
        || !runQuietlyHere(QStringLiteral("cp"), {QStringLiteral("-a"), InstalledSpool + QStringLiteral("/bin"), path()})
        || !runQuietlyHere(QStringLiteral("cp"), {QStringLiteral("-a"), QStringLiteral("/etc/hylafax/."),
                                                  path() + QStringLiteral("/etc")})
        || !runQuietlyHere(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("uucp:uucp"), path()}))
        m_missing = QStringLiteral("a copy of the fax server's spool");
}

HylaFaxSpool::~HylaFaxSpool() = default;

QString HylaFaxSpool::path() const
{
    return m_folder->filePath(QStringLiteral("spool"));
}

bool HylaFaxSpool::makeFax(const QString &name, int pages)
{
    QStringList parts;
    for (int i = 0; i < pages; ++i) {
        // A page with a bar across it, a different place on each.
        QByteArray pbm = "P4\n1728 400\n" + QByteArray(216 * 400, '\0');
        pbm.replace(216 * (20 + i * 10), 216 * 8, QByteArray(216 * 8, '\xff'));
        QFile page(m_folder->filePath(QStringLiteral("page%1.pbm").arg(i)));
        const QString tiff = m_folder->filePath(QStringLiteral("page%1.tif").arg(i));
        if (!page.open(QIODevice::WriteOnly) || page.write(pbm) != pbm.size())
            return false;
        page.close();
        if (!runQuietlyHere(QStringLiteral("ppm2tiff"), {QStringLiteral("-c"), QStringLiteral("g4"), QStringLiteral("-R"),
                                                        QStringLiteral("204x196"), page.fileName(), tiff}))
            return false;
        parts.append(tiff);
    }
    const QString fax = path() + QStringLiteral("/recvq/") + name;
    QFile::remove(fax);
    return runQuietlyHere(QStringLiteral("tiffcp"), parts + QStringList{fax})
        && runQuietlyHere(QStringLiteral("tiffset"), {QStringLiteral("-s"), QStringLiteral("270"), QStringLiteral("81 3 1234 5678"), fax})
        && runQuietlyHere(QStringLiteral("tiffset"), {QStringLiteral("-s"), QStringLiteral("306"), QStringLiteral("2026:12:07 06:38:44"), fax})
        && runQuietlyHere(QStringLiteral("chown"), {QStringLiteral("uucp:uucp"), fax})
        && QFile::setPermissions(fax, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

bool HylaFaxSpool::putFax(const QString &name, const QString &source, int copies)
{
    const QString fax = path() + QStringLiteral("/recvq/") + name;
    QFile::remove(fax);
    QStringList sources;
    for (int i = 0; i < copies; ++i)
        sources.append(source);
    // A time of reception of its own: the same sender at the same second
    // with as many pages is the same reception to a desk.
    static int faxes = 0;
    ++faxes;
    return runQuietlyHere(QStringLiteral("tiffcp"), sources + QStringList{fax})
        && runQuietlyHere(QStringLiteral("tiffset"),
                          {QStringLiteral("-s"), QStringLiteral("306"),
                           QStringLiteral("2026:12:07 07:%1:%2").arg(faxes / 60, 2, 10, QLatin1Char('0')).arg(faxes % 60, 2, 10, QLatin1Char('0')), fax})
        && runQuietlyHere(QStringLiteral("chown"), {QStringLiteral("uucp:uucp"), fax})
        && QFile::setPermissions(fax, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

bool HylaFaxSpool::makeLongFax(const QString &name, int rows, bool brokenStrip)
{
    // A blank row under a blank row is one bit in Group 4 (vertical mode,
    // no change): the page's data is a bit a row.
    const QByteArray data((rows + 7) / 8, '\xff');
    const quint32 dataAt = 8, ifdAt = dataAt + quint32(data.size() + data.size() % 2);
    const quint16 entries = 12;
    const quint32 rationalsAt = ifdAt + 2 + entries * 12 + 4;
    QByteArray tiff("II*\0", 4);
    auto u16 = [&tiff](quint16 v) { tiff.append(char(v & 0xff)).append(char(v >> 8)); };
    auto u32 = [&tiff](quint32 v) { for (int i = 0; i < 4; ++i) tiff.append(char((v >> (8 * i)) & 0xff)); };
    u32(ifdAt);
    tiff += data;
    tiff.resize(ifdAt, '\0');
    u16(entries);
    auto entry = [&](quint16 tag, quint16 type, quint32 value) {
        u16(tag);
        u16(type);
        u32(1);
        if (type == 3) {
            u16(quint16(value));
            u16(0);
        } else {
            u32(value);
        }
    };
    entry(256, 3, 1728);                 // width
    entry(257, 4, quint32(rows));        // length
    entry(258, 3, 1);                    // bits per sample
    entry(259, 3, 4);                    // Group 4
    entry(262, 3, 0);                    // white is zero
    entry(273, 4, dataAt);               // strip offset
    entry(277, 3, 1);                    // samples per pixel
    entry(278, 4, quint32(rows));        // rows per strip
    entry(279, 4, quint32(data.size()) + (brokenStrip ? 5000000 : 0)); // strip bytes
    entry(282, 5, rationalsAt);          // 204 dpi across
    entry(283, 5, rationalsAt + 8);      // 196 lines per inch
    entry(296, 3, 2);                    // inches
    u32(0);
    for (quint32 value : {204u, 1u, 196u, 1u})
        u32(value);
    const QString fax = path() + QStringLiteral("/recvq/") + name;
    QFile file(fax);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(tiff) == tiff.size()
        && (file.close(), runQuietlyHere(QStringLiteral("chown"), {QStringLiteral("uucp:uucp"), fax}));
}

bool HylaFaxSpool::useHook(const QString &monitorFolder)
{
    QFile dispatch(path() + QStringLiteral("/etc/FaxDispatch"));
    if (!dispatch.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    // No mail: the fax server's own notification is not what is tested.
    dispatch.write("NOTIFY_FAXMASTER=never\n");
    if (!monitorFolder.isEmpty()) {
        // The hook as shipped, pointed at this test's monitor.
        QFile hook(QStringLiteral(KAVREL_HOOK));
        if (!hook.open(QIODevice::ReadOnly))
            return false;
        dispatch.write(hook.readAll().replace("--post", "--post --folder '" + QFile::encodeName(monitorFolder) + "'"));
    }
    return true;
}

int HylaFaxSpool::faxrcvd(const QString &name, const QString &commId, const QString &message, const QString &device)
{
    QProcess process;
    process.start(QStringLiteral("su"), {QStringLiteral("-s"), QStringLiteral("/bin/sh"), QStringLiteral("uucp"),
                                         QStringLiteral("-c"),
                                         QStringLiteral("cd '%1' && bin/faxrcvd 'recvq/%2' '%5' '%3' '%4' 0312345678 'ﾔﾏﾀﾞｼｮｳｼﾞ'")
                                             .arg(path(), name, commId, message, device)});
    process.waitForFinished(30000);
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

MonitorProcess::MonitorProcess()
    : m_folder(std::make_unique<QTemporaryDir>())
{
    QFile::setPermissions(m_folder->path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                | QFileDevice::ReadOther | QFileDevice::ExeOther);
    QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process,
                     [this] { m_said += m_process.readAllStandardError(); });
}

MonitorProcess::~MonitorProcess()
{
    kill();
}

QString MonitorProcess::folder() const { return m_folder->path(); }
QString MonitorProcess::path(const QString &name) const { return m_folder->filePath(name); }
QString MonitorProcess::linkSocket() const { return path(MonitorProtocol::linkSocketName()); }
QString MonitorProcess::postSocket() const { return path(MonitorProtocol::postSocketName()); }

bool MonitorProcess::start(const QByteArray &config, const QString &delays, const QStringList &arguments,
                           const QStringList &wrapper)
{
    kill();
    QFile file(configFile());
    if (!config.isEmpty() && (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(config) != config.size()))
        return false;
    file.close();
    m_said.clear();
    const QStringList command = wrapper
        + QStringList{QStringLiteral(KAVREL_FAXMON), QStringLiteral("--folder"), folder(), QStringLiteral("--config"),
                      configFile(), QStringLiteral("--state-folder"), folder(), QStringLiteral("--test-delays"), delays}
        + arguments;
    m_process.start(command.first(), command.mid(1));
    return QTest::qWaitFor([this] { return m_said.contains("listening in") || m_process.state() == QProcess::NotRunning; },
                           10000)
        && m_process.state() == QProcess::Running;
}

bool MonitorProcess::terminate()
{
    m_process.terminate();
    return m_process.waitForFinished(5000) && m_process.exitStatus() == QProcess::NormalExit
        && m_process.exitCode() == 0;
}

void MonitorProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(5000);
}

QByteArray MonitorProcess::fields(const QList<QByteArray> &values)
{
    QByteArray bytes;
    for (const QByteArray &value : values)
        bytes += value + '\0';
    return bytes;
}

bool MonitorProcess::post(const QByteArray &bytes)
{
    QLocalSocket poster;
    poster.connectToServer(postSocket());
    if (!poster.waitForConnected(2000))
        return false;
    poster.write(bytes);
    poster.waitForBytesWritten(2000);
    while (!poster.canReadLine() && poster.waitForReadyRead(3000)) {
    }
    return poster.readLine() == "OK\n";
}

std::unique_ptr<QLocalSocket> MonitorProcess::link()
{
    // Connected once the monitor has taken it in, not merely queued.
    const qsizetype taken = m_said.count(" connected (");
    auto socket = std::make_unique<QLocalSocket>();
    socket->connectToServer(linkSocket());
    if (!socket->waitForConnected(2000) || !QTest::qWaitFor([&] { return m_said.count(" connected (") > taken; }))
        qWarning("no link");
    return socket;
}

QList<QByteArray> MonitorProcess::readLines(QLocalSocket *link, int count, int timeout)
{
    QList<QByteArray> lines;
    QElapsedTimer timer;
    timer.start();
    while (lines.size() < count && timer.elapsed() < timeout) {
        if (!link->canReadLine())
            link->waitForReadyRead(100);
        while (link->canReadLine())
            lines.append(link->readLine().chopped(1));
    }
    return lines;
}

QStringList kavrelSArguments(const QString &delays, const QString &monitorSocket)
{
    return {QStringLiteral("--test-delays"), delays, QStringLiteral("--monitor-socket"),
            monitorSocket.isEmpty() ? systemMonitorSocket() : monitorSocket};
}

Program::Program(const QString &path, const QStringList &arguments, const QProcessEnvironment &environment,
                 const QStringList &wrapper)
{
    m_process.setProcessEnvironment(environment.isEmpty() ? QProcessEnvironment::systemEnvironment() : environment);
    // What it says goes to the test's log as it comes, and is kept.
    QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process, [this] {
        const QByteArray said = m_process.readAllStandardError();
        m_said += said;
        fwrite(said.constData(), 1, size_t(said.size()), stderr);
    });
    if (wrapper.isEmpty())
        m_process.start(path, arguments);
    else
        m_process.start(wrapper.first(), wrapper.mid(1) + QStringList{path} + arguments);
}

Program::~Program()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

ReadOnly::ReadOnly(const QString &path, unsigned clearedBits)
    : m_path(path)
{
    struct stat st;
    const QByteArray native = QFile::encodeName(path);
    if (stat(native.constData(), &st) != 0)
        return;
    m_mode = st.st_mode & 07777;
    if (chmod(native.constData(), m_mode & ~clearedBits) != 0)
        return;
    if (geteuid() == 0) {
        m_capsLowered = setDacCapabilities(false);
        m_ok = m_capsLowered;
    } else {
        m_ok = true;
    }
}

ReadOnly::~ReadOnly()
{
    if (m_capsLowered)
        setDacCapabilities(true);
    chmod(QFile::encodeName(m_path).constData(), m_mode);
}

} // namespace TestSupport

namespace TestSupport {

namespace {

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool runQuietly(const QString &program, const QStringList &arguments, const QString &folder)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(program, arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// A CA and, when server is given, a certificate it signs for localhost.
bool makeAuthority(const QString &folder, const QString &name, bool server)
{
    const QStringList ec{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                         QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    if (!runQuietly(QStringLiteral("openssl"),
                    QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ec
                        + QStringList{QStringLiteral("-keyout"), name + QStringLiteral(".key"), QStringLiteral("-out"),
                                      name + QStringLiteral(".crt"), QStringLiteral("-days"), QStringLiteral("2"),
                                      QStringLiteral("-subj"), QStringLiteral("/CN=kavrel test ") + name},
                    folder))
        return false;
    if (!server)
        return true;
    QFile extensions(folder + QStringLiteral("/server.ext"));
    if (!extensions.open(QIODevice::WriteOnly))
        return false;
    extensions.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n");
    extensions.close();
    return runQuietly(QStringLiteral("openssl"),
                      QStringList{QStringLiteral("req")} + ec
                          + QStringList{QStringLiteral("-keyout"), QStringLiteral("server.key"), QStringLiteral("-out"),
                                        QStringLiteral("server.csr"), QStringLiteral("-subj"), QStringLiteral("/CN=localhost")},
                      folder)
        && runQuietly(QStringLiteral("openssl"),
                      {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), QStringLiteral("server.csr"),
                       QStringLiteral("-CA"), name + QStringLiteral(".crt"), QStringLiteral("-CAkey"),
                       name + QStringLiteral(".key"), QStringLiteral("-CAcreateserial"), QStringLiteral("-out"),
                       QStringLiteral("server.crt"), QStringLiteral("-days"), QStringLiteral("2"),
                       QStringLiteral("-extfile"), QStringLiteral("server.ext")},
                      folder);
}

} // namespace

TestBroker::TestBroker()
    : m_dir(std::make_unique<QTemporaryDir>())
{
    for (const char *tool : {"mosquitto", "mosquitto_passwd", "mosquitto_sub", "openssl"}) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            m_missing += QLatin1String(tool) + QLatin1Char(' ');
    }
    if (!m_missing.isEmpty())
        return;
    const QString dir = m_dir->path();
    if (!runQuietly(QStringLiteral("mosquitto_passwd"),
                    {QStringLiteral("-b"), QStringLiteral("-c"), QStringLiteral("passwd"), user(), password()}, dir)
        || !makeAuthority(dir, QStringLiteral("ca"), true) || !makeAuthority(dir, QStringLiteral("other-ca"), false)) {
        m_missing = QStringLiteral("the broker's files could not be made");
        return;
    }
    m_port = freePort();
    m_tlsPort = freePort();
    QFile config(dir + QStringLiteral("/mosquitto.conf"));
    if (!config.open(QIODevice::WriteOnly))
        return;
    const QByteArray folder = QFile::encodeName(dir);
    const QByteArray self = qgetenv("USER").isEmpty() ? QByteArray("root") : qgetenv("USER");
    config.write("user " + self + "\n"
                 "allow_anonymous false\n"
                 "password_file " + folder + "/passwd\n"
                 "persistence true\n"
                 "persistence_location " + folder + "/\n"
                 "log_dest stderr\n"
                 "listener " + QByteArray::number(m_port) + " 127.0.0.1\n"
                 "listener " + QByteArray::number(m_tlsPort) + " 127.0.0.1\n"
                 "cafile " + folder + "/ca.crt\n"
                 "certfile " + folder + "/server.crt\n"
                 "keyfile " + folder + "/server.key\n");
}

TestBroker::~TestBroker()
{
    stop();
}

QString TestBroker::folder() const { return m_dir->path(); }

bool TestBroker::addUser(const QString &name, const QString &password)
{
    return runQuietly(QStringLiteral("mosquitto_passwd"), {QStringLiteral("-b"), QStringLiteral("passwd"), name, password},
                      m_dir->path());
}

bool TestBroker::setAcl(const QByteArray &acl)
{
    QFile file(m_dir->filePath(QStringLiteral("acl")));
    QFile config(m_dir->filePath(QStringLiteral("mosquitto.conf")));
    if (!file.open(QIODevice::WriteOnly) || file.write(acl) != acl.size() || !config.open(QIODevice::ReadWrite))
        return false;
    file.close();
    QByteArray text = config.readAll();
    text.replace("password_file ", "acl_file " + QFile::encodeName(file.fileName()) + "\npassword_file ");
    config.seek(0);
    return config.write(text) == text.size();
}
bool TestBroker::addConfig(const QByteArray &lines)
{
    QFile config(m_dir->filePath(QStringLiteral("mosquitto.conf")));
    return config.open(QIODevice::Append) && config.write(lines) == lines.size();
}

void TestBroker::forget()
{
    stop();
    QFile::remove(m_dir->filePath(QStringLiteral("mosquitto.db")));
}

QString TestBroker::caFile() const { return m_dir->filePath(QStringLiteral("ca.crt")); }
QString TestBroker::otherCaFile() const { return m_dir->filePath(QStringLiteral("other-ca.crt")); }

bool TestBroker::start()
{
    if (!m_missing.isEmpty())
        return false;
    m_broker.setProcessChannelMode(QProcess::MergedChannels);
    m_broker.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), m_dir->filePath(QStringLiteral("mosquitto.conf"))});
    if (!m_broker.waitForStarted(5000))
        return false;
    // Listening once a client can connect.
    return QTest::qWaitFor([this] {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, m_port);
        return probe.waitForConnected(100);
    }, 10000);
}

void TestBroker::stop()
{
    if (m_broker.state() == QProcess::NotRunning)
        return;
    m_broker.terminate();
    if (!m_broker.waitForFinished(5000))
        m_broker.kill();
    m_broker.waitForFinished(1000);
}

QByteArray monitorBrokerConfig(const MonitorProcess &monitor, const TestBroker &broker, const QString &server)
{
    QFile password(monitor.path(QStringLiteral("broker-password")));
    if (password.open(QIODevice::WriteOnly))
        password.write(TestBroker::password().toUtf8() + "\n");
    return "[MQTT]\nBroker=" + broker.url().toUtf8() + "\nUser=" + TestBroker::user().toUtf8()
        + "\nPasswordFile=" + QFile::encodeName(password.fileName()) + "\nServer=" + server.toUtf8() + "\n";
}

TestSubscriber::TestSubscriber(const TestBroker &broker, const QString &topic)
    : m_broker(broker)
    , m_topic(topic)
{
    static int number = 0;
    m_process.start(QStringLiteral("mosquitto_sub"),
                    {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(broker.port()),
                     QStringLiteral("-u"), TestBroker::user(), QStringLiteral("-P"), TestBroker::password(),
                     QStringLiteral("-q"), QStringLiteral("1"), QStringLiteral("-c"), QStringLiteral("-i"),
                     QStringLiteral("kavrel-test-%1-%2").arg(QCoreApplication::applicationPid()).arg(++number),
                     QStringLiteral("-t"), topic, QStringLiteral("-t"), QStringLiteral("kavrel-test/probe"),
                     QStringLiteral("-v")});
    m_process.waitForStarted(5000);
}

TestSubscriber::~TestSubscriber()
{
    m_process.kill();
    m_process.waitForFinished(3000);
}

bool TestSubscriber::ready()
{
    return QTest::qWaitFor([this] {
        QProcess::execute(QStringLiteral("mosquitto_pub"),
                          {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                           QString::number(m_broker.port()), QStringLiteral("-u"), TestBroker::user(), QStringLiteral("-P"),
                           TestBroker::password(), QStringLiteral("-t"), QStringLiteral("kavrel-test/probe"),
                           QStringLiteral("-m"), QStringLiteral("probe")});
        QTest::qWait(50);
        m_output += m_process.readAllStandardOutput();
        return m_output.contains("kavrel-test/probe probe");
    }, 10000);
}

QList<QByteArray> TestSubscriber::messages()
{
    m_output += m_process.readAllStandardOutput();
    QList<QByteArray> found;
    const QByteArray prefix = m_topic.toUtf8() + ' ';
    for (const QByteArray &line : m_output.split('\n')) {
        if (line.startsWith(prefix))
            found.append(line.mid(prefix.size()));
    }
    return found;
}

} // namespace TestSupport
