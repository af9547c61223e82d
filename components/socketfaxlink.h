#pragma once

#include "components/faxlink.h"

#include <QByteArray>
#include <QTimer>

class QLocalSocket;

// The fax link on Linux: the fax product's monitor listens on a Unix-domain
// stream socket and writes one reception a line, UTF-8, ended by LF (a CR
// before the LF is part of the line ending).
//
// Once connected, the link stays connected: when the monitor goes away (it
// restarts, say), the link reconnects in the background, waiting a little
// longer after each failed attempt, until Disconnect().
class SocketFaxLink : public FaxLink
{
    Q_OBJECT

public:
    // A line longer than this many bytes is dropped whole.
    static constexpr qsizetype MaxLineLength = 64 * 1024;
    // Longest connect attempt made by Connect(), in milliseconds.
    static constexpr int ConnectTimeout = 100;
    static constexpr int FirstRetryDelay = 100;
    static constexpr int MaxRetryDelay = 3000;

    // The link to the monitor at <runtime folder>/orvex-monitor.sock.
    explicit SocketFaxLink(QObject *parent = nullptr);
    // The link to a monitor listening at socketPath (tools and tests).
    explicit SocketFaxLink(const QString &socketPath, QObject *parent = nullptr);

    static QString defaultSocketPath();
    QString socketPath() const { return m_path; }

    bool Connect() override;
    void Disconnect() override;

private:
    void readLines();
    void lost();
    void retry();

    QString m_path;
    QLocalSocket *m_socket;
    QTimer m_retryTimer;
    int m_retryDelay = FirstRetryDelay;
    bool m_wanted = false;     // connected once and not disconnected since
    QByteArray m_partial;      // the start of a line not yet ended
    bool m_skipping = false;   // inside an over-long line, until its end
};
