#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/message_box.h"
#include "platform/question_box.h"
#include "platform/url_opener.h"

namespace kestrun::testing {

// Answers every question with `answer` and remembers what was asked.
class ScriptedQuestionBox final : public QuestionBox {
public:
    Answer answer = Answer::No;
    std::vector<std::pair<std::string, std::string>> asked;  // title and text

    Answer ask(const std::string& title, const std::string& text) override {
        asked.emplace_back(title, text);
        return answer;
    }
};

class RecordingMessageBox final : public MessageBox {
public:
    struct Message {
        Kind kind;
        std::string title;
        std::string text;
    };

    std::vector<Message> shown;

    void show(Kind kind, const std::string& title, const std::string& text) override {
        shown.push_back({kind, title, text});
    }
};

// Remembers the URLs it was given; throws `failure` instead when one is set.
class RecordingUrlOpener final : public UrlOpener {
public:
    std::optional<UrlOpenError> failure;
    std::vector<std::string> opened;

    void open(const std::string& url) override {
        if (failure) {
            throw *failure;
        }
        opened.push_back(url);
    }
};

}  // namespace kestrun::testing
