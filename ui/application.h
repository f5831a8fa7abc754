#pragma once

#include <QIcon>

namespace kestrun {

// Once per process, after the QApplication and before the first window: loads the pictures,
// registers the font substitutes and sets the program's icon and desktop file.
void prepareApplication();

// The program's icon in every size it ships, for both windows.
QIcon programIcon();

}  // namespace kestrun
