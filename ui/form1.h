#pragma once

#include <QWidget>

class DatagramSender;
class FaxLink;
class NotificationServer;
class QLabel;
class QPushButton;

// The main window: the server's title, three buttons, and the two components
// it carries, the fax link FaxLink1 and the datagram sender Winsock1.
class Form1 : public QWidget
{
    Q_OBJECT

public:
    // Takes ownership of the fax link and the sender.
    Form1(FaxLink *faxLink, DatagramSender *sender, QWidget *parent = nullptr);
    // The shutdown step: closes the sender, then disconnects the fax link.
    ~Form1() override;

    // Runs the start-up sequence; called once the event loop runs.
    void startUp();
    // Restores the window from the taskbar, raises and activates it.
    void bringToFront();
    NotificationServer *server() const { return m_server; }

private:
    // The settings button: the dialog, then the stored values to the sender.
    void openSettings();

    NotificationServer *m_server;
};
