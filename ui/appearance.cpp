#include "ui/appearance.h"

#include <QImageReader>
#include <QPixmap>

QFont titleFont()
{
    // The pop-style face the title was designed with comes first. Where it is
    // not installed (Linux), a black weight of a Japanese gothic: the title is
    // drawn twice, 4 pixels apart, and only strokes this thick make the two
    // read as one title with its shadow (M PLUS 1 Black comes with the
    // package, and is a small file, so it costs the resident program little).
    // Then older names of the same faces, rounded ones, the common gothic
    // ones, and whatever Japanese face there is.
    QFont font;
    font.setFamilies({
        QStringLiteral("HGP創英角ﾎﾟｯﾌﾟ体"),
        QStringLiteral("HG創英角ﾎﾟｯﾌﾟ体"),
        QStringLiteral("M PLUS 1 Black"),
        QStringLiteral("M PLUS 2 Black"),
        QStringLiteral("Noto Sans CJK JP Black"),
        QStringLiteral("M+ 1c black"),
        QStringLiteral("Rounded M+ 1c heavy"),
        QStringLiteral("Kosugi Maru"),
        QStringLiteral("Noto Sans CJK JP"),
        QStringLiteral("Source Han Sans JP"),
        QStringLiteral("IPAexGothic"),
        QStringLiteral("IPAPGothic"),
        QStringLiteral("TakaoPGothic"),
        QStringLiteral("VL PGothic"),
        QStringLiteral("Droid Sans Japanese"),
        QStringLiteral("Noto Sans JP"),
    });
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(24);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

static void initResources()
{
    // The resources live in a static library, whose initialiser the linker
    // would otherwise leave out.
    Q_INIT_RESOURCE(resources);
}

QIcon programIcon()
{
    static const bool initialised = (initResources(), true);
    Q_UNUSED(initialised);
    // Read as the PNG it is: left to guess, the reader would load every image
    // format plugin there is, and keep them all day.
    QImageReader reader(QStringLiteral(":/kavrel/kavrel.png"), "png");
    reader.setAutoDetectImageFormat(false);
    return QIcon(QPixmap::fromImage(reader.read()));
}
