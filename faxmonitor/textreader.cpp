#include "faxmonitor/textreader.h"

#include "faxmonitor/logging.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

struct TextReader::Job
{
    QString commId;
    std::shared_ptr<ReceivedFax> fax;
    int pages = -1;
    int page = 0;
    bool reading = false; // tesseract under way (else the page is made ready)
    // The page read as columns of vertical writing, after a first reading
    // (kept here) found some or nothing at all.
    bool vertical = false;
    TextReader::Reading first;
    QElapsedTimer started; // the tool under way
    QByteArray out;       // what the tool under way wrote, up to a bound
    QByteArray said;      // and said on its error output
    QTemporaryDir folder;
    QString picture() const { return folder.filePath(QStringLiteral("page.png")); }
};

namespace {

constexpr qsizetype MaxSaid = 4096;
// tesseract's TSV (some 40 bytes of boxes and confidence a word, and a word
// of Japanese is a character or two), then its text.
constexpr qsizetype MaxOut = 64 * FaxText::MaxTextBytes;
// Of a reading as columns, a character's confidence on average at least
// (vertical writing read 84 to 92 on the faxes of known text).
constexpr double MinColumnsConfidence = 70;

// Where Debian's tesseract looks for its languages.
QString defaultDataFolder()
{
    const QByteArray prefix = qgetenv("TESSDATA_PREFIX");
    if (!prefix.isEmpty())
        return QFile::decodeName(prefix);
    for (const char *folder : {"/usr/share/tesseract-ocr/5/tessdata", "/usr/share/tesseract-ocr/4.00/tessdata"}) {
        if (QFileInfo(QLatin1String(folder)).isDir())
            return QLatin1String(folder);
    }
    return QString();
}

// A tool done with: gone once it has ended (a killed one may take a moment,
// which the monitor does not wait for).
void letGo(QProcess *process)
{
    if (process->state() == QProcess::NotRunning) {
        process->deleteLater();
        return;
    }
    QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
    process->kill();
}

} // namespace

TextReader::TextReader(QObject *parent)
    : QObject(parent)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        m_process->disconnect(this);
        m_process->kill();
        toolFinished(false, QStringLiteral("%1 took longer than %2 s")
                                .arg(m_current->reading ? QStringLiteral("tesseract") : QStringLiteral("the fax's reader"))
                                .arg(m_deadline.interval() / 1000.0));
    });
}

TextReader::~TextReader()
{
    stop();
}

bool TextReader::setUp(const Options &options, const QString &faxPage, QString *error, QString *warning)
{
    m_options = options;
    m_faxPage = faxPage;
    if (QStandardPaths::findExecutable(options.tesseract).isEmpty() && !QFileInfo(options.tesseract).isExecutable()) {
        *error = QStringLiteral("%1 is not installed (tesseract-ocr)").arg(options.tesseract);
        return false;
    }
    if (m_options.dataFolder.isEmpty())
        m_options.dataFolder = defaultDataFolder();
    const QDir data(m_options.dataFolder);
    if (m_options.dataFolder.isEmpty() || !data.exists(QStringLiteral("jpn.traineddata"))) {
        *error = QStringLiteral("tesseract has no Japanese in %1 (tesseract-ocr-jpn)")
                     .arg(m_options.dataFolder.isEmpty() ? QStringLiteral("its folder") : m_options.dataFolder);
        return false;
    }
    m_languages = QStringLiteral("jpn");
    if (data.exists(QStringLiteral("jpn_vert.traineddata")))
        m_languages += QStringLiteral("+jpn_vert");
    else
        *warning = QStringLiteral("tesseract has no Japanese in vertical writing in %1 (tesseract-ocr-jpn-vert): "
                                  "faxes written vertically are read badly")
                       .arg(m_options.dataFolder);
    return true;
}

void TextReader::stop()
{
    m_deadline.stop();
    if (m_process) {
        m_process->disconnect(this);
        letGo(m_process);
        m_process = nullptr;
    }
    m_current.reset();
    m_waiting.clear();
}

void TextReader::read(const QString &commId, const std::shared_ptr<ReceivedFax> &fax)
{
    auto job = std::make_unique<Job>();
    job->commId = commId;
    job->fax = fax;
    job->pages = fax->pages;
    if (!job->folder.isValid()) {
        Q_EMIT pageRead(commId, FaxText{0, qMax(0, fax->pages), QString(),
                                        QStringLiteral("no temporary folder: %1").arg(job->folder.errorString())});
        Q_EMIT finished(commId);
        return;
    }
    if (int(m_waiting.size()) >= m_options.maxWaiting) {
        const std::unique_ptr<Job> old = std::move(m_waiting.front());
        m_waiting.pop_front();
        Q_EMIT pageRead(old->commId,
                        FaxText{0, qMax(0, old->pages), QString(),
                                QStringLiteral("not read: %1 faxes waited to be read already").arg(m_options.maxWaiting)});
        Q_EMIT finished(old->commId);
    }
    m_waiting.push_back(std::move(job));
    QTimer::singleShot(0, this, &TextReader::startNext);
}

void TextReader::startNext()
{
    if (m_current || m_waiting.empty())
        return;
    m_current = std::move(m_waiting.front());
    m_waiting.pop_front();
    m_current->page = 1;
    readPage();
}

void TextReader::readPage()
{
    Job *job = m_current.get();
    if (!job)
        return;
    qCDebug(lcRelays).noquote() << QStringLiteral("reading page %1 of %2 (%3 pages)").arg(job->page).arg(job->commId).arg(job->pages);
    const int page = job->page;
    if (job->pages >= 0 && page > job->pages) {
        const QString commId = job->commId;
        m_current.reset();
        Q_EMIT finished(commId);
        startNext();
        return;
    }
    if (page > m_options.maxPages) {
        // The rest is said, not left out silently.
        pageDone(FaxText{0, qMax(0, job->pages), QString(),
                         QStringLiteral("pages %1 to %2 were not read: at most %3 pages of a fax are read")
                             .arg(page)
                             .arg(job->pages)
                             .arg(m_options.maxPages)});
        job->pages = page - 1; // and it ends there
        return;
    }
    job->reading = false;
    run(m_faxPage, {QStringLiteral("--page"), QString::number(page), job->fax->path(), job->picture()}, m_options.timeout);
}

void TextReader::run(const QString &program, const QStringList &arguments, int timeout)
{
    if (m_process) {
        m_process->disconnect(this);
        letGo(m_process);
    }
    Job *job = m_current.get();
    job->out.clear();
    job->said.clear();
    m_process = new QProcess(this);
    DocumentMaker::limit(m_process, m_options.toolMemory, m_options.niceness);
    // One thread: a fax's text is not worth a second core of the fax server.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("OMP_THREAD_LIMIT"), QStringLiteral("1"));
    m_process->setProcessEnvironment(environment);
    QProcess *process = m_process;
    connect(process, &QProcess::readyReadStandardOutput, this, [job, process] {
        const QByteArray more = process->readAllStandardOutput();
        job->out += more.left(qMax<qsizetype>(0, MaxOut - job->out.size()));
    });
    connect(process, &QProcess::readyReadStandardError, this, [job, process] {
        const QByteArray more = process->readAllStandardError();
        job->said += more.left(qMax<qsizetype>(0, MaxSaid - job->said.size()));
    });
    connect(process, &QProcess::finished, this, [this, job, process, program](int code, QProcess::ExitStatus status) {
        m_deadline.stop();
        job->out += process->readAllStandardOutput().left(qMax<qsizetype>(0, MaxOut - job->out.size()));
        job->said = (job->said + process->readAllStandardError()).left(MaxSaid);
        const QString name = QFileInfo(program).fileName();
        if (status == QProcess::NormalExit && code == 125 && job->said.isEmpty())
            toolFinished(false, QStringLiteral("%1 could not be given its limits (memory, priority)").arg(name));
        else
            toolFinished(status == QProcess::NormalExit && code == 0,
                         QStringLiteral("%1 failed (%2)")
                             .arg(name, status == QProcess::NormalExit
                                            ? QString::fromLocal8Bit(job->said.trimmed().left(200))
                                            : QStringLiteral("ended by a signal")));
    });
    connect(process, &QProcess::errorOccurred, this, [this, program](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        m_deadline.stop();
        toolFinished(false, QStringLiteral("%1 could not be started").arg(program));
    });
    m_deadline.start(timeout);
    job->started.start();
    process->start(program, arguments);
}

void TextReader::toolFinished(bool ok, QString error)
{
    Job *job = m_current.get();
    if (!job->reading) {
        const int pages = DocumentMaker::toolCount(job->out, "pages ");
        if (pages > 0)
            job->pages = qMin(pages, FaxText::MaxPages);
        if (!ok) {
            pageDone(FaxText{job->page, qMax(job->page, job->pages), QString(), error});
            return;
        }
        const int cut = DocumentMaker::toolCount(job->out, "cut ");
        if (cut > 0)
            qCWarning(lcRelays).noquote() << QStringLiteral("page %1 of %2 is %3 inches longer than is read; its end "
                                                            "is not read")
                                                 .arg(job->page)
                                                 .arg(job->commId)
                                                 .arg(cut);
        job->reading = true;
        job->vertical = false;
        runTesseract(QStringLiteral("3"), m_options.timeout);
        return;
    }
    if (ok && job->out.size() >= MaxOut) {
        ok = false;
        error = QStringLiteral("tesseract wrote more than %1 KiB for the page").arg(MaxOut / 1024);
    }
    if (!job->vertical) {
        if (!ok) {
            QFile::remove(job->picture());
            pageDone(FaxText{job->page, job->pages, QString(), error});
            return;
        }
        // tesseract's page layout leaves out columns of vertical writing
        // (whole pages of it at times), and reading the page as columns
        // reads horizontal writing as nonsense: a page with some columns,
        // or with nothing found, is read as columns as well, and the reading
        // that read more, and surely, is kept (see below).
        job->first = reading(job->out);
        if (job->first.verticalLines > 0 || job->first.text.isEmpty()) {
            job->vertical = true;
            runTesseract(QStringLiteral("5"),
                         job->first.text.isEmpty()
                             ? int(qMin<qint64>(m_options.timeout, qMax<qint64>(m_options.columnsTimeout, 2 * job->started.elapsed())))
                             : m_options.timeout);
            return;
        }
        QFile::remove(job->picture());
        pageDone(FaxText{job->page, job->pages, job->first.text, QString()});
        return;
    }
    QFile::remove(job->picture());
    const Reading columns = ok ? reading(job->out) : Reading();
    // Kept where it read more, confidence counted, and its characters were
    // read with a confidence of MinColumnsConfidence on average at least:
    // the specks of a blank page read as columns are read with far less.
    const bool better = columns.characters > 0 && columns.score >= MinColumnsConfidence * columns.characters
        && columns.score > job->first.score;
    if (!ok && job->first.text.isEmpty()) {
        pageDone(FaxText{job->page, job->pages, QString(),
                         QStringLiteral("nothing was found on the page, and reading it as columns failed: %1").arg(error)});
        return;
    }
    if (!ok)
        qCWarning(lcRelays).noquote() << QStringLiteral("page %1 of %2 could not be read as vertical writing: %3")
                                             .arg(job->page)
                                             .arg(job->commId, error);
    pageDone(FaxText{job->page, job->pages, better ? columns.text : job->first.text, QString()});
}

void TextReader::runTesseract(const QString &layout, int timeout)
{
    QStringList arguments{m_current->picture(), QStringLiteral("stdout"), QStringLiteral("-l"), m_languages,
                          QStringLiteral("--psm"), layout};
    if (!m_options.dataFolder.isEmpty())
        arguments << QStringLiteral("--tessdata-dir") << m_options.dataFolder;
    arguments << QStringLiteral("txt") << QStringLiteral("tsv");
    run(m_options.tesseract, arguments, timeout);
}

TextReader::Reading TextReader::reading(const QByteArray &out)
{
    // tesseract's text and its TSV, in one: the text's lines have no tabs,
    // and the TSV's rows are level page block paragraph line word left top
    // width height conf text, a page, block, paragraph and line (levels 1
    // to 4) each before what is in it, down to the words (level 5).
    enum { Level, Width = 8, Height, Confidence, Text, Fields };
    Reading result;
    QStringList lines;
    bool tall = false;
    int lineCharacters = 0;
    const auto endLine = [&] {
        if (tall && lineCharacters >= 3)
            ++result.verticalLines;
        lineCharacters = 0;
    };
    for (const QByteArray &row : out.split('\n')) {
        if (!row.contains('\t')) {
            lines.append(QString::fromUtf8(row));
            continue;
        }
        const QList<QByteArray> fields = row.split('\t');
        const int level = fields.size() == Fields ? fields.at(Level).toInt() : 0;
        if (level >= 1 && level <= 4) {
            endLine();
            tall = level == 4 && fields.at(Height).toInt() > 2 * fields.at(Width).toInt();
        } else if (level == 5) {
            const qsizetype characters = QString::fromUtf8(fields.at(Text)).trimmed().size();
            lineCharacters += int(characters);
            result.characters += int(characters);
            result.score += qMax(0.0, fields.at(Confidence).toDouble()) * double(characters);
        }
    }
    endLine();
    // tesseract ends each page with a form feed, and its lines with blank
    // ones between blocks.
    result.text = lines.join(QLatin1Char('\n')).remove(QLatin1Char('\f')).trimmed();
    return result;
}

void TextReader::pageDone(const FaxText &text)
{
    Job *job = m_current.get();
    qCDebug(lcRelays).noquote() << QStringLiteral("read page %1 of %2: %3 characters").arg(text.page).arg(job->commId).arg(text.text.size());
    if (!text.error.isEmpty())
        qCWarning(lcRelays).noquote() << QStringLiteral("the text of %1 page %2 cannot be read: %3")
                                             .arg(job->commId)
                                             .arg(text.page)
                                             .arg(text.error);
    Q_EMIT pageRead(job->commId, text);
    ++job->page;
    // At the next turn: whatever waits in the event loop goes first.
    QTimer::singleShot(0, this, &TextReader::readPage);
}
