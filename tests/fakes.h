#pragma once

#include "components/datagramsender.h"
#include "components/faxlink.h"
#include "components/udpsender.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QTimer>

#include <QList>
#include <QStringList>

// Stand-ins for the fax link and the sender that write every call into one
// shared log, so a test sees what was called, with what, and in which order.
class FakeFaxLink : public FaxLink
{
    Q_OBJECT

public:
    FakeFaxLink(QStringList *log, QList<bool> connectResults, QObject *parent = nullptr)
        : FaxLink(parent), m_log(log), m_results(std::move(connectResults)) {}

    // Answers at once, inside the call, as the real link does when it is
    // connected already.
    void Connect() override
    {
        m_log->append(QStringLiteral("Connect"));
        Q_EMIT ConnectFinished(!m_results.isEmpty() && m_results.takeFirst());
    }
    void Disconnect() override { m_log->append(QStringLiteral("Disconnect")); }
    void receive(const QString &text) { Q_EMIT FaxReceived(text); }

private:
    QStringList *m_log;
    QList<bool> m_results;
};

class FakeSender : public DatagramSender
{
    Q_OBJECT

public:
    explicit FakeSender(QStringList *log, QObject *parent = nullptr) : DatagramSender(parent), m_log(log) {}

    // Every call whose log entry starts with this fails.
    QString failing;

    void setProtocol(int protocol) override { record(QStringLiteral("Protocol=%1").arg(protocol)); }
    void setRemoteHost(const QString &host) override { record(QStringLiteral("RemoteHost=") + host); }
    void setRemotePort(qint32 port) override { record(QStringLiteral("RemotePort=%1").arg(port)); }
    void checkDestination(const QString &host, qint32 port) const override
    {
        // Refuses what the setters would refuse, and logs nothing.
        for (const QString &entry : {QStringLiteral("RemoteHost=") + host, QStringLiteral("RemotePort=%1").arg(port)}) {
            if (!failing.isEmpty() && entry.startsWith(failing))
                throw SenderError(SenderErrors::InvalidPropertyValue, QStringLiteral("refused by the test"));
        }
    }
    void sendData(const QString &text) override { record(QStringLiteral("SendData=") + text); }
    void close() override { record(QStringLiteral("Close")); }
    void raise(int number, const QString &description) { Q_EMIT error(number, description); }

private:
    void record(const QString &entry)
    {
        if (!failing.isEmpty() && entry.startsWith(failing)) {
            m_log->append(entry + QStringLiteral(" (failed)"));
            throw SenderError(SenderErrors::InvalidPropertyValue, QStringLiteral("refused by the test"));
        }
        m_log->append(entry);
    }

    QStringList *m_log;
};

// The real sender, but its host name lookups never leave the machine: the
// names in `resolvable` resolve to the loopback addresses, any other to
// nothing, after a turn of the event loop as a resolver would answer.
class ScriptedLookupSender : public UdpSender
{
    Q_OBJECT

public:
    explicit ScriptedLookupSender(QObject *parent = nullptr) : UdpSender(parent) {}
    QStringList looked;
    QStringList resolvable{QStringLiteral("receiver.office.test")};
    QStringList unanswered; // looked up, never answered


protected:
    int startLookup(const QString &name) override
    {
        looked.append(name);
        const int id = ++m_nextId;
        if (unanswered.contains(name))
            return id;
        QTimer::singleShot(0, this, [this, name, id] {
            QHostInfo info(id);
            info.setHostName(name);
            if (resolvable.contains(name)) {
                info.setAddresses({QHostAddress(QStringLiteral("::1")), QHostAddress(QHostAddress::LocalHost)});
            } else {
                info.setError(QHostInfo::HostNotFound);
                info.setErrorString(QStringLiteral("Unknown host"));
            }
            hostLookedUp(info);
        });
        return id;
    }
    void abortLookup(int) override {}

private:
    int m_nextId = 0;
};
