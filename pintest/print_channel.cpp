#include "pintest/print_channel.h"

#include <algorithm>
#include <optional>

namespace kestrun {
namespace {

using std::chrono::milliseconds;

// A cancel is seen between two calls to the port, and a driver takes all it is handed before it
// returns: the parallel port driver strobes a whole page out in one call. So a call never hands
// it more than the rest of the current line, and no more than this, which a slow printer still
// takes within a fraction of a second.
constexpr std::size_t kLargestWrite = 1024;
// How long one try waits for a printer that takes nothing. The parallel port cannot say when the
// printer is ready again, so this is also how late the page may resume; the port itself makes
// sure that each try really waits, so a stalled printer costs no CPU.
constexpr milliseconds kRetryWait{20};
// How often a stalled printer is asked again for its status.
constexpr milliseconds kStatusEvery{250};

class NoObserver final : public SendObserver {
public:
    void progress(std::size_t, std::size_t) override {}
    void stalled(const std::optional<PortStatus>&) override {}
};

// One page on its way to the port: how far it has got, and whether the printer has stalled.
class PageSender {
public:
    PageSender(PrinterPort& port, const Bytes& page, const std::vector<std::size_t>& lineEnds,
               const PrintChannel::Now& now, SendObserver& observer, std::stop_token stop)
        : port_(port),
          page_(page),
          lineEnds_(lineEnds),
          now_(now),
          observer_(observer),
          stop_(std::move(stop)),
          lastTaken_(now_()) {}

    SendResult send() {
        // The size is known before the first byte goes: a printer that takes nothing at all still
        // shows how much is to come.
        observer_.progress(0, page_.size());
        // Where the page ends for this run: all of it until the user asks to stop, then the end
        // of the line in hand (which may be the page's own end).
        std::optional<std::size_t> stopAt;
        while (sent_ < stopAt.value_or(page_.size())) {
            if (!stopAt && stop_.stop_requested()) {
                stopAt = stopPoint();
            } else if (!sendMore(stopAt.value_or(page_.size()))) {
                return SendResult::StoppedWhileStalled;
            }
        }
        // Whatever the port took, it passes on before the channel closes, cut short or not.
        if (!waitUntilDrained()) {
            return SendResult::StoppedWhileStalled;
        }
        return stopAt || stop_.stop_requested() ? SendResult::StoppedAtLineEnd : SendResult::Sent;
    }

private:
    // Offers the port the rest of the line that the next byte belongs to, never past `limit`.
    // False when the user has stopped a printer that stalled.
    bool sendMore(std::size_t limit) {
        const std::size_t end = std::min({lineEndFrom(sent_ + 1), limit, sent_ + kLargestWrite});
        const std::size_t taken = port_.write({page_.data() + sent_, end - sent_}, kRetryWait);
        if (taken == 0) {
            return !stalledAndStopped();
        }
        sent_ += taken;
        lastTaken_ = now_();
        stalled_ = false;
        observer_.progress(sent_, page_.size());
        return true;
    }

    // Some devices report a failed write only later: the page is out only once the port has
    // passed on every byte.
    bool waitUntilDrained() {
        while (!port_.drained(kRetryWait)) {
            if (stalledAndStopped()) {
                return false;
            }
        }
        return true;
    }

    // The first line end at `offset` or after it (the page's end when no line end follows). The
    // line that holds the byte at `offset` ends at lineEndFrom(offset + 1): a line end sits just
    // past its CR LF.
    std::size_t lineEndFrom(std::size_t offset) const {
        const auto end = std::lower_bound(lineEnds_.begin(), lineEnds_.end(), offset);
        return end == lineEnds_.end() ? page_.size() : *end;
    }

    // Where a cancel stops: stopping inside a bit-image command would leave the printer reading
    // text as dots, so at the end of the line being sent, or right here if a line has just been
    // finished; at once before the first byte.
    std::size_t stopPoint() const { return sent_ == 0 ? 0 : lineEndFrom(sent_); }

    // The port took nothing. Once that has lasted long enough, the user is told, with the
    // printer's status, and told again as it changes. True when they have asked to stop then.
    bool stalledAndStopped() {
        const auto now = now_();
        if (now - lastTaken_ < PrintChannel::kStallAfter) {
            return false;
        }
        if (!stalled_ || now - lastTold_ >= kStatusEvery) {
            stalled_ = true;
            lastTold_ = now;
            observer_.stalled(port_.status());
        }
        return stop_.stop_requested();
    }

    PrinterPort& port_;
    const Bytes& page_;
    const std::vector<std::size_t>& lineEnds_;
    const PrintChannel::Now& now_;
    SendObserver& observer_;
    std::stop_token stop_;
    std::size_t sent_ = 0;
    std::chrono::steady_clock::time_point lastTaken_;
    std::chrono::steady_clock::time_point lastTold_;
    bool stalled_ = false;
};

}  // namespace

PrintChannel::PrintChannel(PrinterPort& port, Now now) : port_(port), now_(std::move(now)) {
    port_.open();
}

void PrintChannel::write(const PrintRecord& record, int times) {
    if (times <= 0) {
        return;
    }
    const std::size_t start = buffer_.size();
    encodeRecord(record, buffer_);
    const std::size_t length = buffer_.size() - start;
    for (int copy = 1; copy < times; ++copy) {
        buffer_.insert(buffer_.end(), buffer_.begin() + static_cast<long>(start),
                       buffer_.begin() + static_cast<long>(start + length));
    }
    if (record.lineBreak) {
        for (int i = 0; i < times; ++i) {
            lineEnds_.push_back(start + length * static_cast<std::size_t>(i + 1));
        }
    }
}

SendResult PrintChannel::send(SendObserver* observer, std::stop_token stop) {
    NoObserver nobody;
    const SendResult result =
        PageSender(port_, buffer_, lineEnds_, now_, observer ? *observer : nobody, std::move(stop))
            .send();
    buffer_.clear();
    lineEnds_.clear();
    return result;
}

}  // namespace kestrun
