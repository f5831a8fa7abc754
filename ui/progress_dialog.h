#pragma once

#include <QDialog>
#include <cstddef>
#include <functional>
#include <optional>

#include "platform/printer_port.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace kestrun {

// How the job stands, as the user-interface thread last learned it.
struct JobView {
    std::size_t sent = 0;
    std::size_t total = 0;
    bool stalled = false;
    std::optional<PortStatus> status;
    bool ejecting = false;
};

// What the user is told about a printer that takes nothing, from the status it reports, if any:
// each cause with what to do about it.
QString stallAdvice(const std::optional<PortStatus>& status);

// The job's progress dialog. It never closes itself: Cancel, Esc and the window's close button
// only ask the job to stop, and the dialog goes away once the job has really ended, so the user
// cannot start anything while the port is still open.
class ProgressDialog final : public QDialog {
public:
    ProgressDialog(QWidget* parent, std::function<void()> onCancel);

    void setView(const JobView& view);

    // Esc and the window's close button come here too.
    void reject() override;

private:
    void render();

    std::function<void()> onCancel_;
    JobView view_;
    bool stopping_ = false;
    QLabel* message_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

}  // namespace kestrun
