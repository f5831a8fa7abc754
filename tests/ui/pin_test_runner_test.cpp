#include "ui/pin_test_runner.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <stdexcept>
#include <thread>

#include "fake_port.h"
#include "fifo.h"
#include "page_bytes.h"
#include "platform/linux/device_printer_port.h"
#include "ui/progress_dialog.h"

namespace kestrun::testing {
namespace {

using namespace std::chrono_literals;

constexpr int kPipe = 4096;

template <typename T = QLabel>
T* part(QWidget* dialog, const char* name) {
    return dialog->findChild<T*>(QString::fromLatin1(name));
}

// What the dialog shows for each state of the job, and what Esc does then.
TEST(ProgressDialog, ShowsTheJobsStateAndEscAsksItToStopOnce) {
    struct Row {
        JobView view;  // sent, total, stalled, status, ejecting, finished
        const char* message;
        const char* bar;
        std::optional<std::string> stall;
        bool cancellable;
        const char* afterEsc;
    };
    const PortStatus offline{.offline = true};
    const char* sending = "正在向打印机发送测试页……";
    const char* atLineEnd = "正在停止：打印完当前这一行就停止……";
    const Row rows[] = {
        {{}, sending, "已发送 0 字节", {}, true, atLineEnd},
        {{0, 900, false, {}, false, false}, sending, "已发送 0 / 900 字节", {}, true, atLineEnd},
        {{0, 900, true, offline, false, false},
         sending,
         "已发送 0 / 900 字节",
         describePortStatus(offline),
         true,
         "正在停止……"},
        {{40, 900, true, {}, false, false},
         sending,
         "已发送 40 / 900 字节",
         "打印机没有接收数据。请检查打印机是否开机、联机、装好了纸，以及电缆是否接好；"
         "测试页会从中断处继续打印。",
         true,
         "正在停止……"},
        // The printer calls cannot be interrupted: no Cancel that would promise it.
        {{900, 900, false, {}, true, false},
         "测试页已发送，正在让打印机退纸……",
         "已发送 900 / 900 字节",
         {},
         false,
         "测试页已发送，正在让打印机退纸……"},
    };
    for (const Row& row : rows) {
        int stops = 0;
        ProgressDialog dialog(nullptr, [&] { ++stops; });
        dialog.setView(row.view);
        dialog.show();
        const auto* bar = part<QProgressBar>(&dialog, "progress");
        EXPECT_EQ(part(&dialog, "message")->text(), QString::fromUtf8(row.message));
        EXPECT_EQ(bar->text(), QString::fromUtf8(row.bar));
        EXPECT_GT(bar->maximum(), 0) << "a range of 0..0 animates as busy";
        EXPECT_EQ(part(&dialog, "status")->isVisible(), row.stall.has_value()) << row.bar;
        EXPECT_EQ(part(&dialog, "status")->text().toStdString(), row.stall.value_or(""));
        EXPECT_EQ(part<QPushButton>(&dialog, "cancel")->isEnabled(), row.cancellable) << row.bar;
        for (int press = 0; press < 2; ++press) {
            QTest::keyClick(&dialog, Qt::Key_Escape);
        }
        EXPECT_EQ(stops, 1) << row.bar;
        EXPECT_EQ(part(&dialog, "message")->text(), QString::fromUtf8(row.afterEsc));
        EXPECT_FALSE(part<QPushButton>(&dialog, "cancel")->isEnabled());
        EXPECT_TRUE(dialog.isVisible()) << "the dialog waits for the job to end";
    }
}

// The real port on a FIFO whose reader starts paused: the page is longer than the pipe, so it stops
// flowing. A Cancel within the second before that counts as a stall stops at the end of the line
// under way, without the printer calls.
TEST(PinTestRunner, CancelWhileThePageFlowsStopsAtTheEndOfTheLineUnderWay) {
    FifoReader reader{kPipe};
    reader.paused = true;
    std::this_thread::sleep_for(50ms);  // the reader checks `paused` between polls of up to 20 ms
    DevicePrinterPort port(reader.path());
    EventLog log;
    RecordingPrinter printer(log);
    QWidget window;
    QObject context;
    QTimer::singleShot(0, &context, [&] {
        QWidget* dialog = nullptr;
        EXPECT_TRUE(QTest::qWaitFor([&] { return dialog = QApplication::activeModalWidget(); }));
        if (dialog != nullptr) {
            part<QPushButton>(dialog, "cancel")->click();
        }
        reader.paused = false;
    });
    const auto outcome = PinTestRunner(port, printer, &window).run(NinePin).outcome;
    EXPECT_EQ(outcome, PinTestOutcome::Cancelled);
    EXPECT_TRUE(log.empty());
    EXPECT_TRUE(QTest::qWaitFor([&] { return reader.writerClosed(); }, 3000));
    const Bytes page = pageBytes(NinePin), received = reader.received();
    ASSERT_GT(received.size(), static_cast<std::size_t>(kPipe));
    ASSERT_LT(received.size(), page.size());
    EXPECT_EQ(received, Bytes(page.begin(), page.begin() + static_cast<long>(received.size())));
    const char* crlf = "\r\n";
    EXPECT_EQ(std::search(received.begin() + kPipe, received.end(), crlf, crlf + 2),
              received.end() - 2);
}

TEST(PinTestRunner, FailuresOutsideTheProgramsOwnComeBackAsTextNotAsExceptions) {
    EventLog log;
    QWidget window;
    // Not even these may escape the job's thread; the port is closed all the same.
    struct ThrowingPrinter final : SystemPrinter {
        void newPage() override { throw std::length_error("broken driver"); }
        void endDocument() override {}
        void abortDocument() override {}
    } throwing;
    RecordingPort fake(log);
    const auto result = PinTestRunner(fake, throwing, &window).run(TwentyFourPin);
    ASSERT_TRUE(result.errorText.has_value());
    EXPECT_TRUE(result.errorText->contains(QStringLiteral("broken driver")));
    EXPECT_EQ(result.errorNumber, 0);
    EXPECT_FALSE(fake.isOpen);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "a quick run shows no dialog";
}

}  // namespace
}  // namespace kestrun::testing
