#pragma once

#include <cups/cups.h>

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

#include "platform/system_printer.h"

namespace kestrun {

// Error numbers: a failure of the connection itself carries its errno (ETIMEDOUT when the server
// did not answer in time). When the server did answer and said no, there is no system error
// behind it: the number is 0 and the server's own status and words go into the message instead.

// The print server libcups talks to (CUPS_SERVER, client.conf or the local socket).
std::string serverName();

// What the server said about the last request on this thread, in its words and status name.
std::string serverAnswer();

// A print server that would not let a request through.
struct AccessRefusal {
    bool wantsLogin;     // else it knows the user and does not let them
    std::string answer;  // serverAnswer() at the time
};

// The error for such a refusal of the request `what` on `printer`.
PrinterError accessError(const AccessRefusal& refusal, const std::string& what,
                         const std::string& printer);

// One connection to the print server, every exchange on it limited to `timeout`. Once `stop` is
// requested, the connection attempt or the wait for an answer ends at once (a request that the
// server does not take in waits out the limit), and what follows fails as Stopped. Throws
// PrinterError when the server cannot be reached.
class PrintServerConnection {
public:
    PrintServerConnection(std::chrono::milliseconds timeout, std::stop_token stop);
    ~PrintServerConnection();
    PrintServerConnection(const PrintServerConnection&) = delete;
    PrintServerConnection& operator=(const PrintServerConnection&) = delete;

    http_t* get() const { return http_; }

    std::chrono::milliseconds timeout() const { return timeout_; }
    std::stop_token stop() const { return stop_; }

    // Throws the Stopped error once a stop is requested: a step not yet begun is skipped.
    void skipIfStopped() const;

    // Whether the server did not let the last request through: it wants a login (the program has
    // no password to give: none is ever asked for), or it does not let this user. What it said
    // comes along, for accessError.
    std::optional<AccessRefusal> accessRefusal() const;

    // The error for a request `what` on `printer` that came back without a usable answer: a
    // server that did not answer (or whose connection broke) is told from one that refused access
    // and from one that answered with another error (`answeredAdvice` then says what to do), and
    // all from an exchange ended by a stop. Read it before anything else is sent on this thread.
    PrinterError failure(const std::string& what, const std::string& printer,
                         const std::string& answeredAdvice) const;

private:
    std::chrono::milliseconds timeout_;
    std::stop_token stop_;
    http_t* http_ = nullptr;
    // The socket, on a descriptor of our own: libcups may close its own and the number be reused.
    int socket_ = -1;
    std::optional<std::stop_callback<std::function<void()>>> endOnStop_;
};

}  // namespace kestrun
