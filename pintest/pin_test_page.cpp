#include "pintest/pin_test_page.h"

#include <string>

#include "pintest/print_channel.h"
#include "pintest/print_record.h"

namespace kestrun {
namespace {

Text text(std::string_view s) {
    return Text{std::string(s)};
}

void writeLine(PrintChannel& channel, std::string_view line) {
    channel.write(PrintRecord{{text(line)}, true});
}

}  // namespace

void writePinTestPage(PrintChannel& channel, const PinTestProfile& profile) {
    // ESC @ resets the printer. SUB Q after it stays: printers in the field receive it today.
    channel.write(PrintRecord{{CharCode{27}, text("@"), CharCode{26}, text("Q")}, true});
    writeLine(channel, profile.heading);
    writeLine(channel, profile.explanation);

    // ESC * 39 nL nH: 24-dot bit image, three bytes per column, nH = 0.
    PrintItem highCount = CharCode{0};
    if (!profile.afterHighCountByte.empty()) {
        highCount = Text{std::string(1, '\0') + std::string(profile.afterHighCountByte)};
    }
    const PrintRecord imageCommand{
        {CharCode{27}, text("*"), CharCode{39}, CharCode{profile.columnsPerLine}, highCount},
        false};

    long pin = 1;
    for (int block = 1; block <= profile.blocks; ++block) {
        const std::string_view suffix =
            block == 1 ? profile.labelSuffixFirstBlock : profile.labelSuffixOtherBlocks;
        for (int line = 1; line <= profile.linesPerBlock; ++line) {
            channel.write(
                PrintRecord{{text(profile.labelPrefix), Number{pin}, text(suffix)}, false});
            channel.write(imageCommand);

            // Only this line's pin fires: one bit of the block's byte in every column.
            const auto value = static_cast<std::uint8_t>(1u << (profile.linesPerBlock - line));
            PrintRecord column{{CharCode{0}, CharCode{0}, CharCode{0}}, false};
            column.items[block - 1] = CharCode{value};
            channel.write(column, profile.columnsPerLine);
            channel.write(PrintRecord{{}, true});
            ++pin;
        }
    }

    channel.write(PrintRecord{{}, true}, profile.blankLinesBeforeClosing);
    writeLine(channel, kAdvertisingLine);
    writeLine(channel,
              "Vorna联系电话  " + std::string(kServicePhone1) + "  " + std::string(kServicePhone2));
}

}  // namespace kestrun
