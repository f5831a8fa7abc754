// How long a test page takes through the channel and the port on the parallel port driver,
// against plain writes of the same bytes, blocking and not. (The driver strobes the bytes out its
// own, slower way for a writer that does not block, as Kestrun's port does so that a stalled
// printer never holds it.) Runs in the virtual machine on QEMU's
// instruction clock, so that the machine's load does not move the figures:
//   cmake --build --preset release --target vm_bench
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "page_bytes.h"
#include "pintest/run_pin_test.h"
#include "platform/linux/device_printer_port.h"

namespace kestrun {
namespace {

using Clock = std::chrono::steady_clock;

class IdlePrinter final : public SystemPrinter {
public:
    void newPage(std::stop_token) override {}
    void endDocument(std::stop_token) override {}
    void abortDocument() override {}
};

// The fastest of a few runs, in milliseconds.
template <typename Run>
double fastest(Run run) {
    double best = 1e9;
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        run();
        best =
            std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return best;
}

}  // namespace
}  // namespace kestrun

int main() {
    using namespace kestrun;
    for (const PinTestProfile* profile : {&NinePin, &TwentyFourPin}) {
        const Bytes page = support::pageBytes(*profile);
        const auto plain = [&](int flags) {
            return fastest([&] {
                const int fd = open(kFirstParallelPort, O_WRONLY | O_CLOEXEC | flags);
                for (std::size_t sent = 0; sent < page.size();) {
                    const ssize_t n = write(fd, page.data() + sent, page.size() - sent);
                    sent += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
                }
                close(fd);
            });
        };
        const double blocking = plain(0);
        const double nonBlocking = plain(O_NONBLOCK);
        DevicePrinterPort port;
        IdlePrinter printer;
        const double ours = fastest([&] { runPinTest(*profile, port, printer); });
        std::printf(
            "%2d-pin page, %zu bytes, %lu write calls: Kestrun %.2f ms; plain write %.2f ms "
            "blocking (%.3fx), %.2f ms not blocking (%.3fx)\n",
            profile->pins(), page.size(), port.writeCalls() / 5, ours, blocking, ours / blocking,
            nonBlocking, ours / nonBlocking);
    }
}
