#pragma once

#include <string>

#include "platform/error.h"

namespace kestrun {

class UrlOpenError : public Error {
public:
    using Error::Error;
};

// Hands a URL to the system's default handler (a web browser for http URLs) and returns without
// waiting for it.
class UrlOpener {
public:
    UrlOpener() = default;
    UrlOpener(const UrlOpener&) = delete;
    UrlOpener& operator=(const UrlOpener&) = delete;
    virtual ~UrlOpener() = default;

    // Throws UrlOpenError when the system has nothing that could open the URL.
    virtual void open(const std::string& url) = 0;
};

}  // namespace kestrun
