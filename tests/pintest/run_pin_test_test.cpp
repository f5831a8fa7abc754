#include "pintest/run_pin_test.h"

#include <gtest/gtest.h>

#include "page_bytes.h"

namespace kestrun {
namespace {

using testing::EventLog;
using testing::RecordingPort;
using testing::RecordingPrinter;

const EventLog kWholeRun = {"open", "bytes", "newPage", "endDocument", "abortDocument", "close"};

TEST(RunPinTest, SendsThePageThenThreePrinterCallsThenCloses) {
    for (const PinTestProfile* profile : {&NinePin, &TwentyFourPin}) {
        EventLog log;
        RecordingPort port(log);
        RecordingPrinter printer(log);
        EXPECT_EQ(runPinTest(*profile, port, printer), PinTestOutcome::Completed);
        EXPECT_EQ(log, kWholeRun);
        EXPECT_TRUE(port.received == testing::pageBytes(*profile));
        EXPECT_FALSE(channelOne().isOpen());
    }
}

TEST(RunPinTest, TwoRunsInARowEachStartAFreshPage) {
    EventLog log;
    RecordingPort port(log);
    RecordingPrinter printer(log);
    runPinTest(TwentyFourPin, port, printer);
    runPinTest(TwentyFourPin, port, printer);
    EventLog twice = kWholeRun;
    twice.insert(twice.end(), kWholeRun.begin(), kWholeRun.end());
    EXPECT_EQ(log, twice);
    const Bytes page = testing::pageBytes(TwentyFourPin);
    EXPECT_TRUE(port.received == testing::concat({page, page}));
}

TEST(RunPinTest, PortThatCannotOpenWritesNothingAndCallsNoPrinter) {
    EventLog log;
    RecordingPort port(log);
    RecordingPrinter printer(log);
    port.failOpen = PortError(PortError::Kind::NoDevice, ENOENT, "no port");
    try {
        runPinTest(NinePin, port, printer);
        FAIL() << "no error";
    } catch (const PortError& error) {
        EXPECT_EQ(error.kind(), PortError::Kind::NoDevice);
        EXPECT_EQ(error.errorNumber(), ENOENT);
    }
    EXPECT_EQ(log, EventLog{"open"});
    EXPECT_TRUE(port.received.empty());
    EXPECT_FALSE(channelOne().isOpen());

    // The failure leaves nothing behind: the next run works.
    port.failOpen.reset();
    log.clear();
    EXPECT_EQ(runPinTest(NinePin, port, printer), PinTestOutcome::Completed);
    EXPECT_EQ(log, kWholeRun);
}

TEST(RunPinTest, WriteFailureMidPageClosesThePortAndCallsNoPrinter) {
    EventLog log;
    RecordingPort port(log);
    RecordingPrinter printer(log);
    port.takeAtMost = 1000;
    port.failAfterBytes = 2500;
    EXPECT_THROW(runPinTest(NinePin, port, printer), PortError);
    EXPECT_EQ(log, (EventLog{"open", "bytes", "write failed", "close"}));
    // What reached the printer stays a true prefix of the page.
    const Bytes page = testing::pageBytes(NinePin);
    ASSERT_EQ(port.received.size(), 2000u);
    EXPECT_TRUE(std::equal(port.received.begin(), port.received.end(), page.begin()));
    EXPECT_FALSE(channelOne().isOpen());
}

TEST(RunPinTest, PrinterFailureStopsTheCallsAndStillClosesThePort) {
    EventLog log;
    RecordingPort port(log);
    RecordingPrinter printer(log);
    printer.failOn = "newPage";
    EXPECT_THROW(runPinTest(TwentyFourPin, port, printer), PrinterError);
    EXPECT_EQ(log, (EventLog{"open", "bytes", "newPage", "close"}));
    EXPECT_FALSE(channelOne().isOpen());
}

TEST(RunPinTest, ChannelAlreadyOpenIsAnErrorThatLeavesThePortAlone) {
    EventLog log;
    RecordingPort other(log);
    channelOne().open(other);
    RecordingPort port(log);
    RecordingPrinter printer(log);
    EXPECT_THROW(runPinTest(NinePin, port, printer), ChannelError);
    EXPECT_EQ(log, EventLog{"open"});  // only the first port's open
    EXPECT_TRUE(channelOne().isOpen());
    channelOne().close();
}

}  // namespace
}  // namespace kestrun
