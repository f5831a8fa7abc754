#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <stop_token>
#include <vector>

#include "pintest/print_record.h"
#include "platform/printer_port.h"

namespace kestrun {

// Told how sending a page goes. Called on the thread that sends.
class SendObserver {
public:
    virtual ~SendObserver() = default;
    // `sent` of `total` bytes have reached the port.
    virtual void progress(std::size_t sent, std::size_t total) = 0;
    // The port has taken nothing for a while; `status` is what the printer reports, if it can.
    virtual void stalled(const std::optional<PortStatus>& status) = 0;
};

enum class SendResult {
    Sent,                 // every byte reached the port, and the port has passed them on
    StoppedAtLineEnd,     // cancelled; the printer got whole lines only
    StoppedWhileStalled,  // cancelled while the printer took nothing; it may hold half a line
};

// The program's output channel 1, bound to the printer port for as long as it lives: it opens
// the port when made and closes it when gone. Records written to it are encoded at once and held
// until `send`: a page is a few kilobytes, and holding it whole lets each line go to the port in
// one call.
class PrintChannel {
public:
    // How long the port may take nothing before the printer counts as stalled.
    static constexpr std::chrono::milliseconds kStallAfter{1000};

    // Where the channel reads the time; a test can hand it one it steers.
    using Now = std::function<std::chrono::steady_clock::time_point()>;
    static std::chrono::steady_clock::time_point steadyNow() {
        return std::chrono::steady_clock::now();
    }

    // Opens the port; throws PortError if it cannot be opened.
    explicit PrintChannel(PrinterPort& port, Now now = steadyNow);
    PrintChannel(const PrintChannel&) = delete;
    PrintChannel& operator=(const PrintChannel&) = delete;
    ~PrintChannel() { port_.close(); }

    // Encodes the record and adds it to the page, `times` times over. Throws EncodingError when
    // the record cannot be encoded (nothing of it is kept).
    void write(const PrintRecord& record, int times = 1);

    // The bytes written and not yet sent.
    const Bytes& pending() const { return buffer_; }

    // Sends what is pending, in order, each byte once, and waits until the port has passed it on.
    // Once `stop` is requested, whenever that is, it is never Sent: it stops at the next line end,
    // or at once if the printer has stalled. Throws PortError when the port fails; bytes already
    // sent stay sent. What was pending is gone once it returns.
    SendResult send(SendObserver* observer, std::stop_token stop);

private:
    PrinterPort& port_;
    Now now_;
    Bytes buffer_;
    std::vector<std::size_t> lineEnds_;  // offsets just past each CR LF in buffer_
};

}  // namespace kestrun
