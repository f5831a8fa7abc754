#include "pintest/print_channel.h"

#include <gtest/gtest.h>

#include "page_bytes.h"

namespace kestrun {
namespace {

using testing::EventLog;
using testing::RecordingPort;

// Records what the channel reports, and cancels once the page has got as far as `cancelAt`.
class Watcher final : public SendObserver {
public:
    explicit Watcher(std::stop_source& stop) : stop_(stop) {}

    std::size_t cancelAt = static_cast<std::size_t>(-1);
    std::vector<std::size_t> sent;
    std::vector<std::optional<PortStatus>> stalls;

    void progress(std::size_t done, std::size_t total) override {
        EXPECT_TRUE(sent.empty() || done > sent.back());
        EXPECT_LE(done, total);
        sent.push_back(done);
        if (done >= cancelAt) {
            stop_.request_stop();
        }
    }
    void stalled(const std::optional<PortStatus>& status) override { stalls.push_back(status); }

private:
    std::stop_source& stop_;
};

class PrintChannelTest : public ::testing::Test {
protected:
    PrintChannelTest() {
        channel.open(port);
        writePinTestPage(channel, NinePin);
        page = channel.pending();
    }

    bool isLineEnd(std::size_t offset) const {
        return offset >= 2 && page[offset - 2] == '\r' && page[offset - 1] == '\n';
    }
    bool receivedPrefix() const {
        return std::equal(port.received.begin(), port.received.end(), page.begin());
    }

    EventLog log;
    RecordingPort port{log};
    PrintChannel channel;
    Bytes page;
    std::stop_source stop;
    Watcher watcher{stop};
};

TEST_F(PrintChannelTest, ShortWritesDeliverEveryByteOnceInOrder) {
    port.takeAtMost = 7;
    EXPECT_EQ(channel.send(&watcher, stop.get_token()), SendResult::Sent);
    EXPECT_TRUE(port.received == page);
    EXPECT_EQ(watcher.sent.back(), page.size());
    EXPECT_TRUE(channel.pending().empty());
}

TEST_F(PrintChannelTest, CancelWhileFlowingStopsAtTheEndOfTheCurrentLine) {
    port.takeAtMost = 100;
    watcher.cancelAt = 1000;  // inside the line of pin 2
    EXPECT_EQ(channel.send(&watcher, stop.get_token()), SendResult::StoppedAtLineEnd);
    EXPECT_EQ(port.received.size(), 77u + 2 * 619);
    EXPECT_TRUE(receivedPrefix());
    EXPECT_TRUE(isLineEnd(port.received.size()));
}

TEST_F(PrintChannelTest, CancelBeforeAnythingIsSentSendsNothing) {
    stop.request_stop();
    EXPECT_EQ(channel.send(&watcher, stop.get_token()), SendResult::StoppedAtLineEnd);
    EXPECT_TRUE(port.received.empty());
}

TEST_F(PrintChannelTest, StallIsReportedWithStatusAndThePageGoesOnAfterIt) {
    port.takeAtMost = 500;
    port.stallWrites = 12;  // 10 + 20 + ... ms: well past the stall threshold
    port.reportedStatus = PortStatus{.paperOut = true};
    EXPECT_EQ(channel.send(&watcher, stop.get_token()), SendResult::Sent);
    ASSERT_FALSE(watcher.stalls.empty());
    EXPECT_EQ(watcher.stalls.front(), PortStatus{.paperOut = true});
    EXPECT_TRUE(port.received == page);
}

TEST_F(PrintChannelTest, CancelWhileStalledStopsAtOnce) {
    // The user cancels in the middle of a line, and then the printer stops taking data: the
    // channel must not wait for a line end that may never come.
    struct CancelThenStall final : SendObserver {
        RecordingPort& port;
        std::stop_source& stop;
        int stalls = 0;
        CancelThenStall(RecordingPort& p, std::stop_source& s) : port(p), stop(s) {}
        void progress(std::size_t, std::size_t) override {
            stop.request_stop();
            port.stallWrites = 1000;
        }
        void stalled(const std::optional<PortStatus>&) override { ++stalls; }
    } observer(port, stop);
    port.takeAtMost = 1000;
    EXPECT_EQ(channel.send(&observer, stop.get_token()), SendResult::StoppedWhileStalled);
    EXPECT_EQ(port.received.size(), 1000u);
    EXPECT_FALSE(isLineEnd(1000));
    EXPECT_EQ(observer.stalls, 1);
}

TEST_F(PrintChannelTest, OpeningTwiceIsAnError) {
    RecordingPort other(log);
    EXPECT_THROW(channel.open(other), ChannelError);
    EXPECT_FALSE(other.isOpen);
    EXPECT_TRUE(channel.isOpen());
}

TEST_F(PrintChannelTest, ClosedChannelTakesNoRecords) {
    channel.close();
    EXPECT_FALSE(port.isOpen);
    EXPECT_THROW(channel.write(PrintRecord{{Text{"x"}}, true}), ChannelError);
    EXPECT_THROW(channel.send(nullptr, {}), ChannelError);
    channel.close();  // a second close does nothing
}

TEST_F(PrintChannelTest, RecordThatCannotBeEncodedLeavesThePageAsItWas) {
    EXPECT_THROW(channel.write(PrintRecord{{Text{"😀"}}, true}), EncodingError);
    EXPECT_TRUE(channel.pending() == page);
}

}  // namespace
}  // namespace kestrun
