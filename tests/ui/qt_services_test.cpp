#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <string>
#include <utility>

#include "modal_watcher.h"
#include "platform/qt/qt_message_box.h"
#include "platform/qt/qt_question_box.h"
#include "platform/qt/qt_url_opener.h"

namespace kestrun::testing {
namespace {

TEST(QtQuestionBox, AsksWithYesAsDefaultAndNoIconAndTakesEscapeForNo) {
    const std::pair<Qt::Key, QuestionBox::Answer> presses[] = {
        {Qt::Key_Return, QuestionBox::Answer::Yes},
        {Qt::Key_Escape, QuestionBox::Answer::No},
        {Qt::Key_N, QuestionBox::Answer::No},
    };
    for (const auto& [key, answer] : presses) {
        ModalWatcher watcher([key = key](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->windowTitle(), QStringLiteral("退出确认"));
            EXPECT_EQ(box->text(), QStringLiteral("确认要退出程序吗？"));
            EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
            EXPECT_EQ(box->standardButton(box->defaultButton()), QMessageBox::Yes);
            EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
            QTest::keyClick(box, key);
        });
        EXPECT_EQ(QtQuestionBox().ask("退出确认", "确认要退出程序吗？"), answer) << key;
        EXPECT_EQ(watcher.handled(), 1);
    }
}

TEST(QtMessageBox, ErrorShowsTitleTextAndAnErrorIcon) {
    ModalWatcher watcher([](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->windowTitle(), QStringLiteral("Kestrun"));
        EXPECT_EQ(box->text(), QStringLiteral("端口打不开。\n\n错误号：13"));
        EXPECT_EQ(box->icon(), QMessageBox::Critical);
        box->accept();
    });
    QtMessageBox().show(MessageBox::Kind::Error, "Kestrun", "端口打不开。\n\n错误号：13");
    EXPECT_EQ(watcher.handled(), 1);
}

TEST(QtUrlOpener, UrlTheSystemCannotOpenIsReportedWithTheUrl) {
    // The offscreen platform opens no URLs, just like a system without a browser.
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("offscreen"));
    const std::string url = "http://www.vorna-printers.example/";
    try {
        QtUrlOpener().open(url);
        ADD_FAILURE() << "opening succeeded";
    } catch (const UrlOpenError& e) {
        EXPECT_NE(std::string(e.what()).find(url), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace kestrun::testing
