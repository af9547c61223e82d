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
//   kavrel-faxpage --page N FAX.tif PAGE.png
//
// The second form makes page N (from 1) ready to be read for its text: its
// pixels square and PageDpi to the inch both ways (a standard fax's rows
// four times as many, every fax's letters twice as large as sent:
// tesseract misreads small print at 300), in grey, and at most
// MaxPageInches long (a longer page is cut, which is said as "cut INCHES").
// It says "pages N" of the whole fax first.
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

// The resolution a page is read at, and the paper read at most.
constexpr int PageDpi = 400;
constexpr int MaxPageInches = 24;

int preparePage(TIFF *tiff, int number, const QString &output)
{
    const int pages = TIFFNumberOfDirectories(tiff);
    std::printf("pages %d\n", pages);
    std::fflush(stdout);
    if (number > pages)
        return fail(QStringLiteral("the fax has %1 pages, not %2").arg(pages).arg(number));
    if (!TIFFSetDirectory(tiff, tdir_t(number - 1)))
        return fail(QStringLiteral("page %1 cannot be found (%2)").arg(number).arg(firstError));
    uint32_t columns = 0, rows = 0;
    uint16_t bits = 1, samples = 1, photometric = PHOTOMETRIC_MINISWHITE;
    float x = 0, y = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &columns);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &rows);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
    if (columns == 0 || rows == 0 || columns > MaxWidth)
        return fail(QStringLiteral("page %1 has %2 columns and %3 rows").arg(number).arg(columns).arg(rows));
    if (bits != 1 || samples != 1 || TIFFIsTiled(tiff))
        return fail(QStringLiteral("page %1 is not in black and white").arg(number));
    // A fax without its resolution (or with one that makes no sense) is
    // taken as fine (204 x 196 to the inch).
    uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_RESOLUTIONUNIT, &unit);
    const bool given = TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &x) && TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &y);
    if (unit == RESUNIT_CENTIMETER) {
        x *= 2.54f;
        y *= 2.54f;
    }
    if (!given || x < 50 || x > 1200 || y < 50 || y > 1200) {
        x = 204;
        y = 196;
    }
    const uint32_t kept = std::min<uint32_t>(rows, uint32_t(MaxPageInches * y));
    QImage page(int(columns), int(kept), QImage::Format_Mono);
    if (page.isNull())
        return fail(QStringLiteral("no memory for page %1").arg(number));
    std::vector<uchar> line(size_t(TIFFScanlineSize(tiff)));
    for (uint32_t row = 0; row < kept; ++row) {
        if (TIFFReadScanline(tiff, line.data(), row, 0) < 0)
            return fail(QStringLiteral("page %1 cannot be read from row %2 (%3)").arg(number).arg(row).arg(firstError));
        uchar *to = page.scanLine(int(row));
        for (size_t i = 0; i < size_t(page.bytesPerLine()) && i < line.size(); ++i)
            to[i] = photometric == PHOTOMETRIC_MINISWHITE ? line[i] : uchar(~line[i]);
    }
    if (kept < rows)
        std::printf("cut %d\n", int((rows - kept) / y));
    page.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    const QImage grey = page.convertToFormat(QImage::Format_Grayscale8);
    page = QImage();
    const QImage ready = grey.scaled(int(columns * PageDpi / x), int(kept * PageDpi / y), Qt::IgnoreAspectRatio,
                                     Qt::SmoothTransformation);
    if (ready.isNull() || !ready.save(output, "PNG"))
        return fail(QStringLiteral("page %1 cannot be written to %2").arg(number).arg(output));
    return 0;
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
    const QCommandLineOption pageOption(QStringLiteral("page"), QStringLiteral("Makes this page ready to be read."),
                                        QStringLiteral("number"));
    parser.addOption(pageOption);
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
    if (parser.isSet(pageOption)) {
        const int number = parser.value(pageOption).toInt(&numeric);
        if (!numeric || number < 1)
            parser.showHelp(1);
        return preparePage(tiff.get(), number, files.at(1));
    }

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
