#pragma once

#include <QObject>
#include <QString>

// What the server needs of its link to the fax product's monitor.
class FaxLink : public QObject
{
    Q_OBJECT

public:
    explicit FaxLink(QObject *parent = nullptr);

    // One call to reach the monitor. It never blocks: the answer comes as
    // ConnectFinished(), at once or after the call has tried for a while
    // (a monitor that starts together with the program).
    virtual void Connect() = 0;
    virtual void Disconnect() = 0;

Q_SIGNALS:
    // The answer to one Connect() call.
    void ConnectFinished(bool connected);
    // One reception; text is the fax product's line, as it came.
    void FaxReceived(const QString &text);
    // The link came up, or went down (it then tries again by itself).
    void LinkChanged(bool connected);
};
