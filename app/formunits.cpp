#include "formunits.h"

#include <QFontDatabase>

namespace FormUnits {

QString formFontFamily()
{
    // Looked up once: the font database does not change while we run. The
    // plain list of families, not hasFamily(), which also asks fontconfig to
    // resolve the name as an alias and costs a third of the start-up.
    static const QString family
        = QFontDatabase::families().contains(QLatin1String(PreferredFace), Qt::CaseInsensitive)
        ? QString::fromLatin1(PreferredFace)
        : QString::fromLatin1(FallbackFace);
    return family;
}

QFont formFont(qreal pointSize, bool bold)
{
    QFont font(formFontFamily());
    font.setPointSizeF(pointSize);
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

} // namespace FormUnits
