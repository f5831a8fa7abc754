#pragma once

#include <stdexcept>
#include <string>
#include <system_error>

namespace kestrun {

// Every failure that ends a command is one of these: a message a person understands (Chinese, what
// failed and what to do) and the system error number behind it, 0 where there is none.
class Error : public std::runtime_error {
public:
    Error(int errorNumber, const std::string& message)
        : std::runtime_error(message), errorNumber_(errorNumber) {}

    int errorNumber() const noexcept { return errorNumber_; }

private:
    int errorNumber_;
};

// What the system calls an error number, in the user's language where the system has it.
inline std::string systemText(int errorNumber) {
    return std::generic_category().message(errorNumber);
}

}  // namespace kestrun
