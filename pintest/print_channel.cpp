#include "pintest/print_channel.h"

#include <algorithm>
#include <cerrno>

namespace kestrun {
namespace {

using std::chrono::milliseconds;

// Small chunks keep the progress moving on a slow printer; a page still fits in one or two.
constexpr std::size_t kChunk = 8192;
// A printer that pauses while its head moves takes data again within milliseconds; one that is
// offline may take minutes. Back off from the first to the second, so a stalled port costs no CPU
// and a cancel is still seen within a quarter of a second.
constexpr milliseconds kFirstWait{10};
constexpr milliseconds kLongestWait{250};

class NoObserver final : public SendObserver {
public:
    void progress(std::size_t, std::size_t) override {}
    void stalled(const std::optional<PortStatus>&) override {}
};

milliseconds backOff(milliseconds wait) {
    return std::min(wait * 2, kLongestWait);
}

}  // namespace

void PrintChannel::open(PrinterPort& port) {
    if (open_.exchange(true)) {
        throw ChannelError(EBUSY, "输出通道 1 已经打开：上一次测试还没有结束。");
    }
    try {
        port.open();
    } catch (...) {
        open_ = false;
        throw;
    }
    port_ = &port;
    buffer_.reserve(kChunk);
}

void PrintChannel::write(const PrintRecord& record, int times) {
    if (!isOpen()) {
        throw ChannelError(EBADF, "输出通道 1 没有打开。");
    }
    if (times <= 0) {
        return;
    }
    // A bit-image line is the same record hundreds of times: encode it once, then double the
    // copies until there are enough (each copy reads only bytes already in place).
    const std::size_t start = buffer_.size();
    encodeRecord(record, buffer_);
    const std::size_t length = buffer_.size() - start;
    const std::size_t total = length * static_cast<std::size_t>(times);
    buffer_.resize(start + total);
    for (std::size_t filled = length; filled < total;) {
        const std::size_t n = std::min(filled, total - filled);
        std::copy_n(buffer_.begin() + static_cast<long>(start), n,
                    buffer_.begin() + static_cast<long>(start + filled));
        filled += n;
    }
    if (record.lineBreak) {
        for (int i = 0; i < times; ++i) {
            lineEnds_.push_back(start + length * static_cast<std::size_t>(i + 1));
        }
    }
}

SendResult PrintChannel::send(SendObserver* observer, std::stop_token stop) {
    if (!isOpen()) {
        throw ChannelError(EBADF, "输出通道 1 没有打开。");
    }
    NoObserver nobody;
    if (observer == nullptr) {
        observer = &nobody;
    }
    struct Forget {
        PrintChannel& channel;
        ~Forget() {
            channel.buffer_.clear();
            channel.lineEnds_.clear();
        }
    } forget{*this};

    const std::size_t total = buffer_.size();
    std::size_t sent = 0;
    std::size_t limit = total;  // the page's end, or after a cancel the end of the current line
    bool cutting = false;
    bool stalled = false;
    milliseconds wait = kFirstWait;
    auto lastProgress = now_();

    // True when the port has taken nothing for long enough to tell the user.
    auto noteStall = [&] {
        if (now_() - lastProgress < kStallAfter) {
            return false;
        }
        stalled = true;
        observer->stalled(port_->status());
        return true;
    };

    // The size is known before the first byte goes: a printer that takes nothing at all still
    // shows how much is to come.
    observer->progress(0, total);
    while (sent < limit) {
        if (!cutting && stop.stop_requested()) {
            cutting = true;
            if (stalled) {
                return SendResult::StoppedWhileStalled;
            }
            // Stopping inside a bit-image command would leave the printer reading text as dots.
            const auto end = std::lower_bound(lineEnds_.begin(), lineEnds_.end(), sent);
            limit = sent == 0 || end == lineEnds_.end() ? sent : *end;
            continue;
        }
        const std::size_t taken =
            port_->write({buffer_.data() + sent, std::min(limit - sent, kChunk)}, wait);
        if (taken > 0) {
            sent += taken;
            wait = kFirstWait;
            lastProgress = now_();
            stalled = false;
            observer->progress(sent, total);
            continue;
        }
        if (noteStall() && cutting) {
            return SendResult::StoppedWhileStalled;
        }
        wait = backOff(wait);
    }
    if (cutting) {
        return SendResult::StoppedAtLineEnd;
    }

    // Some devices report a failed write only later: the page is out only once the port has
    // passed on every byte.
    wait = kFirstWait;
    while (!port_->drained(wait)) {
        if (noteStall() && stop.stop_requested()) {
            return SendResult::StoppedWhileStalled;
        }
        wait = backOff(wait);
    }
    return SendResult::Sent;
}

void PrintChannel::close() noexcept {
    if (port_ != nullptr) {
        port_->close();
        port_ = nullptr;
    }
    buffer_.clear();
    lineEnds_.clear();
    open_ = false;
}

PrintChannel& channelOne() {
    static PrintChannel channel;
    return channel;
}

}  // namespace kestrun
