#include "platform/linux/device_printer_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <fstream>
#include <future>

#include "page_bytes.h"
#include "pintest/run_pin_test.h"
#include "temp_dir.h"

namespace kestrun {
namespace {

using namespace std::chrono_literals;
using Kind = PortError::Kind;

bool says(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(PortRules, OpenErrorsNameTheirCause) {
    const std::tuple<int, Kind, const char*> cases[] = {
        {ENOENT, Kind::NoDevice, "找不到"},       {ENODEV, Kind::NoDevice, "找不到"},
        {ENXIO, Kind::NoDevice, "找不到"},        {EACCES, Kind::PermissionDenied, "lp 组"},
        {EPERM, Kind::PermissionDenied, "lp 组"}, {EROFS, Kind::PermissionDenied, "lp 组"},
        {EBUSY, Kind::Busy, "其他程序"},          {EIO, Kind::IoError, "无法打开"},
    };
    for (const auto& [error, kind, text] : cases) {
        const PortError failure = openFailure("/dev/lp9", error);
        EXPECT_EQ(std::tuple(failure.kind(), failure.errorNumber()), std::tuple(kind, error));
        EXPECT_TRUE(says(failure.what(), "/dev/lp9") && says(failure.what(), text)) << error;
    }
}

// Out of paper and a full buffer are waited out, and so is the parallel port's EIO (offline);
// the rest ends the page, as unplugged where the device went away.
TEST(PortRules, WriteErrorsAreWaitedOutOrFailPerDevice) {
    using enum DeviceKind;
    using enum WriteStep;
    for (const DeviceKind device : {ParallelPort, UsbPrinter, Other}) {
        EXPECT_EQ(writeStepFor(EINTR, device), Retry);
        EXPECT_EQ(writeStepFor(EAGAIN, device), Wait);
        EXPECT_EQ(writeStepFor(ENOSPC, device), Wait);
        EXPECT_EQ(writeStepFor(EIO, device), device == ParallelPort ? Wait : Fail);
        EXPECT_EQ(writeStepFor(EPIPE, device), Fail);
    }
    for (const int error : {EIO, EPIPE, ENODEV, ENXIO, ESHUTDOWN, EFBIG}) {
        const PortError failure = writeFailure("/dev/lp9", error);
        EXPECT_EQ(failure.kind(), error == EFBIG ? Kind::IoError : Kind::Unplugged);
        EXPECT_TRUE(failure.errorNumber() == error && says(failure.what(), "/dev/lp9"));
    }
}

TEST(PortRules, DeviceKindsAndStatus) {
    EXPECT_EQ(deviceKindOf(S_IFCHR, 6), DeviceKind::ParallelPort);
    EXPECT_EQ(deviceKindOf(S_IFCHR, 180), DeviceKind::UsbPrinter);
    EXPECT_EQ(deviceKindOf(S_IFCHR, 4), DeviceKind::Other);
    EXPECT_EQ(deviceKindOf(S_IFIFO, 6), DeviceKind::Other);
    // A USB printer has drained once it takes more; an error after the last write is a failure.
    EXPECT_TRUE(drainedFrom("/dev/usb/lp0", POLLOUT) && !drainedFrom("/dev/usb/lp0", 0));
    EXPECT_THROW(drainedFrom("/dev/usb/lp0", POLLOUT | POLLERR), PortError);
    // Busy (bit 7) and error (bit 3) hold when 0, paper out (bit 5) and selected (bit 4) when 1.
    EXPECT_EQ(portStatusOf(0x98), PortStatus{});
    EXPECT_EQ(portStatusOf(0x18), PortStatus{.busy = true});
    EXPECT_EQ(portStatusOf(0x88), PortStatus{.offline = true});
    EXPECT_EQ(portStatusOf(0x90), PortStatus{.error = true});
    EXPECT_EQ(portStatusOf(0xA0), (PortStatus{.paperOut = true, .offline = true, .error = true}));
    // Each condition is named with its remedy, the specific cause first.
    EXPECT_EQ(describePortStatus({}), "打印机暂时没有接收数据。请检查打印机电源和电缆。");
    EXPECT_EQ(describePortStatus({.busy = true}), "打印机忙。请稍候，测试页会从中断处继续打印。");
    EXPECT_EQ(describePortStatus({true, true, true, true}),
              "打印机缺纸、脱机、报告故障、忙。请装好打印纸，按打印机的“联机”键，检查打印机面板上的"
              "故障灯（卡纸、机盖未合上等），稍候，测试页会从中断处继续打印。");
}

// What sits at the path is no printer: refused, and nothing is created or written.
TEST(DevicePrinterPort, OpenRefusesWhatIsNoPrinter) {
    testing::TempDir dir;
    std::ofstream(dir.path() / "file") << "";
    for (const auto& [name, kind, error] : {std::tuple("lp0", Kind::NoDevice, ENOENT),
                                            std::tuple("file", Kind::NotADevice, ENODEV)}) {
        DevicePrinterPort port((dir.path() / name).string());
        try {
            port.open();
            ADD_FAILURE() << "opened " << name;
        } catch (const PortError& failure) {
            EXPECT_EQ(std::tuple(failure.kind(), failure.errorNumber()), std::tuple(kind, error));
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "lp0"));
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "file"), 0u);
}

// A FIFO in place of the device, with a small pipe so that the page goes in pieces. Its read end
// is opened first: the port opens without blocking and would find no reader otherwise.
TEST(DevicePrinterPort, CarriesTheExactPageWritesNowhereOnceClosedAndReportsAGoneReader) {
    testing::TempDir dir;
    const std::string path = dir.path() / "lp0";
    mkfifo(path.c_str(), 0600);
    const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    fcntl(reader, F_SETPIPE_SZ, 4096);
    // Read as a printer would until the port closes; a FIFO hangs up only once a writer has come
    // and gone, so the wait cannot end before the port opens.
    auto received = std::async(std::launch::async, [reader] {
        Bytes data(1 << 16);
        std::size_t size = 0;
        for (pollfd entry{reader, POLLIN, 0}; poll(&entry, 1, 10000) > 0;) {
            const ssize_t n = read(reader, data.data() + size, data.size() - size);
            size += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
            if (n <= 0) {
                break;
            }
        }
        data.resize(size);
        return data;
    });
    DevicePrinterPort port(path);
    testing::EventLog log;
    testing::RecordingPrinter printer(log);
    EXPECT_EQ(runPinTest(NinePin, port, printer), PinTestOutcome::Completed);
    const Bytes page = testing::pageBytes(NinePin), got = received.get();
    EXPECT_TRUE(got == page) << testing::hexDiff(page, got);
    EXPECT_GE(port.writeCalls(), 2u);

    // The run closed the port. The old descriptor's number now belongs to another file; the port
    // must not write there.
    const int other = open((dir.path() / "other").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const Bytes data(100, 0x41);
    EXPECT_THROW(port.write(data, 0ms), PortError);
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "other"), 0u);
    ::close(other);

    port.open();
    EXPECT_EQ(port.write(data, 0ms), data.size());
    ::close(reader);
    try {
        port.write(data, 0ms);
        ADD_FAILURE() << "wrote with no reader";
    } catch (const PortError& error) {
        EXPECT_EQ(std::tuple(error.kind(), error.errorNumber()),
                  std::tuple(Kind::Unplugged, EPIPE));
    }
    // Still alive: SIGPIPE did not end the process, and none is left pending for later.
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

}  // namespace
}  // namespace kestrun
