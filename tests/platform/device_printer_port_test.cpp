#include "platform/linux/device_printer_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>

#include "matchers.h"
#include "scratch_folder.h"

namespace kestrun::support {
namespace {

using namespace std::chrono_literals;
TEST(PortRules, OpenErrorsNameTheirCause) {
    const std::pair<std::vector<int>, const char*> cases[] = {
        {{ENOENT, ENODEV, ENXIO}, "^找不到打印机端口 /dev/lp9"},
        {{EACCES, EPERM, EROFS}, "^没有权限使用打印机端口 /dev/lp9.*lp 组"},
        {{EBUSY}, "^打印机端口 /dev/lp9 正被其他程序使用"},
        {{EIO}, "^无法打开打印机端口 /dev/lp9"},
        {{EISDIR}, "^/dev/lp9 不是打印机端口"},
    };
    for (const auto& [errors, says] : cases) {
        for (const int error : errors) {
            EXPECT_THAT(openFailure("/dev/lp9", error), FailsWith(error, ContainsRegex(says)));
        }
    }
}

// Out of paper and a full buffer are waited out, and so is the parallel port's EIO (offline);
// the rest ends the page: as unplugged where the device went away (the pipe below, and the
// driver tests, show that), otherwise as a failed write.
TEST(PortRules, WriteErrorsAreWaitedOutOrFailPerDevice) {
    using enum DeviceKind;
    using enum WriteStep;
    for (const DeviceKind device : {ParallelPort, UsbPrinter, Pipe}) {
        EXPECT_EQ(writeStepFor(EINTR, device), Retry);
        EXPECT_EQ(writeStepFor(EAGAIN, device), Wait);
        EXPECT_EQ(writeStepFor(ENOSPC, device), Wait);
        EXPECT_EQ(writeStepFor(EIO, device), device == ParallelPort ? Wait : Fail);
        EXPECT_EQ(writeStepFor(EPIPE, device), Fail);
    }
    EXPECT_THAT(writeFailure("/dev/lp9", ENODEV), FailsWith(ENODEV, HasSubstr("断开了连接")));
    EXPECT_THAT(writeFailure("/dev/lp9", EFBIG), FailsWith(EFBIG, HasSubstr("写入失败")));
    // A USB printer has drained once it takes more; an error after the last write is a failure.
    // (What each printer status reads as, the driver tests check on the real drivers.)
    EXPECT_TRUE(drainedFrom("/dev/usb/lp0", POLLOUT) && !drainedFrom("/dev/usb/lp0", 0));
    EXPECT_THROW(drainedFrom("/dev/usb/lp0", POLLOUT | POLLHUP), PortError);
}

// A FIFO in place of the device (the kernel's printer drivers are the driver tests' part). Its
// read end is opened first: the port opens without blocking and would find no reader otherwise.
TEST(DevicePrinterPort, WritesNowhereOnceClosedSurvivesAGoneReaderAndRefusesWhatIsNoPrinter) {
    ScratchFolder dir;
    const std::string path = dir.path / "lp0";
    mkfifo(path.c_str(), 0600);
    std::signal(SIGPIPE, SIG_IGN);  // as the program does
    const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    DevicePrinterPort port(path);
    port.open();
    port.close();

    // The old descriptor's number now belongs to another file; the closed port must not write
    // there.
    const int other = open((dir.path / "other").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::vector<std::uint8_t> data(100, 0x41);
    EXPECT_THROW(port.write(data, 0ms), PortError);
    EXPECT_EQ(std::filesystem::file_size(dir.path / "other"), 0u);
    ::close(other);

    port.open();
    EXPECT_EQ(port.write(data, 0ms), data.size());
    ::close(reader);
    EXPECT_THAT([&] { port.write(data, 0ms); },
                Throws<PortError>(FailsWith(EPIPE, HasSubstr("断开了连接（" + path))));

    // What sits at the path is no printer: refused, no descriptor kept, nothing made or written.
    std::ofstream(dir.path / "file") << "";
    const std::size_t before = openDescriptors();
    for (const auto& [at, error, says] : {std::tuple(dir.path / "lp1", ENOENT, "找不到"),
                                          {dir.path / "file", 0, "普通文件"},
                                          {dir.path, EISDIR, "不是打印机端口"},
                                          {"/dev/null", 0, "不是打印机端口"}}) {
        DevicePrinterPort none(at.string());
        EXPECT_THAT(
            [&] { none.open(); },
            Throws<PortError>(FailsWith(error, AllOf(HasSubstr(at.string()), HasSubstr(says)))));
    }
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_FALSE(std::filesystem::exists(dir.path / "lp1"));
    EXPECT_EQ(std::filesystem::file_size(dir.path / "file"), 0u);
}

}  // namespace
}  // namespace kestrun::support
