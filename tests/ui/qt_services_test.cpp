#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <utility>

#include "desktop_fakes.h"
#include "platform/qt/qt_message_box.h"
#include "platform/qt/qt_question_box.h"

namespace kestrun::testing {
namespace {

QMessageBox* box(QWidget* modal, const char* title, const char* text, QMessageBox::Icon icon) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    EXPECT_EQ(box->windowTitle(), QString::fromUtf8(title));
    EXPECT_EQ(box->text(), QString::fromUtf8(text));
    EXPECT_EQ(box->icon(), icon);
    return box;
}

TEST(QtDialogs, QuestionDefaultsToYesTakesEscapeForNoAndErrorsShowTheirIcon) {
    const std::pair<Qt::Key, QuestionBox::Answer> presses[] = {
        {Qt::Key_Return, QuestionBox::Answer::Yes},
        {Qt::Key_Escape, QuestionBox::Answer::No},
        {Qt::Key_N, QuestionBox::Answer::No},
    };
    for (const auto& [key, answer] : presses) {
        ModalWatcher watcher([key = key](QWidget* modal) {
            QMessageBox* question =
                box(modal, "退出确认", "确认要退出程序吗？", QMessageBox::NoIcon);
            EXPECT_EQ(question->standardButtons(), QMessageBox::Yes | QMessageBox::No);
            EXPECT_EQ(question->standardButton(question->defaultButton()), QMessageBox::Yes);
            QTest::keyClick(question, key);
        });
        EXPECT_EQ(QtQuestionBox().ask("退出确认", "确认要退出程序吗？"), answer) << key;
        EXPECT_EQ(watcher.handled, 1);
    }
    ModalWatcher watcher([](QWidget* modal) {
        box(modal, "Kestrun", "端口打不开。\n\n错误号：13", QMessageBox::Critical)->accept();
    });
    QtMessageBox().show(MessageBox::Kind::Error, "Kestrun", "端口打不开。\n\n错误号：13");
    EXPECT_EQ(watcher.handled, 1);
}

}  // namespace
}  // namespace kestrun::testing
