// Runs inside the virtual machine (tests/vm/run-vm.sh), as root, on the kernel's own parallel port
// and USB printer drivers. The parallel printer is parport_sim, a port made of software under the
// real parport and lp: this program sets its status lines and reads back what it strobed in. The
// USB printer is the kernel's printer gadget, whose side this program also plays.
#include <fcntl.h>
#include <linux/lp.h>
#include <linux/usb/g_printer.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <variant>

#include "matchers.h"
#include "page_bytes.h"
#include "pintest/run_pin_test.h"
#include "platform/linux/device_printer_port.h"
#include "scratch_folder.h"

namespace kestrun::support {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
// How a run ends: an outcome, or the error number of the PortError that ended it.
using Ending = std::variant<PinTestOutcome, int>;
const std::string kPort = kFirstParallelPort;
const fs::path kSimLines = "/sys/module/parport_sim/parameters";
const fs::path kSimReceived = "/sys/kernel/debug/parport_sim/received";
constexpr unsigned kSimMinor = 1;  // /dev/lp1: parport_sim's port comes after QEMU's

// What happens: the printer takes the page; the user cancels once it has taken data; or it takes
// nothing and, once that is reported, the user cancels or the cable is pulled.
enum class Then { Takes, CancelWhileTaking, CancelWhenStalled, Unplugged };

// The parallel printer's status lines as levels, in their status register bits (BUSY 0x80, nAck
// 0x40, PE 0x20, SELECT 0x10, nFault 0x08), as a printer sets them in each state.
enum Lines : unsigned {
    Ready = 0x58,
    BufferFull = 0xD8,
    PaperOut = 0xF0,
    Offline = 0xC0,
    Fault = 0xD0,
    SwitchedOff = 0x00,
};

bool waitFor(const fs::path& path, bool present) {
    for (int i = 0; i < 500 && fs::exists(path) != present; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    return fs::exists(path) == present;
}

// Plugs the printer gadget in (dummy_udc.0) or pulls it out ("").
bool plug(const std::string& controller) {
    std::ofstream("/sys/kernel/config/usb_gadget/printer/UDC") << controller << "\n" << std::flush;
    return waitFor("/dev/usb/lp0", !controller.empty());
}

void simSet(const std::string& parameter, unsigned value) {
    std::ofstream(kSimLines / parameter) << value << std::flush;
}
void setLines(unsigned lines) {
    for (const auto& [name, bit] : {std::pair("busy", 0x80u),
                                    {"nack", 0x40u},
                                    {"paper_end", 0x20u},
                                    {"select", 0x10u},
                                    {"nfault", 0x08u}}) {
        simSet(name, (lines & bit) != 0 ? 1 : 0);
    }
}

// The driver's flags for the simulated port, which belong to the device, not to a descriptor.
int lpFlags() {
    const int fd = open(kPort.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    int flags = -1;
    ioctl(fd, LPGETFLAGS, &flags);
    close(fd);
    return flags;
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}
// From `from` to `to`, or 0 where either never came.
double between(Clock::time_point from, Clock::time_point to) {
    return from == Clock::time_point{} || to == Clock::time_point{} ? 0 : seconds(to - from);
}

// The real port, with the longest time one of its writes took.
class TimedPort final : public PrinterPort {
public:
    std::string name() const override { return port_.name(); }
    void open() override { port_.open(); }
    std::size_t write(std::span<const std::uint8_t> data, std::chrono::milliseconds wait) override {
        const auto start = Clock::now();
        const std::size_t taken = port_.write(data, wait);
        longest = std::max(longest, Clock::now() - start);
        return taken;
    }
    std::optional<PortStatus> status() override { return port_.status(); }
    bool drained(std::chrono::milliseconds wait) override { return port_.drained(wait); }
    void close() noexcept override { port_.close(); }

    Clock::duration longest{};

private:
    DevicePrinterPort port_;
};

class Drivers : public Test, public PinTestObserver {
protected:
    void progress(std::size_t sent, std::size_t) override {
        const auto now = Clock::now();
        if (sent > this->sent) {
            lastProgress = now;
            if (resumedAt == Clock::time_point{} && readyAt != Clock::time_point{}) {
                resumedAt = now;
            }
        }
        this->sent = sent;
        if (sent > cancelPast && then == Then::CancelWhileTaking) {
            stop.request_stop();
        }
    }
    // After ten seconds of stall the user gives up: a run that would wait for ever fails its case.
    void stalled(const std::optional<PortStatus>& status) override {
        if (stallReports++ == 0) {
            told = status;
            firstStall = Clock::now();
            stalledSince = lastProgress;
        }
        // The printer, out of order for `lasting` since it took its last byte, is ready again
        // then, whatever the port is doing.
        if (lasting > 0s && !user.joinable()) {
            user = std::jthread([this] {
                std::this_thread::sleep_until(stalledSince + lasting);
                setLines(Ready);
                readyAt = Clock::now();
            });
        }
        if (stallReports == 40) {
            stop.request_stop();
        } else if (then == Then::CancelWhenStalled && !user.joinable()) {
            // The user reads the report, then cancels, from the user-interface thread.
            user = std::jthread([this] {
                std::this_thread::sleep_for(100ms);
                cancelledAt = Clock::now();
                stop.request_stop();
            });
        } else if (then == Then::Unplugged && gadget >= 0) {
            // Its side holds nothing half-read, which the gadget driver could not take. The
            // driver has let go of the printer once plug() returns.
            ::close(std::exchange(gadget, -1));
            EXPECT_TRUE(plug(""));
        }
    }
    void ejecting() override {}

    // Runs the test and checks what every run must keep: no descriptor left open, the printer
    // called only for a page that is out, and at the printer a prefix of the page, all of it when
    // completed, ending at a line end when cancelled there.
    Ending run(const PinTestProfile& profile, Ending ends, std::size_t descriptorsGone = 0) {
        sent = 0;
        stallReports = 0;
        firstStall = stalledSince = cancelledAt = {};
        told.reset();
        stop = {};
        lastProgress = Clock::now();
        const std::size_t descriptors = openDescriptors() - descriptorsGone;
        EventLog calls;
        RecordingPrinter system(calls);
        TimedPort port;
        Ending ended;
        try {
            ended = runPinTest(profile, port, system, this, stop.get_token());
        } catch (const PortError& error) {
            ended = error.errorNumber();
            EXPECT_THAT(error.what(), HasSubstr("断开了连接（" + kPort));
        }
        endedAt = Clock::now();
        longestWrite = port.longest;
        user = {};
        EXPECT_EQ(ended, ends);
        EXPECT_EQ(openDescriptors(), descriptors) << "a descriptor left open";
        EXPECT_EQ(calls.size(), ended == Ending(PinTestOutcome::Completed) ? 3u : 0u);
        return ended;
    }
    void expectReceived(const PinTestProfile& profile, Ending ends) {
        const std::string page = text(pageBytes(profile));
        EXPECT_TRUE(page.starts_with(received)) << received.size();
        EXPECT_EQ(received == page, ends == Ending(PinTestOutcome::Completed)) << received.size();
        EXPECT_TRUE(ends != Ending(PinTestOutcome::Cancelled) || received.ends_with("\r\n"))
            << "not at a line end";
    }

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

    int gadget = -1;
    Then then = Then::Takes;
    std::chrono::seconds lasting{};  // how long the parallel printer stays out of order
    std::size_t cancelPast = 0;      // while taking, the user cancels once more than this is sent
    std::stop_source stop;
    std::optional<PortStatus> told;  // at the first stall report
    int stallReports = 0;
    std::size_t sent = 0;
    std::jthread reader, user;
    std::string received;
    Clock::time_point lastProgress, stalledSince, firstStall, readyAt, resumedAt, cancelledAt;
    Clock::time_point endedAt;
    Clock::duration longestWrite{};
};

TEST_F(Drivers, UsbPrinterTakesEachPageStallsAndIsUnplugged) {
    using enum Then;
    using enum PinTestOutcome;
    const struct {
        const PinTestProfile& profile;
        Then then;
        Ending ends;
    } scenarios[] = {
        {NinePin, Takes, Completed},
        {TwentyFourPin, Takes, Completed},
        {NinePin, CancelWhileTaking, Cancelled},
        {NinePin, CancelWhenStalled, CancelledWhileStalled},
        {NinePin, Unplugged, ENODEV},
    };
    for (const auto& [profile, then, ends] : scenarios) {
        SCOPED_TRACE(std::to_string(profile.pins()) + " pins, case " + std::to_string(int(then)));
        this->then = then;
        received.clear();
        fs::remove(kPort);
        plugInUsbPrinter(then == CancelWhenStalled ? 0x38 : 0x18);  // paper out while it stalls
        fs::create_symlink("/dev/usb/lp0", kPort);                  // as the udev rule names it
        if (then == Takes || then == CancelWhileTaking) {
            startReading(gadget);
        }
        run(profile, ends, then == Unplugged ? 1 : 0);
        if (then == CancelWhenStalled) {
            EXPECT_EQ(told, PortStatus{.paperOut = true});
        }
        reader.request_stop();
        reader = {};
        expectReceived(profile, ends);
        if (gadget >= 0) {
            ::close(std::exchange(gadget, -1));
        }
    }
    // The printer unplugged, the path leads nowhere: the next run finds no printer, and makes none.
    DevicePrinterPort port;
    EXPECT_THAT([&] { port.open(); },
                Throws<PortError>(FailsWith(ENOENT, HasSubstr("找不到打印机端口 " + kPort))));
    EXPECT_FALSE(fs::exists("/dev/usb/lp0"));
}

// Each row: the printer's lines change once `at` bytes are in (0: never), for `lasting` (0: until
// the user cancels), on a printer that holds BUSY `busyUs` after each byte.
TEST_F(Drivers, ParallelPrinterInEveryStateItCanBeIn) {
    using enum Then;
    using enum PinTestOutcome;
    const std::size_t lastLine = pageBytes(NinePin).size() - 8;
    const struct {
        const PinTestProfile& profile;
        std::size_t at;
        Lines lines;
        std::chrono::seconds lasting;
        unsigned busyUs;
        Then then;
        Ending ends;
        PortStatus told;
    } scenarios[] = {
        {NinePin, 0, Ready, 0s, 0, Takes, Completed, {}},
        {TwentyFourPin, 0, Ready, 0s, 0, Takes, Completed, {}},
        {NinePin, 2000, BufferFull, 3s, 0, Takes, Completed, {.busy = true}},
        {NinePin, 2000, PaperOut, 5s, 0, Takes, Completed, {true, false, true, true}},
        {NinePin, 2000, Offline, 2s, 0, Takes, Completed, {false, true, true, true}},
        {NinePin, 2000, Fault, 2s, 0, Takes, Completed, {.error = true, .busy = true}},
        {NinePin, 2000, SwitchedOff, 2s, 0, Takes, Completed, {.offline = true, .error = true}},
        {NinePin,
         2000,
         PaperOut,
         0s,
         0,
         CancelWhenStalled,
         CancelledWhileStalled,
         {true, false, true, true}},
        {NinePin,
         lastLine,
         PaperOut,
         0s,
         0,
         CancelWhenStalled,
         CancelledWhileStalled,
         {true, false, true, true}},
        {NinePin, 0, Ready, 0s, 2000, CancelWhileTaking, Cancelled, {}},
    };
    fs::remove(kPort);
    mknod(kPort.c_str(), S_IFCHR | 0600, makedev(6, kSimMinor));
    const int flagsBefore = lpFlags();
    ASSERT_EQ(flagsBefore & LP_ABORT, 0);
    for (const auto& [profile, at, lines, lasting, busyUs, then, ends, status] : scenarios) {
        std::ostringstream name;
        name << profile.pins() << " pins, lines 0x" << std::hex << lines << " at " << std::dec << at
             << ", busy " << busyUs << " us";
        SCOPED_TRACE(name.str());
        this->then = then;
        cancelPast = 300;
        readyAt = resumedAt = {};
        setLines(Ready);
        simSet("busy_us", busyUs);
        simSet("then_lines", lines);
        simSet("after_bytes", static_cast<unsigned>(at));
        std::ofstream(kSimReceived) << "0" << std::flush;

        this->lasting = lasting;
        run(profile, ends);
        std::ifstream in(kSimReceived, std::ios::binary);
        received.assign(std::istreambuf_iterator<char>(in), {});
        expectReceived(profile, ends);
        EXPECT_EQ(lpFlags(), flagsBefore) << "the driver's flags not given back";

        if (at > 0) {  // told once stalled for a second, and why
            EXPECT_GT(stallReports, 0);
            EXPECT_EQ(told, status);
            EXPECT_GE(seconds(firstStall - stalledSince), 0.95);
            EXPECT_LE(seconds(firstStall - stalledSince), 1.5);
        }
        if (lasting > 0s) {  // the page goes on soon after the printer is ready again
            EXPECT_GE(resumedAt, readyAt);
            EXPECT_LE(seconds(resumedAt - readyAt), 0.5);
        }
        if (then == CancelWhenStalled) {
            EXPECT_GE(endedAt, cancelledAt);
            EXPECT_LE(seconds(endedAt - cancelledAt), 0.5);
        }
        std::printf(
            "%s: %d stall reports, the first %.3f s after the last byte; resumed %.3f s "
            "after ready; ended %.3f s after the cancel; longest write %.3f s\n",
            name.str().c_str(), stallReports, between(stalledSince, firstStall),
            between(readyAt, resumedAt), between(cancelledAt, endedAt), seconds(longestWrite));
        // No write lasts much past its wait of 20 ms, however the printer stands or how slowly
        // it takes data.
        EXPECT_LE(seconds(longestWrite), 0.2);
    }
    setLines(Ready);
    simSet("busy_us", 0);
}

}  // namespace
}  // namespace kestrun::support
