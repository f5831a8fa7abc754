#include "pintest/run_pin_test.h"

#include <gtest/gtest.h>

#include "page_bytes.h"

namespace kestrun {
namespace {

using testing::EventLog;

class RunPinTestTest : public ::testing::Test, public PinTestObserver {
protected:
    void progress(std::size_t, std::size_t) override {}
    void stalled(const std::optional<PortStatus>&) override { stop.request_stop(); }
    void ejecting() override { log.push_back("ejecting"); }

    // Runs one test and gives the error number it failed with, or -1.
    int run(const PinTestProfile& profile, PinTestOutcome outcome = PinTestOutcome::Completed) {
        port.received.clear();
        log.clear();
        int failure = -1;
        try {
            EXPECT_EQ(runPinTest(profile, port, printer, this, stop.get_token()), outcome);
        } catch (const Error& error) {
            failure = error.errorNumber();
        }
        // Closed whatever happened; only a channel someone else holds stays open.
        EXPECT_EQ(channelOne().isOpen(), failure == EBUSY);
        return failure;
    }

    EventLog log;
    testing::RecordingPort port{log};
    testing::RecordingPrinter printer{log};
    std::stop_source stop;
    const Bytes page = testing::pageBytes(NinePin);
};

TEST_F(RunPinTestTest, RunsInARowEachSendAWholePageThenCallThePrinterThenClose) {
    for (const PinTestProfile* profile : {&NinePin, &TwentyFourPin, &NinePin}) {
        EXPECT_EQ(run(*profile), -1);
        EXPECT_EQ(log, (EventLog{"open", "bytes", "ejecting", "newPage", "endDocument",
                                 "abortDocument", "close"}));
        EXPECT_EQ(port.received, testing::pageBytes(*profile));
    }
}

// A failure ends the run where it happens, bytes sent stay sent, and the port is closed.
TEST_F(RunPinTestTest, FailureStopsAtItsStepAndClosesThePort) {
    port.failOpen = PortError(PortError::Kind::NoDevice, ENOENT, "none");
    EXPECT_EQ(run(NinePin), ENOENT);
    EXPECT_EQ(log, EventLog{"open"});
    port.failOpen.reset();

    port.takes = {1000, 1000, testing::RecordingPort::kFail};
    EXPECT_EQ(run(NinePin), EIO);
    EXPECT_EQ(log, (EventLog{"open", "bytes", "write failed", "close"}));
    EXPECT_EQ(port.received, Bytes(page.begin(), page.begin() + 2000));

    printer.failOn = "newPage";
    EXPECT_EQ(run(NinePin), 0);
    EXPECT_EQ(log, (EventLog{"open", "bytes", "ejecting", "newPage", "close"}));
    EXPECT_EQ(port.received, page);
    printer.failOn = "abortDocument";
    EXPECT_EQ(run(NinePin), 0);
    EXPECT_EQ(log, (EventLog{"open", "bytes", "ejecting", "newPage", "endDocument", "abortDocument",
                             "close"}));

    testing::RecordingPort other(log);
    channelOne().open(other);
    EXPECT_EQ(run(NinePin), EBUSY);  // the channel is someone else's: this port stays shut
    EXPECT_FALSE(port.isOpen);
    channelOne().close();
}

TEST_F(RunPinTestTest, CancelSkipsThePrinterCalls) {
    stop.request_stop();
    EXPECT_EQ(run(NinePin, PinTestOutcome::Cancelled), -1);
    EXPECT_EQ(log, (EventLog{"open", "close"}));

    stop = {};
    port.stallWrites = INT_MAX;  // cancelled once told of the stall, after a second
    EXPECT_EQ(run(NinePin, PinTestOutcome::CancelledWhileStalled), -1);
    EXPECT_EQ(log, (EventLog{"open", "close"}));
}

}  // namespace
}  // namespace kestrun
