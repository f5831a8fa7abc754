#include "pintest/run_pin_test.h"

#include <gmock/gmock.h>

#include "matchers.h"
#include "page_bytes.h"

namespace kestrun {
namespace {

using namespace std::chrono_literals;
using support::EventLog;
using ::testing::AllOf;
using ::testing::AnyOf;
using ::testing::Each;
using ::testing::Ge;
using ::testing::Le;
constexpr int K = support::RecordingPort::kStall;
constexpr int F = support::RecordingPort::kFail;
constexpr PortStatus kOffline{.offline = true};

// A scripted port and printer, and what the user is told: progress and stalls (S, once for each)
// in `told`, and the page's size, which every report must give. The user cancels on `cancelAt`.
class PinTestRun : public ::testing::Test, public PinTestObserver {
protected:
    PinTestRun() {
        port.reportedStatus = kOffline;
        port.idle = [this](auto wait) { now += wait; };
    }

    void note(const std::string& event) {
        told += told.ends_with(event) && event == "S" ? "" : " " + event;
        if (event == cancelAt) {
            stop.request_stop();
        }
        if (during) {
            std::exchange(during, nullptr)();
        }
    }
    void progress(std::size_t sent, std::size_t total) override {
        EXPECT_EQ(total, pageSize);
        note(std::to_string(this->sent = sent));
    }
    void stalled(const std::optional<PortStatus>& status) override {
        EXPECT_EQ(status, kOffline);
        note("S");
    }
    void ejecting() override { log.push_back("ejecting"); }

    // Runs one test afresh, on the steered clock, and gives the number of the error it failed
    // with, or -1. Whatever happened, the port is closed.
    int run(const PinTestProfile& profile = NinePin) {
        log.clear();
        port.received.clear();
        pageSize = support::pageBytes(profile).size();
        int error = -1;
        try {
            outcome =
                runPinTest(profile, port, printer, this, stop.get_token(), [this] { return now; });
        } catch (const Error& failure) {
            error = failure.errorNumber();
        }
        EXPECT_FALSE(port.isOpen);
        return error;
    }

    EventLog log;
    support::RecordingPort port{log};
    support::RecordingPrinter printer{log};
    std::stop_source stop;
    std::chrono::steady_clock::time_point now;
    std::function<void()> during;  // done once, at the next report
    std::string cancelAt;
    std::string told;
    std::size_t sent = 0;  // as last told
    std::size_t pageSize = 0;
    std::optional<PinTestOutcome> outcome;
};

// The send loop on a steered clock: the port takes as scripted, the user cancels as told.
TEST_F(PinTestRun, ChannelSendsAsThePortTakesAndTheUserCancels) {
    using enum SendResult;
    // Bursts with pauses of almost a second between them (each 0 is one try of the port).
    std::deque<int> pauses;
    for (int burst = 0; burst < 3; ++burst) {
        pauses.push_back(10);
        pauses.insert(pauses.end(), 45, 0);
    }
    const struct {
        std::deque<int> takes;             // per write: bytes taken at most; K stalls, F fails
        std::deque<int> drains;            // per drained(): 0 not yet; K stalls, F fails
        std::string cancelAt;              // the progress or stall the user cancels on
        std::optional<SendResult> result;  // nothing: PortError
        std::string told;
    } scenarios[] = {
        // takes all, a line at a time
        {{}, {}, "", Sent, " 0 6 16 26 36 43"},
        // short writes
        {{5, 5, 1, 20}, {}, "", Sent, " 0 5 6 7 16 26 36 43"},
        // pauses of almost a second between bursts are no stall
        {pauses, {}, "", Sent, " 0 6 16 26 36 43"},
        // a stall is told, and so is the next one after the port took data again
        {{8, K, 8, K}, {}, "", Sent, " 0 6 S 14 S 16 26 36 43"},
        // cancel while flowing: the line is finished, across lines of one repeated record
        {{6, 10, 3, 4}, {}, "19", StoppedAtLineEnd, " 0 6 16 19 23 26"},
        // ... also once the port has got over a stall
        {{6, K, 4}, {}, "10", StoppedAtLineEnd, " 0 6 S 10 16"},
        // cancel on a line end stops there; before the first byte, nothing is sent
        {{}, {}, "16", StoppedAtLineEnd, " 0 6 16"},
        {{}, {}, "0", StoppedAtLineEnd, " 0"},
        // once the whole page is out, a cancel still stops before the printer is called
        {{}, {0, 0}, "43", StoppedAtLineEnd, " 0 6 16 26 36 43"},
        // cancel while stalled stops at once, though the port would take data next
        {{8, K}, {}, "S", StoppedWhileStalled, " 0 6 S"},
        // not sent until the port has drained, which may stall too, also after a cancel
        {{}, {0, K, 0}, "", Sent, " 0 6 16 26 36 43 S"},
        {{6, 10, 3}, {0, 0}, "19", StoppedAtLineEnd, " 0 6 16 19 26"},
        {{}, {K, 0}, "S", StoppedWhileStalled, " 0 6 16 26 36 43 S"},
        // a failure the port reports only when draining is an error
        {{}, {0, 0, F}, "", std::nullopt, " 0 6 16 26 36 43"},
    };
    pageSize = 43;
    for (const auto& scenario : scenarios) {
        SCOPED_TRACE(scenario.told);
        port.takes = scenario.takes;
        port.drains = scenario.drains;
        port.received.clear();
        cancelAt = scenario.cancelAt;
        told.clear();
        stop = {};
        std::vector<std::chrono::milliseconds> waits;
        port.idle = [&](auto wait) {
            now += wait;
            waits.push_back(wait);
        };
        PrintChannel channel(port, [&] { return now; });
        // Five lines ending at bytes 6, 16, 26, 36 and 43: three are one record written three
        // times, and the last is two records.
        channel.write({{Text{"head"}}, true});
        channel.write({{Text{"12345678"}}, true}, 3);
        channel.write({{Text{"ab"}}, false});
        channel.write({{Text{"end"}}, true});
        const Bytes page = channel.pending();
        std::optional<SendResult> result;
        try {
            result = channel.send(this, stop.get_token());
        } catch (const PortError& error) {
            EXPECT_EQ(error.kind(), PortError::Kind::Unplugged);
        }
        EXPECT_EQ(result, scenario.result);
        EXPECT_EQ(told, scenario.told);
        EXPECT_EQ(port.received, Bytes(page.begin(), page.begin() + sent));
        EXPECT_TRUE(result == StoppedWhileStalled || !result || port.drains.empty())
            << "ended before the port drained";
        // A printer that takes data again is offered the page within 20 ms; one that stalls is
        // asked no more than a hundred times a second.
        EXPECT_THAT(waits, Each(AnyOf(PrintChannel::kStallAfter, AllOf(Ge(10ms), Le(20ms)))));
    }
}

// A failure ends the run at its step, bytes sent stay sent, and the port is closed; the next run
// is whole again, and between runs channel 1 takes nothing. A cancelled run skips the printer.
TEST_F(PinTestRun, FailureOrCancelStopsAtItsStepClosesThePortAndTheNextRunIsWhole) {
    port.failOpen = PortError(PortError::Kind::NoDevice, ENOENT, "none");
    EXPECT_EQ(run(), ENOENT);
    EXPECT_EQ(log, EventLog{"open"});
    port.failOpen.reset();

    port.takes = {1000, 1000, F};
    EXPECT_EQ(run(), EIO);
    EXPECT_EQ(log, (EventLog{"open", "bytes", "write failed", "close"}));
    const Bytes page = support::pageBytes(NinePin);
    EXPECT_EQ(port.received, Bytes(page.begin(), page.begin() + 30));  // the reset and the heading

    printer.failOn = "newPage";
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(log, (EventLog{"open", "bytes", "ejecting", "newPage", "close"}));
    EXPECT_EQ(port.received, page);
    printer.failOn = "abortDocument";
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(log, (EventLog{"open", "bytes", "ejecting", "newPage", "endDocument", "abortDocument",
                             "close"}));
    printer.failOn.reset();
    EXPECT_EQ(run(TwentyFourPin), -1);
    EXPECT_EQ(outcome, PinTestOutcome::Completed);
    EXPECT_EQ(port.received, support::pageBytes(TwentyFourPin));

    for (const PinTestOutcome cancelled :
         {PinTestOutcome::Cancelled, PinTestOutcome::CancelledWhileStalled}) {
        cancelAt = cancelled == PinTestOutcome::Cancelled ? "0" : "S";
        stop = {};
        port.takes = {K};  // told of the stall after a second
        EXPECT_EQ(run(), -1);
        EXPECT_EQ(outcome, cancelled);
        EXPECT_EQ(log, (EventLog{"open", "close"}));
    }

    // While a run holds channel 1, a second is refused and its port stays shut.
    support::RecordingPort other(log);
    std::optional<ChannelError> refused;
    during = [&] {
        try {
            runPinTest(NinePin, other, printer);
        } catch (const ChannelError& error) {
            refused = error;
        }
    };
    cancelAt.clear();
    stop = {};
    EXPECT_EQ(run(), -1);
    EXPECT_THAT(refused,
                ::testing::Optional(support::FailsWith(0, ::testing::HasSubstr("上一次测试"))));
    EXPECT_EQ(log, (EventLog{"open", "bytes", "ejecting", "newPage", "endDocument", "abortDocument",
                             "close"}));
}

}  // namespace
}  // namespace kestrun
