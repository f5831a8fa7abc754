#include "ui/application.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QColor>
#include <QGuiApplication>
#include <QPalette>
#include <QString>
#include <QWidget>

#include "ui/fonts.h"

// The pictures are compiled into a static library; nothing else would pull them into the program.
static void initPictures() {
    Q_INIT_RESOURCE(resources);
}

namespace kestrun {
namespace {

// A plain top-level widget reads as a "filler" to a screen reader; the main window is a window.
QAccessibleInterface* mainWindowAccessible(const QString& className, QObject* object) {
    if (className == QLatin1String("kestrun::MainWindow") && object->isWidgetType()) {
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    }
    return nullptr;
}

}  // namespace

void prepareApplication() {
    initPictures();
    registerFontSubstitutes();
    QAccessible::installFactory(mainWindowAccessible);
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

QPixmap picture(const char* name, const QWidget& widget) {
    // The reader gives an @2x file a device pixel ratio of 2; QPixmap caches what it loaded.
    const bool dense = widget.devicePixelRatioF() > 1.0;
    return QPixmap(QStringLiteral(":/images/%1%2.jpg")
                       .arg(QLatin1String(name), dense ? QStringLiteral("@2x") : QString()));
}

void useFixedColours(QWidget& window, const QColor& ground) {
    QPalette palette = window.palette();
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        palette.setColor(role, Qt::black);
    }
    palette.setColor(QPalette::Window, ground);
    window.setPalette(palette);
}

}  // namespace kestrun
