#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QUdpSocket>

// Every test program runs in folders of its own: XDG_CONFIG_HOME and
// XDG_RUNTIME_DIR point at fresh temporary folders (set up before main), so no
// test reads or writes a real user's files.
namespace TestSupport {

QString configDir();
QString runtimeDir();
QString settingsFile();
// Removes the settings file, so the next read finds nothing stored.
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

// Makes a file or folder read-only for as long as it lives. Root ignores file
// permissions, so for root the permission-overriding capabilities are also
// dropped from the effective set (and given back afterwards).
class ReadOnly
{
public:
    explicit ReadOnly(const QString &path);
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
