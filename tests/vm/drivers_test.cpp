// Runs inside the virtual machine (tests/vm/run-vm.sh), as root, on the kernel's own parallel port
// and USB printer drivers. The parallel printer is parport_sim, a port made of software under the
// real parport and lp: this program sets its status lines and reads back what it strobed in. The
// USB printer is the kernel's printer gadget, whose side this program also plays.
#include <fcntl.h>
#include <linux/lp.h>
#include <linux/usb/g_printer.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
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

// The printer behind the port's path, as the udev rule names a USB printer there: the printer
// gadget, or parport_sim's port (/dev/lp1, after QEMU's).
const std::string kUsb = "/dev/usb/lp0", kParallel = "/dev/lp1";

// What happens: the printer takes the page; the user cancels once it has taken data; or it takes
// nothing and, once that is reported, the user cancels or the cable is pulled.
enum class Then { Takes, CancelWhileTaking, CancelWhenStalled, Unplugged };
const char* const kThen[] = {"takes", "cancel while taking", "cancel when stalled", "unplugged"};

// The printer's status lines as levels, in their status register bits (BUSY 0x80, nAck 0x40, PE
// 0x20, SELECT 0x10, nFault 0x08), as a printer sets them in each state. The printer gadget's
// status byte has paper out, selected and no error in the same bits.
constexpr unsigned kReady = 0x58, kBufferFull = 0xD8, kPaperOut = 0xF0, kOffline = 0xC0,
                   kFault = 0xD0, kSwitchedOff = 0x00;

// The printer shows these `lines`: over USB from the start, its side reading only while it takes;
// over parallel once `at` bytes are in (0: never), for `lasting` (0: until the user cancels), on
// a printer that holds BUSY `busyUs` after each byte. `told`: the status of the first stall
// report, none where it never stalls.
struct Row {
    const std::string& transport;  // kUsb or kParallel
    const PinTestProfile& profile;
    unsigned lines;
    std::size_t at;
    std::chrono::seconds lasting;
    unsigned busyUs;
    Then then;
    Ending ends;
    std::optional<PortStatus> told;
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
    return waitFor(kUsb, !controller.empty());
}

void simSet(const std::string& parameter, unsigned value) {
    std::ofstream(kSimLines / parameter) << value << std::flush;
}
void setLines(unsigned lines) {
    const char* const names[] = {"busy", "nack", "paper_end", "select", "nfault"};  // from bit 7
    for (unsigned i = 0; i < 5; ++i) {
        simSet(names[i], (lines >> (7 - i)) & 1);
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
    DevicePrinterPort port_;
};

// What one run did, as the observer and the port saw it.
struct Measured {
    int stallReports = 0;
    std::optional<PortStatus> told;  // at the first stall report
    Clock::time_point lastProgress = Clock::now(), stalledSince, firstStall, readyAt, resumedAt;
    Clock::time_point cancelledAt, endedAt;
    Clock::duration longestWrite{};
    std::stop_source stop;
};

class Drivers : public Test, public PinTestObserver {
protected:
    void progress(std::size_t sent, std::size_t) override {
        // Sending starts with progress 0, then follows each write that took bytes.
        m.lastProgress = Clock::now();
        if (m.stallReports > 0 && m.resumedAt == Clock::time_point{}) {
            m.resumedAt = m.lastProgress;
        }
        if (sent > 300 && row->then == Then::CancelWhileTaking) {
            m.stop.request_stop();
        }
    }
    // After ten seconds of stall the user gives up: a run that would wait for ever fails its case.
    void stalled(const std::optional<PortStatus>& status) override {
        if (m.stallReports++ == 0) {
            m.told = status;
            m.firstStall = Clock::now();
            m.stalledSince = m.lastProgress;
        }
        if (m.stallReports == 40) {
            m.stop.request_stop();
        } else if (row->lasting > 0s && !user.joinable()) {
            // Out of order for `lasting` since it took its last byte, the printer is ready again
            // then, whatever the port is doing.
            user = std::jthread([this] {
                std::this_thread::sleep_until(m.stalledSince + row->lasting);
                setLines(kReady);
                m.readyAt = Clock::now();
            });
        } else if (row->then == Then::CancelWhenStalled && !user.joinable()) {
            // The user reads the report, then cancels, from the user-interface thread.
            user = std::jthread([this] {
                std::this_thread::sleep_for(100ms);
                m.cancelledAt = Clock::now();
                m.stop.request_stop();
            });
        } else if (row->then == Then::Unplugged && gadget >= 0) {
            // Its side holds nothing half-read, which the gadget driver could not take. The
            // driver has let go of the printer once plug() returns.
            ::close(std::exchange(gadget, -1));
            EXPECT_TRUE(plug(""));
        }
    }
    void ejecting() override {}

    // The row's printer, at the port's path and as it stands before the run.
    void connect() {
        fs::remove(kPort);
        fs::create_symlink(row->transport, kPort);
        if (row->transport == kParallel) {
            setLines(kReady);
            simSet("busy_us", row->busyUs);
            simSet("then_lines", row->lines);
            simSet("after_bytes", static_cast<unsigned>(row->at));
            std::ofstream(kSimReceived) << "0" << std::flush;
            flagsBefore = lpFlags();
            return;
        }
        // Plugged in afresh: until its side first reads, the gadget takes nothing.
        ASSERT_TRUE(plug("") && plug("dummy_udc.0") && waitFor("/dev/g_printer0", true));
        gadget = open("/dev/g_printer0", O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ioctl(gadget, GADGET_SET_PRINTER_STATUS, static_cast<unsigned char>(row->lines & 0x38));
        if (row->then == Then::Takes || row->then == Then::CancelWhileTaking) {
            // All that arrives until the run is over, and then until it has been quiet a while.
            reader = std::jthread([this, fd = gadget](std::stop_token stop) {
                char chunk[16384];  // read without waiting: nothing (-1) when nothing is there
                for (pollfd entry{fd, POLLIN, 0};
                     poll(&entry, 1, 300) > 0 || !stop.stop_requested();) {
                    received.append(chunk, std::max<ssize_t>(read(fd, chunk, sizeof chunk), 0));
                }
            });
        }
    }
    // What the printer received; the port's path stays as the run left it.
    std::string disconnect() {
        if (row->transport == kParallel) {
            EXPECT_EQ(lpFlags(), flagsBefore) << "the driver's flags not given back";
            std::ifstream in(kSimReceived, std::ios::binary);
            return {std::istreambuf_iterator<char>(in), {}};
        }
        reader = {};  // asks it to stop, and waits
        if (gadget >= 0) {
            ::close(std::exchange(gadget, -1));
        }
        return std::exchange(received, {});
    }

    // Runs the test and checks what every run must keep: no descriptor left open but the gadget
    // side's, and the printer called only for a page that is out.
    Ending run() {
        m = {};
        const auto descriptors = [this] { return openDescriptors() - (gadget >= 0 ? 1u : 0u); };
        const std::size_t before = descriptors();
        EventLog calls;
        RecordingPrinter system(calls);
        TimedPort port;
        Ending ended;
        try {
            ended = runPinTest(row->profile, port, system, this, m.stop.get_token());
        } catch (const PortError& error) {
            ended = error.errorNumber();
            EXPECT_THAT(error.what(), HasSubstr("断开了连接（" + kPort));
        }
        m.endedAt = Clock::now();
        m.longestWrite = port.longest;
        user = {};
        EXPECT_EQ(descriptors(), before) << "a descriptor left open";
        EXPECT_EQ(calls.size(), ended == Ending(PinTestOutcome::Completed) ? 3u : 0u);
        return ended;
    }

    // What every run must also show: at the printer a prefix of the page, all of it when
    // completed, ending at a line end when cancelled there; told once stalled for a second, and
    // why; going on soon after the printer is ready again, or ending soon after the cancel; and no
    // write lasting much past its wait of 20 ms, however the printer stands or how slowly it takes
    // data. Then the figures, for the note.
    void expectRun(const std::string& received, const char* name) {
        const std::string page = text(pageBytes(row->profile));
        EXPECT_TRUE(page.starts_with(received)) << received.size();
        EXPECT_EQ(received == page, row->ends == Ending(PinTestOutcome::Completed))
            << received.size();
        EXPECT_TRUE(row->ends != Ending(PinTestOutcome::Cancelled) || received.ends_with("\r\n"))
            << "not at a line end";
        EXPECT_EQ(m.told, row->told) << m.stallReports << " stall reports";
        if (row->told) {
            EXPECT_THAT(seconds(m.firstStall - m.stalledSince), AllOf(Ge(0.95), Le(1.5)));
        }
        if (row->lasting > 0s) {
            EXPECT_THAT(seconds(m.resumedAt - m.readyAt), AllOf(Ge(0), Le(0.5)));
        }
        if (row->then == Then::CancelWhenStalled) {
            EXPECT_THAT(seconds(m.endedAt - m.cancelledAt), AllOf(Ge(0), Le(0.5)));
        }
        // No write lasts much past its wait of 20 ms, however the printer stands or how slowly it
        // takes data (one that took the page whole would take seconds); the bound leaves room
        // for a loaded machine emulating the guest.
        EXPECT_LE(seconds(m.longestWrite), 0.5);
        std::printf(
            "%s: %d stall reports, the first %.3f s after the last byte; resumed %.3f s "
            "after ready; ended %.3f s after the cancel; longest write %.3f s\n",
            name, m.stallReports, between(m.stalledSince, m.firstStall),
            between(m.readyAt, m.resumedAt), between(m.cancelledAt, m.endedAt),
            seconds(m.longestWrite));
    }

    const Row* row = nullptr;
    Measured m;
    std::jthread reader, user;
    int gadget = -1;       // the printer gadget's side, while it is plugged in
    std::string received;  // by the gadget's side
    int flagsBefore = 0;   // the parallel port driver's, before the run
};

TEST_F(Drivers, EachPrinterTakesThePageInEveryStateItCanBeIn) {
    using enum Then;
    using enum PinTestOutcome;
    const PortStatus paperOut{true, false, true, true};
    // clang-format off
    const Row rows[] = {
        {kUsb, NinePin, kReady, 0, 0s, 0, Takes, Completed, {}},
        {kUsb, NinePin, kReady, 0, 0s, 0, CancelWhileTaking, Cancelled, {}},
        {kUsb, NinePin, kPaperOut, 0, 0s, 0, CancelWhenStalled, CancelledWhileStalled, PortStatus{.paperOut = true, .error = true}},
        {kUsb, NinePin, kReady, 0, 0s, 0, Unplugged, ENODEV, PortStatus{}},
        {kParallel, TwentyFourPin, kReady, 0, 0s, 0, Takes, Completed, {}},
        {kParallel, NinePin, kBufferFull, 2000, 3s, 0, Takes, Completed, PortStatus{.busy = true}},
        {kParallel, NinePin, kPaperOut, 2000, 5s, 0, Takes, Completed, paperOut},
        {kParallel, NinePin, kOffline, 2000, 2s, 0, Takes, Completed, PortStatus{false, true, true, true}},
        {kParallel, NinePin, kFault, 2000, 2s, 0, Takes, Completed, PortStatus{.error = true, .busy = true}},
        {kParallel, NinePin, kSwitchedOff, 2000, 2s, 0, Takes, Completed, PortStatus{.offline = true, .error = true}},
        {kParallel, NinePin, kPaperOut, 2000, 0s, 0, CancelWhenStalled, CancelledWhileStalled, paperOut},
        {kParallel, NinePin, kPaperOut, pageBytes(NinePin).size() - 8, 0s, 0, CancelWhenStalled, CancelledWhileStalled, paperOut},  // in the last line
        {kParallel, NinePin, kReady, 0, 0s, 2000, CancelWhileTaking, Cancelled, {}},
    };
    // clang-format on
    for (const Row& row : rows) {
        char name[120];
        std::snprintf(name, sizeof name, "%s, %d pins, lines 0x%x at %zu, busy %u us, %s",
                      row.transport.c_str(), row.profile.pins(), row.lines, row.at, row.busyUs,
                      kThen[static_cast<int>(row.then)]);
        SCOPED_TRACE(name);
        this->row = &row;
        connect();
        EXPECT_EQ(run(), row.ends);
        expectRun(disconnect(), name);
        if (row.then == Unplugged) {
            // The path leads nowhere now: the next run finds no printer, and makes none.
            DevicePrinterPort port;
            EXPECT_THAT([&] { port.open(); }, Throws<PortError>(FailsWith(
                                                  ENOENT, HasSubstr("找不到打印机端口 " + kPort))));
            EXPECT_FALSE(fs::exists(kUsb));
        }
    }
}

}  // namespace
}  // namespace kestrun::support
