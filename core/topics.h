#pragma once

#include <QString>
#include <QStringList>

// Where every message of the office's broker goes: one layout, written here
// and nowhere else, for the fax monitor that publishes and every desktop
// that subscribes. Under a root (kavrel/fax unless configured otherwise):
//
//   <root>/<server>/<department>/reception            a reception (JSON)
//   <root>/<server>/<department>/document/<commid>    its fax as a PDF, or {"error": …}
//   <root>/<server>/<department>/picture/<commid>     the fax's first page (PNG)
//   <root>/<server>/<department>/text/<commid>        what the fax says
//   <root>/<server>/<department>/state/<commid>       who has the fax (kept by the broker)
//   <root>/<server>/<department>/about                the department, by itself (kept)
//   <root>/<server>/departments                       the server's departments (kept)
//   <root>/<server>/request/<user>/<commid>           a desktop's request about a fax
//
// <server> names the fax server, so that two fax servers on one broker never
// mix their faxes (a communication id is only unique on its server);
// <department> is who the fax is for, so that a broker's ACL can keep each
// department's faxes to its people (a pattern such as <root>/+/sales/#).
// A department's "about" is what tells a desktop that it may read the
// department: the broker passes it on only to those its ACL lets read the
// department's faxes (a broker may grant a subscription and then pass
// nothing on it), while every desktop may read the list of departments.
// The kinds stand at fixed depths, so a message is known by its topic alone,
// whatever subscription brought it: a wildcard that takes documents never
// makes one a reception.
//
// Before this layout (1.x), a monitor published <root>/received,
// <root>/document/<commid> and <root>/picture/<commid>; <root>/received is
// still published for the desktops and tools that read it.
namespace Topics {

enum class Kind {
    Unknown,     // not of this layout
    Reception,
    Document,
    Picture,
    Text,
    State,
    About,
    Departments,
    Request,
    OldReception, // <root>/received, as 1.x monitors published it
};

struct Address {
    Kind kind = Kind::Unknown;
    QString server;
    QString department;
    QString commId; // of a document, picture, text, state or request
    QString user;   // of a request
};

QString defaultRoot();
// The department a reception goes to when nothing routes it.
QString defaultDepartment();

// Whether text can stand as one level of the layout (a server, a
// department, a user): 1 to 64 of ASCII letters, digits, '-', '_' and '.',
// not "." or "..", nor a word the layout uses for a kind (reception,
// document, ...). A fax's communication id is stricter: letters and
// digits only, since it also names files.
bool checkLevel(const QString &text, QString *error);
bool isCommId(const QString &text);
// The host name made into a server level: lower case, anything else than
// letters, digits and '-' dropped; "faxserver" when nothing is left.
QString serverFromHostName(const QString &hostName);

// The root a topic of 1.x stands for: its parent (kavrel/fax/received gives
// kavrel/fax, where 1.x put the documents too), or for a subscription with
// wildcards, the default root where it takes that (kavrel/#, #), else what
// stands before its first wildcard.
QString rootOf(const QString &setting);

QString reception(const QString &root, const QString &server, const QString &department);
QString document(const QString &root, const QString &server, const QString &department, const QString &commId);
QString picture(const QString &root, const QString &server, const QString &department, const QString &commId);
QString text(const QString &root, const QString &server, const QString &department, const QString &commId);
QString state(const QString &root, const QString &server, const QString &department, const QString &commId);
QString about(const QString &root, const QString &server, const QString &department);
QString departments(const QString &root, const QString &server);
QString request(const QString &root, const QString &server, const QString &user, const QString &commId);
QString oldReception(const QString &root);

// A subscription to one kind from every server, in department (every one
// when "+").
QString filter(const QString &root, Kind kind, const QString &department = QStringLiteral("+"));

// What topic is under root; Kind::Unknown when it is no topic of the
// layout (or names a level the layout cannot have).
Address parse(const QString &root, const QString &topic);

// Whether messages of kind are large (a fax and what is read from it): they
// travel on a connection of their own, so that no reception or state waits
// behind them.
bool isBulk(Kind kind);

} // namespace Topics
