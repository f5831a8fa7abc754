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

namespace kestrun {
namespace {

using namespace std::chrono_literals;
using namespace support;
namespace fs = std::filesystem;
using Kind = PortError::Kind;
using Ending = std::variant<PinTestOutcome, Kind>;

const fs::path kPort = kFirstParallelPort;
const char* const kUdc = "/sys/kernel/config/usb_gadget/printer/UDC";

// What sits at the port's path; AsLeft: whatever the case before left there.
enum class At { ParallelPort, UsbPrinter, Nothing, NullDevice, Folder, AsLeft };
// What happens: the printer takes the page, or says paper out, offline and error in turn before
// it does; the user cancels once it has taken data; or it takes nothing and, once that is
// reported, the user cancels or the cable is pulled.
enum class Then { Takes, StatusesThenTakes, CancelWhileTaking, CancelWhenStalled, Unplugged };

bool waitFor(const fs::path& path, bool present) {
    for (int i = 0; i < 500 && fs::exists(path) != present; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    return fs::exists(path) == present;
}

void writeFile(const char* path, const std::string& text) {
    std::ofstream(path) << text << std::flush;
}

Bytes golden(const PinTestProfile& profile) {
    std::ifstream in(&profile == &NinePin ? "/data/nine-pin-page.bin"
                                          : "/data/twenty-four-pin-page.bin");
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Everything that arrives on `fd` until `stop`, and then until it has been quiet for a while.
std::string readAll(int fd, std::stop_token stop) {
    std::string data;
    for (pollfd entry{fd, POLLIN, 0}; poll(&entry, 1, 300) > 0 || !stop.stop_requested();) {
        char chunk[16384];
        const ssize_t n = (entry.revents & POLLIN) != 0 ? read(fd, chunk, sizeof chunk) : 0;
        data.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    return data;
}

class Drivers : public ::testing::Test, public PinTestObserver {
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
    void stalled(const std::optional<PortStatus>& status) override {
        if (told.empty() || told.back() != status) {
            told.push_back(status);
        }
        // After ten seconds the user gives up: a run that would wait for ever fails its case.
        if (++stallReports == 40) {
            stop.request_stop();
        }
        if (then == Then::CancelWhenStalled) {
            stop.request_stop();
        } else if (then == Then::Unplugged) {
            unplug();
        } else if (then == Then::StatusesThenTakes && told.size() == statusesShown) {
            // Each status until it has been reported; then the printer takes the page.
            const unsigned char statuses[] = {0x38, 0x08, 0x10, 0x18};  // USB printer class bits
            if (statusesShown < std::size(statuses)) {
                setStatus(statuses[statusesShown++]);
            } else {
                startReading();
            }
        }
    }
    void ejecting() override {}

    // The printer gadget, plugged in afresh: until its side first reads, it takes nothing.
    void plugInUsbPrinter() {
        writeFile(kUdc, "\n");
        ASSERT_TRUE(waitFor("/dev/usb/lp0", false));
        writeFile(kUdc, "dummy_udc.0\n");
        ASSERT_TRUE(waitFor("/dev/usb/lp0", true) && waitFor("/dev/g_printer0", true));
        gadget = open("/dev/g_printer0", O_RDWR | O_NONBLOCK | O_CLOEXEC);
        setStatus(0x18);
    }
    // Pulls the cable; its side holds nothing half-read, which the gadget driver could not take.
    // Returns once the driver has let go of the printer, so the port's next call meets that.
    void unplug() {
        ::close(std::exchange(gadget, -1));
        ++closedDuringRun;
        writeFile(kUdc, "\n");
        EXPECT_TRUE(waitFor("/dev/usb/lp0", false));
    }
    void setStatus(unsigned char status) { ioctl(gadget, GADGET_SET_PRINTER_STATUS, status); }
    void startReading() {
        reader = std::jthread([this](std::stop_token token) {
            received = readAll(at == At::UsbPrinter ? gadget : serial, token);
        });
    }

    // Puts the named thing at the port's path, as the drivers or a mistake would.
    void place(At what) {
        if (what == At::AsLeft) {
            return;
        }
        fs::remove_all(kPort);
        switch (what) {
            case At::ParallelPort:
                mknod(kPort.c_str(), S_IFCHR | 0600, makedev(6, 0));
                break;
            case At::UsbPrinter:  // as the udev rule names it
                plugInUsbPrinter();
                fs::create_symlink("/dev/usb/lp0", kPort);
                break;
            case At::NullDevice:
                mknod(kPort.c_str(), S_IFCHR | 0600, makedev(1, 3));
                break;
            case At::Folder:
                fs::create_directory(kPort);
                break;
            default:
                break;
        }
    }

    static std::size_t openDescriptors() {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
    }

    static inline int serial = -1;
    int gadget = -1;
    At at = At::ParallelPort;
    Then then = Then::Takes;
    std::stop_source stop;
    std::vector<std::optional<PortStatus>> told;
    std::size_t statusesShown = 0;
    std::size_t closedDuringRun = 0;
    int stallReports = 0;
    std::jthread reader;
    std::string received;
};

TEST_F(Drivers, EveryPageAndEveryFailureOnTheRealDrivers) {
    using enum At;
    using enum PinTestOutcome;
    const struct {
        At at;
        const PinTestProfile& profile;
        Then then;
        Ending ends;  // and so what the printer got: the page, whole lines of it, or any part
    } scenarios[] = {
        {ParallelPort, NinePin, Then::Takes, Completed},
        {ParallelPort, TwentyFourPin, Then::Takes, Completed},
        {UsbPrinter, NinePin, Then::Takes, Completed},
        {UsbPrinter, TwentyFourPin, Then::Takes, Completed},
        {UsbPrinter, NinePin, Then::StatusesThenTakes, Completed},
        {ParallelPort, NinePin, Then::CancelWhileTaking, Cancelled},
        {UsbPrinter, NinePin, Then::CancelWhileTaking, Cancelled},
        {UsbPrinter, NinePin, Then::CancelWhenStalled, CancelledWhileStalled},
        {UsbPrinter, NinePin, Then::Unplugged, Kind::Unplugged},
        {AsLeft, NinePin, Then::Takes, Kind::NoDevice},  // the next run after the unplug
        {Nothing, NinePin, Then::Takes, Kind::NoDevice},
        {NullDevice, NinePin, Then::Takes, Kind::NotADevice},
        {Folder, NinePin, Then::Takes, Kind::NotADevice},
    };
    int row = 0;
    for (const auto& scenario : scenarios) {
        SCOPED_TRACE("row " + std::to_string(row++));
        at = scenario.at;
        then = scenario.then;
        stop = {};
        told.clear();
        statusesShown = 0;
        closedDuringRun = 0;
        stallReports = 0;
        received.clear();
        place(scenario.at);
        if (then == Then::Takes || then == Then::CancelWhileTaking) {
            startReading();
        } else if (then == Then::StatusesThenTakes) {
            setStatus(0x38);
            statusesShown = 1;
        }

        const std::size_t descriptors = openDescriptors();
        EventLog calls;
        RecordingPrinter system(calls);
        DevicePrinterPort port;
        Ending ended;
        try {
            ended = runPinTest(scenario.profile, port, system, this, stop.get_token());
        } catch (const PortError& error) {
            ended = error.kind();
            EXPECT_THAT(error.what(), HasSubstr(kPort.string()));
        }
        EXPECT_EQ(ended, scenario.ends);
        EXPECT_EQ(openDescriptors() + closedDuringRun, descriptors) << "a descriptor left open";
        EXPECT_EQ(calls.size(), ended == Ending(Completed) ? 3u : 0u);

        reader.request_stop();
        reader = {};
        const Bytes page = golden(scenario.profile);
        const std::string whole = text(page);
        if (scenario.ends == Ending(Completed)) {
            EXPECT_EQ(received, whole);
        } else if (scenario.ends == Ending(Cancelled)) {
            EXPECT_LT(received.size(), whole.size());
            EXPECT_TRUE(received.ends_with("\r\n")) << received.size();
        }
        EXPECT_TRUE(whole.starts_with(received)) << received.size();
        if (scenario.at == Nothing || scenario.at == AsLeft) {
            EXPECT_FALSE(fs::exists(kPort)) << "the open created a file";
        } else if (scenario.at == Folder) {
            EXPECT_TRUE(fs::is_empty(kPort));
        }
        if (then == Then::StatusesThenTakes) {
            EXPECT_THAT(told, ElementsAre(PortStatus{.paperOut = true}, PortStatus{.offline = true},
                                          PortStatus{.error = true}, PortStatus{}));
        }
        if (gadget >= 0) {
            ::close(std::exchange(gadget, -1));
        }
    }
}

}  // namespace
}  // namespace kestrun
