#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "modal_watcher.h"
#include "platform/qt/qt_message_box.h"
#include "platform/qt/qt_question_box.h"
#include "platform/qt/qt_url_opener.h"

namespace kestrun::testing {
namespace {

// Reads the box that is showing, then answers it with `key` as a user would.
struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

class QtQuestionBoxTest : public ::testing::Test {
protected:
    SeenBox seen;

    QuestionBox::Answer askAndPress(int key) {
        ModalWatcher watcher([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            ASSERT_NE(box, nullptr);
            seen.title = box->windowTitle();
            seen.text = box->text();
            seen.icon = box->icon();
            seen.buttons = box->standardButtons();
            seen.defaultButton = box->standardButton(box->defaultButton());
            QTest::keyClick(box, static_cast<Qt::Key>(key));
        });
        QtQuestionBox questions;
        const QuestionBox::Answer answer = questions.ask("退出确认", "确认要退出程序吗？");
        EXPECT_EQ(watcher.handled(), 1);
        return answer;
    }
};

TEST_F(QtQuestionBoxTest, ShowsTheTextsWithYesAndNoAndNoIcon) {
    askAndPress(Qt::Key_Escape);

    EXPECT_EQ(seen.title, QStringLiteral("退出确认"));
    EXPECT_EQ(seen.text, QStringLiteral("确认要退出程序吗？"));
    EXPECT_EQ(seen.buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
}

TEST_F(QtQuestionBoxTest, EnterChoosesTheDefaultYes) {
    EXPECT_EQ(askAndPress(Qt::Key_Return), QuestionBox::Answer::Yes);
    EXPECT_EQ(seen.defaultButton, QMessageBox::Yes);
}

TEST_F(QtQuestionBoxTest, EscapeCountsAsNo) {
    EXPECT_EQ(askAndPress(Qt::Key_Escape), QuestionBox::Answer::No);
}

TEST_F(QtQuestionBoxTest, NoKeyAnswersNo) {
    EXPECT_EQ(askAndPress(Qt::Key_N), QuestionBox::Answer::No);
}

TEST(QtMessageBoxTest, ErrorShowsTitleTextAndAnErrorIcon) {
    SeenBox seen;
    ModalWatcher watcher([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        box->accept();
    });

    QtMessageBox().show(MessageBox::Kind::Error, "Kestrun", "端口打不开。\n\n错误号：13");

    EXPECT_EQ(watcher.handled(), 1);
    EXPECT_EQ(seen.title, QStringLiteral("Kestrun"));
    EXPECT_EQ(seen.text, QStringLiteral("端口打不开。\n\n错误号：13"));
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
}

TEST(QtUrlOpenerTest, UrlTheSystemCannotOpenIsReportedWithTheUrl) {
    // The offscreen platform opens no URLs, just like a system without a browser.
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("offscreen"));
    try {
        QtUrlOpener().open("http://www.vorna-printers.example/");
        ADD_FAILURE() << "opening succeeded";
    } catch (const UrlOpenError& e) {
        EXPECT_NE(std::string(e.what()).find("http://www.vorna-printers.example/"),
                  std::string::npos);
    }
}

TEST(QtUrlOpenerTest, MalformedUrlIsReportedNotOpened) {
    EXPECT_THROW(QtUrlOpener().open("http://www.vorna-printers.example/%zz"), UrlOpenError);
}

}  // namespace
}  // namespace kestrun::testing
