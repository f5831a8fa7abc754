// Figures for the test page: building and encoding it, and writing it through the real port
// code to /dev/null. Run: build/release/bench/page_bench
#include <benchmark/benchmark.h>

#include "pintest/run_pin_test.h"
#include "platform/linux/device_printer_port.h"

namespace kestrun {
namespace {

// Takes the page and forgets it, so that only building and encoding are measured.
class DiscardPort final : public PrinterPort {
public:
    std::string name() const override { return "discard"; }
    void open() override {}
    std::size_t write(std::span<const std::uint8_t> data, std::chrono::milliseconds) override {
        return data.size();
    }
    std::optional<PortStatus> status() override { return std::nullopt; }
    bool drained(std::chrono::milliseconds) override { return true; }
    void close() noexcept override {}
};

class IdlePrinter final : public SystemPrinter {
public:
    void newPage() override {}
    void endDocument() override {}
    void abortDocument() override {}
};

const PinTestProfile& profileOf(const benchmark::State& state) {
    return state.range(0) == 9 ? NinePin : TwentyFourPin;
}

void BuildAndEncodePage(benchmark::State& state) {
    DiscardPort port;
    PrintChannel channel;
    std::size_t bytes = 0;
    for (auto _ : state) {
        channel.open(port);
        writePinTestPage(channel, profileOf(state));
        bytes = channel.pending().size();
        benchmark::DoNotOptimize(channel.pending().data());
        channel.close();
    }
    state.counters["page_bytes"] = static_cast<double>(bytes);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BuildAndEncodePage)->Arg(9)->Arg(24);

void RunPinTestToDevNull(benchmark::State& state) {
    DevicePrinterPort port("/dev/null");
    IdlePrinter printer;
    for (auto _ : state) {
        runPinTest(profileOf(state), port, printer);
    }
    state.counters["write_calls_per_page"] =
        static_cast<double>(port.writeCalls()) / static_cast<double>(state.iterations());
}
BENCHMARK(RunPinTestToDevNull)->Arg(9)->Arg(24);

}  // namespace
}  // namespace kestrun

BENCHMARK_MAIN();
