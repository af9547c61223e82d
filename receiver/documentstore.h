#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class QObject;

// The faxes themselves as kavrel-r keeps them: a PDF and a picture of its
// first page, each in a file of its own in the history's folder of
// documents, readable by the user alone, and named by the program (never
// after anything in the message). What is not what it says is refused, and
// nothing is written where the user would open it: a document that is no
// PDF (it must open, with the pages its reception says, as pdfinfo reads it
// within a time and a memory bound), a picture that does not decode within
// its bounds (a picture is drawn anew from what was decoded, at most
// MaxPictureWidth wide). The folder must be a real folder of the user's own:
// one replaced by a link, or another user's, is refused, never written
// through.
namespace DocumentStore {

constexpr int MaxPictureWidth = 256;
// A picture larger than this is not decoded at all (the fax monitor sends
// one 256 pixels wide, of the top of the page).
constexpr int MaxPictureSide = 2048;
// What decoding a picture may take, in MiB.
constexpr int MaxPictureMemory = 16;
// Milliseconds pdfinfo has to read a document, and its address space.
constexpr int PdfCheckTimeout = 10000;
constexpr qint64 PdfCheckMemory = 512 * 1024 * 1024;

// Whether folder is a real folder of this user's (made when missing, for
// the user's eyes only); false with the reason, in Japanese, otherwise.
bool checkFolder(const QString &folder, QString *error);

enum class Outcome {
    Written,
    Refused,    // it is not what it says
    NotWritten, // it could not be written (the folder, a full disk): *error is in Japanese
};

// Writes pdf into folder, under a name of its own ending in ".pdf.part",
// once it begins and ends as a PDF does; *error says why not. *name is the
// file's name in folder. The caller checks it with checkPdf(), and keeps it
// under its name less ".part".
Outcome writeDocument(const QString &folder, const QByteArray &pdf, QString *name, QString *error);
Outcome storePicture(const QString &folder, const QByteArray &png, QString *name, QString *error);

// Whether the PDF at path opens, with pages pages (any, when -1): pdfinfo
// reads it in a process of its own, at most PdfCheckTimeout; done is called
// once, in context's thread, with an empty error when it does.
void checkPdf(const QString &path, int pages, QObject *context, std::function<void(const QString &error)> done);

// A link to document in folder (made for the user alone) whose name is
// title, as a viewer shows it in its window's title: characters a file name
// cannot have are left out, and a link of that name made before for another
// document gets a number. Links older than a day go, and all but the
// newest MaxTitledLinks. The document's own path when no link can be made.
constexpr int MaxTitledLinks = 100;
QString titledLink(const QString &folder, const QString &document, const QString &title);

} // namespace DocumentStore
