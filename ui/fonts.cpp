#include "ui/fonts.h"

#include <QStringList>

namespace kestrun {

void registerFontSubstitutes() {
    QFont::insertSubstitutions(kKaiFamily, {QStringLiteral("AR PL UKai CN")});
    QFont::insertSubstitutions(kSongFamily, {QStringLiteral("AR PL UMing CN")});
    // No rounded face packaged for Linux covers Simplified Chinese; a plain sans face is closest.
    QFont::insertSubstitutions(
        kYouYuanFamily, {QStringLiteral("Noto Sans CJK SC"), QStringLiteral("WenQuanYi Zen Hei")});
}

QFont captionFont(const QString& family, qreal points) {
    QFont font(family);
    font.setPointSizeF(points);
    font.setWeight(QFont::Bold);
    return font;
}

}  // namespace kestrun
