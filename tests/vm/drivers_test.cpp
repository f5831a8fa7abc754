// Runs inside the virtual machine (tests/vm/run-vm.sh), as root, on the kernel's own parallel port
// and USB printer drivers. What the parallel port strobes out comes back on the second serial
// line; the USB printer is the kernel's printer gadget, whose side this program also plays.
#include <fcntl.h>
#include <linux/usb/g_printer.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <variant>

#include "matchers.h"
#include "page_bytes.h"
#include "pintest/run_pin_test.h"
#include "platform/linux/device_printer_port.h"

namespace kestrun::support {
namespace {

namespace fs = std::filesystem;
using Kind = PortError::Kind;
using Ending = std::variant<PinTestOutcome, Kind>;
const std::string kPort = kFirstParallelPort;

// What happens: the printer takes the page; the user cancels once it has taken data; or it takes
// nothing and, once that is reported, the user cancels or the cable is pulled.
enum class Then { Takes, CancelWhileTaking, CancelWhenStalled, Unplugged };

bool waitFor(const fs::path& path, bool present) {
    for (int i = 0; i < 500 && fs::exists(path) != present; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return fs::exists(path) == present;
}

// Plugs the printer gadget in (dummy_udc.0) or pulls it out ("").
bool plug(const std::string& controller) {
    std::ofstream("/sys/kernel/config/usb_gadget/printer/UDC") << controller << "\n" << std::flush;
    return waitFor("/dev/usb/lp0", !controller.empty());
}

std::size_t openDescriptors() {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

class Drivers : public Test, public PinTestObserver {
protected:
    // The parallel port's bytes arrive here from boot on; the line is opened once, raw, before
    // any of them, since opening it clears what the serial port holds.
    static void SetUpTestSuite() {
        serial = open("/dev/ttyS1", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios raw{};
        tcgetattr(serial, &raw);
        cfmakeraw(&raw);
        tcsetattr(serial, TCSANOW, &raw);
    }

    void progress(std::size_t sent, std::size_t) override {
        if (sent > 0 && then == Then::CancelWhileTaking) {
            stop.request_stop();
        }
    }
    // After ten seconds of stall the user gives up: a run that would wait for ever fails its case.
    void stalled(const std::optional<PortStatus>& status) override {
        told = status;
        if (++stallReports == 40 || then == Then::CancelWhenStalled) {
            stop.request_stop();
        } else if (then == Then::Unplugged && gadget >= 0) {
            // Its side holds nothing half-read, which the gadget driver could not take. The
            // driver has let go of the printer once plug() returns.
            ::close(std::exchange(gadget, -1));
            EXPECT_TRUE(plug(""));
        }
    }
    void ejecting() override {}

    // The printer gadget, plugged in afresh with this status: until its side first reads, it
    // takes nothing.
    void plugInUsbPrinter(unsigned char status) {
        ASSERT_TRUE(plug("") && plug("dummy_udc.0") && waitFor("/dev/g_printer0", true));
        gadget = open("/dev/g_printer0", O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ioctl(gadget, GADGET_SET_PRINTER_STATUS, status);
    }

    // Everything that arrives from the printer until the run is over, and then until it has been
    // quiet for a while.
    void startReading(int fd) {
        reader = std::jthread([this, fd](std::stop_token stop) {
            for (pollfd entry{fd, POLLIN, 0}; poll(&entry, 1, 300) > 0 || !stop.stop_requested();) {
                char chunk[16384];
                const ssize_t n = (entry.revents & POLLIN) != 0 ? read(fd, chunk, sizeof chunk) : 0;
                received.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            }
        });
    }

    static inline int serial = -1;
    int gadget = -1;
    Then then = Then::Takes;
    std::stop_source stop;
    std::optional<PortStatus> told;
    int stallReports = 0;
    std::jthread reader;
    std::string received;
};

TEST_F(Drivers, EveryPageAndEveryFailureOnTheRealDrivers) {
    using enum Then;
    using enum PinTestOutcome;
    const struct {
        bool usb;  // else the parallel port
        const PinTestProfile& profile;
        Then then;
        Ending ends;
    } scenarios[] = {
        {false, NinePin, Takes, Completed},
        {false, TwentyFourPin, Takes, Completed},
        {true, NinePin, Takes, Completed},
        {true, TwentyFourPin, Takes, Completed},
        {false, NinePin, CancelWhileTaking, Cancelled},
        {true, NinePin, CancelWhileTaking, Cancelled},
        {true, NinePin, CancelWhenStalled, CancelledWhileStalled},
        {true, NinePin, Unplugged, Kind::Unplugged},
    };
    for (const auto& [usb, profile, then, ends] : scenarios) {
        SCOPED_TRACE((usb ? "USB, " : "parallel, ") + std::to_string(profile.pins()) + " pins");
        this->then = then;
        stop = {};
        told.reset();
        stallReports = 0;
        received.clear();
        fs::remove(kPort);
        if (usb) {  // paper out while it takes nothing
            plugInUsbPrinter(then == CancelWhenStalled ? 0x38 : 0x18);
            fs::create_symlink("/dev/usb/lp0", kPort);  // as the udev rule names it
        } else {
            mknod(kPort.c_str(), S_IFCHR | 0600, makedev(6, 0));
        }
        if (then == Takes || then == CancelWhileTaking) {
            startReading(usb ? gadget : serial);
        }

        const std::size_t descriptors = openDescriptors() - (then == Unplugged ? 1 : 0);
        EventLog calls;
        RecordingPrinter system(calls);
        DevicePrinterPort port;
        Ending ended;
        try {
            ended = runPinTest(profile, port, system, this, stop.get_token());
        } catch (const PortError& error) {
            ended = error.kind();
            EXPECT_THAT(error.what(), HasSubstr(kPort));
        }
        EXPECT_EQ(ended, ends);
        EXPECT_EQ(openDescriptors(), descriptors) << "a descriptor left open";
        EXPECT_EQ(calls.size(), ended == Ending(Completed) ? 3u : 0u);
        if (then == CancelWhenStalled) {
            EXPECT_EQ(told, PortStatus{.paperOut = true});
        }

        reader.request_stop();
        reader = {};
        const std::string page = text(pageBytes(profile));
        EXPECT_TRUE(page.starts_with(received)) << received.size();
        EXPECT_EQ(received == page, ends == Ending(Completed)) << received.size();
        EXPECT_TRUE(ends != Ending(Cancelled) || received.ends_with("\r\n")) << "not at a line end";
        if (gadget >= 0) {
            ::close(std::exchange(gadget, -1));
        }
    }
    // The printer unplugged, the path leads nowhere: the next run finds no printer, and makes none.
    DevicePrinterPort port;
    EXPECT_THAT([&] { port.open(); },
                Throws<PortError>(FailsAs(Kind::NoDevice, ENOENT, HasSubstr(kPort))));
    EXPECT_FALSE(fs::exists("/dev/usb/lp0"));
}

}  // namespace
}  // namespace kestrun::support
