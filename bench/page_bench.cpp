// Figures for the test page: building and encoding it. Run: build/release/bench/page_bench
// (How long the page takes through the port on a real driver: the vm_bench target.)
#include <benchmark/benchmark.h>

#include "pintest/run_pin_test.h"

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

const PinTestProfile& profileOf(const benchmark::State& state) {
    return state.range(0) == 9 ? NinePin : TwentyFourPin;
}

void BuildAndEncodePage(benchmark::State& state) {
    DiscardPort port;
    std::size_t bytes = 0;
    for (auto _ : state) {
        PrintChannel channel(port);
        writePinTestPage(channel, profileOf(state));
        bytes = channel.pending().size();
        benchmark::DoNotOptimize(channel.pending().data());
    }
    state.counters["page_bytes"] = static_cast<double>(bytes);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BuildAndEncodePage)->Arg(9)->Arg(24);

}  // namespace
}  // namespace kestrun

BENCHMARK_MAIN();
