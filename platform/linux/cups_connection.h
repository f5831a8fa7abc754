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

    // The error for a request `what` that came back without a usable answer: a server that did
    // not answer (or whose connection broke) is told from one that answered with an error, and
    // both from an exchange ended by a stop. Read it before anything else is sent on this thread.
    PrinterError failure(const std::string& what, PrinterError::Kind answeredKind,
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
