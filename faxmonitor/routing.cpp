#include "faxmonitor/routing.h"

#include "core/topics.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

namespace {

const QString AllName = QStringLiteral("全体");

struct Line {
    int number;
    QString key;
    QString value;
};

// The lines of one part of an INI text, in their order (QSettings keeps no
// order, and rules are tried in theirs).
QList<Line> partOf(const QByteArray &config, const QString &part, QStringList *errors)
{
    QList<Line> lines;
    bool inside = false;
    int number = 0;
    for (const QByteArray &raw : config.split('\n')) {
        ++number;
        QString text = QString::fromUtf8(raw).trimmed();
        if (text.startsWith(QLatin1Char(';')) || text.startsWith(QLatin1Char('#')))
            continue;
        // A comment after a value, as QSettings reads the other parts.
        const qsizetype comment = text.indexOf(QLatin1Char(';'));
        if (comment >= 0)
            text = text.left(comment).trimmed();
        if (text.isEmpty())
            continue;
        if (text.startsWith(QLatin1Char('['))) {
            inside = text == QLatin1Char('[') + part + QLatin1Char(']');
            continue;
        }
        if (!inside)
            continue;
        const qsizetype equals = text.indexOf(QLatin1Char('='));
        if (equals < 0) {
            errors->append(QStringLiteral("line %1: [%2] has no '=' in \"%3\"").arg(number).arg(part, text));
            continue;
        }
        lines.append({number, text.left(equals).simplified(), text.mid(equals + 1).trimmed()});
    }
    return lines;
}

// Two characters as one key: no string made for each pair of a name.
quint32 pairOf(const QString &text, qsizetype at)
{
    return quint32(text.at(at).unicode()) << 16 | text.at(at + 1).unicode();
}

} // namespace

Routing::Routing()
{
    m_departments.append({Topics::defaultDepartment(), AllName});
    m_index.insert(Topics::defaultDepartment(), 0);
    m_default = Topics::defaultDepartment();
}

QString Routing::plainNumber(const QString &text)
{
    // Most numbers are ASCII already: only others are normalised (full-width
    // digits, say), which costs more than all the rest.
    const bool ascii = std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 128; });
    QString plain;
    plain.reserve(text.size());
    for (const QChar c : ascii ? text : text.normalized(QString::NormalizationForm_KC)) {
        if (!c.isSpace() && c != QLatin1Char('-') && c != QLatin1Char('(') && c != QLatin1Char(')'))
            plain.append(c);
    }
    return plain;
}

QString Routing::plainName(const QString &text)
{
    return text.normalized(QString::NormalizationForm_KC).toCaseFolded().simplified();
}

void Routing::clearRules()
{
    m_rules.clear();
    m_ruleCount = 0;
    for (QHash<QString, int> *table : {&m_devices, &m_called, &m_callers, &m_callerPrefixes, &m_tsis})
        table->clear();
    m_nameRules.clear();
    m_nameIndex.clear();
    m_longestPrefix = 0;
}

bool Routing::load(const QByteArray &config, QStringList *errors)
{
    *this = Routing();
    QStringList found;
    // The departments first: the rules name them.
    QList<Department> departments = m_departments;
    QHash<QString, int> index = m_index;
    QString defaultId = m_default;
    int defaultLine = 0;
    for (const Line &line : partOf(config, QStringLiteral("Departments"), &found)) {
        if (line.key == QLatin1String("Default")) {
            defaultId = line.value;
            defaultLine = line.number;
            continue;
        }
        QString why;
        // [Datagrams] and [Groups] have keys of their own beside the ids.
        if (line.key == QLatin1String("Destinations")) {
            found.append(QStringLiteral("line %1: \"Destinations\" cannot be a department id").arg(line.number));
            continue;
        }
        if (!Topics::checkLevel(line.key, &why)) {
            found.append(QStringLiteral("line %1: the department id \"%2\" cannot stand in a topic: %3")
                             .arg(line.number)
                             .arg(line.key, why));
            continue;
        }
        if (line.value.isEmpty()) {
            found.append(QStringLiteral("line %1: the department %2 has no name").arg(line.number).arg(line.key));
            continue;
        }
        if (index.contains(line.key) && line.key != Topics::defaultDepartment()) {
            found.append(QStringLiteral("line %1: the department %2 is named twice").arg(line.number).arg(line.key));
            continue;
        }
        if (line.key == Topics::defaultDepartment()) {
            departments[0].name = line.value;
            continue;
        }
        index.insert(line.key, int(departments.size()));
        departments.append({line.key, line.value});
    }
    if (!index.contains(defaultId))
        found.append(QStringLiteral("line %1: the default department %2 is not one of [Departments]")
                         .arg(defaultLine)
                         .arg(defaultId));
    if (!found.isEmpty()) {
        // No departments that can be trusted: no routing at all.
        *errors = found;
        return false;
    }
    // The default department first, as the desktops list them.
    const int place = index.value(defaultId);
    departments.move(place, 0);
    m_departments = departments;
    m_index.clear();
    for (int i = 0; i < m_departments.size(); ++i)
        m_index.insert(m_departments.at(i).id, i);
    m_default = defaultId;

    static const QHash<QString, Field> Fields{{QStringLiteral("device"), Field::Device},
                                              {QStringLiteral("called"), Field::Called},
                                              {QStringLiteral("caller"), Field::Caller},
                                              {QStringLiteral("tsi"), Field::Tsi},
                                              {QStringLiteral("name"), Field::Name}};
    for (const Line &line : partOf(config, QStringLiteral("Routes"), &found)) {
        const qsizetype space = line.key.indexOf(QLatin1Char(' '));
        const QString what = line.key.left(space);
        const QString value = space < 0 ? QString() : line.key.mid(space + 1).trimmed();
        const auto field = Fields.constFind(what);
        if (field == Fields.cend()) {
            found.append(QStringLiteral("line %1: \"%2\" is no field to route on (device, called, caller, tsi or name)")
                             .arg(line.number)
                             .arg(what));
            continue;
        }
        if (value.isEmpty()) {
            found.append(QStringLiteral("line %1: the rule on %2 has nothing to match").arg(line.number).arg(what));
            continue;
        }
        Rule rule;
        for (const QString &id : line.value.split(QLatin1Char(','))) {
            if (id.trimmed().isEmpty())
                continue;
            if (!m_index.contains(id.trimmed())) {
                found.append(QStringLiteral("line %1: the department %2 is not one of [Departments]")
                                 .arg(line.number)
                                 .arg(id.trimmed()));
                continue;
            }
            if (!rule.departments.contains(id.trimmed()))
                rule.departments.append(id.trimmed());
        }
        if (rule.departments.isEmpty()) {
            if (line.value.trimmed().isEmpty())
                found.append(QStringLiteral("line %1: the rule names no department").arg(line.number));
            continue;
        }
        const int at = int(m_rules.size());
        // A value that comes again keeps its first rule: the first that
        // matches decides.
        switch (*field) {
        case Field::Device: m_devices.insert(value, qMin(at, m_devices.value(value, at))); break;
        case Field::Called: m_called.insert(plainNumber(value), qMin(at, m_called.value(plainNumber(value), at))); break;
        case Field::Tsi: m_tsis.insert(plainNumber(value), qMin(at, m_tsis.value(plainNumber(value), at))); break;
        case Field::Caller:
            if (value.endsWith(QLatin1Char('*'))) {
                const QString prefix = plainNumber(value.chopped(1));
                if (prefix.isEmpty()) {
                    found.append(QStringLiteral("line %1: the rule on caller has nothing to match").arg(line.number));
                    continue;
                }
                m_callerPrefixes.insert(prefix, qMin(at, m_callerPrefixes.value(prefix, at)));
                m_longestPrefix = qMax(m_longestPrefix, int(prefix.size()));
            } else {
                m_callers.insert(plainNumber(value), qMin(at, m_callers.value(plainNumber(value), at)));
            }
            break;
        case Field::Name:
            rule.words = plainName(value).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            // Found by the first two characters of its longest word, where
            // it has one that long; else looked at for every name.
            {
                const QString longest = *std::max_element(rule.words.cbegin(), rule.words.cend(),
                                                          [](const QString &a, const QString &b) { return a.size() < b.size(); });
                if (longest.size() >= 2)
                    m_nameIndex[pairOf(longest, 0)].append(at);
                else
                    m_nameRules.append(at);
            }
            break;
        }
        m_rules.append(rule);
    }
    if (!found.isEmpty()) {
        // Departments as given, but none of the rules.
        clearRules();
        *errors = found;
        return false;
    }
    m_ruleCount = int(m_rules.size());
    return true;
}

int Routing::first(const QHash<QString, int> &table, const QString &value, int before)
{
    if (value.isEmpty())
        return before;
    const auto found = table.constFind(value);
    return found != table.cend() && *found < before ? *found : before;
}

QStringList Routing::route(const Reception &reception) const
{
    if (m_rules.isEmpty())
        return {m_default};
    const int none = int(m_rules.size());
    int rule = first(m_devices, reception.device.trimmed(), none);
    rule = first(m_called, plainNumber(reception.called), rule);
    rule = first(m_tsis, plainNumber(reception.tsi), rule);
    const QString caller = plainNumber(reception.number);
    rule = first(m_callers, caller, rule);
    for (int length = qMin(int(caller.size()), m_longestPrefix); length > 0; --length)
        rule = first(m_callerPrefixes, caller.left(length), rule);
    if ((!m_nameRules.isEmpty() || !m_nameIndex.isEmpty()) && !reception.name.isEmpty()) {
        const QString name = plainName(reception.name);
        const auto matches = [this, &name](int at) {
            const QStringList &words = m_rules.at(at).words;
            return std::all_of(words.cbegin(), words.cend(), [&name](const QString &word) { return name.contains(word); });
        };
        for (const int at : m_nameRules) {
            if (at >= rule)
                break;
            if (matches(at)) {
                rule = at;
                break;
            }
        }
        // The rules whose longest word begins with a pair of the name's
        // characters: a lookup for each pair, whatever the number of rules.
        for (qsizetype i = 0; i + 1 < name.size(); ++i) {
            const auto found = m_nameIndex.constFind(pairOf(name, i));
            if (found == m_nameIndex.cend())
                continue;
            for (const int at : *found) {
                if (at >= rule)
                    break;
                if (matches(at))
                    rule = at;
            }
        }
    }
    return rule < none ? m_rules.at(rule).departments : QStringList{m_default};
}

QByteArray Routing::announcement() const
{
    QJsonArray list;
    for (const Department &department : m_departments)
        list.append(QJsonObject{{QStringLiteral("id"), department.id}, {QStringLiteral("name"), department.name}});
    return QJsonDocument(QJsonObject{{QStringLiteral("default"), m_default}, {QStringLiteral("departments"), list}})
        .toJson(QJsonDocument::Compact);
}
