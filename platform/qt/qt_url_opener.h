#pragma once

#include "platform/url_opener.h"

namespace kestrun {

// Opens URLs through QDesktopServices: on Linux that starts xdg-open (or a browser it finds) as a
// program with the URL as its one argument, never through a shell.
class QtUrlOpener final : public UrlOpener {
public:
    void open(const std::string& url) override;
};

}  // namespace kestrun
