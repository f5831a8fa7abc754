#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "fake_port.h"
#include "fake_services.h"
#include "modal_watcher.h"
#include "page_bytes.h"

namespace kestrun::testing {
namespace {

const EventLog kCompletedRun{"open", "bytes", "newPage", "endDocument", "abortDocument", "close"};

class MainWindowTest : public ::testing::Test {
protected:
    EventLog log;
    RecordingPort port{log};
    RecordingPrinter printer{log};
    ScriptedQuestionBox questions;
    RecordingMessageBox messages;
    RecordingUrlOpener urls;
    MainWindow window{{port, printer, questions, messages, urls}};

    void click(const char* name) {
        auto* button = window.findChild<QPushButton*>(QString::fromLatin1(name));
        ASSERT_NE(button, nullptr) << name;
        QTest::mouseClick(button, Qt::LeftButton);
    }

    // Runs the application's own event loop, as main() does, with `action` as its first event.
    // Returns the loop's exit code, or -1 when nothing ended the loop within ten seconds.
    int execWith(std::function<void()> action) {
        QTimer::singleShot(0, &window, std::move(action));
        QTimer guard;
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
        guard.start(10000);
        return QApplication::exec();
    }

    void expectError(const std::string& text) {
        ASSERT_EQ(messages.shown.size(), 1u);
        EXPECT_EQ(messages.shown[0].kind, MessageBox::Kind::Error);
        EXPECT_EQ(messages.shown[0].title, "Kestrun");
        EXPECT_EQ(messages.shown[0].text, text);
        EXPECT_TRUE(window.isVisible());
    }
};

TEST_F(MainWindowTest, EachTestButtonPrintsItsOwnPage) {
    const std::pair<const char*, const PinTestProfile*> buttons[] = {{"Command1", &NinePin},
                                                                     {"Command2", &TwentyFourPin}};
    for (const auto& [name, profile] : buttons) {
        log.clear();
        port.received.clear();
        click(name);
        EXPECT_EQ(log, kCompletedRun) << name;
        EXPECT_EQ(port.received, pageBytes(*profile)) << name;
    }
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(MainWindowTest, PortFailureIsReportedAndTheNextTestOpensThePortAgain) {
    window.show();
    port.failOpen = PortError(PortError::Kind::Busy, EBUSY, "打印机端口正被别的程序占用。");
    click("Command2");
    expectError("打印机端口正被别的程序占用。\n\n错误号：16");

    port.failOpen.reset();
    log.clear();
    click("Command1");
    EXPECT_EQ(log, kCompletedRun);
    EXPECT_EQ(port.received, pageBytes(NinePin));
    EXPECT_EQ(messages.shown.size(), 1u);
}

TEST_F(MainWindowTest, TestCancelledWhileThePrinterStalledTellsTheUserToResetIt) {
    window.show();
    port.stallWrites = std::numeric_limits<int>::max();
    port.reportedStatus = PortStatus{.offline = true};
    // Cancels once the progress dialog reports the stall, or after ten seconds without one.
    QString stall;
    QTimer::singleShot(0, &window, [&] {
        QLabel* status = nullptr;
        const bool stalled = QTest::qWaitFor(
            [&] {
                QWidget* dialog = QApplication::activeModalWidget();
                status = dialog ? dialog->findChild<QLabel*>(QStringLiteral("status")) : nullptr;
                return status != nullptr && status->isVisible();
            },
            10000);
        EXPECT_TRUE(stalled) << "the stall was never shown";
        ASSERT_NE(status, nullptr) << "no progress dialog";
        stall = status->text();
        status->window()->findChild<QPushButton*>(QStringLiteral("cancel"))->click();
    });
    click("Command2");

    // The printer's own account of the stall.
    EXPECT_EQ(stall.toStdString(), describePortStatus(PortStatus{.offline = true}));
    // No printer call: the page never finished.
    EXPECT_EQ(log, (EventLog{"open", "close"}));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].kind, MessageBox::Kind::Information);
    EXPECT_NE(messages.shown[0].text.find("关闭打印机电源"), std::string::npos);
}

TEST_F(MainWindowTest, ExitAsksFirstAndOnlyYesEndsTheProgram) {
    window.show();
    // Had No ended the program, the loop would stop before the event posted after the click ran.
    // It is posted to an object of the test's own, so it cannot outlive the test.
    QObject scope;
    EXPECT_EQ(execWith([&] {
                  click("Command3");
                  QMetaObject::invokeMethod(
                      &scope, [] { QCoreApplication::exit(7); }, Qt::QueuedConnection);
              }),
              7);
    ASSERT_EQ(questions.asked.size(), 1u);
    EXPECT_EQ(questions.asked[0],
              (std::pair<std::string, std::string>("退出确认", "确认要退出程序吗？")));
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(log.empty()) << "the exit question touched the port or the printer";

    questions.answer = QuestionBox::Answer::Yes;
    EXPECT_EQ(execWith([this] { click("Command3"); }), 0);
    EXPECT_EQ(questions.asked.size(), 2u);
}

TEST_F(MainWindowTest, SiteButtonOpensTheMakersSiteAndReportsWhatFails) {
    window.show();
    urls.failure = UrlOpenError(0, "无法打开网址。");
    click("Command4");
    // Without a system error number the message shows none.
    expectError("无法打开网址。");

    urls.failure.reset();
    click("Command4");
    EXPECT_EQ(urls.opened, std::vector<std::string>{kMakerSiteUrl});
    EXPECT_EQ(messages.shown.size(), 1u);
    EXPECT_TRUE(log.empty());
}

TEST_F(MainWindowTest, InstructionsShowOneWindowModallyAndKeepNoProgramAlive) {
    window.show();
    std::vector<QWidget*> seen;
    ModalWatcher watcher([&](QWidget* modal) {
        seen.push_back(modal);
        EXPECT_EQ(modal->windowTitle(), QStringLiteral("使用说明"));
        EXPECT_EQ(modal->windowModality(), Qt::ApplicationModal);
        modal->close();
    });
    // The command returns only once the window has been closed.
    for (std::size_t shown = 1; shown <= 2; ++shown) {
        click("Command5");
        ASSERT_EQ(seen.size(), shown);
        EXPECT_EQ(seen.back(), seen.front());
        EXPECT_FALSE(seen.back()->isVisible());
    }

    // Closing the main window still ends the program, without a question.
    EXPECT_EQ(execWith([this] { window.close(); }), 0);
    EXPECT_TRUE(questions.asked.empty());
}

TEST_F(MainWindowTest, FocusStartsOnTheTwentyFourPinTestAndTabFollowsTheLayout) {
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

    std::vector<QString> order;
    for (int i = 0; i < 6; ++i) {
        QWidget* focused = QApplication::focusWidget();
        ASSERT_NE(focused, nullptr);
        order.push_back(focused->objectName());
        QTest::keyClick(focused, Qt::Key_Tab);
    }
    EXPECT_EQ(order, (std::vector<QString>{"Command2", "Command3", "Command1", "Command4",
                                           "Command5", "Command2"}));
}

}  // namespace
}  // namespace kestrun::testing
