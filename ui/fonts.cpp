#include "ui/fonts.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QStringList>

namespace kestrun {
namespace {

bool fits(const QLabel& label, const QFont& font) {
    const QRect room = label.contentsRect();
    const int flags = static_cast<int>(label.alignment()) |
                      (label.wordWrap() ? static_cast<int>(Qt::TextWordWrap) : 0);
    const QRect needed = QFontMetrics(font).boundingRect(room, flags, label.text());
    return needed.width() <= room.width() && needed.height() <= room.height();
}

}  // namespace

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

void fitCaption(QLabel& label, const QString& family, qreal points) {
    QStringList faces;
    for (const QString& face : QFont::substitutes(family)) {
        if (QFontDatabase::hasFamily(face)) {
            faces.append(face);
        }
    }
    if (faces.isEmpty()) {
        faces.append(family);  // whatever the system makes of the name
    }
    for (qreal size = points; size >= kSmallestCaptionPoints; size -= 0.5) {
        for (const QString& face : faces) {
            const QFont font = captionFont(face, size);
            if (fits(label, font)) {
                label.setFont(font);
                return;
            }
        }
    }
    label.setFont(captionFont(faces.front(), kSmallestCaptionPoints));
}

}  // namespace kestrun
