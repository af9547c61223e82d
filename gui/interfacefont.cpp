#include "gui/interfacefont.h"

#include <QStringList>

QFont interfaceFont(const QFont &desktop)
{
    QStringList families = desktop.families();
    if (families.isEmpty())
        families.append(desktop.family());
    families.append(QStringLiteral("VL PGothic"));
    QFont font = desktop;
    font.setFamilies(families);
    // Unhinted, as on most other platforms: to hint a Japanese face, the
    // auto-hinter first reads dozens of reference glyphs from all over the
    // font file, which then stay in the resident program's memory.
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}
