#pragma once

#include <string>

#include "platform/printer_port.h"

namespace kestrun {

// The first parallel printer port on Linux.
inline constexpr const char* kFirstParallelPort = "/dev/lp0";

// A printer port on a Linux character device (the parallel port driver, a USB printer) or a pipe.
// It writes without blocking and waits in its own way for each kind of device: the parallel port
// driver cannot be polled, so it sleeps there; everything else is polled.
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
    enum class Device { ParallelPort, UsbPrinter, Other };

    void waitWritable(std::chrono::milliseconds wait);
    [[noreturn]] void failWrite(int error);

    std::string path_;
    int fd_ = -1;
    Device device_ = Device::Other;
    unsigned long writeCalls_ = 0;
};

}  // namespace kestrun
