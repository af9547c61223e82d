#include "faxmonitor/documents.h"

#include "core/configfile.h"
#include "faxmonitor/logging.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

ReceivedFax::~ReceivedFax()
{
    if (fd >= 0)
        ::close(fd);
}

QString ReceivedFax::path() const
{
    return QStringLiteral("/proc/%1/fd/%2").arg(QCoreApplication::applicationPid()).arg(fd);
}

struct DocumentMaker::Job
{
    Reception reception;
    int fd = -1;            // the received file, as it was checked
    QTemporaryDir folder;   // what the tools make
    QProcess *process = nullptr;
    QTimer deadline;
    int step = 0;           // see Step
    QByteArray said;        // the start of what the tool under way said
    bool timedOut = false;  // the tool under way took too long
    bool pictureFailed = false;
    int faxPages = -1;      // as the fax's reader counted them

    ~Job()
    {
        if (fd >= 0)
            ::close(fd);
    }
    QString pdf() const { return folder.filePath(QStringLiteral("fax.pdf")); }
    QString picture() const { return folder.filePath(QStringLiteral("page.png")); }
};

namespace {

// What each fax goes through, in turn.
enum Step { MakePdf, ReadFax, CheckPdf };

// What a tool may say, at most, kept for the journal and read for what it
// counted.
constexpr qsizetype MaxSaid = 4096;


QString systemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

QString realPath(const QString &path)
{
    char resolved[PATH_MAX];
    return ::realpath(QFile::encodeName(path).constData(), resolved) ? QFile::decodeName(resolved) : QString();
}

} // namespace

DocumentMaker::DocumentMaker(QObject *parent)
    : QObject(parent)
{
}

DocumentMaker::~DocumentMaker()
{
    stop();
}

void DocumentMaker::stop()
{
    // The tools are killed, not waited for; their folders go with the jobs.
    for (const auto &job : m_running) {
        if (job->process) {
            job->process->disconnect(this);
            job->process->kill();
        }
    }
    m_running.clear();
    m_waiting.clear();
}

bool DocumentMaker::setUp(const Options &options, QString *error)
{
    m_options = options;
    m_recvq = realPath(options.spool + QStringLiteral("/recvq"));
    if (m_recvq.isEmpty() || !QFileInfo(m_recvq).isDir()) {
        *error = QStringLiteral("%1/recvq is not a folder").arg(options.spool);
        return false;
    }
    const passwd *user = getpwnam(QFile::encodeName(options.faxUser).constData());
    if (!user) {
        *error = QStringLiteral("there is no user %1").arg(options.faxUser);
        return false;
    }
    m_faxUid = user->pw_uid;
    for (const char *tool : {"tiff2pdf", "pdfinfo"}) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty()) {
            *error = QStringLiteral("%1 is not installed (%2)")
                         .arg(QLatin1String(tool),
                              QLatin1String(std::strcmp(tool, "tiff2pdf") == 0 ? "libtiff-tools" : "poppler-utils"));
            return false;
        }
    }
    // The fax's reader: beside the monitor in a build tree, in the
    // package's folder once installed.
    m_faxPage = QCoreApplication::applicationDirPath() + QStringLiteral("/kavrel-faxpage");
    if (!QFileInfo(m_faxPage).isExecutable())
        m_faxPage = QStringLiteral(FAXPAGE_INSTALLED);
    if (!QFileInfo(m_faxPage).isExecutable()) {
        *error = QStringLiteral("%1 is not there").arg(m_faxPage);
        return false;
    }
    return true;
}

int DocumentMaker::openReceived(const QString &file, QString *error) const
{
    if (file.isEmpty()) {
        *error = QStringLiteral("the fax server named no file");
        return -1;
    }
    // Named as the fax server names it, relative to its spool; wherever
    // the name leads, it must end in recvq.
    const QString real = realPath(QDir(m_options.spool).filePath(file));
    if (real.isEmpty() || !real.startsWith(m_recvq + QLatin1Char('/'))) {
        *error = QStringLiteral("%1 is not a file the fax server received (not in %2)").arg(file, m_recvq);
        return -1;
    }
    const int fd = ::open(QFile::encodeName(real).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *error = QStringLiteral("cannot read %1: %2").arg(real, systemReason());
        return -1;
    }
    // What was opened is what is checked, and what the tools read.
    struct stat st;
    QString why;
    if (fstat(fd, &st) != 0)
        why = systemReason();
    else if (!S_ISREG(st.st_mode))
        why = QStringLiteral("it is not a regular file");
    else if (st.st_uid != m_faxUid)
        why = QStringLiteral("it is not the fax server's (%1)").arg(m_options.faxUser);
    else if (st.st_size > m_options.maxTiffSize)
        why = QStringLiteral("it is over %1 bytes").arg(m_options.maxTiffSize);
    if (!why.isEmpty()) {
        ::close(fd);
        *error = QStringLiteral("%1 is refused: %2").arg(real, why);
        return -1;
    }
    return fd;
}

bool DocumentMaker::make(const Reception &reception, QString *error)
{
    if (reception.commId.isEmpty()) {
        *error = QStringLiteral("the fax server gave no communication id");
        return false;
    }
    const int fd = openReceived(reception.file, error);
    if (fd < 0)
        return false;
    auto job = std::make_unique<Job>();
    job->reception = reception;
    job->fd = fd;
    if (!job->folder.isValid()) {
        *error = QStringLiteral("no temporary folder: %1").arg(job->folder.errorString());
        return false;
    }
    if (int(m_waiting.size()) >= m_options.maxWaiting) {
        Q_EMIT failed(m_waiting.front()->reception.commId,
                      QStringLiteral("%1 faxes waited to be converted already; this one was given up").arg(m_waiting.size()));
        m_waiting.pop_front();
    }
    m_waiting.push_back(std::move(job));
    // The reception's own message first: the tools take the processor only
    // once it is on its way (on a busy fax server they would delay it).
    QTimer::singleShot(m_options.headStart, this, &DocumentMaker::startNext);
    return true;
}

void DocumentMaker::startNext()
{
    while (!m_waiting.empty() && int(m_running.size()) < m_options.parallel) {
        m_running.push_back(std::move(m_waiting.front()));
        m_waiting.pop_front();
        Job *job = m_running.back().get();
        // The tool reads the very file that was checked, through this
        // process's descriptor for it.
        runTool(job, QStringLiteral("tiff2pdf"), {QStringLiteral("-o"), job->pdf(), received(job)});
    }
}

void DocumentMaker::limit(QProcess *process, qint64 memory, int niceness)
{
    const rlim_t ceiling = rlim_t(memory);
    process->setChildProcessModifier([ceiling, niceness] {
        // Between fork and exec: only calls that are safe there. A limit
        // that cannot be set is not worth running the tool without.
        const rlimit limit{ceiling, ceiling};
        if (::setrlimit(RLIMIT_AS, &limit) != 0 || ::setpriority(PRIO_PROCESS, 0, niceness) != 0)
            ::_exit(125);
        const int score = ::open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
        if (score >= 0) {
            (void)!::write(score, "1000", 4);
            ::close(score);
        }
    });
}

int DocumentMaker::toolCount(const QByteArray &said, const QByteArray &key)
{
    for (const QByteArray &line : said.split('\n')) {
        if (line.startsWith(key)) {
            bool numeric = false;
            const int count = line.mid(key.size()).trimmed().toInt(&numeric);
            return numeric ? count : -1;
        }
    }
    return -1;
}

QString DocumentMaker::received(const Job *job)
{
    return QStringLiteral("/proc/%1/fd/%2").arg(QCoreApplication::applicationPid()).arg(job->fd);
}

void DocumentMaker::runTool(Job *job, const QString &program, const QStringList &arguments)
{
    // The tool before this one may be the sender of the signal that got
    // here: it goes at the next turn.
    if (job->process) {
        job->process->disconnect(this);
        job->process->deleteLater();
    }
    job->process = new QProcess(this);
    job->process->setProcessChannelMode(QProcess::MergedChannels);
    // No fax may take the machine's memory, nor the processor from the
    // receptions: each tool has a ceiling of its own, and a low priority
    // (not the lowest: on a busy machine that starves it past its time
    // limit); the unit bounds them all together.
    limit(job->process, m_options.toolMemory, 10);
    // What the tool says is read as it comes; its start is kept for the
    // journal, the rest let go.
    job->said.clear();
    connect(job->process, &QProcess::readyRead, this, [job] {
        const QByteArray more = job->process->readAll();
        job->said += more.left(qMax<qsizetype>(0, MaxSaid - job->said.size()));
    });
    job->deadline.setSingleShot(true);
    job->deadline.disconnect();
    const int step = job->step;
    job->timedOut = false;
    connect(&job->deadline, &QTimer::timeout, this, [this, job, step, program] {
        job->process->disconnect(this);
        job->process->kill();
        job->timedOut = true;
        toolFinished(job, step, false, QStringLiteral("%1 took longer than %2 s").arg(program).arg(m_options.timeout / 1000));
    });
    connect(job->process, &QProcess::finished, this, [this, job, step, program](int code, QProcess::ExitStatus status) {
        job->deadline.stop();
        job->said = (job->said + job->process->readAll()).left(MaxSaid);
        const bool unlimited = status == QProcess::NormalExit && code == 125 && job->said.isEmpty();
        toolFinished(job, step, status == QProcess::NormalExit && code == 0,
                     unlimited ? QStringLiteral("%1 could not be given its limits (memory, priority)").arg(program)
                               : QStringLiteral("%1 failed (%2)").arg(program, QString::fromLocal8Bit(job->said.left(200).trimmed())));
    });
    connect(job->process, &QProcess::errorOccurred, this, [this, job, step, program](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        job->deadline.stop();
        toolFinished(job, step, false, QStringLiteral("%1 could not be started").arg(program));
    });
    job->deadline.start(m_options.timeout);
    job->process->start(program, arguments);
}

void DocumentMaker::toolFinished(Job *job, int step, bool ok, const QString &error)
{
    switch (step) {
    case MakePdf:
        if (!ok) {
            finish(job, error);
            return;
        }
        // What tiff2pdf makes of a fax it cannot read is a PDF all the same
        // (blank where the pages were): the fax is read through first.
        job->step = ReadFax;
        runTool(job, m_faxPage,
                {QStringLiteral("--width"), QString::number(m_options.pictureWidth), received(job), job->picture()});
        return;
    case ReadFax:
        if (ok) {
            job->faxPages = toolCount(job->said, "pages ");
        } else if (job->timedOut) {
            // A fax too long to read in time still goes, without its picture
            // and with the pages of its PDF unchecked; that is said.
            job->pictureFailed = true;
            qCWarning(lcRelays).noquote() << QStringLiteral("the fax of reception %1 was not read through: %2; its "
                                                            "document goes without a picture")
                                                 .arg(job->reception.commId, error);
        } else {
            finish(job, QStringLiteral("the fax cannot be read: %1").arg(error));
            return;
        }
        job->step = CheckPdf;
        runTool(job, QStringLiteral("pdfinfo"), {job->pdf()});
        return;
    default: {
        // The PDF opens, and has the fax's pages.
        const int pages = ok ? toolCount(job->said, "Pages:") : -1;
        if (!ok || pages <= 0)
            finish(job, QStringLiteral("the PDF does not open: %1").arg(error));
        else if (job->faxPages > 0 && pages != job->faxPages)
            finish(job, QStringLiteral("the PDF has %1 pages, the fax %2").arg(pages).arg(job->faxPages));
        else
            finish(job, QString());
        return;
    }
    }
}

void DocumentMaker::finish(Job *job, const QString &error)
{
    QString why = error;
    QByteArray pdf, picture;
    if (why.isEmpty() && !ConfigFile::read(job->pdf(), m_options.maxPdfSize, &pdf, &why))
        why = QStringLiteral("the PDF: %1").arg(why);
    if (why.isEmpty() && pdf.isEmpty())
        why = QStringLiteral("tiff2pdf made no PDF");
    if (why.isEmpty() && !job->pictureFailed) {
        // Without its picture the document still goes; that is said.
        QString pictureWhy;
        if (!ConfigFile::read(job->picture(), m_options.maxPictureSize, &picture, &pictureWhy))
            qCWarning(lcRelays).noquote() << QStringLiteral("the picture of reception %1 cannot be used: %2")
                                                 .arg(job->reception.commId, pictureWhy);
    }
    const QString commId = job->reception.commId;
    auto fax = std::make_shared<ReceivedFax>();
    if (!pdf.isEmpty()) {
        std::swap(fax->fd, job->fd);
        fax->pages = job->faxPages;
    }
    for (auto it = m_running.begin(); it != m_running.end(); ++it) {
        if (it->get() == job) {
            // Gone at the next turn: this may be its own timer's or its own
            // process's signal.
            job->process->disconnect(this);
            job->process->deleteLater();
            job->process = nullptr;
            job->deadline.stop();
            std::shared_ptr<Job> done(it->release());
            m_running.erase(it);
            QTimer::singleShot(0, this, [done] {});
            break;
        }
    }
    if (!pdf.isEmpty())
        Q_EMIT made(commId, pdf, picture, fax);
    else
        Q_EMIT failed(commId, why);
    startNext();
}
