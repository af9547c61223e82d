#include "core/faxstate.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

// The bounds the fax monitor keeps to, with room: a state is refused past them.
constexpr int MaxStateSize = 4096;
constexpr int MaxTextLength = 200;

} // namespace

QString FaxState::word(State state)
{
    switch (state) {
    case Taken: return QStringLiteral("taken");
    case Done: return QStringLiteral("done");
    case Open: return QStringLiteral("open");
    case Unknown: break;
    }
    return QString();
}

QByteArray FaxState::toJson() const
{
    QJsonObject object{{QStringLiteral("state"), word(state)},
                       {QStringLiteral("at"), at.toOffsetFromUtc(at.offsetFromUtc()).toString(Qt::ISODate)}};
    if (state != Open) {
        object.insert(QStringLiteral("user"), user);
        object.insert(QStringLiteral("name"), name);
    }
    if (!memo.isEmpty())
        object.insert(QStringLiteral("memo"), memo);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

FaxState FaxState::fromJson(const QByteArray &payload, QString *error)
{
    auto refuse = [error](const QString &why) {
        if (error)
            *error = why;
        return FaxState();
    };
    if (payload.size() > MaxStateSize)
        return refuse(QStringLiteral("a state of %1 bytes").arg(payload.size()));
    QJsonParseError parsed;
    const QJsonObject object = QJsonDocument::fromJson(payload, &parsed).object();
    if (parsed.error != QJsonParseError::NoError)
        return refuse(QStringLiteral("a state that is no JSON: %1").arg(parsed.errorString()));
    FaxState fax;
    const QString state = object.value(QStringLiteral("state")).toString();
    for (State known : {Open, Taken, Done}) {
        if (state == word(known))
            fax.state = known;
    }
    if (fax.state == Unknown)
        return refuse(QStringLiteral("a state '%1' that is none").arg(state.left(40)));
    fax.at = QDateTime::fromString(object.value(QStringLiteral("at")).toString(), Qt::ISODate);
    fax.user = object.value(QStringLiteral("user")).toString().left(MaxTextLength);
    fax.name = object.value(QStringLiteral("name")).toString().left(MaxTextLength);
    fax.memo = object.value(QStringLiteral("memo")).toString().left(MaxTextLength);
    if (fax.state != Open && fax.user.isEmpty())
        return refuse(QStringLiteral("a %1 state that names nobody").arg(state));
    return fax;
}

QByteArray FaxState::request(Action action, const QString &name, const QString &memo)
{
    static const char *const words[] = {"take", "release", "done", "memo"};
    QJsonObject object{{QStringLiteral("action"), QLatin1String(words[action])}};
    if (!name.isEmpty())
        object.insert(QStringLiteral("name"), name);
    if (action == Memo)
        object.insert(QStringLiteral("memo"), memo);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString FaxState::clean(const QString &text, int length)
{
    QString clean;
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format || c == QChar(0x2028)
            || c == QChar(0x2029))
            clean.append(QLatin1Char(' '));
        else
            clean.append(c);
    }
    return clean.simplified().left(length);
}
