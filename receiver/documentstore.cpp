#include "receiver/documentstore.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QRandomGenerator>

namespace DocumentStore {

namespace {

// A new file in folder, for the user's eyes only, under a name of the
// program's own.
bool write(const QString &folder, const char *suffix, const QByteArray &bytes, QString *name, QString *error)
{
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("%1 cannot be made").arg(folder);
        return false;
    }
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QString candidate = QStringLiteral("fax-%1-%2.%3")
                                      .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")))
                                      .arg(QRandomGenerator::global()->generate() % 1000000, 6, 10, QLatin1Char('0'))
                                      .arg(QLatin1String(suffix));
        QFile file(folder + QLatin1Char('/') + candidate);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            continue;
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        if (file.write(bytes) != bytes.size() || !file.flush()) {
            *error = file.errorString();
            file.remove();
            return false;
        }
        *name = candidate;
        return true;
    }
    *error = QStringLiteral("no new file can be made in %1").arg(folder);
    return false;
}

} // namespace

bool storeDocument(const QString &folder, const QByteArray &pdf, QString *name, QString *error)
{
    // A PDF begins with its version and ends with its end-of-file mark.
    if (!pdf.startsWith("%PDF-") || !pdf.right(1024).contains("%%EOF")) {
        *error = QStringLiteral("it is not a PDF");
        return false;
    }
    return write(folder, "pdf", pdf, name, error);
}

bool storePicture(const QString &folder, const QByteArray &png, QString *name, QString *error)
{
    QBuffer buffer;
    buffer.setData(png);
    QImageReader reader(&buffer, "png");
    reader.setAutoDetectImageFormat(false);
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > MaxPictureSide || size.height() > MaxPictureSide) {
        *error = QStringLiteral("it is not a picture that can be shown");
        return false;
    }
    QImage image = reader.read();
    if (image.isNull()) {
        *error = QStringLiteral("it does not decode (%1)").arg(reader.errorString());
        return false;
    }
    if (image.width() > MaxPictureWidth)
        image = image.scaledToWidth(MaxPictureWidth, Qt::SmoothTransformation);
    QByteArray drawn;
    QBuffer out(&drawn);
    out.open(QIODevice::WriteOnly);
    if (!image.save(&out, "PNG")) {
        *error = QStringLiteral("it cannot be drawn anew");
        return false;
    }
    return write(folder, "png", drawn, name, error);
}

} // namespace DocumentStore
