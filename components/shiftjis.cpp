#include "components/shiftjis.h"

// Code page 932 writes every character of the Basic Multilingual Plane it has
// in one or two bytes, the same whatever stands around it: so a line is
// written by looking its characters up in a table, made from the converter
// when the program is built (see tools/cp932table), which costs far less than
// running the converter over it, and keeps the converter out of the resident
// program.
extern const quint16 Cp932Table[0x10000];
extern const char16_t Cp932Decode[256 + 128 * 256];

namespace {

char16_t windowsForm(char16_t c)
{
    switch (c) {
    case 0x301C: return 0xFF5E; // WAVE DASH -> FULLWIDTH TILDE
    case 0x2016: return 0x2225; // DOUBLE VERTICAL LINE -> PARALLEL TO
    case 0x2212: return 0xFF0D; // MINUS SIGN -> FULLWIDTH HYPHEN-MINUS
    case 0x00A2: return 0xFFE0; // CENT SIGN
    case 0x00A3: return 0xFFE1; // POUND SIGN
    case 0x00AC: return 0xFFE2; // NOT SIGN
    case 0x2014: return 0x2015; // EM DASH -> HORIZONTAL BAR
    default: return c;
    }
}

// Writes c's bytes at out and returns where they end; nullptr when the code
// page has no form for c.
char *writeCp932(char16_t c, char *out)
{
    const quint16 entry = Cp932Table[c];
    if (entry == 0)
        return nullptr;
    if (entry > 0xFF)
        *out++ = char(entry >> 8);
    *out++ = char(entry & 0xFF);
    return out;
}

} // namespace

QByteArray toWindowsShiftJis(QStringView text)
{
    // At most two bytes a character.
    QByteArray bytes(text.size() * 2, Qt::Uninitialized);
    char *out = bytes.data();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < 0x80) {
            *out++ = char(c); // ASCII is written as it is
            continue;
        }
        if (char *end = writeCp932(windowsForm(c), out)) {
            out = end;
        } else {
            // No form in the code page: "?", one for a whole surrogate pair.
            *out++ = '?';
            if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
                ++i;
        }
    }
    bytes.truncate(out - bytes.constData());
    return bytes;
}

QString fromWindowsShiftJis(QByteArrayView bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    QChar *out = text.data();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const quint8 byte = quint8(bytes[i]);
        if (byte < 0x80) {
            *out++ = QLatin1Char(char(byte));
            continue;
        }
        const bool lead = (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
        if (!lead) {
            const char16_t c = Cp932Decode[byte];
            *out++ = c == 0xFFFF ? QChar::ReplacementCharacter : QChar(c);
            continue;
        }
        if (i + 1 < bytes.size()) {
            const quint8 trail = quint8(bytes[i + 1]);
            const char16_t c = Cp932Decode[256 + (byte - 0x80) * 256 + trail];
            if (c != 0xFFFF) {
                *out++ = QChar(c);
                ++i;
                continue;
            }
            // Not a character: an ASCII byte after the lead is read on its
            // own, so that a damaged pair does not take a comma with it.
            if (trail >= 0x80)
                ++i;
        }
        *out++ = QChar::ReplacementCharacter;
    }
    text.truncate(out - text.constData());
    return text;
}
