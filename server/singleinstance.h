#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>

class QLocalServer;

// One running copy per user session. The first copy claims a lock file in the
// user's runtime folder and listens on a local socket beside it; a copy
// started later (from the menu while the copy started at login runs, say)
// finds the claim taken, asks the running copy to show its window, and ends,
// so that no reception is relayed twice. The claim of a copy that crashed or
// was killed is taken over.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    // How long a later copy keeps trying to reach the running one.
    static constexpr int ActivationTimeout = 3000;

    // The claim in the user's runtime folder.
    explicit SingleInstance(QObject *parent = nullptr);
    // The claim in the given folder (tests).
    explicit SingleInstance(const QString &folder, QObject *parent = nullptr);
    ~SingleInstance() override;

    // True when this process now holds the claim and listens for later
    // copies; false when another running copy holds it.
    bool claim();
    // For a copy that did not get the claim: asks the running copy to show
    // itself. False when it did not answer in time.
    bool activateRunning();

Q_SIGNALS:
    // A later copy asked for the window.
    void activationRequested();

private:
    QString m_socketPath;
    QLockFile m_lock;
    QLocalServer *m_server = nullptr;
};
