#include "ui/appearance.h"

#include <QStringList>

QFont titleFont()
{
    // The pop-style face the title was designed with comes first; where it is
    // not installed (Linux), heavy or rounded Japanese faces that often are,
    // then the common gothic ones, then whatever Japanese face there is.
    QFont font;
    font.setFamilies({
        QStringLiteral("HGP創英角ﾎﾟｯﾌﾟ体"),
        QStringLiteral("HG創英角ﾎﾟｯﾌﾟ体"),
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
    return QIcon(QStringLiteral(":/kavrel/kavrel.png"));
}
