#pragma once

#include <QByteArray>
#include <QString>

// The faxes themselves as kavrel-r keeps them: a PDF and a picture of its
// first page, each in a file of its own in the history's folder of
// documents, readable by the user alone, and named by the program (never
// after anything in the message). What is not what it says is refused, and
// nothing is written where the user would open it: a document that is no
// PDF, a picture that does not decode (a picture is drawn anew from what
// was decoded, at most MaxPictureWidth wide).
namespace DocumentStore {

constexpr int MaxPictureWidth = 256;
constexpr int MaxPictureSide = 4096; // a larger picture is not decoded at all

// Keeps pdf in folder; false, with the reason, when it is no PDF or cannot
// be written. *name is the file's name in folder.
bool storeDocument(const QString &folder, const QByteArray &pdf, QString *name, QString *error);
bool storePicture(const QString &folder, const QByteArray &png, QString *name, QString *error);

} // namespace DocumentStore
