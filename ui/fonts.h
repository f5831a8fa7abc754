#pragma once

#include <QFont>
#include <QString>

class QLabel;

namespace kestrun {

// The windows ask for these Chinese families by name; registerFontSubstitutes() maps each to a face
// that Linux systems ship, so the names stay what the layouts were drawn with.
inline const QString kKaiFamily = QStringLiteral("楷体_GB2312");
inline const QString kSongFamily = QStringLiteral("宋体");
inline const QString kYouYuanFamily = QStringLiteral("幼圆");

// Below this a caption is no longer comfortable to read.
inline constexpr qreal kSmallestCaptionPoints = 9;

// Call once, before the first window is created.
void registerFontSubstitutes();

// A bold font of `family` at `points`, as every caption of both windows uses.
QFont captionFont(const QString& family, qreal points);

// Gives `label` a caption font of `family` in which its whole text fits its fixed size: the first
// installed stand-in for `family` that fits at `points`, else the largest size down to
// kSmallestCaptionPoints at which one does. Faces differ in height and width, and the layout's
// sizes were made for faces Linux does not have.
void fitCaption(QLabel& label, const QString& family, qreal points);

}  // namespace kestrun
