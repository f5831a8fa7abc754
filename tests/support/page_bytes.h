#pragma once

#include <algorithm>
#include <iomanip>
#include <sstream>
#include <string>

#include "fake_port.h"
#include "pintest/pin_test_page.h"

namespace kestrun::testing {

// The page exactly as writePinTestPage hands it to a channel.
inline Bytes pageBytes(const PinTestProfile& profile) {
    EventLog log;
    RecordingPort port(log);
    PrintChannel channel;
    channel.open(port);
    writePinTestPage(channel, profile);
    return channel.pending();
}

// Both sides in hex from the first byte where they differ, for failure messages.
inline std::string hexDiff(const Bytes& expected, const Bytes& actual) {
    const std::size_t at =
        std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end()).first -
        expected.begin();
    std::ostringstream out;
    out << "first difference at byte " << at << " (" << expected.size() << " expected, "
        << actual.size() << " got):" << std::hex << std::setfill('0');
    for (const Bytes* side : {&expected, &actual}) {
        out << (side == &expected ? "\nexpected:" : "\ngot:     ");
        for (std::size_t i = at; i < std::min(side->size(), at + 32); ++i) {
            out << ' ' << std::setw(2) << int{(*side)[i]};
        }
    }
    return out.str();
}

}  // namespace kestrun::testing
