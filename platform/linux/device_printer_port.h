#pragma once

#include <optional>
#include <string>

#include "platform/printer_port.h"

namespace kestrun {

// The first parallel printer port on Linux.
inline constexpr const char* kFirstParallelPort = "/dev/lp0";

// The port's decisions over plain numbers, kept apart from the descriptor code so that each can
// be checked without a device.

// The kinds of device the port tells apart: each waits and fails in its own way.
enum class DeviceKind { ParallelPort, UsbPrinter, Pipe };

// What sits at the port's path, from its stat mode and device major; nothing when it is neither
// printer driver nor a pipe (a regular file, or /dev/null, would swallow the page).
std::optional<DeviceKind> deviceKindOf(unsigned mode, unsigned major);

// The error for a port path where something else sits (its stat mode); `error` is errno, or 0.
PortError notAPort(const std::string& path, unsigned mode, int error);

// The error for a failed open of `path` with `error` (errno).
PortError openFailure(const std::string& path, int error);

// What a write that failed with `error` (errno) calls for on this kind of device.
enum class WriteStep { Retry, Wait, Fail };
WriteStep writeStepFor(int error, DeviceKind device);

// The error for a write to `path` that failed for good with `error` (errno).
PortError writeFailure(const std::string& path, int error);

// Whether a USB printer has passed on every byte written, from poll's events for POLLOUT. Throws
// PortError when the device reports an error or has gone away.
bool drainedFrom(const std::string& path, short events);

// The status byte that LPGETSTATUS gives on this kind of device, as the printer's status.
PortStatus portStatusOf(int statusByte, DeviceKind device);

// A printer port on a Linux character device (the parallel port driver, a USB printer) or a pipe.
// It writes without blocking and waits in its own way for each kind of device: the parallel port
// driver cannot be polled, so it sleeps there and hands a slow printer only as much as it takes
// within a call's wait; everything else is polled. A pipe whose reader has gone fails the write
// (Unplugged) where the program ignores SIGPIPE, as Kestrun does; otherwise the signal ends it.
class DevicePrinterPort final : public PrinterPort {
public:
    explicit DevicePrinterPort(std::string path = kFirstParallelPort);
    ~DevicePrinterPort() override;

    std::string name() const override { return path_; }
    void open() override;
    std::size_t write(std::span<const std::uint8_t> data, std::chrono::milliseconds wait) override;
    std::optional<PortStatus> status() override;
    bool drained(std::chrono::milliseconds wait) override;
    void close() noexcept override;

    // How many write calls this port has made since it was created; for measuring.
    unsigned long writeCalls() const { return writeCalls_; }

private:
    std::size_t writeParallel(std::span<const std::uint8_t> data, std::chrono::milliseconds wait);
    // What a write that failed with `error` calls for: true to wait, false to try again at once.
    // Throws PortError when it failed for good.
    bool waitAfter(int error) const;
    // Polls until the device says it takes data; false when the deadline came first.
    bool writableBefore(std::chrono::steady_clock::time_point deadline);

    std::string path_;
    int fd_ = -1;
    DeviceKind device_ = DeviceKind::Pipe;
    unsigned long writeCalls_ = 0;
    std::size_t chunk_ = 0;         // the most the parallel port is handed in one write
    std::optional<bool> abortWas_;  // the parallel port driver's LPABORT before it was opened
};

}  // namespace kestrun
