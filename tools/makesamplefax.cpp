// Makes a sample fax as HylaFAX receives one, for the main job and the
// benchmark: a multi-page TIFF, Group 4, 1728 pixels wide at 204 x 196 dpi
// (fine), with the sender's TSI and the time of reception in its tags. Each
// page is a short letter, so that the picture of its first page looks like
// a fax.
//   makesamplefax OUT.tif [PAGES]
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>
#include "faxtiff.h"

#include <tiffio.h>

namespace {

constexpr int Width = 1728;  // the fax standard's line
constexpr int Height = 2290; // A4 at 196 lines per inch

QImage page(int number, int pages)
{
    QImage image(Width, Height, QImage::Format_Grayscale8);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setPen(Qt::black);
    QFont font(QStringLiteral("VL Gothic"));
    font.setPixelSize(96);
    painter.setFont(font);
    painter.drawText(QRect(0, 120, Width, 160), Qt::AlignCenter, QStringLiteral("ＦＡＸ送信票"));
    painter.fillRect(160, 300, Width - 320, 6, Qt::black);
    font.setPixelSize(48);
    painter.setFont(font);
    const QStringList lines{
        QStringLiteral("宛先：受信通知サーバ 御中"),
        QStringLiteral("差出人：株式会社サンプル商事 営業部"),
        QStringLiteral("電話：03-1234-5678　FAX：03-1234-5679"),
        QString(),
        QStringLiteral("いつもお世話になっております。"),
        QStringLiteral("ご注文の品の見積書をお送りいたします。"),
        QStringLiteral("ご確認のほど、よろしくお願い申し上げます。"),
    };
    int y = 420;
    for (const QString &line : lines) {
        painter.drawText(200, y, line);
        y += 90;
    }
    // A table, as an estimate has.
    for (int row = 0; row <= 8; ++row)
        painter.fillRect(200, 1150 + row * 100, Width - 400, 4, Qt::black);
    for (int x : {200, 900, 1200, Width - 204})
        painter.fillRect(x, 1150, 4, 800, Qt::black);
    painter.drawText(QRect(0, Height - 200, Width, 100), Qt::AlignCenter,
                     QStringLiteral("%1 / %2").arg(number).arg(pages));
    return image;
}


} // namespace

int main(int argc, char *argv[])
{
    // Text needs fonts, which need a platform: the one that needs no screen.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const int pages = arguments.size() > 2 ? arguments.at(2).toInt() : 3;
    if (arguments.size() < 2 || pages < 1 || pages > 500) {
        std::fprintf(stderr, "usage: makesamplefax OUT.tif [PAGES]\n");
        return 2;
    }
    TIFF *tiff = TIFFOpen(QFile::encodeName(arguments.at(1)).constData(), "w");
    if (!tiff)
        return 1;
    bool ok = true;
    for (int number = 1; ok && number <= pages; ++number)
        ok = writeFaxPage(tiff, page(number, pages), number, pages, 196.0f);
    TIFFClose(tiff);
    return ok ? 0 : 1;
}
