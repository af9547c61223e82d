#pragma once

#include <QList>
#include <QPair>
#include <QString>

// The program's whole configuration: two texts kept per user, application
// "Kavrel", section "Settings". On Linux the store is the INI file
// $XDG_CONFIG_HOME/Kavrel.conf (normally ~/.config/Kavrel.conf).
//
// The store holds nothing in memory: every read goes to the file and every
// write is flushed to it at once and checked.
class SettingsStore
{
public:
    // Keys and the defaults their readers pass.
    static inline const QString IPAddressKey = QStringLiteral("IPAddress");
    static inline const QString PortKey = QStringLiteral("Port");
    static inline const QString DefaultIPAddress = QStringLiteral("127.0.0.1");
    static inline const QString DefaultPort = QStringLiteral("21825");

    // The store in the user's configuration folder.
    SettingsStore();
    // A store kept in the given file (tools and tests).
    explicit SettingsStore(const QString &filePath);

    static QString defaultFilePath();
    QString filePath() const { return m_filePath; }

    // The stored text, or defaultValue when the key is absent. A key stored
    // with the empty text yields the empty text. A file that is there but
    // cannot be read (no permission, a folder or a FIFO in its place, far too
    // large) is not taken for an empty one: defaultValue is returned and the
    // reason is put in *error, which is left alone otherwise.
    QString read(const QString &key, const QString &defaultValue, QString *error = nullptr) const;

    // Stores text under key and flushes it to disk. Returns false, with the
    // reason in *error, when the store could not be written; the values
    // stored earlier are then left as they were.
    [[nodiscard]] bool write(const QString &key, const QString &text, QString *error = nullptr);
    // Stores several keys, in the given order, as one change: either all of
    // them are stored or, on failure, none.
    [[nodiscard]] bool write(const QList<QPair<QString, QString>> &values, QString *error = nullptr);

private:
    QString m_filePath;
};
