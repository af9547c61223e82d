#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QLocalServer;
class QLocalSocket;
class QLockFile;

// One running copy of a program per user session. The first copy claims a
// lock file in the user's runtime folder and listens on a local socket
// beside it; a copy started later (from the menu while the copy started at
// login runs, say) finds the claim taken, asks the running copy to show its
// window, and ends, so that nothing is done twice. The claim of a copy that
// crashed or was killed is taken over.
//
// A folder where the claim cannot be made (another user's, read-only) is
// passed over for the next place; only a claim that is really held by a
// running copy ends a later start.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    enum class Claim {
        Claimed,       // this process holds the claim and listens
        HeldByAnother, // a running copy holds it
        Failed,        // no place could hold a claim
    };

    // How long a later copy keeps trying to reach the running one.
    static constexpr int ActivationTimeout = 3000;

    // The claim of program name in the user's runtime folder, or else in
    // the private folder that stands in for it.
    explicit SingleInstance(const QString &name, QObject *parent = nullptr);
    // The claim in the first usable of folders (tests).
    SingleInstance(const QString &name, const QStringList &folders, QObject *parent = nullptr);
    ~SingleInstance() override;

    // With Failed, *error says why for each place that was tried.
    Claim claim(QString *error);
    // For a copy that did not get the claim: asks the running copy to show
    // itself. The answer comes as activationAnswered(), false when the
    // running copy did not answer in time.
    void activateRunning();
    // Where the claim is, or was found held.
    QString folder() const { return m_folder; }

    // What a program does at its start: claims, and when another copy holds
    // the claim, asks it to show itself. HeldByAnother: the program ends,
    // with *exitStatus (0 once the running copy answered, 1 when it did
    // not). Failed: no place could hold a claim, and *error says why; the
    // program runs on (better done twice than not at all), and tells the
    // user as it tells of other problems.
    Claim claimOrHandOver(int *exitStatus, QString *error);

Q_SIGNALS:
    // A later copy asked for the window.
    void activationRequested();
    void activationAnswered(bool answered);

private:
    bool listen(QString *error);
    void askRunning();
    QString socketPath() const;

    QString m_name;
    QStringList m_folders;
    QString m_folder;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
    QLocalSocket *m_asking = nullptr;
    QDeadlineTimer m_askDeadline;
};
