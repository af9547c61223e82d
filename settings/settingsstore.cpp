#include "settings/settingsstore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryFile>

#include <memory>

namespace {

const QString Section = QStringLiteral("Settings");

QString settingsKey(const QString &key)
{
    return Section + QLatin1Char('/') + key;
}

QString writeFailure(const QString &filePath, const QString &detail)
{
    return QStringLiteral("設定ファイル %1 に書き込めません（%2）。")
        .arg(QDir::toNativeSeparators(filePath), detail);
}

// What a settings file may hold at most. The two values are short; anything
// much larger is not a settings file the program wrote.
constexpr qint64 MaxFileSize = 1024 * 1024;

QString readFailure(const QString &filePath, const QString &detail)
{
    return QStringLiteral("設定ファイル %1 を読めません（%2）。")
        .arg(QDir::toNativeSeparators(filePath), detail);
}

enum class Load { Absent, Loaded, Failed };

// Reads the whole settings file, without ever blocking or reading without
// bound: only a regular file of a sane size is opened (a FIFO would block the
// open, a device such as /dev/zero never ends).
Load loadFile(const QString &filePath, QByteArray *content, QString *error)
{
    const QFileInfo info(filePath);
    if (!info.exists() && !info.isSymLink())
        return Load::Absent;
    auto fail = [&](const QString &detail) {
        if (error)
            *error = readFailure(filePath, detail);
        return Load::Failed;
    };
    if (info.isDir())
        return fail(QStringLiteral("ファイルではなくフォルダです"));
    if (!info.exists())
        return fail(QStringLiteral("リンク先がありません"));
    if (!info.isFile())
        return fail(QStringLiteral("通常のファイルではありません"));
    if (info.size() > MaxFileSize)
        return fail(QStringLiteral("%1 バイトを超えています").arg(MaxFileSize));
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());
    *content = file.read(MaxFileSize + 1);
    if (file.error() != QFileDevice::NoError)
        return fail(file.errorString());
    if (content->size() > MaxFileSize)
        return fail(QStringLiteral("%1 バイトを超えています").arg(MaxFileSize));
    return Load::Loaded;
}

// QSettings keeps every file it has opened in a process-wide cache: a change
// it could not write stays there and is written by some later access, and a
// file replaced twice within a millisecond may be read stale. So QSettings is
// only ever given a private copy of the store's content, made afresh for each
// access; it parses and formats the INI text, and the store itself moves the
// bytes to and from the real file.
class ScratchCopy
{
public:
    explicit ScratchCopy(const QByteArray &content)
        : m_file(QDir::tempPath() + QStringLiteral("/Kavrel-XXXXXX.conf"))
    {
        if (!m_file.open())
            return;
        m_file.write(content);
        m_file.close();
        m_ok = m_file.error() == QFileDevice::NoError;
    }

    bool ok() const { return m_ok; }
    QString fileName() const { return m_file.fileName(); }

    QByteArray content()
    {
        QFile copy(m_file.fileName());
        return copy.open(QIODevice::ReadOnly) ? copy.readAll() : QByteArray();
    }

private:
    QTemporaryFile m_file;
    bool m_ok = false;
};

} // namespace

SettingsStore::SettingsStore()
    : SettingsStore(defaultFilePath())
{
}

SettingsStore::SettingsStore(const QString &filePath)
    : m_filePath(filePath)
{
}

QString SettingsStore::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/Kavrel.conf");
}

QString SettingsStore::read(const QString &key, const QString &defaultValue, QString *error) const
{
    QByteArray content;
    if (loadFile(m_filePath, &content, error) != Load::Loaded)
        return defaultValue;
    ScratchCopy copy(content);
    if (!copy.ok()) {
        if (error)
            *error = readFailure(m_filePath, QStringLiteral("作業用の一時ファイルを作れません"));
        return defaultValue;
    }
    const QSettings settings(copy.fileName(), QSettings::IniFormat);
    const QVariant value = settings.value(settingsKey(key));
    if (!value.isValid())
        return defaultValue;
    // A hand-edited line with bare commas ("Port=1,2") reads back as a list;
    // the user meant one text.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

bool SettingsStore::write(const QString &key, const QString &text, QString *error)
{
    return write({{key, text}}, error);
}

bool SettingsStore::write(const QList<QPair<QString, QString>> &values, QString *error)
{
    auto fail = [&](const QString &detail) {
        if (error)
            *error = writeFailure(m_filePath, detail);
        return false;
    };

    // A file that cannot be read is written afresh: what it held cannot be
    // kept anyway, and the user has just typed the values it is for.
    QByteArray original;
    if (loadFile(m_filePath, &original, nullptr) != Load::Loaded)
        original.clear();
    ScratchCopy copy(original);
    if (!copy.ok())
        return fail(QStringLiteral("作業用の一時ファイルを作れません"));
    {
        QSettings settings(copy.fileName(), QSettings::IniFormat);
        for (const auto &[key, text] : values)
            settings.setValue(settingsKey(key), text);
        settings.sync();
        if (settings.status() == QSettings::AccessError)
            return fail(QStringLiteral("作業用の一時ファイルに書き込めません"));
    }
    const QByteArray content = copy.content();

    // The new file replaces the old one only once it is complete, so a failed
    // write leaves the values stored earlier as they were. Replacing is what a
    // folder's permissions allow even when the file itself is read-only, so
    // the file's own permission is asked first.
    // (Only a regular file is opened: opening a FIFO would block.)
    QFile existing(m_filePath);
    if (QFileInfo(m_filePath).isFile() && !existing.open(QIODevice::WriteOnly | QIODevice::Append))
        return fail(existing.errorString());
    existing.close();

    QDir().mkpath(QFileInfo(m_filePath).absolutePath());
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    file.write(content);
    // The new file keeps the old one's permissions, but the program must be
    // able to read back what it stored.
    file.setPermissions(file.permissions() | QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!file.commit())
        return fail(file.errorString());
    return true;
}
