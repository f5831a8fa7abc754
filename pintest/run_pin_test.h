#pragma once

#include <stop_token>

#include "pintest/pin_test_page.h"
#include "pintest/print_channel.h"
#include "platform/printer_port.h"
#include "platform/system_printer.h"

namespace kestrun {

// Told how a test run goes; called on the thread that runs the test.
class PinTestObserver : public SendObserver {
public:
    // The page is out; the system printer is now being asked to eject it.
    virtual void ejecting() = 0;
};

enum class PinTestOutcome {
    Completed,
    Cancelled,              // stopped at a line end; no printer call was made
    CancelledWhileStalled,  // stopped at once; the printer may hold half a line until reset
    CancelledWhileEjecting  // the printer calls stopped part way; the page may not have come out
};

// One test: opens channel 1 on the port, writes the whole page for `profile`, makes the system
// printer's three closing calls (new page, end document, abort document), and closes the channel.
// A failure ends the run at the step where it happens and propagates as a kestrun::Error
// (PortError, PrinterError or EncodingError): no later step runs, bytes already sent stay sent,
// and the channel is closed whatever happens. One run at a time: the caller sees to that.
// A cancel through `stop` skips the printer calls, or ends them within a fraction of a second
// once they have begun. Blocks until the page is out: call it off the user-interface thread.
// `now` is the channel's clock.
PinTestOutcome runPinTest(const PinTestProfile& profile, PrinterPort& port, SystemPrinter& printer,
                          PinTestObserver* observer = nullptr, std::stop_token stop = {},
                          PrintChannel::Now now = PrintChannel::steadyNow);

}  // namespace kestrun
