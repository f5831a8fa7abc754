#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/error.h"

namespace kestrun {

// The port failed: it cannot be opened, or the device failed for good while the page was written.
class PortError : public Error {
public:
    using Error::Error;
};

// The printer's status lines as the parallel port reports them, already turned active-high.
struct PortStatus {
    bool paperOut = false;
    bool offline = false;
    bool error = false;
    bool busy = false;

    friend bool operator==(const PortStatus&, const PortStatus&) = default;
};

// The first parallel printer port, written with raw bytes. Not thread-safe: one test run uses it
// at a time, on one thread. The port never blocks for longer than the wait a call is given, so the
// caller stays in charge of progress and cancelling.
class PrinterPort {
public:
    PrinterPort() = default;
    PrinterPort(const PrinterPort&) = delete;
    PrinterPort& operator=(const PrinterPort&) = delete;
    virtual ~PrinterPort() = default;

    // The device's name as the user should see it in messages.
    virtual std::string name() const = 0;

    // Throws PortError when the device cannot be opened; the port is then still closed.
    virtual void open() = 0;

    // Hands the port a leading part of `data`. Returns how many bytes it took; 0 when it took none
    // within `wait` because the printer is not taking data (offline, out of paper, busy). Throws
    // PortError when the device fails for good.
    virtual std::size_t write(std::span<const std::uint8_t> data,
                              std::chrono::milliseconds wait) = 0;

    // The printer's status, or nothing where the device cannot report one.
    virtual std::optional<PortStatus> status() = 0;

    // True once every byte written has left for the printer; waits at most `wait`. Some devices
    // report a failed write only later, so a page is not finished until this is true.
    virtual bool drained(std::chrono::milliseconds wait) = 0;

    // Closing an already closed port does nothing.
    virtual void close() noexcept = 0;
};

}  // namespace kestrun
