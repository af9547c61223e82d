// Used by the build: writes the C++ source of the tables that the programs
// write and read Shift_JIS (code page 932) with, learnt from the converter
// here, once, so that the programs never load the converter.
//   cp932table OUTPUT.cpp
#include <QFile>
#include <QStringDecoder>
#include <QStringEncoder>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: cp932table OUTPUT.cpp\n");
        return 2;
    }
    QByteArray source = "// Made by tools/cp932table at build time: do not edit.\n"
                        "#include <QtGlobal>\n\n"
                        "// For each UTF-16 code unit, its bytes in code page 932 (one byte, or\n"
                        "// the lead byte above the trail byte); 0 where it has none.\n"
                        "extern const quint16 Cp932Table[0x10000];\n"
                        "const quint16 Cp932Table[0x10000] = {\n";
    int writable = 0;
    for (char32_t c = 0; c <= 0xFFFF; ++c) {
        quint16 entry = 0;
        if (c >= 0x80 && !QChar::isSurrogate(c)) {
            QStringEncoder encoder("windows-31j");
            if (!encoder.isValid()) {
                std::fprintf(stderr, "cp932table: this Qt has no code page 932\n");
                return 1;
            }
            const QByteArray bytes = encoder.encode(QStringView(reinterpret_cast<const char16_t *>(&c), 1));
            if (!encoder.hasError() && bytes.size() == 1)
                entry = quint8(bytes[0]);
            else if (!encoder.hasError() && bytes.size() == 2)
                entry = quint16(quint8(bytes[0]) << 8 | quint8(bytes[1]));
        }
        writable += entry != 0;
        source += "0x" + QByteArray::number(entry, 16) + (c % 16 == 15 ? ",\n" : ",");
    }
    source += "};\n";

    // Reading: each single byte, and each pair of a lead byte (0x80 to 0xFF)
    // and a trail byte, to the UTF-16 code unit the converter reads it as;
    // 0xFFFF where it reads none.
    source += "\n// For each byte, and each pair of bytes whose first is 0x80 or above\n"
              "// (at [256 + (lead - 0x80) * 256 + trail]), the character code page 932\n"
              "// reads; 0xFFFF where there is none.\n"
              "extern const char16_t Cp932Decode[256 + 128 * 256];\n"
              "const char16_t Cp932Decode[256 + 128 * 256] = {\n";
    int readable = 0;
    auto entryFor = [](const QByteArray &bytes) -> char16_t {
        QStringDecoder decoder("windows-31j");
        const QString text = decoder.decode(bytes);
        if (decoder.hasError() || text.size() != 1 || text.at(0) == QChar::ReplacementCharacter
            || text.at(0).unicode() == 0x001A)
            return 0xFFFF;
        return text.at(0).unicode();
    };
    for (int index = 0; index < 256 + 128 * 256; ++index) {
        QByteArray bytes;
        if (index < 256) {
            bytes.append(char(index));
        } else {
            bytes.append(char(0x80 + (index - 256) / 256));
            bytes.append(char((index - 256) % 256));
        }
        // A lead byte alone is not a character.
        const char16_t entry = index < 0x80 ? char16_t(index) : entryFor(bytes);
        readable += index >= 256 && entry != 0xFFFF;
        source += "0x" + QByteArray::number(uint(entry), 16) + (index % 16 == 15 ? ",\n" : ",");
    }
    source += "};\n";
    if (readable < 7000) {
        std::fprintf(stderr, "cp932table: only %d pairs read; not code page 932\n", readable);
        return 1;
    }
    // JIS X 0208 and the Windows extensions: a converter without them is not
    // the one wanted.
    if (writable < 7000) {
        std::fprintf(stderr, "cp932table: only %d characters; not code page 932\n", writable);
        return 1;
    }
    QFile out(QString::fromLocal8Bit(argv[1]));
    if (!out.open(QIODevice::WriteOnly) || out.write(source) != source.size()) {
        std::fprintf(stderr, "cp932table: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
