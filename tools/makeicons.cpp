// Makes the desktop's icons from the program's own 32 x 32 icon: a scalable
// SVG, one square per pixel (runs of one colour joined), and PNGs at the
// theme's sizes made of the same squares, so that every size looks alike.
//   makeicons ICON.png OUTDIR NAME SIZE...
// writes OUTDIR/NAME.svg and OUTDIR/NxN/apps/NAME.png.
#include <QDir>
#include <QFile>
#include <QImage>

#include <cstdio>

namespace {

struct Run
{
    int x, y, length;
    QRgb colour;
};

// The icon's opaque and half-transparent pixels, a run per row and colour.
QList<Run> runsOf(const QImage &icon)
{
    QList<Run> runs;
    for (int y = 0; y < icon.height(); ++y) {
        for (int x = 0; x < icon.width();) {
            const QRgb colour = icon.pixel(x, y);
            int end = x + 1;
            while (end < icon.width() && icon.pixel(end, y) == colour)
                ++end;
            if (qAlpha(colour) != 0)
                runs.append({x, y, end - x, colour});
            x = end;
        }
    }
    return runs;
}

QByteArray svgOf(const QImage &icon, const QList<Run> &runs)
{
    QByteArray svg = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                    "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%2\" "
                                    "viewBox=\"0 0 %1 %2\" shape-rendering=\"crispEdges\">\n")
                         .arg(icon.width())
                         .arg(icon.height())
                         .toUtf8();
    for (const Run &run : runs) {
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"1\" fill=\"%4\"")
                   .arg(run.x)
                   .arg(run.y)
                   .arg(run.length)
                   .arg(QColor(run.colour).name())
                   .toUtf8();
        if (qAlpha(run.colour) != 255)
            svg += QStringLiteral(" fill-opacity=\"%1\"").arg(qAlpha(run.colour) / 255.0, 0, 'f', 3).toUtf8();
        svg += "/>\n";
    }
    return svg + "</svg>\n";
}

// The icon at size: its pixels blown up into squares (8 to one), then
// averaged down, so that a size that is not a multiple of the icon's shows
// no seams between the squares.
QImage drawn(const QImage &icon, int size)
{
    const QImage squares = icon.scaled(icon.size() * 8, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    return squares.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: makeicons ICON.png OUTDIR NAME SIZE...\n");
        return 2;
    }
    const QImage icon = QImage(QString::fromLocal8Bit(argv[1])).convertToFormat(QImage::Format_ARGB32);
    if (icon.isNull()) {
        std::fprintf(stderr, "makeicons: cannot read %s\n", argv[1]);
        return 1;
    }
    const QString out = QString::fromLocal8Bit(argv[2]);
    const QString name = QString::fromLocal8Bit(argv[3]);
    const QList<Run> runs = runsOf(icon);

    QFile svg(out + QLatin1Char('/') + name + QStringLiteral(".svg"));
    if (!QDir().mkpath(out) || !svg.open(QIODevice::WriteOnly) || svg.write(svgOf(icon, runs)) < 0) {
        std::fprintf(stderr, "makeicons: cannot write %s\n", qPrintable(svg.fileName()));
        return 1;
    }
    for (int i = 4; i < argc; ++i) {
        const int size = QByteArray(argv[i]).toInt();
        const QString folder = out + QStringLiteral("/%1x%1/apps").arg(size);
        // At the icon's own size, the icon itself, pixel for pixel.
        const QImage image = size == icon.width() ? icon : drawn(icon, size);
        if (size <= 0 || !QDir().mkpath(folder) || !image.save(folder + QLatin1Char('/') + name + QStringLiteral(".png"))) {
            std::fprintf(stderr, "makeicons: cannot write the %s px icon\n", argv[i]);
            return 1;
        }
    }
    return 0;
}
