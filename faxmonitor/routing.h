#pragma once

#include "core/reception.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// Which departments a reception is for, as /etc/kavrel-faxmon.conf says:
//
//   [Departments]
//   sales=営業部
//   payroll=給与係
//   Default=sales            ; where what no rule takes goes (all, 全体, if unset)
//
//   [Routes]
//   device ttyACM1 = payroll          ; the modem or line that took the call
//   called 0312345679 = payroll       ; the number called, where the line tells it
//   caller 0312345678 = sales         ; the caller's number, exactly
//   caller 06* = sales, payroll       ; or one that begins so
//   tsi +81 3 1234 5678 = sales       ; the sending machine's TSI
//   name ヤマダ = sales                ; words in the caller's name
//
// Each department has an id that stands as a topic level (ASCII) and a name
// people read. The rules are tried in their order and the first that
// matches decides; a rule may name several departments. Numbers and TSIs
// are compared without their blanks and hyphens; names by their words,
// full-width and half-width forms alike, whatever the case. What no rule
// takes goes to the default department: nothing is dropped for want of a
// rule.
//
// A rule that cannot be used is refused with its line and the reason, and
// then no rule is used (everything goes to the default department) rather
// than some: half a set of rules would send faxes where nobody expects them.
// A [Departments] part that cannot be used turns routing off altogether.
//
// Rules are found through tables, not tried one after the other: a
// reception costs a lookup for each field, and a look through the name
// rules only.
class Routing
{
public:
    struct Department {
        QString id;
        QString name;
    };
    enum class Field { Device, Called, Caller, Tsi, Name };

    Routing();

    // Reads the [Departments] and [Routes] parts of a configuration file's
    // text; false with what cannot be used, a line each ("line N: why").
    bool load(const QByteArray &config, QStringList *errors);

    // The departments reception is for, in the order the configuration
    // names them; never none.
    QStringList route(const Reception &reception) const;

    // Every department, the default one first.
    const QList<Department> &departments() const { return m_departments; }
    QString defaultDepartment() const { return m_default; }
    bool hasDepartment(const QString &id) const { return m_index.contains(id); }
    int rules() const { return m_ruleCount; }

    // The departments as the desktops are told them (a JSON object).
    QByteArray announcement() const;

    // How a number or a TSI is compared, and how a name is.
    static QString plainNumber(const QString &text);
    static QString plainName(const QString &text);

private:
    struct Rule {
        QStringList departments;
        QStringList words; // of a name rule
    };
    void clearRules();
    // The first rule that takes value in table (the lowest index); -1 when none.
    static int first(const QHash<QString, int> &table, const QString &value, int before);

    QList<Department> m_departments;
    QHash<QString, int> m_index; // department id -> place in m_departments
    QString m_default;
    QList<Rule> m_rules;
    int m_ruleCount = 0;
    QHash<QString, int> m_devices, m_called, m_callers, m_callerPrefixes, m_tsis;
    QList<int> m_nameRules;               // with no word of two characters
    QHash<quint32, QList<int>> m_nameIndex; // by the first two characters of the longest word
    int m_longestPrefix = 0;
};
