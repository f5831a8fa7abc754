#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <stop_token>
#include <vector>

#include "pintest/print_record.h"
#include "platform/printer_port.h"

namespace kestrun {

class ChannelError : public Error {
public:
    using Error::Error;
};

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

// The program's output channel 1, bound to the printer port while a test runs. Records written to
// it are encoded at once and held until `send`: a page is a few kilobytes, and holding it whole
// lets a port that takes data at once take the page in one or two system calls.
class PrintChannel {
public:
    static constexpr int kNumber = 1;

    // How long the port may take nothing before the printer counts as stalled.
    static constexpr std::chrono::milliseconds kStallAfter{1000};

    // Where the channel reads the time; a test can hand it one it steers.
    using Now = std::function<std::chrono::steady_clock::time_point()>;

    explicit PrintChannel(Now now = [] { return std::chrono::steady_clock::now(); })
        : now_(std::move(now)) {}
    PrintChannel(const PrintChannel&) = delete;
    PrintChannel& operator=(const PrintChannel&) = delete;
    ~PrintChannel() { close(); }

    // Opens the port and binds it to the channel. Throws ChannelError if the channel is already
    // open (the port is then left alone) and PortError if the port cannot be opened.
    void open(PrinterPort& port);
    bool isOpen() const { return open_.load(); }

    // Encodes the record and adds it to the page, `times` times over. Throws ChannelError when
    // the channel is closed, EncodingError when the record cannot be encoded (nothing of it is
    // kept).
    void write(const PrintRecord& record, int times = 1);

    // The bytes written and not yet sent.
    const Bytes& pending() const { return buffer_; }

    // Sends what is pending, in order, each byte once, and waits until the port has passed it on.
    // Once `stop` is requested, whenever that is, it is never Sent: it stops at the next line end,
    // or at once if the printer has stalled. Throws PortError when the port fails; bytes already
    // sent stay sent.
    SendResult send(SendObserver* observer, std::stop_token stop);

    // Closes the port and drops what was not sent. Closing a closed channel does nothing.
    void close() noexcept;

private:
    Now now_;
    std::atomic<bool> open_{false};
    PrinterPort* port_ = nullptr;
    Bytes buffer_;
    std::vector<std::size_t> lineEnds_;  // offsets just past each CR LF in buffer_
};

// Channel 1 of this program: there is only one.
PrintChannel& channelOne();

}  // namespace kestrun
