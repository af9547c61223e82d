#pragma once

#include <QObject>
#include <QString>

// Where kavrel-r keeps the broker's password: in the desktop's keyring (the
// Secret Service or KWallet, through qtkeychain) where one answers; where
// none does (no keyring on this desktop, or one that does not answer in
// time), in the settings file, which only the user can read. A password
// found in the file while a keyring answers is moved into the keyring.
//
// The keyring is only ever asked without waiting for it: its answers come
// later, and one that does not come in time is not waited for.
class PasswordStore : public QObject
{
    Q_OBJECT

public:
    enum class Place { Unknown, Keyring, SettingsFile };

    // Milliseconds the keyring may take to answer at start.
    static constexpr int KeyringTimeout = 5000;

    explicit PasswordStore(QObject *parent = nullptr);

    // Finds the password: the keyring's, or filePassword (the settings
    // file's) where no keyring answers. The answer comes as loaded().
    void load(const QString &filePassword);
    // Keeps password where passwords are kept now: in the keyring (the
    // answer comes later; should the keyring refuse it, it goes to the
    // settings file, and placeChanged() says so), or in the settings file,
    // which the caller writes.
    void save(const QString &password);
    Place place() const { return m_place; }
    // What the user is told of where the password is kept.
    QString describePlace() const;

    void setKeyringTimeout(int milliseconds) { m_timeout = milliseconds; }

Q_SIGNALS:
    // The password (empty for none), and where it is kept from now on. With
    // moved, it was moved from the settings file into the keyring: the
    // settings file is to be written again without it.
    void loaded(const QString &password, bool moved);
    // The keyring refused a password it was given: it is kept in the
    // settings file from now on (the caller writes it there).
    void placeChanged(PasswordStore::Place place, const QString &error);

private:
    void write(const QString &password, bool moving);

    Place m_place = Place::Unknown;
    int m_timeout = KeyringTimeout;
    QString m_pending;      // what the settings file holds while the keyring is asked
};
