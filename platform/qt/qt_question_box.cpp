#include "platform/qt/qt_question_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QString>

namespace kestrun {

QuestionBox::Answer QtQuestionBox::ask(const std::string& title, const std::string& text) {
    // Not QMessageBox::question(): that one puts a question-mark icon on the box.
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(title),
                    QString::fromStdString(text), QMessageBox::Yes | QMessageBox::No,
                    QApplication::activeWindow());
    // Our own captions: Qt's translations may be missing, and the box would then speak English.
    box.button(QMessageBox::Yes)->setText(QStringLiteral("是(&Y)"));
    box.button(QMessageBox::No)->setText(QStringLiteral("否(&N)"));
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes ? Answer::Yes : Answer::No;
}

}  // namespace kestrun
