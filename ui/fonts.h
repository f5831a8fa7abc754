#pragma once

#include <QFont>
#include <QString>

namespace kestrun {

// The windows ask for these Chinese families by name; registerFontSubstitutes() maps each to a face
// that Linux systems ship, so the names stay what the layouts were drawn with.
inline const QString kKaiFamily = QStringLiteral("楷体_GB2312");
inline const QString kSongFamily = QStringLiteral("宋体");
inline const QString kYouYuanFamily = QStringLiteral("幼圆");

// Call once, before the first window is created.
void registerFontSubstitutes();

// A bold font of `family` at `points`, as every caption of both windows uses.
QFont captionFont(const QString& family, qreal points);

}  // namespace kestrun
