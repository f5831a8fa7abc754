#include "ui/input_blocker.h"

#include <QApplication>
#include <QEvent>
#include <QWindow>

namespace kestrun {
namespace {

bool isUserInput(const QEvent& event) {
    switch (event.type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::NonClientAreaMouseButtonPress:
        case QEvent::NonClientAreaMouseButtonRelease:
        case QEvent::NonClientAreaMouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::InputMethod:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TouchCancel:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
        case QEvent::TabletMove:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
            return true;
        case QEvent::Close:
            // The window manager's close button; closing the main window would end the program
            // under a running job.
            return event.spontaneous();
        default:
            return false;
    }
}

}  // namespace

InputBlocker::InputBlocker(QWidget* allowed) : allowed_(allowed) {
    qApp->installEventFilter(this);
}

InputBlocker::~InputBlocker() {
    qApp->removeEventFilter(this);
}

bool InputBlocker::eventFilter(QObject* watched, QEvent* event) {
    return isUserInput(*event) && !isAllowed(watched);
}

bool InputBlocker::isAllowed(QObject* target) const {
    if (allowed_ == nullptr) {
        return false;
    }
    for (QObject* object = target; object != nullptr; object = object->parent()) {
        if (object == allowed_ || (object->isWindowType() && object == allowed_->windowHandle())) {
            return true;
        }
    }
    return false;
}

}  // namespace kestrun
