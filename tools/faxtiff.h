#pragma once

#include <QByteArray>
#include <QImage>

#include <tiffio.h>

// Writes image (grey, 1728 wide) as page number of pages of a fax as HylaFAX
// keeps one: Group 4, 204 dots to the inch across and yResolution lines
// down, with the sender's TSI and the time of reception in its tags; a pixel
// darker than half is black.
inline bool writeFaxPage(TIFF *tiff, const QImage &image, int number, int pages, float yResolution)
{
    TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(image.width()));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(image.height()));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(1));
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, uint16_t(1));
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tiff, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, 204.0f);
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, yResolution);
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, uint32_t(image.height()));
    TIFFSetField(tiff, TIFFTAG_PAGENUMBER, uint16_t(number - 1), uint16_t(pages));
    // Where HylaFAX writes the sender's TSI and the time of reception.
    TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, "81 3 1234 5679");
    TIFFSetField(tiff, TIFFTAG_DATETIME, "2026:12:07 06:38:44");
    // One bit a pixel, black set, as the fax line sends it.
    QByteArray line(image.width() / 8, '\0');
    for (int y = 0; y < image.height(); ++y) {
        const uchar *gray = image.constScanLine(y);
        line.fill('\0');
        for (int x = 0; x < image.width(); ++x) {
            if (gray[x] < 128)
                line[x / 8] = char(uchar(line[x / 8]) | (0x80 >> (x % 8)));
        }
        if (TIFFWriteScanline(tiff, line.data(), uint32_t(y), 0) < 0)
            return false;
    }
    return TIFFWriteDirectory(tiff) != 0;
}
