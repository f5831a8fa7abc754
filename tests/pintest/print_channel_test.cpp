#include "pintest/print_channel.h"

#include <gtest/gtest.h>

#include "page_bytes.h"

namespace kestrun {
namespace {

using testing::EventLog;
using testing::RecordingPort;

// Sending, stalls and cancelling are tested on real FIFOs beside the device port; these are the
// channel's own rules.
class PrintChannelTest : public ::testing::Test {
protected:
    PrintChannelTest() {
        channel.open(port);
        writePinTestPage(channel, NinePin);
    }

    EventLog log;
    RecordingPort port{log};
    PrintChannel channel;
};

TEST_F(PrintChannelTest, CancelBeforeAnythingIsSentSendsNothing) {
    std::stop_source stop;
    stop.request_stop();
    EXPECT_EQ(channel.send(nullptr, stop.get_token()), SendResult::StoppedAtLineEnd);
    EXPECT_TRUE(port.received.empty());
}

TEST_F(PrintChannelTest, OpeningTwiceIsAnErrorThatLeavesTheOtherPortAlone) {
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
    const Bytes page = channel.pending();
    EXPECT_THROW(channel.write(PrintRecord{{Text{"😀"}}, true}), EncodingError);
    EXPECT_TRUE(channel.pending() == page);
}

}  // namespace
}  // namespace kestrun
