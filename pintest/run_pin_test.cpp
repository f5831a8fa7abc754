#include "pintest/run_pin_test.h"

namespace kestrun {

PinTestOutcome runPinTest(const PinTestProfile& profile, PrinterPort& port, SystemPrinter& printer,
                          PinTestObserver* observer, std::stop_token stop, PrintChannel::Now now) {
    PrintChannel channel(port, std::move(now));
    writePinTestPage(channel, profile);
    switch (channel.send(observer, stop)) {
        case SendResult::Sent:
            break;
        case SendResult::StoppedAtLineEnd:
            return PinTestOutcome::Cancelled;
        case SendResult::StoppedWhileStalled:
            return PinTestOutcome::CancelledWhileStalled;
    }

    if (observer != nullptr) {
        observer->ejecting();
    }
    try {
        printer.newPage(stop);
        printer.endDocument(stop);
    } catch (const PrinterError& error) {
        if (error.kind() != PrinterError::Kind::Stopped) {
            throw;
        }
        return PinTestOutcome::CancelledWhileEjecting;
    }
    printer.abortDocument();
    return PinTestOutcome::Completed;
}

}  // namespace kestrun
