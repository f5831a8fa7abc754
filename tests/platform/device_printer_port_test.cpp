#include "platform/linux/device_printer_port.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "fake_port.h"
#include "fifo.h"
#include "page_bytes.h"
#include "pintest/run_pin_test.h"

namespace kestrun {
namespace {

using namespace std::chrono_literals;
using testing::FifoReader;
using testing::TempDir;

PortError openFailure(DevicePrinterPort& port) {
    try {
        port.open();
    } catch (const PortError& error) {
        return error;
    }
    ADD_FAILURE() << "opened " << port.name();
    return PortError(PortError::Kind::IoError, 0, "");
}

// Writes everything with the port's own waiting, as the channel does.
void writeAll(DevicePrinterPort& port, const Bytes& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        sent += port.write({data.data() + sent, data.size() - sent}, 50ms);
    }
}

TEST(DevicePrinterPort, FifoReceivesTheExactPage) {
    FifoReader reader;
    DevicePrinterPort port(reader.path());
    testing::EventLog log;
    testing::RecordingPrinter printer(log);
    EXPECT_EQ(runPinTest(NinePin, port, printer), PinTestOutcome::Completed);
    const Bytes page = testing::pageBytes(NinePin);
    const Bytes received = reader.received();
    EXPECT_TRUE(received == page) << testing::hexDiff(page, received);
    EXPECT_EQ(log, (testing::EventLog{"newPage", "endDocument", "abortDocument"}));
    // A port that takes the page at once takes it in one write call.
    EXPECT_LE(port.writeCalls(), 2u);
}

TEST(DevicePrinterPort, SmallPipeForcesShortWritesAndLosesNothing) {
    FifoReader reader(4096, 1000);
    ASSERT_EQ(reader.pipeSize(), 4096);
    reader.paused = true;
    DevicePrinterPort port(reader.path());
    port.open();
    EXPECT_FALSE(port.status().has_value());  // a pipe has no status lines
    EXPECT_TRUE(port.drained(0ms));
    Bytes data(200000);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + i / 251);  // no period that could hide a slip
    }
    // The pipe takes only what fits; the writer must come back for the rest.
    const std::size_t first = port.write(data, 10ms);
    EXPECT_GT(first, 0u);
    EXPECT_LE(first, 4096u);
    EXPECT_EQ(port.write({data.data() + first, data.size() - first}, 10ms), 0u);
    reader.paused = false;
    writeAll(port, Bytes(data.begin() + static_cast<long>(first), data.end()));
    EXPECT_GT(port.writeCalls(), 10u);
    port.close();
    EXPECT_TRUE(reader.received() == data);
}

// Nothing at the path, a regular file in the device's place, a FIFO nobody reads: none of them
// is a printer, and opening must neither succeed nor leave a file behind.
TEST(DevicePrinterPort, OpenRefusesWhatIsNoPrinterAndCreatesNothing) {
    TempDir dir;
    const auto missing = dir.path() / "missing";
    DevicePrinterPort noDevice(missing.string());
    const PortError error = openFailure(noDevice);
    EXPECT_EQ(error.kind(), PortError::Kind::NoDevice);
    EXPECT_EQ(error.errorNumber(), ENOENT);
    EXPECT_NE(std::string(error.what()).find(missing.string()), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(missing));

    const auto file = dir.path() / "file";
    std::ofstream(file) << "";
    DevicePrinterPort regularFile(file.string());
    EXPECT_EQ(openFailure(regularFile).kind(), PortError::Kind::NotADevice);
    EXPECT_EQ(std::filesystem::file_size(file), 0u);

    const auto fifo = dir.path() / "fifo";
    mkfifo(fifo.c_str(), 0600);
    DevicePrinterPort noReader(fifo.string());
    EXPECT_EQ(openFailure(noReader).errorNumber(), ENXIO);
}

// 0 when opening `path` fails with a permission error that tells the user about the lp group.
int checkPermissionDenied(const std::string& path) {
    DevicePrinterPort port(path);
    try {
        port.open();
        return 1;
    } catch (const PortError& error) {
        const bool namesGroup = std::string(error.what()).find("lp 组") != std::string::npos;
        return error.kind() == PortError::Kind::PermissionDenied && namesGroup ? 0 : 2;
    }
}

TEST(DevicePrinterPort, DeviceWithoutPermissionNamesTheLpGroup) {
    TempDir dir;
    const auto path = dir.path() / "lp0";
    mkfifo(path.c_str(), 0600);
    chmod(dir.path().c_str(), 0755);
    const int readEnd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (geteuid() != 0) {
        chmod(path.c_str(), 0);
        EXPECT_EQ(checkPermissionDenied(path.string()), 0);
    } else {
        // root may open anything: try as an ordinary user in a child process.
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            _exit(setgid(65534) == 0 && setuid(65534) == 0 ? checkPermissionDenied(path.string())
                                                           : 3);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    ::close(readEnd);
}

TEST(DevicePrinterPort, ReaderGoingAwayIsAnErrorNotASignal) {
    TempDir dir;
    const auto path = dir.path() / "lp0";
    mkfifo(path.c_str(), 0600);
    const int readEnd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    DevicePrinterPort port(path.string());
    port.open();
    ::close(readEnd);
    const Bytes data(100, 0x41);
    try {
        port.write(data, 10ms);
        FAIL() << "write succeeded without a reader";
    } catch (const PortError& error) {
        EXPECT_EQ(error.kind(), PortError::Kind::Unplugged);
        EXPECT_EQ(error.errorNumber(), EPIPE);
    }
    // Still alive: SIGPIPE did not end the process, and none is left pending for later.
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

}  // namespace
}  // namespace kestrun

namespace kestrun {
namespace {

using namespace std::chrono_literals;

// A whole test run on a FIFO whose reader pauses and goes on, as a printer that runs out of
// paper and is refilled.
class StallingPrinterTest : public ::testing::Test {
protected:
    struct Observer final : PinTestObserver {
        std::function<void(std::size_t)> onProgress = [](std::size_t) {};
        std::atomic<int> stalls{0};
        bool ejected = false;
        void progress(std::size_t sent, std::size_t) override { onProgress(sent); }
        void stalled(const std::optional<PortStatus>& status) override {
            EXPECT_FALSE(status.has_value());  // a FIFO has no status lines
            ++stalls;
        }
        void ejecting() override { ejected = true; }
    };

    bool isLineEndOfPage(const Bytes& received) const {
        const Bytes page = testing::pageBytes(NinePin);
        const std::size_t n = received.size();
        return n >= 2 && n < page.size() &&
               std::equal(received.begin(), received.end(), page.begin()) && page[n - 2] == '\r' &&
               page[n - 1] == '\n';
    }

    testing::FifoReader reader{4096, 512};
    DevicePrinterPort port{reader.path()};
    testing::EventLog log;
    testing::RecordingPrinter printer{log};
    Observer observer;
    std::stop_source stop;
};

TEST_F(StallingPrinterTest, PageGoesOnWhereItStoppedAfterAStall) {
    reader.paused = true;
    std::thread resume([this] {
        while (observer.stalls == 0) {
            std::this_thread::sleep_for(5ms);
        }
        reader.paused = false;
    });
    EXPECT_EQ(runPinTest(NinePin, port, printer, &observer, stop.get_token()),
              PinTestOutcome::Completed);
    resume.join();
    const Bytes page = testing::pageBytes(NinePin);
    const Bytes received = reader.received();
    EXPECT_TRUE(received == page) << testing::hexDiff(page, received);
    EXPECT_TRUE(observer.ejected);
    EXPECT_EQ(log.size(), 3u);
}

TEST_F(StallingPrinterTest, CancelWhileStalledStopsAtOnceAndClosesThePort) {
    reader.paused = true;
    std::thread cancel([this] {
        while (observer.stalls == 0) {
            std::this_thread::sleep_for(5ms);
        }
        stop.request_stop();
    });
    EXPECT_EQ(runPinTest(NinePin, port, printer, &observer, stop.get_token()),
              PinTestOutcome::CancelledWhileStalled);
    cancel.join();
    reader.paused = false;
    const Bytes received = reader.received();  // returns only once the port has closed
    EXPECT_TRUE(reader.writerClosed());
    EXPECT_LE(received.size(), 4096u);
    EXPECT_TRUE(log.empty());
}

TEST_F(StallingPrinterTest, CancelWhileFlowingCutsAtALineEnd) {
    reader.pauseBetweenReads = 3;
    observer.onProgress = [this](std::size_t sent) {
        if (sent >= 2000) {
            stop.request_stop();
        }
    };
    EXPECT_EQ(runPinTest(NinePin, port, printer, &observer, stop.get_token()),
              PinTestOutcome::Cancelled);
    const Bytes received = reader.received();
    EXPECT_TRUE(isLineEndOfPage(received)) << received.size();
    EXPECT_TRUE(log.empty());
}

}  // namespace
}  // namespace kestrun
