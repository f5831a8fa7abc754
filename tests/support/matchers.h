#pragma once

#include <gmock/gmock.h>

#include <ostream>
#include <string>

#include "platform/error.h"
#include "platform/printer_port.h"

namespace kestrun {

// How a failed check shows an error.
inline std::ostream& operator<<(std::ostream& out, const Error& error) {
    return out << "error " << error.errorNumber() << " \"" << error.what() << "\"";
}

// How a failed check shows a printer's status.
inline void PrintTo(const PortStatus& status, std::ostream* out) {
    *out << "{" << (status.paperOut ? " paper out" : "") << (status.offline ? " offline" : "")
         << (status.error ? " error" : "") << (status.busy ? " busy" : "") << " }";
}

namespace support {

using ::testing::AllOf;
using ::testing::ContainsRegex;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Optional;
using ::testing::StartsWith;
using ::testing::Throws;

// An error with this system error number and a message the matcher takes.
MATCHER_P2(FailsWith, number, message,
           "is error " + std::to_string(number) + " whose message " +
               ::testing::DescribeMatcher<std::string>(message)) {
    return arg.errorNumber() == number && ::testing::Matches(message)(std::string(arg.what()));
}

// The same, and of this kind.
MATCHER_P3(FailsAs, kind, number, message,
           "is of kind " + std::to_string(static_cast<int>(kind)) + " and " +
               ::testing::DescribeMatcher<Error>(FailsWith(number, message))) {
    *result_listener << "of kind " << static_cast<int>(arg.kind());
    return arg.kind() == kind && ::testing::Matches(FailsWith(number, message))(arg);
}

}  // namespace support
}  // namespace kestrun
