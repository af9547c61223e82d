#include "core/testdelays.h"

#include <QStringList>

namespace TestDelays {

namespace {

QString &given()
{
    static QString delays;
    return delays;
}

} // namespace

QCommandLineOption option()
{
    return QCommandLineOption(QStringLiteral("test-delays"),
                              QStringLiteral("Shorter waits, for the test suite: name=milliseconds,..."),
                              QStringLiteral("delays"));
}

void set(const QString &delays)
{
    given() = delays;
}

int value(const char *name, int fallback)
{
    for (const QString &item : given().split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const qsizetype equals = item.indexOf(QLatin1Char('='));
        if (equals <= 0 || item.left(equals) != QLatin1String(name))
            continue;
        bool ok = false;
        const int delay = item.mid(equals + 1).toInt(&ok);
        if (ok && delay >= 0)
            return delay;
    }
    return fallback;
}

} // namespace TestDelays
