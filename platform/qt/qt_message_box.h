#pragma once

#include "platform/message_box.h"

namespace kestrun {

// The message as a QMessageBox, modal over the window that is active when it is shown.
class QtMessageBox final : public MessageBox {
public:
    void show(Kind kind, const std::string& title, const std::string& text) override;
};

}  // namespace kestrun
