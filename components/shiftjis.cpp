#include "components/shiftjis.h"

#include <QString>
#include <QStringEncoder>

namespace {

// ICU knows code page 932 by this name.
constexpr char EncodingName[] = "windows-31j";

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

// Opening an ICU converter costs more than converting a line, so a pair is
// kept for the program's (single) thread. A converter in use does not reliably
// report characters it could not write, so the fast way checks its result by
// reading it back; a text that does not come back the same is written again
// the careful way, with fresh converters.
bool encodeFast(const QString &text, QByteArray *bytes)
{
    static thread_local QStringEncoder encoder(EncodingName);
    static thread_local QStringDecoder decoder(EncodingName);
    *bytes = encoder.encode(text);
    return QString(decoder.decode(*bytes)) == text;
}

bool isAscii(QStringView text)
{
    for (QChar c : text) {
        if (c.unicode() >= 0x80)
            return false;
    }
    return true;
}

} // namespace

QByteArray toWindowsShiftJis(QStringView text)
{
    // ASCII is written as it is.
    if (isAscii(text))
        return text.toLatin1();

    QString mapped = text.toString();
    for (QChar &c : mapped)
        c = QChar(windowsForm(c.unicode()));

    QByteArray bytes;
    if (encodeFast(mapped, &bytes))
        return bytes;

    // Some character has no form in code page 932: write the text again one
    // character at a time, each such character as "?".
    bytes.clear();
    bytes.reserve(mapped.size() * 2);
    qsizetype i = 0;
    while (i < mapped.size()) {
        qsizetype length = 1;
        if (mapped.at(i).isHighSurrogate() && i + 1 < mapped.size()
            && mapped.at(i + 1).isLowSurrogate()) {
            length = 2;
        }
        QStringEncoder single(EncodingName);
        const QByteArray encoded = single.encode(QStringView(mapped).mid(i, length));
        if (single.hasError() || encoded.isEmpty())
            bytes.append('?');
        else
            bytes.append(encoded);
        i += length;
    }
    return bytes;
}
