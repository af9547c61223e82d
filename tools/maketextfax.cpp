// Makes faxes whose text is known, for the tests and the benchmark of what
// the fax monitor reads from faxes: an order form, a price list, a notice
// in vertical writing and a page of small print, each of two pages, at fine
// (204 x 196 dpi) and standard (204 x 98 dpi) resolution, as HylaFAX keeps
// them (Group 4 TIFF), and beside each the text it shows, its pages
// separated by form feeds.
//   maketextfax FOLDER
// writes FOLDER/<kind>-<fine|standard>.tif and FOLDER/<kind>.txt for kind
// order, prices, vertical and small.
#include <QDir>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>
#include "faxtiff.h"

#include <tiffio.h>

namespace {

constexpr int Width = 1728;      // the fax standard's line
constexpr int FineHeight = 2290; // A4 at 196 lines per inch

struct Document {
    const char *name;
    int pixelSize;  // of the text, at fine resolution
    bool vertical;
    QList<QStringList> pages; // lines, or columns of vertical writing
};

QList<Document> documents()
{
    return {
        {"order", 40, false,
         {{QStringLiteral("注文書"), QStringLiteral("株式会社山田商事 御中"), QStringLiteral("発注日 2026年12月7日"),
           QStringLiteral("見積番号 No. 1234"), QStringLiteral("品名 数量 単価 金額"),
           QStringLiteral("コピー用紙 A4 10 3,200 32,000"), QStringLiteral("ボールペン 黒 50 120 6,000"),
           QStringLiteral("合計金額 38,000円")},
          {QStringLiteral("納品先 東京都千代田区丸の内一丁目"), QStringLiteral("納期 12月20日までにお願いします"),
           QStringLiteral("支払条件 月末締め翌月末払い"), QStringLiteral("担当者 総務部 佐藤花子"),
           QStringLiteral("電話 03-1234-5678"), QStringLiteral("以上、よろしくお願いいたします。")}}},
        {"prices", 36, false,
         {{QStringLiteral("価格表 2027年1月改定"), QStringLiteral("商品番号 商品名 価格"),
           QStringLiteral("A-101 封筒 長形3号 500枚 1,800円"), QStringLiteral("A-102 封筒 角形2号 100枚 1,500円"),
           QStringLiteral("B-201 クリアファイル 10枚 450円"), QStringLiteral("B-202 ホッチキス針 1,000本 180円"),
           QStringLiteral("C-301 付箋 黄色 20冊 2,400円")},
          {QStringLiteral("C-302 修正テープ 5個 1,250円"), QStringLiteral("D-401 段ボール箱 大 20枚 3,600円"),
           QStringLiteral("価格は消費税を含みません。"), QStringLiteral("送料は一万円以上のご注文で無料です。"),
           QStringLiteral("お問い合わせは営業部までどうぞ。")}}},
        {"vertical", 48, true,
         {{QStringLiteral("年末年始休業のお知らせ"), QStringLiteral("拝啓 師走の候 皆様には"),
           QStringLiteral("ますますご清祥のことと"), QStringLiteral("お慶び申し上げます"),
           QStringLiteral("さて 弊社では下記の期間を")},
          {QStringLiteral("休業とさせていただきます"), QStringLiteral("十二月二十九日から"),
           QStringLiteral("一月三日まで"), QStringLiteral("ご迷惑をおかけしますが"),
           QStringLiteral("何卒ご了承ください 敬具")}}},
        {"small", 26, false,
         {{QStringLiteral("取引約款"), QStringLiteral("第1条 本約款は当社と取引先との間の売買に適用されます。"),
           QStringLiteral("第2条 注文は書面またはファクシミリにより行うものとします。"),
           QStringLiteral("第3条 当社は注文を受けた日から三営業日以内に承諾の可否を通知します。"),
           QStringLiteral("第4条 納品は当社が指定する方法により行います。"),
           QStringLiteral("第5条 検収は納品後七日以内に行うものとします。")},
          {QStringLiteral("第6条 代金の支払いは請求書に記載の期日までに行うものとします。"),
           QStringLiteral("第7条 不可抗力による納期の遅延について当社は責任を負いません。"),
           QStringLiteral("第8条 本約款に定めのない事項は双方の協議により定めます。"),
           QStringLiteral("附則 本約款は2027年1月1日から施行します。")}}},
    };
}

// A page drawn at fine resolution; a standard one is drawn with its rows
// half as many, as a fax machine scans it.
QImage page(const Document &document, const QStringList &lines, int height)
{
    QImage image(Width, height, QImage::Format_Grayscale8);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.scale(1.0, double(height) / FineHeight);
    painter.setPen(Qt::black);
    // An office's usual Gothic, whose 0 is plain (VL Gothic dots its 0s,
    // which no fax font does).
    QFont font(QStringLiteral("Noto Sans CJK JP"));
    font.setPixelSize(document.pixelSize);
    painter.setFont(font);
    const int step = document.pixelSize * 3 / 2;
    if (document.vertical) {
        // Columns from the right, each character under the one before.
        int x = Width - 240;
        for (const QString &column : lines) {
            int y = 200;
            for (const QChar c : column) {
                if (c != QLatin1Char(' '))
                    painter.drawText(QRect(x, y, document.pixelSize, document.pixelSize + 8), Qt::AlignCenter, c);
                y += document.pixelSize + 8;
            }
            x -= step * 2;
        }
        return image;
    }
    int y = 200;
    for (const QString &line : lines) {
        painter.drawText(160, y, line);
        y += step;
    }
    return image;
}


} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (app.arguments().size() != 2) {
        std::fprintf(stderr, "usage: maketextfax FOLDER\n");
        return 2;
    }
    const QDir folder(app.arguments().at(1));
    if (!folder.mkpath(QStringLiteral(".")))
        return 1;
    for (const Document &document : documents()) {
        const QString name = QString::fromLatin1(document.name);
        QStringList texts;
        for (const QStringList &lines : document.pages)
            texts.append(lines.join(QLatin1Char('\n')));
        QFile text(folder.filePath(name + QStringLiteral(".txt")));
        if (!text.open(QIODevice::WriteOnly) || text.write(texts.join(QLatin1Char('\f')).toUtf8() + '\n') < 0)
            return 1;
        for (const bool fine : {true, false}) {
            const QString file = folder.filePath(name + (fine ? QStringLiteral("-fine.tif") : QStringLiteral("-standard.tif")));
            TIFF *tiff = TIFFOpen(QFile::encodeName(file).constData(), "w");
            if (!tiff)
                return 1;
            bool ok = true;
            const int pages = int(document.pages.size());
            for (int number = 1; ok && number <= pages; ++number)
                ok = writeFaxPage(tiff, page(document, document.pages.at(number - 1), fine ? FineHeight : FineHeight / 2),
                                  number, pages, fine ? 196.0f : 98.0f);
            TIFFClose(tiff);
            if (!ok)
                return 1;
        }
    }
    return 0;
}
