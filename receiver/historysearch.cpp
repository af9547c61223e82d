#include "receiver/historysearch.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

namespace HistorySearch {

namespace {

bool isDash(char32_t c)
{
    return c == U'-' || (c >= 0x2010 && c <= 0x2015) || c == 0x2212 || c == 0x2E3A || c == 0x2E3B || c == 0xFE58
        || c == 0xFE63;
}

// Characters NFKC leaves as they are, by far the most of a Japanese text:
// they skip the normaliser.
bool isStable(char32_t c)
{
    return (c >= 0x3041 && c <= 0x3096) || (c >= 0x30A1 && c <= 0x30FA) || c == 0x30FC || (c >= 0x4E00 && c <= 0x9FFF);
}

bool isDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// A word with at least this many characters is looked up in the index;
// a shorter one is looked for in every row.
constexpr int IndexedLength = 3;

bool exec(QSqlQuery &query, QString *error)
{
    if (query.exec())
        return true;
    *error = query.lastError().text();
    return false;
}

bool exec(QSqlDatabase db, const QString &statement, QString *error)
{
    QSqlQuery query(db);
    if (query.exec(statement))
        return true;
    *error = query.lastError().text();
    return false;
}

QString receptionBody(const QString &caller, const QString &number, const QString &error)
{
    // Fields apart: a word never matches across two of them.
    return fold(caller) + QChar(0x1f) + fold(number) + QChar(0x1f) + fold(error);
}

} // namespace

QString fold(const QString &text, QList<int> *origins, QList<int> *ends)
{
    QString out;
    out.reserve(text.size());
    QList<int> from, to;
    from.reserve(text.size());
    to.reserve(text.size());
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size;) {
        const QChar c = text.at(i);
        qsizetype length = c.isHighSurrogate() && i + 1 < size && text.at(i + 1).isLowSurrogate() ? 2 : 1;
        // A half-width kana with its voiced mark is one letter (ﾀﾞ is ダ).
        if (c.unicode() >= 0xFF66 && c.unicode() <= 0xFF9D && i + 1 < size
            && (text.at(i + 1).unicode() == 0xFF9E || text.at(i + 1).unicode() == 0xFF9F))
            length = 2;
        QString piece;
        if (length == 1 && (c.unicode() < 0x80 || isStable(c.unicode())))
            piece = c;
        else
            piece = text.mid(i, length).normalized(QString::NormalizationForm_KC);
        for (QChar p : std::as_const(piece)) {
            char32_t u = p.toCaseFolded().unicode();
            if (u >= 0x3041 && u <= 0x3096)
                u += 0x60; // hiragana as katakana
            else if (u == 0x309D || u == 0x309E)
                u += 0x60;
            if (QChar(u).isSpace() || isDash(u) || QChar(u).category() == QChar::Other_Control)
                continue;
            out.append(QChar(u));
            from.append(int(i));
            to.append(int(i + length));
        }
        i += length;
    }
    // A long vowel mark or 一 between digits is a dash as OCR reads one.
    for (qsizetype k = out.size() - 2; k > 0; --k) {
        if ((out.at(k).unicode() == 0x30FC || out.at(k).unicode() == 0x4E00) && isDigit(out.at(k - 1))
            && isDigit(out.at(k + 1))) {
            out.remove(k, 1);
            from.remove(k);
            to.remove(k);
        }
    }
    if (origins)
        *origins = std::move(from);
    if (ends)
        *ends = std::move(to);
    return out;
}

Terms parse(const QString &search, const QDate &today)
{
    static const QRegularExpression slashed(QStringLiteral("^(?:(\\d{4})/)?(\\d{1,2})/(\\d{1,2})$"));
    static const QRegularExpression written(QStringLiteral("^(?:(\\d{4})年)?(\\d{1,2})月(\\d{1,2})日$"));
    Terms terms;
    bool lastNumeric = false; // the last word taken was digits only
    const auto numeric = [](const QString &word) {
        return std::all_of(word.cbegin(), word.cend(), [](QChar c) { return isDigit(c); });
    };
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    const QStringList words = search.normalized(QString::NormalizationForm_KC).split(blanks, Qt::SkipEmptyParts);
    for (const QString &word : words) {
        const bool afterNumber = std::exchange(lastNumeric, false);
        if (word == QStringLiteral("失敗")) {
            terms.failed = true;
            continue;
        }
        if (word == QStringLiteral("文書あり")) {
            terms.withDocument = true;
            continue;
        }
        if (word == QStringLiteral("今日") || word == QStringLiteral("昨日")) {
            terms.day = word == QStringLiteral("今日") ? today : today.addDays(-1);
            continue;
        }
        QRegularExpressionMatch date = slashed.match(word);
        if (!date.hasMatch())
            date = written.match(word);
        if (date.hasMatch()) {
            // Without its year, the last such day up to today.
            const bool yearGiven = !date.captured(1).isEmpty();
            QDate day(yearGiven ? date.captured(1).toInt() : today.year(), date.captured(2).toInt(),
                      date.captured(3).toInt());
            if (!yearGiven && day.isValid() && day > today)
                day = day.addYears(-1);
            if (day.isValid()) {
                terms.day = day;
                continue;
            }
        }
        const QString folded = fold(word);
        if (folded.isEmpty())
            continue;
        // A number typed in groups (03 1234 5678) is one number.
        lastNumeric = numeric(folded);
        if (afterNumber && lastNumeric)
            terms.words.last() += folded;
        else if (!terms.words.contains(folded))
            terms.words.append(folded);
        else
            lastNumeric = false;
    }
    return terms;
}

QString condition(const Terms &terms)
{
    QStringList conditions;
    for (int i = 0; i < terms.words.size(); ++i) {
        const bool indexed = terms.words.at(i).toUcs4().size() >= IndexedLength;
        // A word too short for the index is looked for in every text, as
        // it is kept folded.
        const QString receptions = indexed ? QStringLiteral("search_receptions MATCH :m%1") : QStringLiteral("instr(body, :w%1) > 0");
        const QString texts = indexed ? QStringLiteral("id IN (SELECT rowid FROM search_texts WHERE search_texts MATCH :m%1)")
                                      : QStringLiteral("instr(folded, :w%1) > 0");
        conditions.append(QStringLiteral("(r.id IN (SELECT rowid FROM search_receptions WHERE %1) OR (r.commid != '' AND"
                                         " r.commid IN (SELECT commid FROM texts WHERE %2)))")
                              .arg(receptions.arg(i), texts.arg(i)));
    }
    if (terms.failed)
        conditions.append(QStringLiteral("r.failed = 1"));
    if (terms.withDocument)
        conditions.append(QStringLiteral("COALESCE(d.document, '') != ''"));
    if (terms.day.isValid())
        conditions.append(QStringLiteral("r.arrived >= :dayStart AND r.arrived < :dayEnd"));
    return conditions.join(QStringLiteral(" AND "));
}

void bind(QSqlQuery *query, const Terms &terms)
{
    for (int i = 0; i < terms.words.size(); ++i) {
        const QString &word = terms.words.at(i);
        if (word.toUcs4().size() >= IndexedLength)
            query->bindValue(QStringLiteral(":m%1").arg(i),
                             QLatin1Char('"') + QString(word).replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"'));
        else
            query->bindValue(QStringLiteral(":w%1").arg(i), word);
    }
    if (terms.day.isValid()) {
        query->bindValue(QStringLiteral(":dayStart"), QDateTime(terms.day, QTime(0, 0)).toMSecsSinceEpoch());
        query->bindValue(QStringLiteral(":dayEnd"), QDateTime(terms.day.addDays(1), QTime(0, 0)).toMSecsSinceEpoch());
    }
}

bool createSchema(QSqlDatabase db, QString *error)
{
    // All at once, the rows of before indexed too: a file left half way
    // would never have them.
    if (!db.transaction()) {
        *error = db.lastError().text();
        return false;
    }
    QSqlQuery exists(db);
    bool ok = exists.exec(QStringLiteral("SELECT 1 FROM sqlite_master WHERE name = 'search_receptions'"));
    const bool indexed = ok && exists.next();
    if (!ok)
        *error = exists.lastError().text();
    exists.finish();
    ok = ok
        && exec(db,
                QStringLiteral("CREATE TABLE IF NOT EXISTS texts (id INTEGER PRIMARY KEY, commid TEXT NOT NULL,"
                               " page INTEGER NOT NULL, text TEXT NOT NULL DEFAULT '', error TEXT NOT NULL DEFAULT '',"
                               " folded TEXT NOT NULL DEFAULT '', UNIQUE (commid, page))"),
                error)
        // The index of the folded texts, which are kept once, in texts.
        && exec(db,
                QStringLiteral("CREATE VIRTUAL TABLE IF NOT EXISTS search_texts USING fts5(folded, content='texts',"
                               " content_rowid='id', tokenize='trigram')"),
                error)
        && exec(db,
                QStringLiteral("CREATE VIRTUAL TABLE IF NOT EXISTS search_receptions USING fts5(body, tokenize='trigram')"),
                error)
        // A reception takes its row in the index with it, and its texts when
        // no other reception of that fax is left.
        && exec(db,
                QStringLiteral("CREATE TRIGGER IF NOT EXISTS receptions_search AFTER DELETE ON receptions BEGIN"
                               " DELETE FROM search_receptions WHERE rowid = old.id;"
                               " DELETE FROM texts WHERE old.commid != '' AND commid = old.commid"
                               " AND NOT EXISTS (SELECT 1 FROM receptions WHERE commid = old.commid); END"),
                error)
        && exec(db,
                QStringLiteral("CREATE TRIGGER IF NOT EXISTS texts_search AFTER DELETE ON texts BEGIN"
                               " INSERT INTO search_texts (search_texts, rowid, folded) VALUES ('delete', old.id, old.folded);"
                               " END"),
                error);
    if (ok && !indexed) {
        QSqlQuery rows(db);
        rows.setForwardOnly(true);
        ok = rows.exec(QStringLiteral("SELECT id, caller, number, error FROM receptions"));
        if (!ok)
            *error = rows.lastError().text();
        while (ok && rows.next())
            ok = addReception(db, rows.value(0).toLongLong(), rows.value(1).toString(), rows.value(2).toString(),
                              rows.value(3).toString(), error);
    }
    if (!ok || !db.commit()) {
        if (ok)
            *error = db.lastError().text();
        db.rollback();
        return false;
    }
    return true;
}

bool addReception(QSqlDatabase db, qint64 id, const QString &caller, const QString &number, const QString &error,
                  QString *why)
{
    QSqlQuery insert(db);
    insert.prepare(QStringLiteral("INSERT INTO search_receptions (rowid, body) VALUES (?, ?)"));
    insert.addBindValue(id);
    insert.addBindValue(receptionBody(caller, number, error));
    return exec(insert, why);
}

bool addText(QSqlDatabase db, const QString &key, const FaxText &text, qint64 *bytes, QString *why)
{
    *bytes = 0;
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT id FROM receptions WHERE commid = ? ORDER BY id DESC LIMIT 1"));
    query.addBindValue(key);
    if (!exec(query, why))
        return false;
    if (!query.next()) {
        *bytes = -1; // its reception is not here (yet)
        return true;
    }
    const qint64 reception = query.value(0).toLongLong();
    query.finish();
    const QString folded = fold(text.text);
    query.prepare(QStringLiteral("INSERT OR IGNORE INTO texts (commid, page, text, error, folded)"
                                 " VALUES (?, ?, COALESCE(?, ''), COALESCE(?, ''), COALESCE(?, ''))"));
    query.addBindValue(key);
    query.addBindValue(text.page);
    query.addBindValue(text.text);
    query.addBindValue(text.error);
    query.addBindValue(folded);
    if (!exec(query, why))
        return false;
    if (query.numRowsAffected() != 1)
        return true; // a second delivery
    const qint64 id = query.lastInsertId().toLongLong();
    if (!folded.isEmpty()) {
        query.prepare(QStringLiteral("INSERT INTO search_texts (rowid, folded) VALUES (?, ?)"));
        query.addBindValue(id);
        query.addBindValue(folded);
        if (!exec(query, why))
            return false;
    }
    // The text and its index count in the history's bound on bytes, as
    // its reception's.
    const qint64 size = text.text.toUtf8().size() + folded.toUtf8().size() + text.error.toUtf8().size();
    query.prepare(QStringLiteral("UPDATE receptions SET size = size + ? WHERE id = ?"));
    query.addBindValue(size);
    query.addBindValue(reception);
    if (!exec(query, why))
        return false;
    *bytes = size;
    return true;
}

Match match(QSqlDatabase db, const QString &key, const Terms &terms)
{
    Match found;
    if (terms.words.isEmpty() || key.isEmpty())
        return found;
    // Only the pages the index finds, where it can (every word long enough).
    QStringList hits;
    for (int i = 0; i < terms.words.size(); ++i) {
        if (terms.words.at(i).toUcs4().size() < IndexedLength) {
            hits.clear();
            break;
        }
        hits.append(QStringLiteral("id IN (SELECT rowid FROM search_texts WHERE search_texts MATCH :m%1)").arg(i));
    }
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT page, text FROM texts WHERE commid = :key AND text != ''")
                  + (hits.isEmpty() ? QString() : QStringLiteral(" AND (%1)").arg(hits.join(QStringLiteral(" OR "))))
                  + QStringLiteral(" ORDER BY page"));
    query.bindValue(QStringLiteral(":key"), key);
    if (!hits.isEmpty()) {
        Terms words = terms;
        words.day = QDate();
        bind(&query, words);
    }
    if (!query.exec())
        return found;
    while (query.next()) {
        const QString text = query.value(1).toString();
        QList<int> origins, ends;
        const QString folded = fold(text, &origins, &ends);
        qsizetype first = -1, firstLength = 0;
        for (const QString &word : terms.words) {
            const qsizetype at = folded.indexOf(word);
            if (at >= 0 && (first < 0 || at < first)) {
                first = at;
                firstLength = word.size();
            }
        }
        if (first < 0)
            continue;
        // The words around it, from the text as it came, never half a
        // character.
        const auto whole = [&text](int at) {
            return at > 0 && at < text.size()
                && (text.at(at).isLowSurrogate() || text.at(at).unicode() == 0xFF9E || text.at(at).unicode() == 0xFF9F);
        };
        int start = qMax(0, origins.at(first) - 24);
        while (whole(start))
            --start;
        int end = int(qMin<qsizetype>(text.size(), ends.at(first + firstLength - 1) + 40));
        while (whole(end))
            ++end;
        QList<bool> bold(end - start, false);
        for (const QString &word : terms.words) {
            for (qsizetype at = folded.indexOf(word); at >= 0; at = folded.indexOf(word, at + 1)) {
                for (int k = qMax(origins.at(at), start); k < ends.at(at + word.size() - 1) && k < end; ++k)
                    bold[k - start] = true;
            }
        }
        QString html = start > 0 ? QStringLiteral("…") : QString();
        bool inBold = false;
        for (int k = start; k < end; ++k) {
            if (bold.at(k - start) != inBold) {
                html += inBold ? QStringLiteral("</b>") : QStringLiteral("<b>");
                inBold = !inBold;
            }
            const QChar c = text.at(k);
            if (c.isSurrogate())
                html += c;
            else
                html += c == QLatin1Char('\n') ? QStringLiteral(" ") : QString(c).toHtmlEscaped();
        }
        if (inBold)
            html += QStringLiteral("</b>");
        if (end < text.size())
            html += QStringLiteral("…");
        found.page = query.value(0).toInt();
        found.html = html;
        return found;
    }
    return found;
}

QList<PageText> texts(QSqlDatabase db, const QString &key)
{
    QList<PageText> pages;
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT page, text, error FROM texts WHERE commid = ? ORDER BY page"));
    query.addBindValue(key);
    if (query.exec()) {
        while (query.next())
            pages.append(PageText{query.value(0).toInt(), query.value(1).toString(), query.value(2).toString()});
    }
    return pages;
}

} // namespace HistorySearch
