#include "core/topics.h"

#include <QStringList>

#include <algorithm>

namespace Topics {

namespace {

const QString OldReceptionLevel = QStringLiteral("received");

QString kindLevel(Kind kind)
{
    switch (kind) {
    case Kind::Reception:
        return QStringLiteral("reception");
    case Kind::Document:
        return QStringLiteral("document");
    case Kind::Picture:
        return QStringLiteral("picture");
    case Kind::Text:
        return QStringLiteral("text");
    case Kind::State:
        return QStringLiteral("state");
    case Kind::About:
        return QStringLiteral("about");
    case Kind::Departments:
        return QStringLiteral("departments");
    case Kind::Request:
        return QStringLiteral("request");
    case Kind::OldReception:
        return OldReceptionLevel;
    case Kind::Unknown:
        break;
    }
    return QString();
}

// The kinds that name one fax: <server>/<department>/<kind>/<commid>.
const Kind FaxKinds[] = {Kind::Document, Kind::Picture, Kind::Text, Kind::State};

bool isLevelChar(QChar c)
{
    return (c.unicode() < 128 && c.isLetterOrNumber()) || c == QLatin1Char('-') || c == QLatin1Char('_')
        || c == QLatin1Char('.');
}

bool isLevel(const QString &text)
{
    return !text.isEmpty() && text.size() <= 64 && text != QLatin1String(".") && text != QLatin1String("..")
        && std::all_of(text.cbegin(), text.cend(), isLevelChar);
}

QString join(const QString &root, const QStringList &levels)
{
    return root + QLatin1Char('/') + levels.join(QLatin1Char('/'));
}

} // namespace

QString defaultRoot()
{
    return QStringLiteral("kavrel/fax");
}

QString defaultDepartment()
{
    return QStringLiteral("all");
}

bool checkLevel(const QString &text, QString *error)
{
    // The kinds' own words would make topics that read two ways.
    static const QStringList reserved{QStringLiteral("reception"), QStringLiteral("document"), QStringLiteral("picture"),
                                      QStringLiteral("text"), QStringLiteral("state"), QStringLiteral("about"), QStringLiteral("departments"),
                                      QStringLiteral("request"), OldReceptionLevel};
    if (reserved.contains(text)) {
        *error = QStringLiteral("'%1' cannot be a topic level: the layout uses it for a kind of message").arg(text);
        return false;
    }
    if (isLevel(text))
        return true;
    *error = QStringLiteral("'%1' cannot be a topic level: 1 to 64 of ASCII letters, digits, '-', '_' and '.'")
                 .arg(text.left(80));
    return false;
}

bool isCommId(const QString &text)
{
    return !text.isEmpty() && text.size() <= 64
        && std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 128 && c.isLetterOrNumber(); });
}

QString serverFromHostName(const QString &hostName)
{
    QString server;
    for (const QChar c : hostName.section(QLatin1Char('.'), 0, 0).toLower()) {
        if ((c.unicode() < 128 && c.isLetterOrNumber()) || c == QLatin1Char('-'))
            server.append(c);
    }
    server.truncate(64);
    return server.isEmpty() ? QStringLiteral("faxserver") : server;
}

QString rootOf(const QString &setting)
{
    QStringList levels = setting.trimmed().split(QLatin1Char('/'));
    const auto wildcard = std::find_if(levels.cbegin(), levels.cend(), [](const QString &level) {
        return level == QLatin1String("#") || level == QLatin1String("+");
    });
    if (wildcard != levels.cend()) {
        // A subscription: the default layout where it takes that, else what
        // stands before its first wildcard.
        levels = levels.mid(0, wildcard - levels.cbegin());
        const QStringList defaults = defaultRoot().split(QLatin1Char('/'));
        if (levels.size() <= defaults.size() && defaults.mid(0, levels.size()) == levels)
            return defaultRoot();
    } else if (levels.size() > 1) {
        // The receptions' topic's parent, as 1.x put its documents there.
        levels.removeLast();
    }
    const QString root = levels.join(QLatin1Char('/'));
    return root.isEmpty() ? defaultRoot() : root;
}

QString reception(const QString &root, const QString &server, const QString &department)
{
    return join(root, {server, department, kindLevel(Kind::Reception)});
}

QString document(const QString &root, const QString &server, const QString &department, const QString &commId)
{
    return join(root, {server, department, kindLevel(Kind::Document), commId});
}

QString picture(const QString &root, const QString &server, const QString &department, const QString &commId)
{
    return join(root, {server, department, kindLevel(Kind::Picture), commId});
}

QString text(const QString &root, const QString &server, const QString &department, const QString &commId)
{
    return join(root, {server, department, kindLevel(Kind::Text), commId});
}

QString state(const QString &root, const QString &server, const QString &department, const QString &commId)
{
    return join(root, {server, department, kindLevel(Kind::State), commId});
}

QString about(const QString &root, const QString &server, const QString &department)
{
    return join(root, {server, department, kindLevel(Kind::About)});
}

QString departments(const QString &root, const QString &server)
{
    return join(root, {server, kindLevel(Kind::Departments)});
}

QString request(const QString &root, const QString &server, const QString &user, const QString &commId)
{
    return join(root, {server, kindLevel(Kind::Request), user, commId});
}

QString oldReception(const QString &root)
{
    return join(root, {OldReceptionLevel});
}

QString filter(const QString &root, Kind kind, const QString &department)
{
    const QString any = QStringLiteral("+");
    switch (kind) {
    case Kind::Reception:
    case Kind::About:
        return join(root, {any, department, kindLevel(kind)});
    case Kind::Document:
    case Kind::Picture:
    case Kind::Text:
    case Kind::State:
        return join(root, {any, department, kindLevel(kind), any});
    case Kind::Departments:
        return join(root, {any, kindLevel(kind)});
    case Kind::Request:
        return join(root, {any, kindLevel(kind), any, any});
    case Kind::OldReception:
        return oldReception(root);
    case Kind::Unknown:
        break;
    }
    return QString();
}

Address parse(const QString &root, const QString &topic)
{
    Address address;
    if (!topic.startsWith(root + QLatin1Char('/')))
        return address;
    const QStringList levels = topic.mid(root.size() + 1).split(QLatin1Char('/'));
    if (levels.size() == 1) {
        if (levels.at(0) == OldReceptionLevel)
            address.kind = Kind::OldReception;
        return address;
    }
    if (!std::all_of(levels.cbegin(), levels.cend(), isLevel))
        return address;
    address.server = levels.at(0);
    if (levels.size() == 2 && levels.at(1) == kindLevel(Kind::Departments)) {
        address.kind = Kind::Departments;
    } else if (levels.size() == 3 && (levels.at(2) == kindLevel(Kind::Reception) || levels.at(2) == kindLevel(Kind::About))) {
        address.kind = levels.at(2) == kindLevel(Kind::Reception) ? Kind::Reception : Kind::About;
        address.department = levels.at(1);
    } else if (levels.size() == 4 && levels.at(1) == kindLevel(Kind::Request) && isCommId(levels.at(3))) {
        address.kind = Kind::Request;
        address.user = levels.at(2);
        address.commId = levels.at(3);
    } else if (levels.size() == 4 && isCommId(levels.at(3))) {
        for (const Kind kind : FaxKinds) {
            if (levels.at(2) == kindLevel(kind)) {
                address.kind = kind;
                address.department = levels.at(1);
                address.commId = levels.at(3);
            }
        }
    }
    if (address.kind == Kind::Unknown)
        address.server.clear();
    return address;
}

bool isBulk(Kind kind)
{
    return kind == Kind::Document || kind == Kind::Picture || kind == Kind::Text;
}

} // namespace Topics
