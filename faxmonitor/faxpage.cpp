// The fax monitor's reader of a received fax, run as a process of its own
// (with a memory ceiling and a time limit, at low priority): it decodes
// every page of the TIFF, a row at a time, so that a fax whose pages cannot
// be read (a strip that runs past the end of the file) is found out before
// anyone is sent a blank PDF of it; it says how many pages there are; and
// it draws the picture of the first page from its top alone (a region as
// tall as one and a half times the page's width), however long the page,
// at most WIDTH pixels wide, with the pixels made square (standard
// resolution faxes have half as many rows per inch as columns).
//
//   kavrel-faxpage [--width WIDTH] FAX.tif PICTURE.png
//
// Says "pages N" on its standard output; a fax it cannot read is said on
// its error output, with exit status 2. Pages in grey or colour are counted
// but not read (tiff2pdf takes them as they are), and a first page in
// colour has no picture.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QImage>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <vector>
#include <tiffio.h>

namespace {

// Wider than any fax machine sends (A3 at ultra fine is 4864).
constexpr uint32_t MaxWidth = 8192;

QString firstError;

void keepError(const char *module, const char *format, va_list arguments)
{
    if (!firstError.isEmpty())
        return;
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    firstError = QString::fromLocal8Bit(text);
    if (module)
        firstError = QString::fromLocal8Bit(module) + QStringLiteral(": ") + firstError;
}

int fail(const QString &why)
{
    std::fprintf(stderr, "%s\n", qPrintable(why));
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Checks a received fax and draws the top of its first page."));
    parser.addHelpOption();
    const QCommandLineOption widthOption(QStringLiteral("width"), QStringLiteral("The picture's width at most."),
                                         QStringLiteral("pixels"), QStringLiteral("256"));
    parser.addOption(widthOption);
    parser.addPositionalArgument(QStringLiteral("fax"), QStringLiteral("The received fax (TIFF)."));
    parser.addPositionalArgument(QStringLiteral("picture"), QStringLiteral("Where the PNG goes."));
    parser.process(app);
    const QStringList files = parser.positionalArguments();
    bool numeric = false;
    const int width = parser.value(widthOption).toInt(&numeric);
    if (files.size() != 2 || !numeric || width < 16 || width > 1024)
        parser.showHelp(1);

    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(keepError);
    std::unique_ptr<TIFF, void (*)(TIFF *)> tiff(TIFFOpen(QFile::encodeName(files.at(0)).constData(), "r"), TIFFClose);
    if (!tiff)
        return fail(QStringLiteral("it is not a TIFF (%1)").arg(firstError));

    QImage top;
    double aspect = 1; // rows per inch over columns per inch
    int pages = 0;
    do {
        ++pages;
        uint32_t columns = 0, rows = 0;
        uint16_t bits = 1, samples = 1;
        TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &columns);
        TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &rows);
        TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
        if (columns == 0 || rows == 0)
            return fail(QStringLiteral("page %1 has no rows or columns").arg(pages));
        // A page in grey or colour (a colour fax) is counted and left to
        // tiff2pdf as it is: only black-and-white pages are read here.
        if (bits != 1 || samples != 1 || TIFFIsTiled(tiff.get()) || columns > MaxWidth)
            continue;
        uint32_t kept = 0;
        if (pages == 1) {
            float x = 0, y = 0;
            if (TIFFGetField(tiff.get(), TIFFTAG_XRESOLUTION, &x) && TIFFGetField(tiff.get(), TIFFTAG_YRESOLUTION, &y)
                && x > 0 && y > 0 && y / x > 0.25 && y / x < 4)
                aspect = y / x;
            kept = std::min<uint32_t>({rows, uint32_t(columns * 1.5 * aspect) + 1, MaxWidth});
            top = QImage(int(columns), int(kept), QImage::Format_Mono);
            if (top.isNull())
                return fail(QStringLiteral("no memory for the top of the first page"));
        }
        uint16_t photometric = PHOTOMETRIC_MINISWHITE;
        TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_PHOTOMETRIC, &photometric);
        std::vector<uchar> line(size_t(TIFFScanlineSize(tiff.get())));
        // Every row, a row at a time: a page whose rows run out is found.
        for (uint32_t row = 0; row < rows; ++row) {
            if (TIFFReadScanline(tiff.get(), line.data(), row, 0) < 0)
                return fail(QStringLiteral("page %1 cannot be read from row %2 of %3 (%4)")
                                .arg(pages)
                                .arg(row)
                                .arg(rows)
                                .arg(firstError));
            if (row < kept) {
                uchar *to = top.scanLine(int(row));
                for (size_t i = 0; i < size_t(top.bytesPerLine()) && i < line.size(); ++i)
                    to[i] = photometric == PHOTOMETRIC_MINISWHITE ? line[i] : uchar(~line[i]);
            }
        }
    } while (TIFFReadDirectory(tiff.get()));
    // A next page that cannot be read ends the pages as if there were none.
    if (!firstError.isEmpty())
        return fail(QStringLiteral("page %1 cannot be read (%2)").arg(pages + 1).arg(firstError));
    std::printf("pages %d\n", pages);
    if (top.isNull())
        return 0; // a first page not in black and white: no picture

    // In QImage's mono format a set bit is the second colour: black.
    top.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    const QImage grey = top.convertToFormat(QImage::Format_Grayscale8);
    top = QImage();
    const int pictureWidth = std::min(width, grey.width());
    const int pictureHeight = std::max(1, int(grey.height() / aspect * pictureWidth / grey.width()));
    const QImage picture = grey.scaled(pictureWidth, pictureHeight, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (!picture.save(files.at(1), "PNG"))
        return fail(QStringLiteral("the picture cannot be written to %1").arg(files.at(1)));
    return 0;
}
