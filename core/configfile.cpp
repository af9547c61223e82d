#include "core/configfile.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ConfigFile {

bool read(const QString &path, qint64 maxSize, QByteArray *content, QString *error, bool *exists)
{
    content->clear();
    if (exists)
        *exists = true;
    // O_NONBLOCK: a FIFO opens at once instead of waiting for a writer,
    // and is then refused for what it is.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) {
            if (exists)
                *exists = false;
            return true;
        }
        *error = QStringLiteral("cannot read %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat st;
    bool done = false;
    if (fstat(fd, &st) != 0) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    } else if (!S_ISREG(st.st_mode)) {
        *error = QStringLiteral("%1 is not a regular file").arg(path);
    } else if (st.st_size > maxSize) {
        *error = QStringLiteral("%1 is over %2 bytes").arg(path).arg(maxSize);
    } else {
        content->resize(maxSize + 1);
        qsizetype have = 0;
        for (ssize_t n = 0; have < content->size(); have += n) {
            n = ::read(fd, content->data() + have, size_t(content->size() - have));
            if (n < 0 && errno == EINTR) {
                n = 0;
                continue;
            }
            if (n <= 0) {
                done = n == 0;
                if (n < 0)
                    *error = QStringLiteral("cannot read %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
                break;
            }
        }
        content->resize(have);
        if (have > maxSize) {
            done = false;
            *error = QStringLiteral("%1 is over %2 bytes").arg(path).arg(maxSize);
        }
    }
    ::close(fd);
    if (!done)
        content->clear();
    return done;
}

bool parseIni(const QByteArray &content, QVariantMap *values)
{
    // QSettings reads only files: it is given a private copy, never the
    // file itself, which has been read once, safely, already.
    QTemporaryFile copy(QDir::tempPath() + QStringLiteral("/kavrel-XXXXXX.conf"));
    if (!copy.open() || copy.write(content) != content.size())
        return false;
    copy.close();
    const QSettings settings(copy.fileName(), QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        return false;
    values->clear();
    for (const QString &key : settings.allKeys())
        values->insert(key, settings.value(key));
    return true;
}

} // namespace ConfigFile
