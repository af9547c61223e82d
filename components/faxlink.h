#pragma once

#include <QObject>
#include <QString>

// What the server needs of its link to the fax product's monitor.
class FaxLink : public QObject
{
    Q_OBJECT

public:
    explicit FaxLink(QObject *parent = nullptr);

    // One attempt to reach the monitor; true when connected.
    virtual bool Connect() = 0;
    virtual void Disconnect() = 0;

Q_SIGNALS:
    // One reception; text is the fax product's line, as it came.
    void FaxReceived(const QString &text);
};
