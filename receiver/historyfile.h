#pragma once

#include <QSqlDatabase>
#include <QString>

// The history's SQLite file: opened on a connection of its own (one per
// thread that uses it), checked, and its tables made or brought up to date
// from an earlier version's.
class HistoryFile
{
public:
    explicit HistoryFile(const QString &path);
    ~HistoryFile();
    HistoryFile(const HistoryFile &) = delete;
    HistoryFile &operator=(const HistoryFile &) = delete;

    enum class Opening { Opened, Damaged, Busy };
    // Opens path (":memory:" for none); a file another process holds at the
    // moment is Busy, one that is no database or fails its check Damaged.
    // maxPages bounds its size in pages of 4 KiB (0: no bound).
    Opening open(QString *error, int maxPages = 0);
    void close();
    bool isOpen() const { return m_open; }
    QSqlDatabase database() const;
    bool exec(const QString &statement, QString *error = nullptr);
    void setMaxPages(int pages);

    // Moves a damaged file aside, with the time in its name; the new name,
    // empty when it could not be moved.
    QString moveAside();

private:
    bool createSchema(QString *error);
    bool addColumns(QString *error);

    QString m_path;
    QString m_connection;
    bool m_open = false;
};
