#pragma once

#include <string>

namespace kestrun {

// A modal Yes/No question to the user. Texts are UTF-8.
class QuestionBox {
public:
    enum class Answer { Yes, No };

    QuestionBox() = default;
    QuestionBox(const QuestionBox&) = delete;
    QuestionBox& operator=(const QuestionBox&) = delete;
    virtual ~QuestionBox() = default;

    // Shows the question with the buttons Yes and No, Yes the default, and no icon; returns when
    // the user has answered. Closing the box without choosing counts as No.
    virtual Answer ask(const std::string& title, const std::string& text) = 0;
};

}  // namespace kestrun
