#pragma once

#include <QByteArray>
#include <QString>
#include <QVariantMap>

// Configuration and secret files, read so that a careless setting can
// neither hang nor swamp the program: only a regular file is read (a FIFO
// would block its opening, a device such as /dev/zero never ends), it is
// opened without blocking, and only up to a size.
namespace ConfigFile {

// The content of the file at path. A file that is not there reads as
// nothing (*exists says so); one that is there but is not a regular file,
// cannot be read or is over maxSize bytes fails, with the reason.
bool read(const QString &path, qint64 maxSize, QByteArray *content, QString *error, bool *exists = nullptr);

// The values of an INI text, as QSettings reads them, by "group/key"; false
// when it is not INI at all.
bool parseIni(const QByteArray &content, QVariantMap *values);

} // namespace ConfigFile
