#pragma once

#include <QString>
#include <QStringList>

// Where a desktop program keeps its per-user sockets and locks.
//
// $XDG_RUNTIME_DIR is the place, when it is set and usable. Without it, Qt
// falls back to /tmp/runtime-USER, which any other user can create first;
// Qt then refuses it (and gives no folder at all), and a read-only runtime
// folder is no better. So the places are offered in order of preference and
// each is checked before use: a real folder, owned by this user, closed to
// others and writable. The last resort is a private folder in the user's own
// cache, which nobody else can take.
namespace RuntimeFolder {

// The places, best first, not yet checked.
QStringList preferred();
// Makes folder if it is missing and checks it; false, with the reason (for
// the user), when it cannot be used.
bool prepare(const QString &folder, QString *error);
// Whether folder is there already and private to this user (a real folder,
// this user's, closed to others): what another user made cannot be trusted.
bool isPrivate(const QString &folder);
// The first place that can be used, or the empty text and error none can.
QString path(QString *error = nullptr);

} // namespace RuntimeFolder
