#pragma once

#include <cerrno>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/printer_port.h"
#include "platform/system_printer.h"

namespace kestrun::testing {

// What the port and the printer were asked to do, in order, in one shared log.
using EventLog = std::vector<std::string>;

// A port in memory that records every call. It can refuse to open, take only part of each write,
// take nothing for a number of calls, or fail once it has taken a given number of bytes.
class RecordingPort final : public PrinterPort {
public:
    explicit RecordingPort(EventLog& log) : log_(log) {}

    std::optional<PortError> failOpen;
    std::optional<std::size_t> failAfterBytes;  // a write reaching past this many bytes fails
    std::size_t takeAtMost = static_cast<std::size_t>(-1);
    int stallWrites = 0;  // this many writes take nothing before the port takes data again
    std::optional<PortStatus> reportedStatus;

    std::vector<std::uint8_t> received;
    int writeCalls = 0;
    bool isOpen = false;

    std::string name() const override { return "fake"; }

    void open() override {
        log_.push_back("open");
        if (failOpen) {
            throw *failOpen;
        }
        isOpen = true;
    }

    std::size_t write(std::span<const std::uint8_t> data, std::chrono::milliseconds wait) override {
        ++writeCalls;
        if (stallWrites > 0) {
            --stallWrites;
            std::this_thread::sleep_for(wait);  // as a real port waits before it gives up
            return 0;
        }
        std::size_t n = std::min(data.size(), takeAtMost);
        if (failAfterBytes && received.size() + n > *failAfterBytes) {
            log_.push_back("write failed");
            throw PortError(PortError::Kind::Unplugged, EIO, "unplugged");
        }
        received.insert(received.end(), data.begin(), data.begin() + static_cast<long>(n));
        if (log_.empty() || log_.back() != "bytes") {
            log_.push_back("bytes");
        }
        return n;
    }

    std::optional<PortStatus> status() override { return reportedStatus; }
    bool drained(std::chrono::milliseconds) override { return true; }

    void close() noexcept override {
        if (isOpen) {
            log_.push_back("close");
        }
        isOpen = false;
    }

private:
    EventLog& log_;
};

class RecordingPrinter final : public SystemPrinter {
public:
    explicit RecordingPrinter(EventLog& log) : log_(log) {}

    std::optional<std::string> failOn;  // the call that throws, by name

    void newPage() override { call("newPage"); }
    void endDocument() override { call("endDocument"); }
    void abortDocument() override { call("abortDocument"); }

private:
    void call(const std::string& name) {
        log_.push_back(name);
        if (failOn == name) {
            throw PrinterError(PrinterError::Kind::NoDefaultPrinter, 0, "no default printer");
        }
    }

    EventLog& log_;
};

}  // namespace kestrun::testing
