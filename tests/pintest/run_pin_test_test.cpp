#include "pintest/run_pin_test.h"

#include "matchers.h"
#include "page_bytes.h"

namespace kestrun::support {
namespace {

using namespace std::chrono_literals;
constexpr int K = RecordingPort::kStall, F = RecordingPort::kFail;
constexpr PortStatus kOffline{.offline = true};

// A scripted port and printer on a steered clock, and what the user is told: progress, and "S"
// once for each stall. The user cancels on the report `cancelAt`.
class PinTestRun : public Test, public PinTestObserver {
protected:
    PinTestRun() {
        port.reportedStatus = kOffline;
        port.idle = [this](auto wait) {
            now += wait;
            waits.push_back(wait);
        };
    }

    void note(const std::string& event) {
        told += told.ends_with(event) && event == "S" ? "" : " " + event;
        if (event == cancelAt) {
            stop.request_stop();
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
    void ejecting() override {
        log.push_back("ejecting");
        note("E");
    }

    EventLog log;
    RecordingPort port{log};
    RecordingPrinter printer{log};
    std::stop_source stop;
    std::chrono::steady_clock::time_point now;
    const PrintChannel::Now clock = [this] { return now; };
    std::vector<std::chrono::milliseconds> waits;  // that the port was given, with nothing taken
    std::string cancelAt, told;
    std::size_t sent = 0, pageSize = 0;  // as last told
};

TEST_F(PinTestRun, ChannelSendsAsThePortTakesAndTheUserCancels) {
    using enum SendResult;
    std::deque<int> pauses;  // bursts with pauses of almost a second: 45 tries of 20 ms
    for (int burst = 0; burst < 3; ++burst) {
        pauses.push_back(10);
        pauses.insert(pauses.end(), 45, 0);
    }
    const struct {
        std::deque<int> takes;             // per write: bytes taken at most; K stalls, F fails
        std::deque<int> drains;            // per drained(): 0 not yet; K stalls, F fails
        std::string cancelAt;              // the report the user cancels on
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
        // in the last line too
        {{6, 10, 10, 10, 3}, {}, "39", StoppedAtLineEnd, " 0 6 16 26 36 39 43"},
        {{6, 10, 10, 10, 3, K}, {}, "S", StoppedWhileStalled, " 0 6 16 26 36 39 S"},
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
        port.received.clear();
        waits.clear();
        told.clear();
        stop = {};
        cancelAt = scenario.cancelAt;
        port.takes = scenario.takes;
        port.drains = scenario.drains;
        PrintChannel channel(port, clock);
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
        } catch (const PortError&) {
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

// A stop once the page is out ends the printer calls where the printer gives up, and the run
// quietly: the page may still be in the printer. (The calls of a run that completes are in the
// windows' transcript, tests/data/commands.txt.)
TEST_F(PinTestRun, AStopWhileEjectingEndsThePrinterCallsQuietly) {
    pageSize = pageBytes(NinePin).size();
    cancelAt = "E";
    EXPECT_EQ(runPinTest(NinePin, port, printer, this, stop.get_token(), clock),
              PinTestOutcome::CancelledWhileEjecting);
    EXPECT_EQ(log, (EventLog{"open", "bytes", "ejecting", "newPage", "close"}));
}

}  // namespace
}  // namespace kestrun::support
