#include "page_bytes.h"

#include <algorithm>
#include <cstdio>

namespace kestrun::testing {
namespace {

std::string dumpRows(const Bytes& data, std::size_t from, std::size_t to, std::size_t mark) {
    std::string out;
    char cell[32];
    for (std::size_t row = from; row < to; row += 16) {
        std::snprintf(cell, sizeof cell, "  %06zx:", row);
        out += cell;
        for (std::size_t i = row; i < std::min(row + 16, to); ++i) {
            if (i < data.size()) {
                std::snprintf(cell, sizeof cell, "%c%02x", i == mark ? '>' : ' ', data[i]);
            } else {
                std::snprintf(cell, sizeof cell, " --");
            }
            out += cell;
        }
        out += '\n';
    }
    return out;
}

}  // namespace

std::string hexDiff(const Bytes& expected, const Bytes& actual) {
    const auto mismatch =
        std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end());
    const auto at = static_cast<std::size_t>(mismatch.first - expected.begin());
    const std::size_t from = at / 16 * 16 >= 32 ? at / 16 * 16 - 32 : 0;
    const std::size_t to = std::min(std::max(expected.size(), actual.size()), from + 96);
    char head[160];
    std::snprintf(head, sizeof head,
                  "first difference at byte %zu (0x%zx); expected %zu bytes, got %zu\n", at, at,
                  expected.size(), actual.size());
    return head + std::string("expected:\n") + dumpRows(expected, from, to, at) + "actual:\n" +
           dumpRows(actual, from, to, at);
}

}  // namespace kestrun::testing
