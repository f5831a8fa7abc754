#include "ui/application.h"

#include <QGuiApplication>
#include <QString>

#include "ui/fonts.h"

// The pictures are compiled into a static library; nothing else would pull them into the program.
static void initPictures() {
    Q_INIT_RESOURCE(resources);
}

namespace kestrun {

void prepareApplication() {
    initPictures();
    registerFontSubstitutes();
    // Lets Wayland desktops match the windows to the installed .desktop file and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.vorna.Kestrun"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTRUN_VERSION));
    QGuiApplication::setWindowIcon(programIcon());
}

QIcon programIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/icons/kestrun-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

}  // namespace kestrun
