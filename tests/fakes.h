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

    bool setProtocol(int protocol, QString *error) override { return record(QStringLiteral("Protocol=%1").arg(protocol), error); }
    bool setRemoteHost(const QString &host, QString *error) override { return record(QStringLiteral("RemoteHost=") + host, error); }
    bool setRemotePort(qint32 port, QString *error) override { return record(QStringLiteral("RemotePort=%1").arg(port), error); }
    bool checkDestination(const QString &host, qint32 port, QString *error) const override
    {
        // Refuses what the setters would refuse, and logs nothing.
        for (const QString &entry : {QStringLiteral("RemoteHost=") + host, QStringLiteral("RemotePort=%1").arg(port)}) {
            if (!failing.isEmpty() && entry.startsWith(failing)) {
                *error = QStringLiteral("refused by the test");
                return false;
            }
        }
        return true;
    }
    bool sendData(const QString &text, QString *error) override { return record(QStringLiteral("SendData=") + text, error); }
    void close() override { m_log->append(QStringLiteral("Close")); }
    void raise(int number, const QString &description) { Q_EMIT this->error(number, description); }

private:
    bool record(const QString &entry, QString *error)
    {
        if (!failing.isEmpty() && entry.startsWith(failing)) {
            m_log->append(entry + QStringLiteral(" (failed)"));
            *error = QStringLiteral("refused by the test");
            return false;
        }
        m_log->append(entry);
        return true;
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
    QHash<QString, QHostAddress> movedTo; // names that resolve to this address alone
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
            if (movedTo.contains(name)) {
                info.setAddresses({movedTo.value(name)});
            } else if (resolvable.contains(name)) {
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
