#pragma once

#include <gmock/gmock.h>

#include <ostream>
#include <string>

#include "platform/error.h"
#include "platform/printer_port.h"

namespace kestrun {

// How a failed check shows an error and a printer's status.
inline std::ostream& operator<<(std::ostream& out, const Error& error) {
    return out << "error " << error.errorNumber() << " \"" << error.what() << "\"";
}
inline void PrintTo(const PortStatus& s, std::ostream* out) {
    *out << "{" << (s.paperOut ? " paper out" : "") << (s.offline ? " offline" : "")
         << (s.error ? " error" : "") << (s.busy ? " busy" : "") << " }";
}

namespace support {

using namespace ::testing;

// An error with this system error number and a message the matcher takes.
MATCHER_P2(FailsWith, number, message, "is error " + PrintToString(number)) {
    return arg.errorNumber() == number && Matches(message)(std::string(arg.what()));
}

// The same, and of this kind.
MATCHER_P3(FailsAs, kind, number, message, "is of kind " + PrintToString(int(kind))) {
    *result_listener << "of kind " << static_cast<int>(arg.kind());
    return arg.kind() == kind && Matches(FailsWith(number, message))(arg);
}

}  // namespace support
}  // namespace kestrun
