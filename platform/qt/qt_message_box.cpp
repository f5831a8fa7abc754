#include "platform/qt/qt_message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QString>

namespace kestrun {

void QtMessageBox::show(Kind kind, const std::string& title, const std::string& text) {
    QMessageBox box(kind == Kind::Error ? QMessageBox::Critical : QMessageBox::Information,
                    QString::fromStdString(title), QString::fromStdString(text), QMessageBox::Ok,
                    QApplication::activeWindow());
    // Messages carry device paths and web addresses the user may want to copy.
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    box.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    box.exec();
}

}  // namespace kestrun
