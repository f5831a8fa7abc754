#pragma once

#include <string>

#include "fake_port.h"
#include "pintest/pin_test_page.h"

namespace kestrun::support {

// The page exactly as writePinTestPage hands it to a channel.
inline Bytes pageBytes(const PinTestProfile& profile) {
    EventLog log;
    RecordingPort port(log);
    PrintChannel channel(port);
    writePinTestPage(channel, profile);
    return channel.pending();
}

// Bytes as a string, which a failed EXPECT_EQ shows escaped, as a diff by printed line.
inline std::string text(const Bytes& bytes) {
    return {bytes.begin(), bytes.end()};
}

}  // namespace kestrun::support
