#include "settings/portconversion.h"

#include <limits>

namespace {

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QChar(0x3000);
}

// Full-width digits, signs and decimal point, as typed with the Japanese
// input method on, read as their ASCII forms.
QChar narrowed(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= 0xFF10 && u <= 0xFF19)
        return QChar(u'0' + (u - 0xFF10));
    switch (u) {
    case 0xFF0B: return QLatin1Char('+');
    case 0xFF0D: return QLatin1Char('-');
    case 0xFF0E: return QLatin1Char('.');
    default: return c;
    }
}

bool fail(QString *error, const QString &why)
{
    *error = why;
    return false;
}

} // namespace

bool convertPort(const QString &text, qint32 *value, QString *error)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin)))
        ++begin;
    while (end > begin && isBlank(text.at(end - 1)))
        --end;
    if (begin == end)
        return fail(error, QStringLiteral("ポート番号が入力されていません。"));

    QString number;
    number.reserve(end - begin);
    for (qsizetype i = begin; i < end; ++i)
        number.append(narrowed(text.at(i)));

    const QString notANumber = QStringLiteral("ポート番号「%1」は数値ではありません。").arg(text);
    bool negative = false;
    qsizetype i = 0;
    if (number.at(0) == QLatin1Char('+') || number.at(0) == QLatin1Char('-')) {
        negative = number.at(0) == QLatin1Char('-');
        ++i;
    }

    QString whole;
    QString fraction;
    bool seenPoint = false;
    for (; i < number.size(); ++i) {
        const QChar c = number.at(i);
        if (c == QLatin1Char('.') && !seenPoint) {
            seenPoint = true;
        } else if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            (seenPoint ? fraction : whole).append(c);
        } else {
            return fail(error, notANumber);
        }
    }
    if (whole.isEmpty() && fraction.isEmpty())
        return fail(error, notANumber);

    // Work on the digits themselves so that no floating-point error can move
    // a half or a range limit.
    while (whole.size() > 1 && whole.at(0) == QLatin1Char('0'))
        whole.remove(0, 1);
    const QString outOfRange = QStringLiteral("ポート番号「%1」は範囲外です。").arg(text);
    if (whole.size() > 10)
        return fail(error, outOfRange);
    qint64 magnitude = whole.isEmpty() ? 0 : whole.toLongLong();

    if (!fraction.isEmpty()) {
        const int first = fraction.at(0).digitValue();
        bool restNonZero = false;
        for (qsizetype k = 1; k < fraction.size(); ++k)
            restNonZero = restNonZero || fraction.at(k) != QLatin1Char('0');
        const bool roundUp = first > 5 || (first == 5 && (restNonZero || magnitude % 2 == 1));
        if (roundUp)
            ++magnitude;
    }

    const qint64 converted = negative ? -magnitude : magnitude;
    if (converted < std::numeric_limits<qint32>::min() || converted > std::numeric_limits<qint32>::max())
        return fail(error, outOfRange);
    *value = static_cast<qint32>(converted);
    return true;
}
