#include "ui/pin_test_runner.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <stdexcept>
#include <thread>

#include "fake_port.h"
#include "fifo.h"
#include "page_bytes.h"
#include "platform/linux/device_printer_port.h"

namespace kestrun::testing {
namespace {

using namespace std::chrono_literals;

const EventLog kPrinterCalls{"newPage", "endDocument", "abortDocument"};
const QString kDialogName = QStringLiteral("pinTestProgress");
constexpr int kPipe = 4096;

QDialog* progressDialog() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == kDialogName) {
            return qobject_cast<QDialog*>(widget);
        }
    }
    return nullptr;
}

bool dialogVisible() {
    return progressDialog() != nullptr && progressDialog()->isVisible();
}

// Only asked for while the dialog shows.
template <typename T = QLabel>
T* part(const char* name) {
    return progressDialog()->findChild<T*>(QString::fromLatin1(name));
}

bool stallShown() {
    return dialogVisible() && part("status")->isVisible();
}

// A click as the window system delivers it: through the window, where modality applies.
void clickThroughWindow(QWidget* target) {
    QWidget* window = target->window();
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, Qt::KeyboardModifiers(),
                      target->mapTo(window, target->rect().center()));
}

// A click that waits in the event queue, as input does that arrives while the program is busy.
void postClick(QWidget* target) {
    const QPointF local = target->mapTo(target->window(), target->rect().center());
    const QPointF global = target->mapToGlobal(target->rect().center());
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        const Qt::MouseButtons held =
            type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton;
        QCoreApplication::postEvent(
            target->window()->windowHandle(),
            new QMouseEvent(type, local, global, Qt::LeftButton, held, Qt::NoModifier));
    }
}

// Waits inside the run's event loop, so the dialog stays as the job last left it.
bool waitFor(const std::function<bool()>& condition, const char* what) {
    const bool met = QTest::qWaitFor(condition, 5000);
    EXPECT_TRUE(met) << "gave up waiting for " << what;
    return met;
}

class ThrowingPrinter final : public SystemPrinter {
public:
    void newPage() override { throw std::length_error("broken driver"); }
    void endDocument() override {}
    void abortDocument() override {}
};

// A port that takes nothing, reporting `status`, until the test sets `taking`; then it takes the
// page slowly, so the dialog shows it flowing again.
class GatedPort final : public PrinterPort {
public:
    explicit GatedPort(PortStatus status) : status_(status) {}

    std::atomic<bool> taking{false};
    Bytes received;  // read once the run is over

    std::string name() const override { return "gated"; }
    void open() override {}
    std::size_t write(std::span<const std::uint8_t> data, std::chrono::milliseconds wait) override {
        const bool take = taking;
        std::this_thread::sleep_for(take ? 5ms : wait);
        const std::size_t n = take ? std::min<std::size_t>(data.size(), 64) : 0;
        received.insert(received.end(), data.begin(), data.begin() + static_cast<long>(n));
        return n;
    }
    std::optional<PortStatus> status() override { return status_; }
    bool drained(std::chrono::milliseconds) override { return true; }
    void close() noexcept override {}

private:
    const PortStatus status_;
};

// The real port on a FIFO whose reader starts paused: the 9-pin page is longer than the pipe, so
// the port stalls until the test lets the reader go on.
class PinTestRunnerTest : public ::testing::Test, public QObject {
protected:
    void SetUp() override {
        // The reader checks `paused` only between polls of up to 20 ms; one poll under way when
        // the flag is set could still take the start of the page.
        reader_.paused = true;
        std::this_thread::sleep_for(50ms);
        QObject::connect(other_, &QPushButton::clicked, [this] { ++otherClicks_; });
        window_.show();
        window_.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window_));
        qApp->installEventFilter(this);
    }

    void TearDown() override { qApp->removeEventFilter(this); }

    bool eventFilter(QObject* watched, QEvent* event) override {
        dialogShows_ += event->type() == QEvent::Show && watched->objectName() == kDialogName;
        return false;
    }

    // Runs the 9-pin test with `steps` taken on the user-interface thread once it is under way. A
    // run that has not ended after five seconds fails the test and the ports take data again, so a
    // broken runner fails the test instead of hanging it.
    PinTestRunner::Result runWhile(std::function<void()> steps, PinTestRunner& runner) {
        QObject context;
        QTimer::singleShot(0, &context, std::move(steps));
        QTimer::singleShot(5000, &context, [this] {
            ADD_FAILURE() << "the run did not end";
            reader_.paused = false;
            gated_.taking = true;
        });
        return runner.run(NinePin);
    }
    PinTestRunner::Result runWhile(std::function<void()> steps) { return runWhile(steps, runner_); }

    // What the printer got, once the port has been closed.
    Bytes printed() {
        reader_.paused = false;
        const bool closed = QTest::qWaitFor([this] { return reader_.writerClosed(); }, 3000);
        EXPECT_TRUE(closed) << "the port was not closed";
        return closed ? reader_.received() : Bytes{};
    }

    QWidget window_;
    QPushButton* other_ = new QPushButton(QStringLiteral("退出"), &window_);
    int otherClicks_ = 0;
    int dialogShows_ = 0;
    EventLog log_;
    RecordingPrinter printer_{log_};
    FifoReader reader_{kPipe};
    DevicePrinterPort port_{reader_.path()};
    PinTestRunner runner_{port_, printer_, &window_};
    const PortStatus reported_{.paperOut = true, .offline = true};
    GatedPort gated_{reported_};
    const Bytes page_ = pageBytes(NinePin);
};

TEST_F(PinTestRunnerTest, PrinterThatTakesThePageAtOnceShowsNoDialogRunAfterRun) {
    RecordingPort port(log_);
    PinTestRunner runner(port, printer_, &window_);
    for (const PinTestProfile* profile : {&NinePin, &TwentyFourPin}) {
        log_.clear();
        port.received.clear();
        EXPECT_EQ(runner.run(*profile).outcome, PinTestOutcome::Completed);
        EXPECT_EQ(log_,
                  (EventLog{"open", "bytes", "newPage", "endDocument", "abortDocument", "close"}));
        EXPECT_EQ(port.received, pageBytes(*profile));
    }
    EXPECT_EQ(dialogShows_, 0);
    EXPECT_EQ(progressDialog(), nullptr);
}

TEST_F(PinTestRunnerTest, StalledPrinterShowsWhatItReportsAndThePageGoesOnWhereItStopped) {
    PinTestRunner runner(gated_, printer_, &window_);
    const PinTestRunner::Result result = runWhile(
        [this] {
            if (!waitFor(stallShown, "the stall")) {
                return;
            }
            EXPECT_EQ(QApplication::activeModalWidget(), progressDialog());
            EXPECT_EQ(part("status")->text().toStdString(), describePortStatus(reported_));
            // The advice is whole: the dialog grew to hold every wrapped line of it.
            QLabel* status = part("status");
            EXPECT_GE(status->height(), status->heightForWidth(status->width()));
            EXPECT_TRUE(progressDialog()->rect().contains(status->geometry()));
            gated_.taking = true;
            // Still sending, and the stall no longer shown.
            waitFor(
                [] {
                    return !part("status")->isVisible() &&
                           part<QProgressBar>("progress")->value() > 0 &&
                           part<QProgressBar>("progress")->value() <
                               part<QProgressBar>("progress")->maximum();
                },
                "the stall to clear while the page goes on");
        },
        runner);

    EXPECT_EQ(result.outcome, PinTestOutcome::Completed);
    EXPECT_FALSE(result.errorText.has_value());
    EXPECT_EQ(log_, kPrinterCalls);
    EXPECT_EQ(dialogShows_, 1);
    EXPECT_EQ(progressDialog(), nullptr);
    EXPECT_EQ(gated_.received, page_) << hexDiff(page_, gated_.received);
}

TEST_F(PinTestRunnerTest, CancelWhileStalledStopsAtOnceClosesThePortAndCallsNoPrinter) {
    const PinTestRunner::Result result = runWhile([this] {
        if (!waitFor(stallShown, "the stall")) {
            return;
        }
        // The FIFO cannot report a printer status.
        EXPECT_TRUE(part("status")->text().contains(QStringLiteral("没有接收数据")));
        EXPECT_EQ(part<QProgressBar>("progress")->value(), kPipe);
        EXPECT_EQ(part<QProgressBar>("progress")->maximum(), static_cast<int>(page_.size()));
        // The window's close button asks the job to stop; the dialog stays until the job has
        // really ended.
        progressDialog()->windowHandle()->close();
        EXPECT_TRUE(dialogVisible());
        EXPECT_EQ(part("message")->text(), QStringLiteral("正在停止……"));
        EXPECT_FALSE(part<QPushButton>("cancel")->isEnabled());
    });

    EXPECT_EQ(result.outcome, PinTestOutcome::CancelledWhileStalled);
    EXPECT_TRUE(log_.empty());
    EXPECT_EQ(progressDialog(), nullptr);
    // Only what the pipe held before the stall, then the end of the stream.
    EXPECT_EQ(printed(), Bytes(page_.begin(), page_.begin() + kPipe));
}

TEST_F(PinTestRunnerTest, WhileATestRunsOnlyItsCancelTakesInputAndStopsAtALineEnd) {
    // Cancel comes well within the second after which the full pipe would count as a stall.
    const PinTestRunner::Result result = runWhile([this] {
        // Before the dialog shows, nothing but the runner keeps the window from input.
        EXPECT_FALSE(dialogVisible());
        clickThroughWindow(other_);
        QTest::mouseClick(other_, Qt::LeftButton);
        QTest::keyClick(other_, Qt::Key_Space);
        if (!waitFor(dialogVisible, "the dialog")) {
            return;
        }
        EXPECT_EQ(QApplication::activeModalWidget(), progressDialog());
        EXPECT_FALSE(part("status")->isVisible());
        clickThroughWindow(other_);
        postClick(other_);
        EXPECT_EQ(otherClicks_, 0);
        clickThroughWindow(part<QPushButton>("cancel"));
        EXPECT_EQ(part("message")->text(), QStringLiteral("正在停止：打印完当前这一行就停止……"));
        reader_.paused = false;
    });

    EXPECT_EQ(result.outcome, PinTestOutcome::Cancelled);
    EXPECT_TRUE(log_.empty());
    // Nothing held back during the run arrives afterwards as a second command, and once the run is
    // over the window takes clicks again.
    QCoreApplication::processEvents();
    EXPECT_EQ(otherClicks_, 0);
    clickThroughWindow(other_);
    EXPECT_EQ(otherClicks_, 1);

    const Bytes received = printed();
    ASSERT_GT(received.size(), static_cast<std::size_t>(kPipe));
    ASSERT_LT(received.size(), page_.size());
    EXPECT_EQ(received, Bytes(page_.begin(), page_.begin() + static_cast<long>(received.size())));
    // Exactly the line that was under way when Cancel came, and no further.
    const char* crlf = "\r\n";
    EXPECT_EQ(std::search(received.begin() + kPipe, received.end(), crlf, crlf + 2),
              received.end() - 2);
}

TEST_F(PinTestRunnerTest, FailuresComeBackAsTextAndNumberNotAsExceptions) {
    TempDir dir;
    const std::string path = (dir.path() / "lp0").string();
    DevicePrinterPort missing(path);
    PinTestRunner::Result result = PinTestRunner(missing, printer_, &window_).run(NinePin);

    ASSERT_TRUE(result.errorText.has_value());
    EXPECT_TRUE(result.errorText->contains(QString::fromStdString(path)))
        << result.errorText->toStdString();
    EXPECT_EQ(result.errorNumber, ENOENT);
    EXPECT_TRUE(log_.empty());
    EXPECT_EQ(dialogShows_, 0);

    // Not even a failure outside the program's own errors may escape the job's thread.
    RecordingPort port(log_);
    ThrowingPrinter throwing;
    result = PinTestRunner(port, throwing, &window_).run(TwentyFourPin);

    ASSERT_TRUE(result.errorText.has_value());
    EXPECT_TRUE(result.errorText->contains(QStringLiteral("broken driver")))
        << result.errorText->toStdString();
    EXPECT_EQ(result.errorNumber, 0);
    EXPECT_FALSE(port.isOpen);
}

}  // namespace
}  // namespace kestrun::testing
