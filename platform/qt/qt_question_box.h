#pragma once

#include "platform/question_box.h"

namespace kestrun {

// The question as a QMessageBox, modal over the window that is active when it is asked.
class QtQuestionBox final : public QuestionBox {
public:
    Answer ask(const std::string& title, const std::string& text) override;
};

}  // namespace kestrun
