#include "receiver/autostart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>

namespace Autostart {

namespace {

const QString Entry = QStringLiteral("autostart/kavrel-r.desktop");

QString userEntry()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/') + Entry;
}

// The package's entry, where one is installed.
QString systemEntry()
{
    const QStringList folders = qEnvironmentVariable("XDG_CONFIG_DIRS", QStringLiteral("/etc/xdg")).split(QLatin1Char(':'));
    for (const QString &folder : folders) {
        const QString path = folder + QLatin1Char('/') + Entry;
        if (!folder.isEmpty() && QFile::exists(path))
            return path;
    }
    return QString();
}

bool turnedOff(const QString &path)
{
    const QSettings entry(path, QSettings::IniFormat);
    return entry.value(QStringLiteral("Desktop Entry/Hidden")).toString() == QLatin1String("true")
        || entry.value(QStringLiteral("Desktop Entry/X-GNOME-Autostart-enabled")).toString() == QLatin1String("false");
}

} // namespace

bool enabled()
{
    if (QFile::exists(userEntry()))
        return !turnedOff(userEntry());
    return !systemEntry().isEmpty();
}

bool setEnabled(bool on, QString *error)
{
    const QString path = userEntry();
    if (on && !systemEntry().isEmpty()) {
        // The package's entry stands again.
        if (QFile::exists(path) && !QFile::remove(path)) {
            *error = QStringLiteral("%1 を消せません。").arg(path);
            return false;
        }
        return true;
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("%1 に書き込めません（%2）。").arg(path, file.errorString());
        return false;
    }
    // The program's path quoted as the desktop entry's Exec key reads it: a
    // backslash, quote, backquote or dollar is escaped for the quoting, and
    // that escape's backslash again for the string (so a backslash becomes
    // four); a percent sign is doubled.
    QByteArray program = QFile::encodeName(QCoreApplication::applicationFilePath());
    program.replace("\\", "\\\\\\\\");
    for (const char special : {'"', '`', '$'})
        program.replace(QByteArray(1, special), QByteArray("\\\\") + special);
    program.replace("%", "%%");
    const QByteArray entry = "[Desktop Entry]\nType=Application\nName=受信通知クライアント\nExec=\"" + program
        + "\"\nIcon=kavrel-r\n" + (on ? "" : "Hidden=true\n");
    if (file.write(entry) != entry.size() || !file.flush()) {
        *error = QStringLiteral("%1 に書き込めません（%2）。").arg(path, file.errorString());
        file.remove();
        return false;
    }
    return true;
}

} // namespace Autostart
