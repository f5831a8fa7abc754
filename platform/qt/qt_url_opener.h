#pragma once

#include "platform/url_opener.h"

namespace kestrun {

// Opens URLs with xdg-open, the desktop's own choice of handler, started as a program with the
// URL as its one argument, never through a shell, and not waited for.
class QtUrlOpener final : public UrlOpener {
public:
    void open(const std::string& url) override;
};

}  // namespace kestrun
