#include "core/runtimefolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

namespace RuntimeFolder {

QStringList preferred()
{
    QStringList places;
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty())
        places.append(runtime);
    // The session's own, where a start from a terminal without
    // XDG_RUNTIME_DIR (su, ssh) would not look.
    const QString session = QStringLiteral("/run/user/%1").arg(geteuid());
    if (!places.contains(session) && QFileInfo(session).isDir())
        places.append(session);
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (!cache.isEmpty())
        places.append(cache + QStringLiteral("/kavrel-runtime"));
    return places;
}

bool prepare(const QString &folder, QString *error)
{
    auto fail = [&](const QString &reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (folder.isEmpty())
        return fail(QStringLiteral("実行時フォルダがありません。"));
    QDir().mkpath(QFileInfo(folder).absolutePath());
    const QByteArray path = QFile::encodeName(folder);
    if (mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return fail(QStringLiteral("%1 を作れません（%2）。").arg(folder, systemReason()));
    struct stat st;
    if (lstat(path.constData(), &st) != 0)
        return fail(QStringLiteral("%1 を調べられません（%2）。").arg(folder, systemReason()));
    if (!S_ISDIR(st.st_mode))
        return fail(QStringLiteral("%1 はフォルダではありません。").arg(folder));
    if (st.st_uid != geteuid())
        return fail(QStringLiteral("%1 はほかのユーザーのフォルダです。").arg(folder));
    if ((st.st_mode & 077) != 0 && chmod(path.constData(), st.st_mode & 0700) != 0)
        return fail(QStringLiteral("%1 をほかのユーザーから閉じられません（%2）。").arg(folder, systemReason()));
    if (access(path.constData(), W_OK | X_OK) != 0)
        return fail(QStringLiteral("%1 に書き込めません（%2）。").arg(folder, systemReason()));
    return true;
}

bool isPrivate(const QString &folder)
{
    struct stat st;
    return !folder.isEmpty() && lstat(QFile::encodeName(folder).constData(), &st) == 0 && S_ISDIR(st.st_mode)
        && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

QString path(QString *error)
{
    QStringList reasons;
    for (const QString &folder : preferred()) {
        QString reason;
        if (prepare(folder, &reason))
            return folder;
        reasons.append(reason);
    }
    if (error)
        *error = reasons.isEmpty() ? QStringLiteral("実行時フォルダがありません。") : reasons.join(QStringLiteral("\r\n"));
    return QString();
}

} // namespace RuntimeFolder
