#include "platform/linux/device_printer_port.h"

#include <fcntl.h>
#include <linux/lp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <utility>

namespace kestrun {
namespace {

// Character device majors of the parallel port printer driver and of USB printers.
constexpr unsigned kParallelPortMajor = 6;
constexpr unsigned kUsbPrinterMajor = 180;

// A pipe whose reader has gone raises SIGPIPE, which would end the whole program. Hold the
// signal back for this thread around the write and swallow the one the write raised, so the
// write's EPIPE comes back as an error instead.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~SigpipeGuard() {
        // The write's errno is what the caller reads next; sigtimedwait sets its own.
        const int writeError = errno;
        if (!wasPending_) {
            const timespec none{0, 0};
            while (sigtimedwait(&pipe_, nullptr, &none) == -1 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
        errno = writeError;
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t pipe_;
    sigset_t old_;
    bool wasPending_ = false;
};

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
        return PortError(PortError::Kind::NotADevice, error,
                         path +
                             " 不是打印机设备，而是一个普通文件，测试页会写进文件而不会打印出来。"
                             "请删除这个文件，并检查打印机端口。");
    }
    return PortError(PortError::Kind::NotADevice, error,
                     path +
                         " 不是打印机端口（并口或USB打印机），测试页无法从这里打印出来。"
                         "请检查打印机端口和驱动。");
}

PortError openFailure(const std::string& path, int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return PortError(PortError::Kind::NoDevice, error,
                             "找不到打印机端口 " + path +
                                 "（第一个并口）：这台电脑没有并口，或者并口驱动没有加载。"
                                 "打印机若接在USB转并口线上，请按说明文件启用随附的 udev 规则。");
        case EACCES:
        case EPERM:
        case EROFS:
            return PortError(PortError::Kind::PermissionDenied, error,
                             "没有权限使用打印机端口 " + path +
                                 "。请把当前用户加入 lp 组（sudo usermod -aG lp 用户名），"
                                 "然后注销并重新登录。");
        case EISDIR:
            return notAPort(path, S_IFDIR, error);
        case EBUSY:
            return PortError(
                PortError::Kind::Busy, error,
                "打印机端口 " + path + " 正被其他程序使用。请等其他程序打印完毕后再测试。");
        default:
            return PortError(PortError::Kind::IoError, error,
                             "无法打开打印机端口 " + path + "（" + systemText(error) +
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
            return PortError(PortError::Kind::Unplugged, error,
                             "打印过程中打印机断开了连接（" + path +
                                 (error != 0 ? "：" + systemText(error) : "") +
                                 "）。请检查打印机电缆和电源，然后重新测试。");
        default:
            return PortError(PortError::Kind::IoError, error,
                             "向打印机端口 " + path + " 写入失败（" + systemText(error) +
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
    const auto kind =
        fstat(fd, &info) == 0 ? deviceKindOf(info.st_mode, major(info.st_rdev)) : std::nullopt;
    if (!kind) {
        ::close(fd);
        throw notAPort(path_, info.st_mode, 0);
    }
    device_ = *kind;
    fd_ = fd;
}

std::size_t DevicePrinterPort::write(std::span<const std::uint8_t> data,
                                     std::chrono::milliseconds wait) {
    if (data.empty()) {
        return 0;
    }
    if (fd_ < 0) {
        throw PortError(PortError::Kind::IoError, 0, "打印机端口 " + path_ + " 没有打开。");
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    // The parallel port driver has no poll: it would always say writable. Other devices are
    // polled, but only once a call: one that says writable and then refuses the write again
    // (as a device that answers "no space" at once does) would turn the wait into a busy loop.
    bool pollable = device_ != DeviceKind::ParallelPort;
    for (;;) {
        ssize_t written;
        {
            SigpipeGuard guard;
            ++writeCalls_;
            written = ::write(fd_, data.data(), data.size());
        }
        if (written > 0) {
            return static_cast<std::size_t>(written);
        }
        const int error = written < 0 ? errno : EAGAIN;
        switch (writeStepFor(error, device_)) {
            case WriteStep::Retry:
                continue;
            case WriteStep::Wait:
                break;
            case WriteStep::Fail:
                throw writeFailure(path_, error);
        }
        if (!std::exchange(pollable, false) || !writableBefore(deadline)) {
            std::this_thread::sleep_until(deadline);
            return 0;
        }
    }
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
        // Not retried on EINTR: on Linux the descriptor is gone either way.
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace kestrun
