#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTimer>

class QLocalSocket;

// One post of the fax server's hook, from the connection it came on to its
// answer: the fields (see MonitorProtocol), bounded in size and in time.
// A post that is whole is taken (completed()) and answered OK; one that is
// too long, does not finish in time or ends with fields missing is refused
// (refused()) and the connection is cut. Either way the post then goes.
class Post : public QObject
{
    Q_OBJECT

public:
    // Takes over descriptor; timeout in milliseconds.
    Post(int descriptor, int timeout, QObject *parent = nullptr);
    ~Post() override;

    // Reads what has come. The hook writes its post as it connects, so it is
    // usually all here already: then it is dealt with on the spot, before
    // start() returns, without an event loop's turn.
    void start();

Q_SIGNALS:
    void completed(const QList<QByteArray> &fields);
    void refused(const QString &why);

private:
    void read(const QByteArray &more);
    void refuse(const QString &why);
    void finish();

    int m_descriptor;
    int m_timeout;
    QLocalSocket *m_socket = nullptr; // only for a post that comes in pieces
    QByteArray m_received;
    QTimer m_deadline;
    bool m_done = false;
};
