#include "pintest/print_channel.h"

#include <gtest/gtest.h>

#include "fake_port.h"

namespace kestrun {
namespace {

using testing::RecordingPort;
constexpr int K = RecordingPort::kStall;
constexpr int F = RecordingPort::kFail;
constexpr PortStatus kOffline{.offline = true};

// A page of five lines ending at bytes 6, 18, 28, 38 and 43; three are one record written thrice.
void writePage(PrintChannel& channel) {
    channel.write({{Text{"head"}}, true});
    channel.write({{Text{"ab"}}, false});
    channel.write({{Text{"12345678"}}, true}, 3);
    channel.write({{Text{"end"}}, true});
}

// Progress and stalls (S, once for each) as the user is told them; the user cancels on one.
struct Trace final : SendObserver {
    void note(const std::string& event) {
        log += log.ends_with(event) && event == "S" ? "" : " " + event;
        if (event == cancelAt) {
            stop.request_stop();
        }
    }
    void progress(std::size_t sent, std::size_t total) override {
        EXPECT_EQ(total, 43u);
        note(std::to_string(this->sent = sent));
    }
    void stalled(const std::optional<PortStatus>& status) override {
        EXPECT_EQ(status, kOffline);
        note("S");
    }
    std::string cancelAt;
    std::string log;
    std::size_t sent = 0;  // as last told
    std::stop_source stop;
};

TEST(PrintChannel, SendsAsThePortTakesAndTheUserCancels) {
    using enum SendResult;
    const std::deque<int> kPauses = {8, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0,
                                     8, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0};
    const struct {
        std::deque<int> takes;             // per write: bytes taken at most; K stalls, F fails
        std::deque<int> drains;            // per drained(): 0 not yet; K stalls, F fails
        std::string cancelAt;              // the event the user cancels on; "start" before sending
        std::optional<SendResult> result;  // nothing: PortError
        std::string trace;
    } scenarios[] = {
        // takes all
        {{}, {}, "", Sent, " 0 43"},
        // short writes
        {{5, 5, 1, 20}, {}, "", Sent, " 0 5 10 11 31 43"},
        // pauses of a third of a second between bursts are no stall
        {kPauses, {}, "", Sent, " 0 8 16 24 32 43"},
        // a stall is told, and so is the next one after the port took data again
        {{8, K, 8, K}, {}, "", Sent, " 0 8 S 16 S 43"},
        // cancel while flowing: the line is finished, across lines of one repeated record
        {{30, 4}, {}, "30", StoppedAtLineEnd, " 0 30 34 38"},
        // ... also once the port has got over a stall
        {{8, K, 8}, {}, "16", StoppedAtLineEnd, " 0 8 S 16 18"},
        // cancel on a line end stops there
        {{18}, {}, "18", StoppedAtLineEnd, " 0 18"},
        // cancel before the first byte sends nothing
        {{}, {}, "start", StoppedAtLineEnd, " 0"},
        // cancel while stalled stops at once, though the port would take data next
        {{8, K}, {}, "S", StoppedWhileStalled, " 0 8 S"},
        // not sent until the port has drained, which may stall too
        {{}, {0, K, 0}, "", Sent, " 0 43 S"},
        {{}, {K, 0}, "S", StoppedWhileStalled, " 0 43 S"},
        // a failure the port reports only when draining is an error
        {{}, {0, 0, F}, "", std::nullopt, " 0 43"},
    };
    for (const auto& scenario : scenarios) {
        SCOPED_TRACE(scenario.trace);
        std::chrono::steady_clock::time_point now{};
        testing::EventLog log;
        RecordingPort port(log);
        port.takes = scenario.takes;
        port.drains = scenario.drains;
        port.reportedStatus = kOffline;
        port.idle = [&](auto wait) { now += wait; };
        PrintChannel channel([&] { return now; });
        channel.open(port);
        writePage(channel);
        const Bytes page = channel.pending();
        Trace trace;
        trace.cancelAt = scenario.cancelAt;
        if (scenario.cancelAt == "start") {
            trace.stop.request_stop();
        }
        std::optional<SendResult> result;
        try {
            result = channel.send(&trace, trace.stop.get_token());
        } catch (const PortError& error) {
            EXPECT_EQ(error.kind(), PortError::Kind::Unplugged);
        }
        EXPECT_EQ(result, scenario.result);
        EXPECT_EQ(trace.log, scenario.trace);
        EXPECT_EQ(port.received, Bytes(page.begin(), page.begin() + trace.sent));
        EXPECT_TRUE(result != Sent || port.drains.empty()) << "sent before the port drained";
    }
}

TEST(PrintChannel, KeepsItsOwnRules) {
    testing::EventLog log;
    RecordingPort port(log);
    RecordingPort other(log);
    PrintChannel channel;
    channel.open(port);
    EXPECT_THROW(channel.open(other), ChannelError);
    EXPECT_FALSE(other.isOpen);
    writePage(channel);
    // A record that cannot be encoded leaves nothing of itself behind.
    EXPECT_THROW(channel.write({{Text{"x"}, Text{"😀"}}, true}), EncodingError);
    EXPECT_EQ(channel.pending().size(), 43u);
    channel.close();
    EXPECT_FALSE(port.isOpen);
    EXPECT_THROW(channel.write({{Text{"x"}}, true}), ChannelError);
    EXPECT_THROW(channel.send(nullptr, {}), ChannelError);
}

}  // namespace
}  // namespace kestrun
