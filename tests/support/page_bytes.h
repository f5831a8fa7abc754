#pragma once

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
    Bytes page = channel.pending();
    channel.close();
    return page;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

inline Bytes repeat(const Bytes& part, int times) {
    Bytes out;
    for (int i = 0; i < times; ++i) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

inline Bytes hex(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) {
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

// A hex dump of both sides around the first byte where they differ, for failure messages.
std::string hexDiff(const Bytes& expected, const Bytes& actual);

}  // namespace kestrun::testing
