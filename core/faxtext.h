#pragma once

#include <QByteArray>
#include <QString>

// What a fax says, as its fax monitor read it, a page at a time, on the
// fax's text topic (core/topics.h), after its document:
//
//   {"page": 2, "pages": 5, "text": "..."}     what page 2 of 5 says
//   {"page": 2, "pages": 5, "error": "..."}    page 2 could not be read
//   {"page": 0, "pages": 5, "error": "..."}    about the fax as a whole (pages
//                                              left unread, none read at all)
//
// A page's text is at most MaxTextBytes of UTF-8, cut at a character.
struct FaxText
{
    static constexpr int MaxTextBytes = 32 * 1024;
    static constexpr int MaxErrorLength = 300;
    // A message at most: the text, its escapes and the rest.
    static constexpr int MaxMessageBytes = 3 * MaxTextBytes;
    // Pages of a fax, at most (a fax server's page counter).
    static constexpr int MaxPages = 9999;

    int page = 0; // from 1; 0 for the fax as a whole
    int pages = 0;
    QString text;
    QString error;

    QByteArray toJson() const;
    // False, with the reason, for a message that is none of the above.
    static bool fromJson(const QByteArray &payload, FaxText *text, QString *error);
    // text cut to at most bytes of UTF-8, at a character.
    static QString cut(const QString &text, int bytes);
};
