#include "pintest/run_pin_test.h"

#include <atomic>

namespace kestrun {

PinTestOutcome runPinTest(const PinTestProfile& profile, PrinterPort& port, SystemPrinter& printer,
                          PinTestObserver* observer, std::stop_token stop, PrintChannel::Now now) {
    // Channel 1 is open only while a test runs: one run at a time, whatever thread starts it.
    static std::atomic<bool> channelOneOpen{false};
    if (channelOneOpen.exchange(true)) {
        throw ChannelError(0, "输出通道 1 已经打开：上一次测试还没有结束。");
    }
    struct Release {
        ~Release() { channelOneOpen = false; }
    } release;

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
