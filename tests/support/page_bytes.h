#pragma once

#include <algorithm>
#include <cstdio>
#include <string>

#include "fake_port.h"
#include "pintest/pin_test_page.h"
#include "pintest/print_channel.h"

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

// Both sides in hex from a little before the first byte where they differ, for failure messages.
inline std::string hexDiff(const Bytes& expected, const Bytes& actual) {
    const std::size_t at =
        std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end()).first -
        expected.begin();
    std::string out = "first difference at byte " + std::to_string(at);
    for (const Bytes* side : {&expected, &actual}) {
        out += side == &expected ? "\nexpected:" : "\nactual:  ";
        for (std::size_t i = at - std::min<std::size_t>(at, 16); i < side->size() && i < at + 32;
             ++i) {
            char cell[8];
            std::snprintf(cell, sizeof cell, "%c%02x", i == at ? '>' : ' ', (*side)[i]);
            out += cell;
        }
        out += " (" + std::to_string(side->size()) + " bytes)";
    }
    return out;
}

}  // namespace kestrun::testing
