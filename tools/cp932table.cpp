// Used by the build: writes the C++ source of the table that the program
// writes Shift_JIS (code page 932) from, learnt from the converter here,
// once, so that the program never loads the converter.
//   cp932table OUTPUT.cpp
#include <QFile>
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
