#include "platform/linux/device_printer_port.h"

#include <fcntl.h>
#include <linux/lp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

namespace kestrun {
namespace {

// Character device majors of the parallel port printer driver and of USB printers.
constexpr unsigned kParallelPortMajor = 6;
constexpr unsigned kUsbPrinterMajor = 180;

// How many bytes the first write to a parallel port may take, before the printer's pace is known:
// a slow printer (a few milliseconds a byte) still returns within a fraction of a second.
constexpr std::size_t kFirstParallelChunk = 4;
// A write is cut short only to keep it within its wait; a fast printer takes lines whole.
constexpr long long kLargestParallelChunk = 4096;
// The shortest pause before a busy parallel port is tried again; it doubles up to the call's wait,
// so a printer that is busy for a moment costs a millisecond, one that stays busy little CPU.
constexpr std::chrono::milliseconds kFirstRetry{1};

}  // namespace

std::optional<DeviceKind> deviceKindOf(unsigned mode, unsigned major) {
    if (S_ISFIFO(mode)) {
        return DeviceKind::Pipe;
    }
    if (S_ISCHR(mode) && major == kParallelPortMajor) {
        return DeviceKind::ParallelPort;
    }
    if (S_ISCHR(mode) && major == kUsbPrinterMajor) {
        return DeviceKind::UsbPrinter;
    }
    return std::nullopt;
}

PortError notAPort(const std::string& path, unsigned mode, int error) {
    if (S_ISREG(mode)) {
        return PortError(error,
                         path +
                             " 不是打印机设备，而是一个普通文件，测试页会写进文件而不会打印出来。"
                             "请删除这个文件，并检查打印机端口。");
    }
    return PortError(error, path +
                                " 不是打印机端口（并口或USB打印机），测试页无法从这里打印出来。"
                                "请检查打印机端口和驱动。");
}

PortError openFailure(const std::string& path, int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return PortError(error,
                             "找不到打印机端口 " + path +
                                 "（第一个并口）：这台电脑没有并口，或者并口驱动没有加载。"
                                 "打印机若接在USB转并口线上，请按说明文件启用随附的 udev 规则。");
        case EACCES:
        case EPERM:
        case EROFS:
            return PortError(error, "没有权限使用打印机端口 " + path +
                                        "。请把当前用户加入 lp 组（sudo usermod -aG lp 用户名），"
                                        "然后注销并重新登录。");
        case EISDIR:
            return notAPort(path, S_IFDIR, error);
        case EBUSY:
            return PortError(
                error, "打印机端口 " + path + " 正被其他程序使用。请等其他程序打印完毕后再测试。");
        default:
            return PortError(error, "无法打开打印机端口 " + path + "（" + systemText(error) +
                                        "）。请检查打印机和电缆后再测试。");
    }
}

WriteStep writeStepFor(int error, DeviceKind device) {
    switch (error) {
        case EINTR:
            return WriteStep::Retry;
        case EAGAIN:
        case ENOSPC:  // the parallel port driver's word for out of paper
            return WriteStep::Wait;
        case EIO:
            // The parallel port driver says EIO while the printer is offline or in error; it
            // takes data again once the user has seen to it.
            return device == DeviceKind::ParallelPort ? WriteStep::Wait : WriteStep::Fail;
        default:
            return WriteStep::Fail;
    }
}

PortError writeFailure(const std::string& path, int error) {
    switch (error) {
        case 0:  // the device hung up without a reason
        case ENODEV:
        case ENXIO:
        case EPIPE:
        case EIO:
        case ESHUTDOWN:
            return PortError(error, "打印过程中打印机断开了连接（" + path +
                                        (error != 0 ? "：" + systemText(error) : "") +
                                        "）。请检查打印机电缆和电源，然后重新测试。");
        default:
            return PortError(error, "向打印机端口 " + path + " 写入失败（" + systemText(error) +
                                        "）。请检查打印机和电缆后再测试。");
    }
}

bool drainedFrom(const std::string& path, short events) {
    if ((events & (POLLERR | POLLHUP)) != 0) {
        throw writeFailure(path, 0);
    }
    return (events & POLLOUT) != 0;
}

PortStatus portStatusOf(int statusByte, DeviceKind device) {
    // Paper out, selected and no error sit in the same bits on both; error and selected read 0
    // when they hold. Only the parallel port has busy, in bit 7, inverted by the port hardware:
    // a USB printer's status never sets that bit.
    return PortStatus{
        .paperOut = (statusByte & LP_POUTPA) != 0,
        .offline = (statusByte & LP_PSELECD) == 0,
        .error = (statusByte & LP_PERRORP) == 0,
        .busy = device == DeviceKind::ParallelPort && (statusByte & LP_PBUSY) == 0,
    };
}

DevicePrinterPort::DevicePrinterPort(std::string path) : path_(std::move(path)) {}

DevicePrinterPort::~DevicePrinterPort() {
    close();
}

void DevicePrinterPort::open() {
    if (fd_ >= 0) {
        return;
    }
    // Never O_CREAT: without the device, a regular file would swallow the page and the test
    // would look like a success. O_NONBLOCK also lets the parallel port driver open a printer
    // that is offline or out of paper, so the user is told its status instead of a bare error.
    int fd;
    do {
        fd = ::open(path_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        throw openFailure(path_, errno);
    }

    struct stat info = {};
    if (fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        throw openFailure(path_, error);
    }
    const auto kind = deviceKindOf(info.st_mode, major(info.st_rdev));
    if (!kind) {
        ::close(fd);
        throw notAPort(path_, info.st_mode, 0);
    }
    device_ = *kind;
    fd_ = fd;
    chunk_ = kFirstParallelChunk;
    // Without LPABORT the parallel port driver sleeps ten seconds inside each write while the
    // printer reports a fault (out of paper, offline, off), holding the port's lock all the
    // while. With it, such a write fails at once. The flag belongs to the device, not to this
    // descriptor: it is given back as it was on close, for the next program that uses the port.
    int flags = 0;
    if (device_ == DeviceKind::ParallelPort && ioctl(fd_, LPGETFLAGS, &flags) == 0) {
        abortWas_ = (flags & LP_ABORT) != 0;
        ioctl(fd_, LPABORT, 1);
    }
}

std::size_t DevicePrinterPort::write(std::span<const std::uint8_t> data,
                                     std::chrono::milliseconds wait) {
    if (data.empty()) {
        return 0;
    }
    if (fd_ < 0) {
        throw PortError(0, "打印机端口 " + path_ + " 没有打开。");
    }
    if (device_ == DeviceKind::ParallelPort) {
        return writeParallel(data, wait);
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    // Polled only once a call: a device that says writable and then refuses the write again (as
    // one that answers "no space" at once does) would turn the wait into a busy loop.
    bool polled = false;
    for (;;) {
        ++writeCalls_;
        const ssize_t written = ::write(fd_, data.data(), data.size());
        if (written > 0) {
            return static_cast<std::size_t>(written);
        }
        if (!waitAfter(written < 0 ? errno : EAGAIN)) {
            continue;
        }
        if (polled || !writableBefore(deadline)) {
            std::this_thread::sleep_until(deadline);
            return 0;
        }
        polled = true;
    }
}

// The parallel port driver cannot be polled (it always says writable) and returns from a write
// only once the printer has taken every byte of it, however slowly: so it is handed no more than
// the printer took in one wait lately, and a refused write is tried again after a pause.
std::size_t DevicePrinterPort::writeParallel(std::span<const std::uint8_t> data,
                                             std::chrono::milliseconds wait) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + wait;
    auto pause = kFirstRetry;
    for (;;) {
        const auto start = Clock::now();
        ++writeCalls_;
        const ssize_t written = ::write(fd_, data.data(), std::min(data.size(), chunk_));
        if (written > 0) {
            using std::chrono::nanoseconds;
            const long long took = std::max<long long>(
                std::chrono::duration_cast<nanoseconds>(Clock::now() - start).count(), 1);
            const long long allowed =
                std::chrono::duration_cast<nanoseconds>(std::max(wait, kFirstRetry)).count();
            // The first byte of a write goes at once, whatever the pace: a write of a few bytes
            // that went fast proves little, so from one the chunk grows at most fourfold.
            const long long most = written < static_cast<long long>(kFirstParallelChunk)
                                       ? 4 * written
                                       : kLargestParallelChunk;
            chunk_ =
                static_cast<std::size_t>(std::clamp<long long>(written * allowed / took, 1, most));
            return static_cast<std::size_t>(written);
        }
        if (!waitAfter(written < 0 ? errno : EAGAIN)) {
            continue;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return 0;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, wait);
    }
}

bool DevicePrinterPort::waitAfter(int error) const {
    switch (writeStepFor(error, device_)) {
        case WriteStep::Retry:
            return false;
        case WriteStep::Wait:
            return true;
        case WriteStep::Fail:
            break;
    }
    throw writeFailure(path_, error);
}

bool DevicePrinterPort::writableBefore(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd entry{fd_, POLLOUT, 0};
    // Errors and hang-ups come back from the next write.
    return left.count() > 0 && poll(&entry, 1, static_cast<int>(left.count())) > 0;
}

std::optional<PortStatus> DevicePrinterPort::status() {
    if (fd_ < 0 || device_ == DeviceKind::Pipe) {
        return std::nullopt;
    }
    int raw = 0;
    if (ioctl(fd_, LPGETSTATUS, &raw) != 0) {
        return std::nullopt;
    }
    return portStatusOf(raw, device_);
}

bool DevicePrinterPort::drained(std::chrono::milliseconds wait) {
    // The parallel port driver returns from a write once the printer has every byte. The USB
    // printer driver takes a write at once and says POLLOUT when the transfer has ended, failed
    // or not; a printer unplugged meanwhile is marked gone only later. So the page is out once
    // the transfer has ended and the printer still answers a status request.
    if (fd_ < 0 || device_ != DeviceKind::UsbPrinter) {
        return true;
    }
    pollfd entry{fd_, POLLOUT, 0};
    if (poll(&entry, 1, static_cast<int>(wait.count())) <= 0 ||
        !drainedFrom(path_, entry.revents)) {
        return false;
    }
    int raw = 0;
    if (ioctl(fd_, LPGETSTATUS, &raw) != 0) {
        throw writeFailure(path_, errno);
    }
    return true;
}

void DevicePrinterPort::close() noexcept {
    if (fd_ >= 0) {
        if (abortWas_) {
            ioctl(fd_, LPABORT, *abortWas_ ? 1 : 0);
            abortWas_.reset();
        }
        // Not retried on EINTR: on Linux the descriptor is gone either way.
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace kestrun
