#pragma once

#include "core/reception.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <deque>
#include <memory>

class QProcess;

#include <sys/types.h>

// Makes the received fax into what a desktop opens: a PDF (tiff2pdf, as the
// fax server's own mail does) and a picture of the top of its first page (a
// PNG at most 256 pixels wide, by kavrel-faxpage, which reads the whole fax
// through first: tiff2pdf makes a blank PDF of a fax it cannot read). The
// PDF is checked to open, with the fax's pages (pdfinfo), before it goes.
//
// Only a file the fax server received is read: a regular file in the
// spool's recvq, owned by the fax server's user; a path that leads out of
// it (.., a symbolic link) is refused. The file is opened once, checked on
// what was opened, and the tools read that very file. The tools run as
// processes beside the event loop, two at a time at most, each with a time
// limit, a memory ceiling and a low priority (nice 10), and only once the reception's own message has had a head start; what they make is bounded in size, and so is the queue of what
// waits. A conversion that fails is said once; the reception's notice has
// long gone out by then.
// A received fax's file, as it was checked and opened, handed on with its
// document to what reads it further (its text); closed with the last hold.
struct ReceivedFax
{
    int fd = -1;
    int pages = -1; // as the fax's reader counted them; -1 when not read through
    ReceivedFax() = default;
    ReceivedFax(const ReceivedFax &) = delete;
    ReceivedFax &operator=(const ReceivedFax &) = delete;
    ~ReceivedFax();
    // The file as another process reads it: this process's descriptor.
    QString path() const;
};

class DocumentMaker : public QObject
{
    Q_OBJECT

public:
    struct Options {
        QString spool = QStringLiteral("/var/spool/hylafax");
        QString faxUser = QStringLiteral("uucp");
        int timeout = 60000;                      // milliseconds for each tool
        int headStart = 50;                       // milliseconds the reception's message has before the tools run
        qint64 maxTiffSize = 64 * 1024 * 1024;
        qint64 maxPdfSize = 50 * 1024 * 1024;
        qint64 maxPictureSize = 1024 * 1024;
        int parallel = 2;
        int maxWaiting = 16;
        int pictureWidth = 256;
        qint64 toolMemory = 512 * 1024 * 1024; // address space of each tool, at most
    };

    explicit DocumentMaker(QObject *parent = nullptr);
    ~DocumentMaker() override;

    // False, with the reason, when the spool or the fax user cannot be used.
    bool setUp(const Options &options, QString *error);
    // Makes the document of reception (its file and communication id):
    // made() or failed() says how it went. False, with the reason, when it
    // is refused at once (no id, a file that is not the fax server's).
    bool make(const Reception &reception, QString *error);
    // Gives up what is under way and what waits (the monitor ends).
    void stop();
    // The fax's reader, as found by setUp().
    QString faxPage() const { return m_faxPage; }
    // Gives process, before it starts, a ceiling of memory bytes and the
    // priority niceness; a tool that cannot be given them ends at once
    // with status 125.
    static void limit(QProcess *process, qint64 memory, int niceness);
    // The number after key at the start of a line of what a tool said; -1
    // when there is none.
    static int toolCount(const QByteArray &said, const QByteArray &key);

Q_SIGNALS:
    // fax is the received file, for what reads it further.
    void made(const QString &commId, const QByteArray &pdf, const QByteArray &picture,
              const std::shared_ptr<ReceivedFax> &fax);
    void failed(const QString &commId, const QString &error);

private:
    struct Job;

    // Opens the reception's file as the fax server received it; -1 with the
    // reason otherwise.
    int openReceived(const QString &file, QString *error) const;
    void startNext();
    void runTool(Job *job, const QString &program, const QStringList &arguments);
    // The received file, as the tools read it: this process's descriptor.
    static QString received(const Job *job);
    void toolFinished(Job *job, int step, bool ok, const QString &error);
    void finish(Job *job, const QString &error);

    Options m_options;
    QString m_recvq;  // the real path of the spool's recvq
    QString m_faxPage; // the fax's reader (kavrel-faxpage)
    uid_t m_faxUid = uid_t(-1);
    std::deque<std::unique_ptr<Job>> m_waiting;
    std::deque<std::unique_ptr<Job>> m_running;
};
