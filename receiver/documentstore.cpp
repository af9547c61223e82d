#include "receiver/documentstore.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace DocumentStore {

namespace {

// Why a write failed, as a person reads it.
QString writeFailure(int error)
{
    switch (error) {
    case ENOSPC:
        return QStringLiteral("ディスクがいっぱいです");
    case EDQUOT:
        return QStringLiteral("ディスクの使用量の上限に達しています");
    case EFBIG:
        return QStringLiteral("ファイルが大きすぎます");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

// A new file in folder, for the user's eyes only, under a name of the
// program's own.
bool write(const QString &folder, const char *suffix, const QByteArray &bytes, QString *name, QString *error)
{
    if (!checkFolder(folder, error))
        return false;
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QString candidate = QStringLiteral("fax-%1-%2.%3")
                                      .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")))
                                      .arg(QRandomGenerator::global()->generate() % 1000000, 6, 10, QLatin1Char('0'))
                                      .arg(QLatin1String(suffix));
        const QByteArray path = QFile::encodeName(folder + QLatin1Char('/') + candidate);
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            *error = QStringLiteral("%1 に書き込めません（%2）").arg(folder, writeFailure(errno));
            return false;
        }
        qsizetype written = 0;
        while (written < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                const int why = n < 0 ? errno : ENOSPC;
                ::close(fd);
                ::unlink(path.constData());
                *error = QStringLiteral("%1 に書き込めません（%2）").arg(folder, writeFailure(why));
                return false;
            }
            written += n;
        }
        if (::close(fd) != 0) {
            const int why = errno;
            ::unlink(path.constData());
            *error = QStringLiteral("%1 に書き込めません（%2）").arg(folder, writeFailure(why));
            return false;
        }
        *name = candidate;
        return true;
    }
    *error = QStringLiteral("%1 に新しいファイルを作れません").arg(folder);
    return false;
}

} // namespace

bool checkFolder(const QString &folder, QString *error)
{
    const QByteArray path = QFile::encodeName(folder);
    struct stat st;
    if (::lstat(path.constData(), &st) != 0) {
        if (errno != ENOENT || !QDir().mkpath(folder) || ::lstat(path.constData(), &st) != 0) {
            *error = QStringLiteral("文書のフォルダー %1 を作れません（%2）").arg(folder, writeFailure(errno));
            return false;
        }
    }
    // Never through a link (it would write where it leads, and change that
    // folder's mode), nor into another user's folder.
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
        *error = QStringLiteral("文書のフォルダー %1 は、このユーザーのフォルダーではありません（リンクか、他のユーザーのもの）。"
                                "文書は保存しません")
                     .arg(folder);
        return false;
    }
    if ((st.st_mode & 0777) != 0700)
        ::chmod(path.constData(), 0700);
    return true;
}

Outcome writeDocument(const QString &folder, const QByteArray &pdf, QString *name, QString *error)
{
    // A PDF begins with its version and ends with its end-of-file mark; the
    // rest pdfinfo reads (checkPdf()).
    if (!pdf.startsWith("%PDF-") || !pdf.right(1024).contains("%%EOF")) {
        *error = QStringLiteral("it is not a PDF");
        return Outcome::Refused;
    }
    // Under a name no one opens until it is checked (and kept by name).
    return write(folder, "pdf.part", pdf, name, error) ? Outcome::Written : Outcome::NotWritten;
}

Outcome storePicture(const QString &folder, const QByteArray &png, QString *name, QString *error)
{
    QBuffer buffer;
    buffer.setData(png);
    QImageReader reader(&buffer, "png");
    reader.setAutoDetectImageFormat(false);
    // What decoding may take, whatever the picture says of itself.
    reader.setAllocationLimit(MaxPictureMemory);
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > MaxPictureSide || size.height() > MaxPictureSide) {
        *error = QStringLiteral("it is not a picture that can be shown");
        return Outcome::Refused;
    }
    QImage image = reader.read();
    if (image.isNull()) {
        *error = QStringLiteral("it does not decode (%1)").arg(reader.errorString());
        return Outcome::Refused;
    }
    if (image.width() > MaxPictureWidth)
        image = image.scaledToWidth(MaxPictureWidth, Qt::SmoothTransformation);
    QByteArray drawn;
    QBuffer out(&drawn);
    out.open(QIODevice::WriteOnly);
    if (!image.save(&out, "PNG")) {
        *error = QStringLiteral("it cannot be drawn anew");
        return Outcome::Refused;
    }
    return write(folder, "png", drawn, name, error) ? Outcome::Written : Outcome::NotWritten;
}

void checkPdf(const QString &path, int pages, QObject *context, std::function<void(const QString &error)> done)
{
    auto *process = new QProcess(context);
    auto *deadline = new QTimer(process);
    auto finish = [process, deadline, done](const QString &error) {
        deadline->stop();
        process->disconnect();
        process->kill();
        process->deleteLater();
        done(error);
    };
    process->setProcessChannelMode(QProcess::MergedChannels);
    const rlim_t ceiling = rlim_t(PdfCheckMemory);
    process->setChildProcessModifier([ceiling] {
        const rlimit limit{ceiling, ceiling};
        ::setrlimit(RLIMIT_AS, &limit);
    });
    deadline->setSingleShot(true);
    // With context as the receiver: a context on its way out (its children,
    // the process among them, go last) hears nothing.
    QObject::connect(deadline, &QTimer::timeout, context, [finish] {
        finish(QStringLiteral("pdfinfo took longer than %1 s").arg(PdfCheckTimeout / 1000));
    });
    QObject::connect(process, &QProcess::errorOccurred, context, [finish](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finish(QStringLiteral("pdfinfo cannot be started (poppler-utils); documents cannot be checked"));
    });
    QObject::connect(process, &QProcess::finished, context, [process, pages, finish](int code, QProcess::ExitStatus status) {
        // Read as it stands: "Pages:" and the count.
        const QByteArray said = process->readAll().left(64 * 1024);
        int found = -1;
        for (const QByteArray &line : said.split('\n')) {
            if (line.startsWith("Pages:"))
                found = line.mid(6).trimmed().toInt();
        }
        if (status != QProcess::NormalExit || code != 0 || found <= 0)
            finish(QStringLiteral("it does not open as a PDF (%1)").arg(QString::fromLocal8Bit(said.left(120)).trimmed()));
        else if (pages >= 0 && found != pages)
            finish(QStringLiteral("it has %1 pages where its reception says %2").arg(found).arg(pages));
        else
            finish(QString());
    });
    deadline->start(PdfCheckTimeout);
    process->start(QStringLiteral("pdfinfo"), {path});
}

} // namespace DocumentStore

QString DocumentStore::titledLink(const QString &folder, const QString &document, const QString &title)
{
    QString error;
    if (!checkFolder(folder, &error))
        return document;
    QDir links(folder);
    // The old links go (a link's own time, not its fax's: a viewer may be
    // opening one made a moment ago); what they point at stays.
    QList<QPair<qint64, QString>> made;
    for (const QString &entry : links.entryList(QDir::System | QDir::Files | QDir::Hidden)) {
        struct stat link;
        const QByteArray path = QFile::encodeName(links.filePath(entry));
        if (::lstat(path.constData(), &link) == 0 && S_ISLNK(link.st_mode))
            made.append({qint64(link.st_mtime), links.filePath(entry)});
    }
    std::sort(made.begin(), made.end(), std::greater<>());
    const qint64 dayAgo = QDateTime::currentSecsSinceEpoch() - 24 * 3600;
    for (qsizetype i = 0; i < made.size(); ++i) {
        if (i >= MaxTitledLinks - 1 || made.at(i).first < dayAgo)
            QFile::remove(made.at(i).second);
    }
    QString name;
    for (const QChar c : title) {
        if (c == QLatin1Char('/') || c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            name.append(QLatin1Char(' '));
        else
            name.append(c);
    }
    name = name.simplified();
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')))
        name.prepend(QStringLiteral("FAX "));
    for (int number = 1; number <= MaxTitledLinks; ++number) {
        const QString path = links.filePath(number == 1 ? name + QStringLiteral(".pdf")
                                                        : QStringLiteral("%1 (%2).pdf").arg(name).arg(number));
        const QFileInfo there(path);
        if (there.isSymLink() && there.symLinkTarget() == QFileInfo(document).absoluteFilePath())
            return path;
        if (!there.exists() && !there.isSymLink() && QFile::link(document, path))
            return path;
    }
    return document;
}
