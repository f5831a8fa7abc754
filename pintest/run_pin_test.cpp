#include "pintest/run_pin_test.h"

namespace kestrun {

PinTestOutcome runPinTest(const PinTestProfile& profile, PrinterPort& port, SystemPrinter& printer,
                          PinTestObserver* observer, std::stop_token stop) {
    PrintChannel& channel = channelOne();
    channel.open(port);
    struct CloseAlways {
        PrintChannel& channel;
        ~CloseAlways() { channel.close(); }
    } closeAlways{channel};

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
    printer.newPage();
    printer.endDocument();
    printer.abortDocument();
    return PinTestOutcome::Completed;
}

}  // namespace kestrun
