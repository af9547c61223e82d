#include "components/shiftjis.h"

#include <QStringEncoder>

#include <array>

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

// Code page 932 writes every character of the Basic Multilingual Plane it has
// in one or two bytes, the same whatever stands around it. So each character's
// bytes are asked of ICU once, when the character is first met, and kept: a
// line is then written by looking its characters up, which costs far less
// than running a converter over it.
class CodePage932
{
public:
    static CodePage932 &forThisThread()
    {
        static thread_local CodePage932 table;
        return table;
    }

    // Writes c's bytes at out and returns where they end; nullptr when the
    // code page has no form for c.
    char *write(char16_t c, char *out)
    {
        quint16 entry = m_entries[c];
        if (Q_UNLIKELY(entry == Unknown))
            entry = learn(c);
        if (entry == NotWritable)
            return nullptr;
        if (entry > 0xFF)
            *out++ = char(entry >> 8);
        *out++ = char(entry & 0xFF);
        return out;
    }

private:
    // No character is written as 0x0000 or 0x0001 (they stand for control
    // characters, which are ASCII), so these values are free for marks.
    enum : quint16 { Unknown = 0, NotWritable = 1 };

    quint16 learn(char16_t c)
    {
        quint16 entry = NotWritable;
        if (!QChar::isSurrogate(c)) {
            QStringEncoder encoder(EncodingName);
            const QByteArray bytes = encoder.encode(QStringView(&c, 1));
            if (!encoder.hasError() && bytes.size() == 1)
                entry = quint8(bytes[0]);
            else if (!encoder.hasError() && bytes.size() == 2)
                entry = quint16(quint8(bytes[0]) << 8 | quint8(bytes[1]));
        }
        m_entries[c] = entry;
        return entry;
    }

    std::array<quint16, 0x10000> m_entries{};
};

} // namespace

QByteArray toWindowsShiftJis(QStringView text)
{
    // At most two bytes a character.
    QByteArray bytes(text.size() * 2, Qt::Uninitialized);
    char *out = bytes.data();
    CodePage932 *table = nullptr;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < 0x80) {
            *out++ = char(c); // ASCII is written as it is
            continue;
        }
        if (!table)
            table = &CodePage932::forThisThread();
        if (char *end = table->write(windowsForm(c), out)) {
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
