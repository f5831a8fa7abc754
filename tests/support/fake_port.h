#pragma once

#include <climits>
#include <deque>
#include <functional>
#include <thread>
#include <utility>

#include "pintest/print_channel.h"
#include "platform/system_printer.h"

namespace kestrun::support {

// What the port and the printer were asked to do, in order, in one shared log.
using EventLog = std::vector<std::string>;

// A port in memory that logs its calls and answers as scripted. A write takes at most the next
// step of `takes` bytes, a drained() is the next step of `drains` (0: not yet); a step of kStall
// takes nothing for as long as a stall lasts, kFail throws as unplugged. Once its script runs out
// the port takes everything and has drained.
class RecordingPort final : public PrinterPort {
public:
    static constexpr int kStall = -1, kFail = -2;

    explicit RecordingPort(EventLog& log) : log_(log) {}

    std::optional<PortError> failOpen;
    std::deque<int> takes, drains;
    std::optional<PortStatus> reportedStatus;
    // How a wait with nothing taken passes: really, unless a test steers the time.
    std::function<void(std::chrono::milliseconds)> idle = [](auto w) {
        std::this_thread::sleep_for(w);
    };
    Bytes received;
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
        const std::size_t n = std::min(data.size(), next(takes, wait));
        received.insert(received.end(), data.begin(), data.begin() + static_cast<long>(n));
        if (n > 0 && log_.back() != "bytes") {
            log_.push_back("bytes");
        }
        return n;
    }
    std::optional<PortStatus> status() override { return reportedStatus; }
    bool drained(std::chrono::milliseconds wait) override { return next(drains, wait) > 0; }
    void close() noexcept override {
        if (std::exchange(isOpen, false)) {
            log_.push_back("close");
        }
    }

private:
    std::size_t next(std::deque<int>& script, std::chrono::milliseconds wait) {
        const int step = script.empty() ? INT_MAX : script.front();
        script.erase(script.begin(), script.begin() + (script.empty() ? 0 : 1));
        if (step == kFail) {
            log_.push_back("write failed");
            throw PortError(EIO, "unplugged");
        }
        if (step <= 0) {
            idle(step == kStall ? PrintChannel::kStallAfter : wait);
        }
        return static_cast<std::size_t>(std::max(step, 0));
    }

    EventLog& log_;
};

// A system printer that logs its calls, and fails the one named in `failOn`, or one made once a
// stop is requested.
class RecordingPrinter final : public SystemPrinter {
public:
    explicit RecordingPrinter(EventLog& log) : log_(log) {}

    std::optional<std::string> failOn;

    void newPage(std::stop_token stop) override { call("newPage", stop); }
    void endDocument(std::stop_token stop) override { call("endDocument", stop); }
    void abortDocument() override { call("abortDocument"); }

private:
    void call(const std::string& name, std::stop_token stop = {}) {
        log_.push_back(name);
        if (stop.stop_requested()) {
            throw PrinterError(PrinterError::Kind::Stopped, 0, "stopped");
        }
        if (failOn == name) {
            throw PrinterError(PrinterError::Kind::Failed, 0, "no default printer");
        }
    }

    EventLog& log_;
};

}  // namespace kestrun::support
