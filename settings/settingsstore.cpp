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

// QSettings keeps every file it has opened in a process-wide cache: a change
// it could not write stays there and is written by some later access, and a
// file replaced twice within a millisecond may be read stale. So QSettings is
// only ever given a private copy of the store's file, made afresh for each
// access; it parses and formats the INI text, and the store itself moves the
// bytes to and from the real file.
class ScratchCopy
{
public:
    explicit ScratchCopy(const QString &filePath)
        : m_file(QDir::tempPath() + QStringLiteral("/Kavrel-XXXXXX.conf"))
    {
        if (!m_file.open())
            return;
        QFile original(filePath);
        if (original.open(QIODevice::ReadOnly))
            m_file.write(original.readAll());
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

QString SettingsStore::read(const QString &key, const QString &defaultValue) const
{
    if (!QFileInfo::exists(m_filePath))
        return defaultValue;
    ScratchCopy copy(m_filePath);
    const QSettings settings(copy.ok() ? copy.fileName() : m_filePath, QSettings::IniFormat);
    const QVariant value = settings.value(settingsKey(key));
    if (!value.isValid())
        return defaultValue;
    // A hand-edited line with bare commas ("Port=1,2") reads back as a list;
    // the user meant one text.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

bool SettingsStore::write(const QString &key, const QString &text, QString *reason)
{
    return write({{key, text}}, reason);
}

bool SettingsStore::write(const QList<QPair<QString, QString>> &values, QString *reason)
{
    auto fail = [&](const QString &detail) {
        if (reason)
            *reason = writeFailure(m_filePath, detail);
        return false;
    };

    ScratchCopy copy(m_filePath);
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
    QFile existing(m_filePath);
    if (existing.exists() && !existing.open(QIODevice::WriteOnly | QIODevice::Append))
        return fail(existing.errorString());
    existing.close();

    QDir().mkpath(QFileInfo(m_filePath).absolutePath());
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    file.write(content);
    if (!file.commit())
        return fail(file.errorString());
    return true;
}
