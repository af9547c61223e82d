#pragma once

#include "components/faxlink.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QStringList>
#include <QTimer>

class QFileSystemWatcher;
class QLocalSocket;

// The fax link on Linux: the fax product's monitor listens on a Unix-domain
// stream socket and writes one reception a line, UTF-8, ended by LF (a CR
// before the LF is part of the line ending).
//
// The link tries its sockets in order, every time it connects: the one in the
// user's runtime folder (where a simulator or a monitor of the user's own
// listens), then the system fax monitor's, which serves every user of the
// machine. A socket that does not answer (its monitor was stopped, or it is
// not a socket at all) is passed over for the next.
//
// Once connected, the link stays connected: when the monitor goes away (it
// restarts, say), the link reconnects in the background, waiting a little
// longer after each failed attempt, until Disconnect(). It also watches the
// sockets' folders, so a monitor that comes back is found at once, not
// after the pause.
class SocketFaxLink : public FaxLink
{
    Q_OBJECT

public:
    // A line longer than this many bytes is dropped whole. Well above what one
    // datagram can carry (the sender decides on that, counting the bytes it
    // sends), while still bounding what a runaway monitor makes the link hold.
    static constexpr qsizetype MaxLineLength = 512 * 1024;

    // Milliseconds. A Connect() call keeps trying for connectTimeout, pausing
    // connectPause between attempts; reconnecting waits firstRetryDelay after
    // the link was lost, doubling after each failure up to maxRetryDelay, and
    // starts over from there after a connection that lasted stableConnection
    // (one the monitor closes at once, as it does to a user over its limit of
    // links, keeps the pauses growing).
    struct Timing {
        int connectTimeout = 1000;
        int connectPause = 50;
        int firstRetryDelay = 100;
        int maxRetryDelay = 3000;
        int stableConnection = 1000;
    };

    // The monitor in the user's runtime folder, or else the system fax
    // monitor.
    explicit SocketFaxLink(QObject *parent = nullptr);
    // The monitors at socketPaths, tried in this order (tools and tests).
    explicit SocketFaxLink(const QStringList &socketPaths, QObject *parent = nullptr);

    // <runtime folder>/orvex-monitor.sock, or the empty text when the user
    // has no usable runtime folder.
    static QString defaultSocketPath();
    // The system fax monitor's socket; another place is given to a program
    // with the option --monitor-socket (the tests keep any monitor that runs
    // on the machine out of their way so).
    static QString systemSocketPath();
    static void setSystemSocketPath(const QString &path);
    QStringList socketPaths() const { return m_paths; }

    void setTiming(const Timing &timing) { m_timing = timing; }

    void Connect() override;
    void Disconnect() override;

Q_SIGNALS:
    // The link was lost, or a reconnection failed: the next attempt comes
    // after delay milliseconds (or sooner, when a socket appears).
    void ReconnectScheduled(int delay);

private:
    void startRound(bool probe = false);
    void roundSucceeded();
    void roundFailed();
    void socketStateChanged();
    void lost();
    void folderChanged();
    void watchFolders(bool on);
    void readLines();

    QStringList m_paths;
    Timing m_timing;
    QLocalSocket *m_socket;
    QFileSystemWatcher *m_watcher = nullptr;
    QTimer m_timer;              // the pause before the next round
    QDeadlineTimer m_callDeadline;
    QElapsedTimer m_connectedSince;
    int m_retryDelay = 0;
    bool m_inAttempt = false;    // inside an attempt: its signals wait
    bool m_probing = false;      // this round looks after a change in a folder
    bool m_calling = false;      // a Connect() call awaits its answer
    bool m_connected = false;
    bool m_wanted = false;       // connected once and not disconnected since
    QByteArray m_partial;        // the start of a line not yet ended
    bool m_skipping = false;     // inside an over-long line, until its end
};
