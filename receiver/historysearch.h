#pragma once

#include "core/faxtext.h"

#include <QDate>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

class QSqlQuery;

// Finding receptions by what a person types: the caller's name, the number,
// the error, and what the fax says (its text, a page at a time, as its fax
// monitor read it). Both what is kept and what is typed are folded alike
// (fold()), and kept in SQLite's full-text index (FTS5, trigram: any three
// characters in a row, which needs no Japanese word splitter):
//
//   search_receptions   rowid = receptions.id: caller, number, error
//   texts               each page's text as it came, and folded, by fax and page
//   search_texts        the index of texts.folded (external content)
//
// Triggers keep them with their receptions: a reception that goes takes
// its texts and its rows in the index with it.
//
// What is typed is words, all of which must be found in a reception; some
// words are filters rather than text: 失敗 (failed receptions), 文書あり
// (whose document came), and a day (今日, 昨日, 12/07, 2026/12/07, 12月7日).
namespace HistorySearch {

// What is compared: NFKC (half-width katakana, full-width letters and
// digits made the usual ones), lower case, hiragana as katakana; without
// blanks and dashes (03-1234-5678 is 0312345678; OCR puts blanks between
// Japanese letters), nor a long vowel mark or 一 between digits (OCR's
// dashes). Where origins is given, it gets, for each character of the
// result, the index in text where what it came from starts, and ends,
// where that ends (a half-width kana with its mark, a pair of surrogates,
// are two).
QString fold(const QString &text, QList<int> *origins = nullptr, QList<int> *ends = nullptr);

struct Terms {
    QStringList words; // folded, each at least a character
    bool failed = false;
    bool withDocument = false;
    QDate day;
    bool isEmpty() const { return words.isEmpty() && !failed && !withDocument && !day.isValid(); }
};
// What is typed, read on the day today.
Terms parse(const QString &search, const QDate &today);

// The condition on receptions r (and their documents d) that terms ask
// for, its values bound by bind().
QString condition(const Terms &terms);
void bind(QSqlQuery *query, const Terms &terms);

// The tables, the index and the triggers, made once in a file; rows of
// before indexed once.
bool createSchema(QSqlDatabase db, QString *error);
// Indexes a reception written as id.
bool addReception(QSqlDatabase db, qint64 id, const QString &caller, const QString &number, const QString &error,
                  QString *why);
// Keeps the page text of the fax key; its bytes in *bytes (0 when it was
// kept already; -1 when its reception is not here, and it is not kept).
bool addText(QSqlDatabase db, const QString &key, const FaxText &text, qint64 *bytes, QString *why);

// Why a fax matched: the page (from 1) and the words around the first
// place it matched in that page's text, as HTML with what matched in
// <b>; page 0 when no page's text matched.
struct Match {
    int page = 0;
    QString html;
};
Match match(QSqlDatabase db, const QString &key, const Terms &terms);
// The page texts of a fax, by page: those read, and why one was not.
struct PageText {
    int page = 0;
    QString text;
    QString error;
};
QList<PageText> texts(QSqlDatabase db, const QString &key);

} // namespace HistorySearch
