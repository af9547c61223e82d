#pragma once

#include "core/faxtext.h"
#include "faxmonitor/documents.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <memory>

class QProcess;

// Reads what each received fax says, once its document has gone out, with
// tesseract (Japanese, horizontal and vertical writing): a page at a time,
// each made ready by the fax's reader (kavrel-faxpage: square pixels, 400 to
// the inch, so that a standard fax's letters are not half as tall as they
// are wide), read with tesseract's page layout and, where that finds columns
// of vertical writing or nothing, as columns too (see reading()), and said
// page by page as it is read (pageRead). One fax is read at a time, at a
// lower priority than the conversions, each tool with a time limit and a
// memory ceiling; a page that fails is said and the next read. At most maxPages of a fax are read, and the rest said; at most
// maxWaiting faxes wait, the oldest given up beyond (and said).
class TextReader : public QObject
{
    Q_OBJECT

public:
    struct Options {
        QString tesseract = QStringLiteral("tesseract");
        // Where the languages' data is; tesseract's own default when empty.
        QString dataFolder;
        int timeout = 60000; // milliseconds for each tool on a page
        // A page on which nothing was found (blank, or noise, on which
        // reading as columns can take minutes) is read as columns for
        // twice the first reading's time, at least this, timeout at most.
        int columnsTimeout = 10000;
        int maxPages = 20;
        int maxWaiting = 32;
        qint64 toolMemory = 1024LL * 1024 * 1024;
        int niceness = 15;
    };

    explicit TextReader(QObject *parent = nullptr);
    ~TextReader() override;

    // False, with the reason, when no Japanese text can be read here (no
    // tesseract, no Japanese data); *warning says what is read less well
    // (no data for vertical writing).
    bool setUp(const Options &options, const QString &faxPage, QString *error, QString *warning);
    // The languages read, as tesseract names them.
    QString languages() const { return m_languages; }
    // Reads the text of fax, whose document went out.
    void read(const QString &commId, const std::shared_ptr<ReceivedFax> &fax);
    void stop();
    // Faxes waiting, and the one being read.
    int queued() const { return int(m_waiting.size()) + (m_current ? 1 : 0); }

    // A page as tesseract read it (its TSV and its text, on one output):
    // the text; how much it read, and how surely (each character's
    // confidence, 0 to 100, summed), of how many characters; and how many
    // lines of three characters or more ran down the page (vertical
    // writing).
    struct Reading {
        QString text;
        double score = 0;
        int characters = 0;
        int verticalLines = 0;
    };
    static Reading reading(const QByteArray &out);

Q_SIGNALS:
    void pageRead(const QString &commId, const FaxText &text);
    // Nothing more comes of commId.
    void finished(const QString &commId);

private:
    struct Job;
    void startNext();
    void readPage();
    void run(const QString &program, const QStringList &arguments, int timeout);
    void runTesseract(const QString &layout, int timeout);
    void toolFinished(bool ok, QString error);
    void pageDone(const FaxText &text);

    Options m_options;
    QString m_faxPage;
    QString m_languages;
    std::deque<std::unique_ptr<Job>> m_waiting;
    std::unique_ptr<Job> m_current;
    QProcess *m_process = nullptr;
    QTimer m_deadline;
};
