#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <limits>
#include <memory>

#include "fake_port.h"
#include "fake_services.h"
#include "modal_watcher.h"
#include "page_bytes.h"

namespace kestrun::testing {
namespace {

class MainWindowTest : public ::testing::Test {
protected:
    EventLog log;
    RecordingPort port{log};
    RecordingPrinter printer{log};
    ScriptedQuestionBox questions;
    RecordingMessageBox messages;
    RecordingUrlOpener urls;
    std::unique_ptr<MainWindow> window =
        std::make_unique<MainWindow>(MainWindowServices{port, printer, questions, messages, urls});

    QPushButton* button(const char* name) {
        auto* found = window->findChild<QPushButton*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    void click(const char* name) { QTest::mouseClick(button(name), Qt::LeftButton); }

    // Runs the application's own event loop, as main() does, with `action` as its first event.
    // Returns the loop's exit code, or -1 when nothing ended the loop within ten seconds.
    int execWith(std::function<void()> action) {
        QTimer::singleShot(0, window.get(), std::move(action));
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
        guard.start(10000);
        return QApplication::exec();
    }

    const EventLog completedRun{"open",        "bytes",         "newPage",
                                "endDocument", "abortDocument", "close"};
};

TEST_F(MainWindowTest, NinePinButtonPrintsTheNinePinPage) {
    click("Command1");

    EXPECT_EQ(port.received, pageBytes(NinePin)) << hexDiff(pageBytes(NinePin), port.received);
    EXPECT_EQ(log, completedRun);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(MainWindowTest, TwentyFourPinButtonPrintsTheTwentyFourPinPage) {
    click("Command2");

    EXPECT_EQ(port.received, pageBytes(TwentyFourPin))
        << hexDiff(pageBytes(TwentyFourPin), port.received);
    EXPECT_EQ(log, completedRun);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(MainWindowTest, PortFailureIsReportedAndTheNextTestOpensThePortAgain) {
    window->show();
    port.failOpen = PortError(PortError::Kind::Busy, EBUSY, "打印机端口正被别的程序占用。");
    click("Command2");

    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].kind, MessageBox::Kind::Error);
    EXPECT_EQ(messages.shown[0].title, "Kestrun");
    EXPECT_EQ(messages.shown[0].text, "打印机端口正被别的程序占用。\n\n错误号：16");
    EXPECT_FALSE(port.isOpen);
    EXPECT_TRUE(window->isVisible());

    port.failOpen.reset();
    log.clear();
    click("Command1");

    EXPECT_EQ(log, completedRun);
    EXPECT_EQ(port.received, pageBytes(NinePin));
    EXPECT_EQ(messages.shown.size(), 1u);
}

TEST_F(MainWindowTest, PrinterFailureAfterThePageIsReported) {
    printer.failOn = "endDocument";
    click("Command1");

    EXPECT_EQ(port.received, pageBytes(NinePin));
    EXPECT_FALSE(port.isOpen);
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].kind, MessageBox::Kind::Error);
    // The error carries no system number, so the message shows none.
    EXPECT_EQ(messages.shown[0].text, "no default printer");
}

TEST_F(MainWindowTest, TestCancelledWhileThePrinterStalledTellsTheUserToResetIt) {
    window->show();
    port.stallWrites = std::numeric_limits<int>::max();
    port.reportedStatus = PortStatus{.offline = true};
    // Cancel once the progress dialog reports the stall; after ten seconds without one, cancel
    // anyway so the test ends, and fail.
    bool cancelled = false;
    QElapsedTimer waited;
    waited.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (cancelled || modal == nullptr) {
            return;
        }
        auto* status = modal->findChild<QLabel*>(QStringLiteral("status"));
        auto* cancel = modal->findChild<QPushButton*>(QStringLiteral("cancel"));
        ASSERT_NE(cancel, nullptr);
        if ((status != nullptr && status->isVisible()) || waited.elapsed() > 10000) {
            EXPECT_LT(waited.elapsed(), 10000) << "the stall was never reported";
            cancel->click();
            cancelled = true;
        }
    });
    poll.start(10);

    click("Command2");

    EXPECT_TRUE(cancelled);
    EXPECT_FALSE(port.isOpen);
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].kind, MessageBox::Kind::Information);
    EXPECT_NE(messages.shown[0].text.find("关闭打印机电源"), std::string::npos);
    // No printer call: the page never finished.
    EXPECT_EQ(log, (EventLog{"open", "close"}));
}

TEST_F(MainWindowTest, ExitAsksTheExactQuestion) {
    click("Command3");

    ASSERT_EQ(questions.asked.size(), 1u);
    EXPECT_EQ(questions.asked[0].title, "退出确认");
    EXPECT_EQ(questions.asked[0].text, "确认要退出程序吗？");
}

TEST_F(MainWindowTest, NoAtTheExitQuestionChangesNothing) {
    window->show();
    questions.answer = QuestionBox::Answer::No;

    // Had the answer ended the program, the loop would stop before the event posted after the
    // click ran. It is posted to an object of the test's own, so it cannot outlive the test.
    QObject scope;
    const int code = execWith([&] {
        click("Command3");
        QMetaObject::invokeMethod(
            &scope, [] { QCoreApplication::exit(7); }, Qt::QueuedConnection);
    });

    EXPECT_EQ(code, 7);
    EXPECT_EQ(questions.asked.size(), 1u);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(log.empty()) << "the exit question touched the port or the printer";

    click("Command2");
    EXPECT_EQ(log, completedRun);
}

TEST_F(MainWindowTest, YesAtTheExitQuestionEndsTheProgram) {
    window->show();
    questions.answer = QuestionBox::Answer::Yes;
    QSignalSpy aboutToQuit(qApp, &QCoreApplication::aboutToQuit);

    const int code = execWith([this] { click("Command3"); });

    EXPECT_EQ(code, 0);
    EXPECT_EQ(aboutToQuit.count(), 1);
    EXPECT_TRUE(log.empty());
}

TEST_F(MainWindowTest, ClosingTheWindowEndsTheProgramWithoutAQuestion) {
    window->show();
    QSignalSpy aboutToQuit(qApp, &QCoreApplication::aboutToQuit);

    const int code = execWith([this] { window->close(); });

    EXPECT_EQ(code, 0);
    EXPECT_EQ(aboutToQuit.count(), 1);
    EXPECT_TRUE(questions.asked.empty());
}

TEST_F(MainWindowTest, ClosingTheWindowEndsTheProgramAfterTheInstructionsWereShown) {
    window->show();
    ModalWatcher watcher([](QWidget* modal) { modal->close(); });
    click("Command5");
    ASSERT_EQ(watcher.handled(), 1);

    const int code = execWith([this] { window->close(); });

    EXPECT_EQ(code, 0);
}

TEST_F(MainWindowTest, SiteButtonOpensTheMakersSite) {
    click("Command4");

    ASSERT_EQ(urls.opened.size(), 1u);
    EXPECT_EQ(urls.opened[0], kMakerSiteUrl);
    EXPECT_TRUE(urls.opened[0].starts_with("http://"));
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_TRUE(log.empty());
}

TEST_F(MainWindowTest, SiteThatCannotBeOpenedIsReportedAndTheProgramGoesOn) {
    window->show();
    urls.failure = UrlOpenError(0, "无法打开网址。");
    click("Command4");

    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].kind, MessageBox::Kind::Error);
    EXPECT_EQ(messages.shown[0].title, "Kestrun");
    EXPECT_EQ(messages.shown[0].text, "无法打开网址。");
    EXPECT_TRUE(window->isVisible());

    urls.failure.reset();
    click("Command4");
    EXPECT_EQ(urls.opened.size(), 1u);
}

TEST_F(MainWindowTest, InstructionsShowOneWindowModallyEachTime) {
    window->show();
    std::vector<QWidget*> seen;
    ModalWatcher watcher([&](QWidget* modal) {
        seen.push_back(modal);
        EXPECT_EQ(modal->windowTitle(), QStringLiteral("使用说明"));
        EXPECT_EQ(modal->windowModality(), Qt::ApplicationModal);
        modal->close();
    });

    // The command returns only once the window has been closed.
    click("Command5");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_FALSE(seen[0]->isVisible());

    click("Command5");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1], seen[0]);
    EXPECT_FALSE(seen[1]->isVisible());
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(log.empty());
}

TEST_F(MainWindowTest, FocusStartsOnTheTwentyFourPinTestAndTabFollowsTheLayout) {
    window->show();
    QApplication::setActiveWindow(window.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));

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

TEST_F(MainWindowTest, ButtonsAreDrawnInTheirOwnColour) {
    window->show();
    for (const char* name : {"Command1", "Command2", "Command3", "Command4", "Command5"}) {
        QPushButton* b = button(name);
        // Above the caption and the picture, inside the edge.
        const QImage image = b->grab().toImage();
        EXPECT_EQ(image.pixelColor(b->width() / 2, 3), QColor(192, 192, 255)) << name;
    }
}

TEST_F(MainWindowTest, CreditIsOpaqueWhite) {
    window->show();
    auto* credit = window->findChild<QLabel*>(QStringLiteral("Label2"));
    ASSERT_NE(credit, nullptr);
    EXPECT_EQ(credit->text(), QStringLiteral("  Bemro制作"));
    // Its left edge lies within the two leading blanks: no glyph there, only the label's own fill.
    const QImage image = window->grab(credit->geometry()).toImage();
    for (int y = 0; y < image.height(); ++y) {
        EXPECT_EQ(image.pixelColor(1, y), QColor(Qt::white)) << "row " << y;
    }
}

}  // namespace
}  // namespace kestrun::testing
