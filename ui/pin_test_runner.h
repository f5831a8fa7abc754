#pragma once

#include <QString>
#include <optional>

#include "pintest/run_pin_test.h"

class QWidget;

namespace kestrun {

// Runs one pin test off the user-interface thread. While it runs the windows keep painting but
// take no input, so no second command can start; after about half a second a modal progress
// dialog shows bytes sent of the page, the printer's status when it stalls, and a Cancel button.
class PinTestRunner {
public:
    // How the run ended: an outcome, or else what to tell the user and the system's error
    // number (0 where it gave none).
    struct Result {
        std::optional<PinTestOutcome> outcome;
        std::optional<QString> errorText;
        int errorNumber = 0;
    };

    // The port and the printer outlive the runner. `dialogParent` is the window the progress
    // dialog belongs to.
    PinTestRunner(PrinterPort& port, SystemPrinter& printer, QWidget* dialogParent);
    PinTestRunner(const PinTestRunner&) = delete;
    PinTestRunner& operator=(const PinTestRunner&) = delete;

    // Returns when the run is over: completed, cancelled or failed.
    Result run(const PinTestProfile& profile);

private:
    PrinterPort& port_;
    SystemPrinter& printer_;
    QWidget* dialogParent_;
    bool running_ = false;
};

}  // namespace kestrun
