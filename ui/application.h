#pragma once

#include <QIcon>
#include <QPixmap>

class QColor;
class QWidget;

namespace kestrun {

// Once per process, after the QApplication and before the first window: loads the pictures,
// registers the font substitutes, lets screen readers know the main window as a window, and sets
// the program's version, icon and desktop file.
void prepareApplication();

// The program's icon in every size it ships, for both windows.
QIcon programIcon();

// The picture `name` (banner or logo) in the pixels of the screen `widget` is on: the @2x render
// on a high-density screen. Either draws at the same size in device-independent pixels.
QPixmap picture(const char* name, const QWidget& widget);

// The windows are pictures with fixed colours: their texts stay black and their ground `ground`,
// whatever palette the desktop hands out (a dark one would put light text on the light pictures).
void useFixedColours(QWidget& window, const QColor& ground);

}  // namespace kestrun
