#include "ui/pin_test_runner.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fake_port.h"
#include "fifo.h"
#include "page_bytes.h"
#include "platform/linux/device_printer_port.h"

namespace kestrun::testing {
namespace {

using namespace std::chrono_literals;

const EventLog kPrinterCalls{"newPage", "endDocument", "abortDocument"};
const QString kDialogName = QStringLiteral("pinTestProgress");

QDialog* progressDialog() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == kDialogName) {
            return qobject_cast<QDialog*>(widget);
        }
    }
    return nullptr;
}

bool dialogVisible() {
    QDialog* dialog = progressDialog();
    return dialog != nullptr && dialog->isVisible();
}

template <typename T>
T* dialogPart(const char* name) {
    QDialog* dialog = progressDialog();
    return dialog == nullptr ? nullptr : dialog->findChild<T*>(QString::fromLatin1(name));
}

QString dialogText(const char* label) {
    auto* part = dialogPart<QLabel>(label);
    return part == nullptr ? QString() : part->text();
}

bool statusShown() {
    auto* status = dialogPart<QLabel>("status");
    return dialogVisible() && status != nullptr && status->isVisible() && !status->text().isEmpty();
}

// A click as the window system delivers it: through the window, where modality applies.
void clickThroughWindow(QWidget* target) {
    QWidget* window = target->window();
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, Qt::KeyboardModifiers(),
                      target->mapTo(window, target->rect().center()));
}

// A click that waits in the event queue, as input does that arrives while the program is busy.
void postClick(QWidget* target) {
    QWidget* window = target->window();
    const QPointF local = target->mapTo(window, target->rect().center());
    const QPointF global = target->mapToGlobal(target->rect().center());
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QCoreApplication::postEvent(
            window->windowHandle(),
            new QMouseEvent(type, local, global, Qt::LeftButton,
                            type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                            Qt::NoModifier));
    }
}

// Counts how often the progress dialog was shown.
class ShowCounter final : public QObject {
public:
    int shows = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && watched->objectName() == kDialogName) {
            ++shows;
        }
        return false;
    }
};

// Steps the test takes while `run` is under way, on the user-interface thread: each waits for its
// condition, then acts. Past the deadline (steps still waiting, or a run that does not end after
// them) the script reports it and calls `giveUp`, which must let the run end, so a broken runner
// fails the test instead of hanging it.
class Script final : public QObject {
public:
    Script& when(std::string what, std::function<bool()> ready, std::function<void()> act) {
        steps_.push_back({std::move(what), std::move(ready), std::move(act)});
        return *this;
    }

    void start(std::function<void()> giveUp, std::chrono::milliseconds deadline = 5s) {
        giveUp_ = std::move(giveUp);
        deadline_ = deadline;
        clock_.start();
        timer_.setInterval(5);
        connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
        timer_.start();
    }

    bool done() const { return next_ == steps_.size(); }

private:
    struct Step {
        std::string what;
        std::function<bool()> ready;
        std::function<void()> act;
    };

    void tick() {
        while (next_ < steps_.size() && steps_[next_].ready()) {
            steps_[next_++].act();
        }
        if (clock_.elapsed() > deadline_.count()) {
            timer_.stop();
            if (done()) {
                ADD_FAILURE() << "the run did not end after the last step";
            } else {
                ADD_FAILURE() << "gave up waiting for: " << steps_[next_].what;
            }
            giveUp_();
        }
    }

    std::vector<Step> steps_;
    std::size_t next_ = 0;
    std::function<void()> giveUp_;
    std::chrono::milliseconds deadline_{};
    QElapsedTimer clock_;
    QTimer timer_;
};

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline = 3s) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// The reader checks `paused` only between polls of up to 20 ms; one poll under way when the flag
// is set could still take the start of the page.
void pause(FifoReader& reader) {
    reader.paused = true;
    std::this_thread::sleep_for(50ms);
}

Bytes prefix(const Bytes& page, std::size_t size) {
    return Bytes(page.begin(), page.begin() + static_cast<long>(std::min(size, page.size())));
}

// A port that takes nothing, reporting `reported` as its status, until the test lets it; then it
// takes the page slowly, so the test sees it flowing again.
class GatedPort final : public PrinterPort {
public:
    explicit GatedPort(PortStatus reported) : reported_(reported) {}

    std::atomic<bool> taking{false};

    std::string name() const override { return "gated"; }
    void open() override {}
    std::size_t write(std::span<const std::uint8_t> data, std::chrono::milliseconds wait) override {
        if (!taking) {
            std::this_thread::sleep_for(wait);
            return 0;
        }
        std::this_thread::sleep_for(5ms);
        return std::min<std::size_t>(data.size(), 64);
    }
    std::optional<PortStatus> status() override { return reported_; }
    bool drained(std::chrono::milliseconds) override { return true; }
    void close() noexcept override {}

private:
    const PortStatus reported_;
};

// A system printer whose first call waits until the test releases it, as a slow print server does.
class HeldPrinter final : public SystemPrinter {
public:
    void newPage() override {
        std::unique_lock lock(mutex_);
        calls_.push_back("newPage");
        released_.wait_for(lock, 5s, [this] { return release_; });
    }
    void endDocument() override { record("endDocument"); }
    void abortDocument() override { record("abortDocument"); }

    void release() {
        {
            std::lock_guard lock(mutex_);
            release_ = true;
        }
        released_.notify_all();
    }
    bool called() {
        std::lock_guard lock(mutex_);
        return !calls_.empty();
    }
    EventLog calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    void record(const char* call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
    }

    std::mutex mutex_;
    std::condition_variable released_;
    bool release_ = false;
    EventLog calls_;
};

class ThrowingPrinter final : public SystemPrinter {
public:
    void newPage() override { throw std::length_error("broken driver"); }
    void endDocument() override {}
    void abortDocument() override {}
};

class PinTestRunnerTest : public ::testing::Test {
protected:
    // The 9-pin page is longer than this pipe, so a paused reader really stalls the port.
    static constexpr int kPipe = 4096;

    void SetUp() override {
        other_ = new QPushButton(QStringLiteral("退出"), &window_);
        other_->setGeometry(10, 10, 120, 40);
        QObject::connect(other_, &QPushButton::clicked, [this] { ++otherClicks_; });
        window_.resize(300, 120);
        window_.show();
        window_.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window_));
        other_->setFocus();
        qApp->installEventFilter(&shows_);
    }

    void TearDown() override { qApp->removeEventFilter(&shows_); }

    QWidget window_;
    QPushButton* other_ = nullptr;
    int otherClicks_ = 0;
    ShowCounter shows_;
    EventLog printerLog_;
    RecordingPrinter printer_{printerLog_};
};

TEST_F(PinTestRunnerTest, PrinterThatTakesThePageAtOnceShowsNoDialog) {
    // Two runs in a row on one runner: each opens and closes the port.
    for (const PinTestProfile* profile : {&NinePin, &TwentyFourPin}) {
        printerLog_.clear();
        FifoReader reader(kPipe);
        ASSERT_EQ(reader.pipeSize(), kPipe);
        DevicePrinterPort port(reader.path());
        PinTestRunner runner(port, printer_, &window_);

        const PinTestRunner::Result result = runner.run(*profile);

        EXPECT_EQ(result.outcome, PinTestOutcome::Completed);
        EXPECT_FALSE(result.errorText.has_value());
        EXPECT_EQ(printerLog_, kPrinterCalls);
        ASSERT_TRUE(waitUntil([&] { return reader.writerClosed(); }));
        const Bytes page = pageBytes(*profile);
        const Bytes received = reader.received();
        EXPECT_EQ(received, page) << hexDiff(page, received);
    }
    EXPECT_EQ(shows_.shows, 0);
    EXPECT_EQ(progressDialog(), nullptr);
}

TEST_F(PinTestRunnerTest, StalledPrinterShowsDialogAndThePageGoesOnWhereItStopped) {
    FifoReader reader(kPipe);
    pause(reader);
    DevicePrinterPort port(reader.path());
    PinTestRunner runner(port, printer_, &window_);
    const Bytes page = pageBytes(NinePin);

    Script script;
    script
        .when("the stall shown in the dialog", statusShown,
              [&] {
                  EXPECT_EQ(QApplication::activeModalWidget(), progressDialog());
                  // The FIFO cannot report a printer status.
                  EXPECT_TRUE(dialogText("status").contains(QStringLiteral("没有接收数据")))
                      << dialogText("status").toStdString();
                  auto* bar = dialogPart<QProgressBar>("progress");
                  ASSERT_NE(bar, nullptr);
                  EXPECT_EQ(bar->value(), kPipe);
                  EXPECT_EQ(bar->maximum(), static_cast<int>(page.size()));
                  reader.paused = false;
              })
        .start([&] { reader.paused = false; });

    const PinTestRunner::Result result = runner.run(NinePin);

    EXPECT_TRUE(script.done());
    EXPECT_EQ(result.outcome, PinTestOutcome::Completed);
    EXPECT_FALSE(result.errorText.has_value());
    EXPECT_EQ(printerLog_, kPrinterCalls);
    ASSERT_TRUE(waitUntil([&] { return reader.writerClosed(); }));
    const Bytes received = reader.received();
    EXPECT_EQ(received, page) << hexDiff(page, received);
    EXPECT_EQ(shows_.shows, 1);
    EXPECT_EQ(progressDialog(), nullptr);
}

TEST_F(PinTestRunnerTest, DialogShowsWhatThePrinterReports) {
    const PortStatus status{.paperOut = true, .offline = true};
    GatedPort port(status);
    PinTestRunner runner(port, printer_, &window_);

    Script script;
    script
        .when("the stall shown in the dialog", statusShown,
              [&] {
                  EXPECT_EQ(dialogText("status"),
                            QString::fromStdString(describePortStatus(status)));
                  port.taking = true;
              })
        .when(
            "the stall cleared once the port takes data",
            [] { return !dialogVisible() || !dialogPart<QLabel>("status")->isVisible(); }, [] {})
        .start([&] { port.taking = true; });

    const PinTestRunner::Result result = runner.run(TwentyFourPin);

    EXPECT_TRUE(script.done());
    EXPECT_EQ(result.outcome, PinTestOutcome::Completed);
    EXPECT_EQ(printerLog_, kPrinterCalls);
}

enum class CancelBy { EscapeKey, ClosingTheDialog };

void PrintTo(CancelBy by, std::ostream* out) {
    *out << (by == CancelBy::EscapeKey ? "Esc" : "window close");
}

class CancelWhileStalled : public PinTestRunnerTest,
                           public ::testing::WithParamInterface<CancelBy> {};

TEST_P(CancelWhileStalled, StopsAtOnceClosesThePortAndCallsNoPrinter) {
    FifoReader reader(kPipe);
    pause(reader);
    DevicePrinterPort port(reader.path());
    PinTestRunner runner(port, printer_, &window_);

    Script script;
    script
        .when("the stall shown in the dialog", statusShown,
              [&] {
                  QDialog* dialog = progressDialog();
                  if (GetParam() == CancelBy::EscapeKey) {
                      QTest::keyClick(dialog->windowHandle(), Qt::Key_Escape);
                  } else {
                      dialog->windowHandle()->close();
                  }
                  // The dialog stays until the job has really ended.
                  EXPECT_TRUE(dialog->isVisible());
                  EXPECT_EQ(dialogText("message"), QStringLiteral("正在停止……"));
                  EXPECT_FALSE(dialogPart<QPushButton>("cancel")->isEnabled());
              })
        .start([&] { reader.paused = false; });

    const PinTestRunner::Result result = runner.run(NinePin);

    EXPECT_TRUE(script.done());
    EXPECT_EQ(result.outcome, PinTestOutcome::CancelledWhileStalled);
    EXPECT_FALSE(result.errorText.has_value());
    EXPECT_TRUE(printerLog_.empty());
    EXPECT_EQ(progressDialog(), nullptr);
    // The port was closed: the reader gets what the pipe held, then the end of the stream.
    reader.paused = false;
    ASSERT_TRUE(waitUntil([&] { return reader.writerClosed(); }));
    const Bytes page = pageBytes(NinePin);
    const Bytes received = reader.received();
    EXPECT_EQ(received.size(), static_cast<std::size_t>(kPipe));
    EXPECT_EQ(received, prefix(page, received.size()));
}

INSTANTIATE_TEST_SUITE_P(PinTestRunner, CancelWhileStalled,
                         ::testing::Values(CancelBy::EscapeKey, CancelBy::ClosingTheDialog),
                         [](const auto& info) {
                             return info.param == CancelBy::EscapeKey ? "EscapeKey"
                                                                      : "ClosingTheDialog";
                         });

TEST_F(PinTestRunnerTest, CancelWhilePrinterTakesDataStopsAtTheEndOfTheLine) {
    // The pipe holds the first 4 KiB; the reader waits until Cancel, well within the second
    // after which the port would count as stalled, then takes data again.
    FifoReader reader(kPipe);
    pause(reader);
    DevicePrinterPort port(reader.path());
    PinTestRunner runner(port, printer_, &window_);

    Script script;
    script
        .when("the dialog", dialogVisible,
              [&] {
                  EXPECT_FALSE(dialogPart<QLabel>("status")->isVisible());
                  clickThroughWindow(dialogPart<QPushButton>("cancel"));
                  EXPECT_EQ(dialogText("message"),
                            QStringLiteral("正在停止：打印完当前这一行就停止……"));
                  reader.paused = false;
              })
        .start([&] { reader.paused = false; });

    const PinTestRunner::Result result = runner.run(NinePin);

    EXPECT_TRUE(script.done());
    EXPECT_EQ(result.outcome, PinTestOutcome::Cancelled);
    EXPECT_TRUE(printerLog_.empty());
    ASSERT_TRUE(waitUntil([&] { return reader.writerClosed(); }));
    const Bytes page = pageBytes(NinePin);
    const Bytes received = reader.received();
    ASSERT_GT(received.size(), static_cast<std::size_t>(kPipe));
    ASSERT_LT(received.size(), page.size());
    EXPECT_EQ(received, prefix(page, received.size()));
    // Exactly the line that was under way when Cancel came, and no further.
    EXPECT_EQ(received[received.size() - 2], '\r');
    EXPECT_EQ(received[received.size() - 1], '\n');
    const auto lineEnd = std::search(received.begin() + kPipe, received.end(), "\r\n", "\r\n" + 2);
    EXPECT_EQ(lineEnd, received.end() - 2);
}

TEST_F(PinTestRunnerTest, WindowsTakeNoInputWhileATestRuns) {
    FifoReader reader(kPipe);
    pause(reader);
    DevicePrinterPort port(reader.path());
    PinTestRunner runner(port, printer_, &window_);
    QElapsedTimer clock;

    Script script;
    script
        .when(
            "the run under way", [] { return true; },
            [&] {
                // Before the dialog appears nothing blocks the window but the runner itself.
                ASSERT_FALSE(dialogVisible());
                ASSERT_LT(clock.elapsed(), 400);
                clickThroughWindow(other_);
                QTest::keyClick(window_.windowHandle(), Qt::Key_Space);
                QTest::mouseClick(other_, Qt::LeftButton);
                QTest::keyClick(other_, Qt::Key_Space);
                EXPECT_EQ(otherClicks_, 0);
            })
        .when("the dialog", dialogVisible,
              [&] {
                  EXPECT_EQ(QApplication::activeModalWidget(), progressDialog());
                  clickThroughWindow(other_);
                  QTest::mouseClick(other_, Qt::LeftButton);
                  EXPECT_EQ(otherClicks_, 0);
                  postClick(other_);
                  reader.paused = false;
              })
        .start([&] { reader.paused = false; });

    clock.start();
    const PinTestRunner::Result result = runner.run(NinePin);

    EXPECT_TRUE(script.done());
    EXPECT_EQ(result.outcome, PinTestOutcome::Completed);
    // Nothing held back during the run arrives afterwards as a second command.
    QCoreApplication::processEvents();
    QTest::qWait(50);
    EXPECT_EQ(otherClicks_, 0);
    // And once the run is over, the window takes clicks again, the same clicks as above.
    postClick(other_);
    QCoreApplication::processEvents();
    EXPECT_EQ(otherClicks_, 1);
    clickThroughWindow(other_);
    EXPECT_EQ(otherClicks_, 2);
}

TEST_F(PinTestRunnerTest, PortThatCannotOpenIsReportedWithoutPrinterCalls) {
    TempDir dir;
    const std::string path = (dir.path() / "lp0").string();
    DevicePrinterPort port(path);
    PinTestRunner runner(port, printer_, &window_);

    const PinTestRunner::Result result = runner.run(NinePin);

    ASSERT_TRUE(result.errorText.has_value());
    EXPECT_TRUE(result.errorText->contains(QString::fromStdString(path)))
        << result.errorText->toStdString();
    EXPECT_EQ(result.errorNumber, ENOENT);
    EXPECT_TRUE(printerLog_.empty());
    EXPECT_EQ(shows_.shows, 0);
}

TEST_F(PinTestRunnerTest, PrinterFailureIsReported) {
    FifoReader reader(kPipe);
    DevicePrinterPort port(reader.path());
    printer_.failOn = "endDocument";
    PinTestRunner runner(port, printer_, &window_);

    const PinTestRunner::Result result = runner.run(TwentyFourPin);

    ASSERT_TRUE(result.errorText.has_value());
    EXPECT_EQ(*result.errorText, QStringLiteral("no default printer"));
    EXPECT_EQ(result.errorNumber, 0);
    EXPECT_EQ(printerLog_, (EventLog{"newPage", "endDocument"}));
    EXPECT_TRUE(waitUntil([&] { return reader.writerClosed(); }));
}

TEST_F(PinTestRunnerTest, FailureOutsideTheProgramsOwnErrorsIsReportedToo) {
    FifoReader reader(kPipe);
    DevicePrinterPort port(reader.path());
    ThrowingPrinter printer;
    PinTestRunner runner(port, printer, &window_);

    const PinTestRunner::Result result = runner.run(TwentyFourPin);

    ASSERT_TRUE(result.errorText.has_value());
    EXPECT_TRUE(result.errorText->contains(QStringLiteral("broken driver")))
        << result.errorText->toStdString();
    EXPECT_EQ(result.errorNumber, 0);
    EXPECT_TRUE(waitUntil([&] { return reader.writerClosed(); }));
}

TEST_F(PinTestRunnerTest, DialogSaysThePageIsBeingEjectedWhileThePrinterIsCalled) {
    FifoReader reader(kPipe);
    DevicePrinterPort port(reader.path());
    HeldPrinter printer;
    PinTestRunner runner(port, printer, &window_);

    Script script;
    script
        .when(
            "the eject shown in the dialog",
            [] {
                return dialogVisible() &&
                       dialogText("message") == QStringLiteral("测试页已发送，正在让打印机退纸……");
            },
            [&] {
                EXPECT_TRUE(printer.called());
                EXPECT_FALSE(dialogPart<QPushButton>("cancel")->isEnabled());
                printer.release();
            })
        .start([&] { printer.release(); });

    const PinTestRunner::Result result = runner.run(TwentyFourPin);

    EXPECT_TRUE(script.done());
    EXPECT_EQ(result.outcome, PinTestOutcome::Completed);
    EXPECT_EQ(printer.calls(), kPrinterCalls);
}

}  // namespace
}  // namespace kestrun::testing
