#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringView>

// One fax reception, the same on every road it takes: the fax server's hook
// posts it to the fax monitor as fields; the monitor passes it on as one line
// (to every kavrel-s, and as the datagrams' text) and as JSON (MQTT); the
// receivers read the line back. The line has six comma-separated fields:
//
//   YYYY/MM/DD HH:MM:SS,TSI,number,name,pages,status
//
// in local time; the status is OK, or the message of a reception that failed.
struct Reception
{
    QDateTime received; // local time
    QString tsi;
    QString number;
    QString name;
    QString pages;      // as the fax server gave it; empty when unknown
    QString status;     // OK, or the message of a reception that failed
    // Not in the line: the received document, relative to the fax server's
    // spool, and the fax server's name for the reception (digits and
    // letters only; empty when not given).
    QString file;
    QString commId;
    // The modem or line that took the call, and the number that was called
    // where the line tells it (as the fax server names them; empty when not
    // given): what a fax is routed on besides its sender.
    QString device;
    QString called;
    // A communication id that was given but cannot name anything (not
    // letters and digits): said, never used.
    QString badCommId;

    // The last field of a failed reception whose message is blank.
    static const QString BlankErrorText;

    // The reception that the fields of a post stand for: reception time
    // (as HylaFAX writes it, "2026:12:07 06:38:44"), sender's TSI, caller's
    // number, caller's name, pages, and the error (empty for a reception that
    // succeeded). Commas, line breaks and other control or invisible
    // characters become blanks, bytes that are not UTF-8 are replaced, and a
    // time that cannot be read (or that no clock shows) becomes the time of
    // the post. A message of blanks, or one that reads OK, is still a
    // failure: only no message at all is OK. A seventh and eighth field are
    // the received file and the communication id; a ninth and tenth the
    // device and the number called.
    static Reception fromPost(const QList<QByteArray> &fields);
    // Reads a line as the monitor writes it; false when text is not one.
    static bool fromLine(QStringView text, Reception *reception);
    // The line a JSON message carries; empty when it carries none.
    static QString lineFromJson(const QByteArray &json);
    // The communication id a JSON message carries (letters and digits only);
    // empty when it carries none.
    // (Its "fax", or its "commid"; *document says whether a document follows.)
    static QString commIdFromJson(const QByteArray &json, bool *document = nullptr);

    // The six fields, comma-separated, UTF-8, without a line end.
    QByteArray line() const;
    // The same with named fields, for other tools: received (ISO 8601 with
    // its offset from UTC), tsi, number, name, pages (a number, or null),
    // status (OK or error), error (empty for OK), and the line itself; the
    // fax server it came from, where given; with namesFax, the communication
    // id as "fax" (for the fax's shared state); where the document travels
    // too, the communication id as "commid" and the topics its document
    // (PDF) and first-page picture (PNG) are published to.
    QByteArray json(const QString &server = QString(), const QString &documentTopic = QString(),
                    const QString &pictureTopic = QString(), bool namesFax = false) const;

    bool ok() const { return status == QLatin1String("OK"); }
    // The message of a reception that failed; empty for one that succeeded.
    QString error() const { return ok() ? QString() : status.trimmed(); }
    // The number of pages; -1 when not given.
    int pageCount() const;
    // Who sent the fax, as a person would name them: the caller's name, else
    // the TSI, else the number; empty when none is known.
    QString caller() const;
};
