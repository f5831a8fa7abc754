#pragma once

#include <cstdint>
#include <string_view>

namespace kestrun {

class PrintChannel;

// The constants of one kind of print head. Both kinds share the page's layout.
struct PinTestProfile {
    std::string_view heading;
    std::string_view explanation;
    int blocks;         // image bytes of each column; block b's lines fire a dot of byte b
    int linesPerBlock;  // line i of a block (from 1) fires the dot of value 2^(linesPerBlock - i)
    std::uint8_t columnsPerLine;  // also the image command's count byte
    // Sent right after the image command's high count byte. The printer takes these bytes as the
    // first image data; printers in the field receive them today, so they stay.
    std::string_view afterHighCountByte;
    std::string_view labelPrefix;
    std::string_view labelSuffixFirstBlock;
    std::string_view labelSuffixOtherBlocks;
    int blankLinesBeforeClosing;

    int pins() const { return blocks * linesPerBlock; }
    // The image command takes three bytes a column, one per block, and a line's dot is one bit of
    // its block's byte: more blocks would write past the column, more lines would fire no pin.
    constexpr bool fitsImageColumn() const { return blocks <= 3 && linesPerBlock <= 8; }
};

inline constexpr PinTestProfile NinePin{
    .heading = "打印机断针测针程序9针:",
    .explanation = "下面是1-9针数字未出现横线的表示该号打印为断针",
    .blocks = 3,
    .linesPerBlock = 3,
    .columnsPerLine = 200,
    .afterHighCountByte = "--",
    .labelPrefix = "第",
    .labelSuffixFirstBlock = "根针:",
    .labelSuffixOtherBlocks = "根针:",
    .blankLinesBeforeClosing = 1,
};

inline constexpr PinTestProfile TwentyFourPin{
    .heading = "打印机断针测针程序24针:",
    .explanation = "下面是1-24针数字未出现横线的表示该号打印为断针",
    .blocks = 3,
    .linesPerBlock = 8,
    .columnsPerLine = 24,
    .afterHighCountByte = "",
    .labelPrefix = "第 ",
    .labelSuffixFirstBlock = " 根针:",
    .labelSuffixOtherBlocks = "根针:",
    .blankLinesBeforeClosing = 2,
};

static_assert(NinePin.fitsImageColumn() && TwentyFourPin.fitsImageColumn());

// The closing lines, shared by both kinds.
inline constexpr std::string_view kAdvertisingLine = "Vorna打印机必有一款适合您！";
inline constexpr std::string_view kServicePhone1 = "400-618-2735";
inline constexpr std::string_view kServicePhone2 = "800-527-0194";

// Writes the whole test page for `profile` to the open channel, record by record, in page order.
// Throws what the channel throws.
void writePinTestPage(PrintChannel& channel, const PinTestProfile& profile);

}  // namespace kestrun
