#include "components/testdelays.h"

#include <QByteArray>
#include <QList>

namespace TestDelays {

int value(const char *name, int fallback)
{
    const QByteArray given = qgetenv("KAVREL_TEST_DELAYS");
    for (const QByteArray &item : given.split(',')) {
        const qsizetype equals = item.indexOf('=');
        if (equals <= 0 || item.left(equals) != name)
            continue;
        bool ok = false;
        const int delay = item.mid(equals + 1).toInt(&ok);
        if (ok && delay >= 0)
            return delay;
    }
    return fallback;
}

} // namespace TestDelays
