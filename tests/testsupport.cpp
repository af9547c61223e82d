#include "testsupport.h"

#include <QDir>
#include <QFile>

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

// Set up before main, so that nothing in the test can see the real folders.
struct Folders
{
    std::string config = makeTempDir("config");
    std::string runtime = makeTempDir("runtime");
    Folders()
    {
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    }
    ~Folders()
    {
        removeTree(config);
        removeTree(runtime);
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
QString settingsFile() { return configDir() + QStringLiteral("/Kavrel.conf"); }
void clearSettings() { QFile::remove(settingsFile()); }

UdpReceiver::UdpReceiver(const QHostAddress &address)
{
    m_socket.bind(address, 0);
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

ReadOnly::ReadOnly(const QString &path)
    : m_path(path)
{
    struct stat st;
    const QByteArray native = QFile::encodeName(path);
    if (stat(native.constData(), &st) != 0)
        return;
    m_mode = st.st_mode & 07777;
    if (chmod(native.constData(), m_mode & ~0222u) != 0)
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
