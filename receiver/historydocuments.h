#pragma once

#include <QDateTime>
#include <QSqlDatabase>
#include <QString>

// The faxes themselves (PDF) and the pictures of their first pages, kept in
// a folder beside the history and recorded in its file: they go with their
// receptions; one whose reception never came goes after a day, and at most
// maxWaiting wait at once (whatever comes on the documents' topic cannot
// push out the faxes the history has); all of them together stay within
// maxBytes, the oldest going first.
class HistoryDocuments
{
public:
    HistoryDocuments(const QString &folder, int maxWaiting, qint64 maxBytes);

    QString folder() const { return m_folder; }
    // Whether the document (or the picture) of commId is recorded already.
    bool hasKept(const QSqlDatabase &db, const QString &commId, bool picture) const;
    // Records the document (picture false) or the picture kept under name;
    // false when it is recorded already or cannot be.
    bool keep(const QSqlDatabase &db, const QString &commId, bool picture, const QString &name, const QDateTime &now);
    // The fax monitor could not make the document of commId; false when
    // nothing changed.
    bool setFailed(const QSqlDatabase &db, const QString &commId, const QString &error, const QDateTime &now);
    // What the bounds above let go, files and records.
    void forget(const QSqlDatabase &db, const QDateTime &now);
    // Those whose receptions are gone go at once, not after a day.
    void forgetOrphans(const QSqlDatabase &db, const QDateTime &now);
    // Files in the folder that no record names go.
    void sweep(const QSqlDatabase &db);

private:
    QString m_folder;
    int m_maxWaiting;
    qint64 m_maxBytes;
};
