#pragma once

#include "components/faxlink.h"

#include <QByteArray>
#include <QTimer>

class QLocalSocket;

// The fax link on Linux: the fax product's monitor listens on a Unix-domain
// stream socket and writes one reception a line, UTF-8, ended by LF (a CR
// before the LF is part of the line ending).
//
// The link looks for the monitor first in the user's runtime folder (where a
// simulator or a monitor of the user's own listens), then at the system fax
// monitor's socket, which serves every user of the machine.
//
// Once connected, the link stays connected: when the monitor goes away (it
// restarts, say), the link reconnects in the background, waiting a little
// longer after each failed attempt, until Disconnect().
class SocketFaxLink : public FaxLink
{
    Q_OBJECT

public:
    // A line longer than this many bytes is dropped whole. Well above what one
    // datagram can carry (the sender decides on that, counting the bytes it
    // sends), while still bounding what a runaway monitor makes the link hold.
    static constexpr qsizetype MaxLineLength = 512 * 1024;
    // How long one Connect() call waits for a monitor that is not there yet
    // or refuses (one that is starting together with the program at login),
    // in milliseconds, and the pause between its attempts.
    static constexpr int ConnectTimeout = 1000;
    static constexpr int ConnectPause = 50;
    static constexpr int FirstRetryDelay = 100;
    static constexpr int MaxRetryDelay = 3000;

    // The link to the monitor at <runtime folder>/orvex-monitor.sock, or
    // else to the system fax monitor.
    explicit SocketFaxLink(QObject *parent = nullptr);
    // The link to a monitor listening at socketPath (tools and tests), or,
    // when that socket is not there, at fallbackPath if one is given.
    explicit SocketFaxLink(const QString &socketPath, const QString &fallbackPath = QString(),
                           QObject *parent = nullptr);

    static QString defaultSocketPath();
    static QString systemSocketPath();
    QString socketPath() const { return m_path; }

    bool Connect() override;
    void Disconnect() override;

private:
    void readLines();
    void lost();
    void retry();
    // The socket to try now: the first one while it exists.
    QString currentPath() const;

    QString m_path;
    QString m_fallbackPath;
    QLocalSocket *m_socket;
    QTimer m_retryTimer;
    int m_retryDelay = FirstRetryDelay;
    bool m_wanted = false;     // connected once and not disconnected since
    QByteArray m_partial;      // the start of a line not yet ended
    bool m_skipping = false;   // inside an over-long line, until its end
};
