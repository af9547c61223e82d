#pragma once

#include "settings/settingsstore.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

class DatagramSender;
class FaxLink;
class QWidget;

// The logic of the main window: start-up, the relay of receptions to the
// datagram sender, quitting and the shutdown step.
class NotificationServer : public QObject
{
    Q_OBJECT

public:
    static const QString ConnectFailedMessage;
    static const QString ErrorReportMessage;
    static const QString ApplyFailedMessage;
    // Calls of FaxLink::Connect() at start-up before giving up.
    static constexpr int ConnectAttempts = 4;

    NotificationServer(QWidget *window, FaxLink *faxLink, DatagramSender *sender,
                       QObject *parent = nullptr);

    // Shows the window, connects the fax link (or tells the user and ends the
    // process), configures the sender from the stored settings, waits about
    // two seconds, and minimises the window when the sender could be
    // configured; when it could not, the user is told and the window stays
    // up. Runs once; it never blocks: each step starts the next from the
    // event loop, so the window answers clicks all the while.
    void startUp();
    // The wait's length in milliseconds when it starts at nowSeconds on the
    // clock: until two seconds after the nearest whole second (halves to
    // even), so between 1.5 and 2.5 seconds.
    static int startUpWait(double nowSeconds);
    // Makes every wait last this many milliseconds instead (tests).
    void setStartUpWait(int milliseconds) { m_fixedWait = milliseconds; }
    // Brings the window up for the user; asked for during the start-up, it
    // also keeps the start-up from minimising it afterwards.
    void bringToFront();
    // Passes one reception on as one datagram; a failure is ignored.
    void relay(const QString &text);
    // Sends "Test Receive Message" and the time of day along the same road as
    // a reception; a failure is silent.
    void testNotification();
    // Tells the user about an error the sender noticed on its own.
    void reportError(int number, const QString &description);
    // Gives the stored address and port to the running sender, after the
    // settings dialog; tells the user when the sender cannot take them.
    void applySettings();
    // Whether the sender would take this address and port text; when it
    // would not, *error says why.
    bool checkDestination(const QString &host, const QString &portText, QString *error) const;
    // Ends the process at once; the shutdown step does not run.
    void quit();
    // When the main window has been closed: closes the sender, then the link.
    void shutDown();

    // What the window tells of the server when asked (a tooltip): whether
    // the fax monitor is reached, and where receptions go.
    QString stateText() const;

Q_SIGNALS:
    // The start-up sequence has run to its end (the window minimised, or
    // the user told why not).
    void startUpFinished();
    // stateText() changed.
    void stateChanged();

private:
    enum class Stage { NotStarted, Connecting, Waiting, Running };

    void connectFinished(bool connected);
    void waitOver();
    // Gives the stored address, then the stored port, to the sender: both, or
    // (with the reason) neither.
    bool applyStoredDestination(QString *error);

    QPointer<QWidget> m_window;
    FaxLink *m_faxLink;
    DatagramSender *m_sender;
    SettingsStore m_store;
    Stage m_stage = Stage::NotStarted;
    int m_connectCalls = 0;
    QTimer m_wait;
    int m_fixedWait = -1;
    bool m_protocolSet = false;
    bool m_configured = false;
    QString m_configureFailure;
    bool m_linkUp = false;
    QString m_destination;     // as the sender has it; empty for none
    QString m_destinationFailure;
    bool m_keepShown = false; // the user asked for the window during start-up
};
