#pragma once

#include <algorithm>
#include <cstdio>
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
    char head[128];
    std::snprintf(head, sizeof head, "first difference at byte %zu (%zu expected, %zu got):", at,
                  expected.size(), actual.size());
    std::string out = head;
    for (const Bytes* side : {&expected, &actual}) {
        out += side == &expected ? "\nexpected:" : "\ngot:     ";
        for (std::size_t i = at; i < side->size() && i < at + 32; ++i) {
            std::snprintf(head, sizeof head, " %02x", (*side)[i]);
            out += head;
        }
    }
    return out;
}

}  // namespace kestrun::testing
