#pragma once

// What the receiver's benchmarks share: the desktop's notification service
// as the bench stands for it, kavrel-r (or a reference) in folders of its
// own, and the bench's own event loop turned until something is done.

#include "benchsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QVariantMap>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <map>

namespace bench {

// The desktop's notification service, as far as the programs use it: when
// each sample's notice came (the sample's number is in its body).
class Notices : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    std::map<int, Clock::time_point> arrived;
    // When the sample's notice came again with its document to open.
    std::map<int, Clock::time_point> opens;

public Q_SLOTS:
    uint Notify(const QString &, uint replaces, const QString &, const QString &, const QString &body,
                const QStringList &actions, const QVariantMap &, int)
    {
        static const QRegularExpression sample(QStringLiteral("B(\\d+)"));
        const QRegularExpressionMatch match = sample.match(body);
        if (match.hasMatch()) {
            arrived.emplace(match.captured(1).toInt(), Clock::now());
            if (actions.contains(QStringLiteral("history")))
                opens.emplace(match.captured(1).toInt(), Clock::now());
        }
        return replaces != 0 ? replaces : ++m_id;
    }
    QStringList GetCapabilities() { return {QStringLiteral("body"), QStringLiteral("actions")}; }

private:
    uint m_id = 0;
};

inline quint16 freePort()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

inline void processFor(double milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

template <typename Predicate>
bool processUntil(Predicate done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// kavrel-r, or the reference, in folders of its own, on the bench's bus.
class Receiver
{
public:
    Receiver(const QString &program, const QStringList &arguments, const QString &bus, quint16 port,
             const QByteArray &moreSettings = QByteArray())
    {
        QDir().mkpath(m_folders.filePath(QStringLiteral("config/Kavrel")));
        QDir().mkpath(m_folders.filePath(QStringLiteral("runtime")));
        QFile::setPermissions(m_folders.filePath(QStringLiteral("runtime")),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QFile settings(m_folders.filePath(QStringLiteral("config/Kavrel/kavrel-r.conf")));
        if (settings.open(QIODevice::WriteOnly))
            settings.write("[Receive]\nPort=" + QByteArray::number(port) + "\n" + moreSettings);
        settings.close();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        for (const char *name : {"config", "runtime", "data", "cache"})
            environment.insert(QStringLiteral("XDG_%1_HOME").arg(QString::fromLatin1(name).toUpper()),
                               m_folders.filePath(QLatin1String(name)));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_folders.filePath(QStringLiteral("runtime")));
        m_process.setProcessEnvironment(environment);
        QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process,
                         [this] { m_said += m_process.readAllStandardError(); });
        m_process.start(program, QStringList(arguments).replaceInStrings(QStringLiteral("PORT"), QString::number(port)));
        m_process.waitForStarted();
    }
    ~Receiver()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    qint64 pid() const { return m_process.processId(); }
    QString folder(const char *name) const { return m_folders.filePath(QLatin1String(name)); }
    QByteArray said() const { return m_said; }

private:
    QTemporaryDir m_folders;
    QProcess m_process;
    QByteArray m_said;
};

} // namespace bench
