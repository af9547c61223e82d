#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <sys/types.h>

class QFileSystemWatcher;
class QSocketNotifier;

// A listening Unix-domain stream socket that hands each connection over as a
// bare descriptor, with the credentials of the process at the other end.
//
// QLocalServer closes itself, and deletes its socket file, the first time
// accept() fails: one local user who opens connections until the process
// runs out of descriptors would switch a service off for good. Here a
// failed accept leaves the socket listening: the connection that could not
// be taken is turned away, with a descriptor kept spare for the purpose,
// and accepting goes on.
//
// A socket file already in place is taken over only when nobody answers on
// it (one left by a process that was killed); one that answers belongs to a
// running process and is left alone, and so is a file of any other kind.
class UnixListener : public QObject
{
    Q_OBJECT

public:
    explicit UnixListener(QObject *parent = nullptr);
    ~UnixListener() override;

    // Listens at path, with the socket file's permission bits set to mode.
    bool listen(const QString &path, mode_t mode, QString *error);
    void close();
    bool isListening() const { return m_fd >= 0; }
    QString path() const { return m_path; }

Q_SIGNALS:
    // A new connection; the receiver owns descriptor and must close it.
    void accepted(int descriptor, uint uid, int pid);
    // Connections are being turned away (the process is out of descriptors).
    void acceptFailed(const QString &why);
    // The socket file was removed or replaced behind the listener's back:
    // nobody can connect any more.
    void socketLost();

private:
    void acceptPending();
    void checkSocketFile();

    QString m_path;
    int m_fd = -1;
    int m_spare = -1;
    ino_t m_inode = 0;
    QSocketNotifier *m_notifier = nullptr;
    QFileSystemWatcher *m_watcher = nullptr;
    QTimer m_resume;
};
