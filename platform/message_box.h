#pragma once

#include <string>

namespace kestrun {

// A modal message to the user with a single OK button. Texts are UTF-8.
class MessageBox {
public:
    enum class Kind {
        Information,  // something the user should know; nothing failed
        Error,        // a command failed; the text says why and what to do
    };

    MessageBox() = default;
    MessageBox(const MessageBox&) = delete;
    MessageBox& operator=(const MessageBox&) = delete;
    virtual ~MessageBox() = default;

    // Returns when the user has dismissed the message.
    virtual void show(Kind kind, const std::string& title, const std::string& text) = 0;
};

}  // namespace kestrun
