#include "receiver/historydocuments.h"

#include "receiver/logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

HistoryDocuments::HistoryDocuments(const QString &folder, int maxWaiting, qint64 maxBytes)
    : m_folder(folder)
    , m_maxWaiting(maxWaiting)
    , m_maxBytes(maxBytes)
{
}

bool HistoryDocuments::hasKept(const QSqlDatabase &db, const QString &commId, bool picture) const
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT 1 FROM documents WHERE commid = ? AND %1 != ''")
                      .arg(QLatin1String(picture ? "picture" : "document")));
    query.addBindValue(commId);
    return query.exec() && query.next();
}

bool HistoryDocuments::keep(const QSqlDatabase &db, const QString &commId, bool picture, const QString &name,
                            const QDateTime &now)
{
    if (hasKept(db, commId, picture))
        return false;
    const QLatin1String column(picture ? "picture" : "document");
    QSqlQuery query(db);
    const qint64 size = QFileInfo(m_folder + QLatin1Char('/') + name).size();
    query.prepare(QStringLiteral("INSERT INTO documents (commid, %1, size, arrived) VALUES (?, ?, ?, ?)"
                                 " ON CONFLICT(commid) DO UPDATE SET %1 = excluded.%1, size = size + excluded.size,"
                                 " error = ''")
                      .arg(column));
    query.addBindValue(commId);
    query.addBindValue(name);
    query.addBindValue(size);
    query.addBindValue(now.toMSecsSinceEpoch());
    if (!query.exec()) {
        qCWarning(lcHistory).noquote()
            << QStringLiteral("the %1 of %2 cannot be recorded: %3").arg(column, commId, query.lastError().text());
        return false;
    }
    forget(db, now);
    return true;
}

bool HistoryDocuments::setFailed(const QSqlDatabase &db, const QString &commId, const QString &error, const QDateTime &now)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("INSERT INTO documents (commid, arrived, error) VALUES (?, ?, ?)"
                                 " ON CONFLICT(commid) DO UPDATE SET error = excluded.error WHERE document = ''"));
    query.addBindValue(commId);
    query.addBindValue(now.toMSecsSinceEpoch());
    query.addBindValue(error.isEmpty() ? QStringLiteral("?") : error);
    if (!query.exec())
        return false;
    forget(db, now);
    return true;
}

void HistoryDocuments::sweep(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    QSet<QString> named;
    if (!query.exec(QStringLiteral("SELECT document, picture FROM documents")))
        return;
    while (query.next()) {
        named.insert(query.value(0).toString());
        named.insert(query.value(1).toString());
    }
    // Not one just written: another copy of the program (a second session
    // on the same home) may be about to record it.
    const QDateTime recent = QDateTime::currentDateTime().addSecs(-3600);
    const QDir folder(m_folder);
    const QFileInfoList files =
        folder.entryInfoList({QStringLiteral("fax-*.pdf"), QStringLiteral("fax-*.png"), QStringLiteral("fax-*.pdf.part")},
                             QDir::Files);
    for (const QFileInfo &file : files) {
        if (!named.contains(file.fileName()) && file.lastModified() < recent)
            QFile::remove(file.filePath());
    }
}

void HistoryDocuments::forgetOrphans(const QSqlDatabase &db, const QDateTime &now)
{
    QSqlQuery query(db);
    query.exec(QStringLiteral("UPDATE documents SET arrived = 0 WHERE NOT EXISTS"
                              " (SELECT 1 FROM receptions r WHERE r.commid = documents.commid AND r.commid != '')"));
    forget(db, now);
}

void HistoryDocuments::forget(const QSqlDatabase &db, const QDateTime &now)
{
    QSqlQuery select(db);
    select.prepare(QStringLiteral("SELECT commid FROM documents d"
                                  " WHERE NOT EXISTS (SELECT 1 FROM receptions r WHERE r.commid = d.commid AND r.commid != '')"
                                  " AND d.arrived < ? ORDER BY arrived"));
    select.addBindValue(now.addDays(-1).toMSecsSinceEpoch());
    QStringList gone;
    if (select.exec()) {
        while (select.next())
            gone.append(select.value(0).toString());
    }
    select.finish();
    select.prepare(QStringLiteral("SELECT commid FROM documents d"
                                  " WHERE NOT EXISTS (SELECT 1 FROM receptions r WHERE r.commid = d.commid AND r.commid != '')"
                                  " ORDER BY arrived DESC LIMIT -1 OFFSET ?"));
    select.addBindValue(m_maxWaiting);
    if (select.exec()) {
        while (select.next())
            gone.append(select.value(0).toString());
    }
    select.finish();
    qint64 total = 0;
    if (select.exec(QStringLiteral("SELECT commid, size FROM documents ORDER BY arrived DESC"))) {
        while (select.next()) {
            total += select.value(1).toLongLong();
            if (total > m_maxBytes)
                gone.append(select.value(0).toString());
        }
    }
    select.finish();
    QSqlQuery remove(db);
    for (const QString &commId : std::as_const(gone)) {
        remove.prepare(QStringLiteral("SELECT document, picture FROM documents WHERE commid = ?"));
        remove.addBindValue(commId);
        if (remove.exec() && remove.next()) {
            for (int i = 0; i < 2; ++i) {
                if (!remove.value(i).toString().isEmpty())
                    QFile::remove(m_folder + QLatin1Char('/') + remove.value(i).toString());
            }
        }
        remove.finish();
        remove.prepare(QStringLiteral("DELETE FROM documents WHERE commid = ?"));
        remove.addBindValue(commId);
        remove.exec();
    }
}
