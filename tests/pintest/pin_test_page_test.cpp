#include "pintest/pin_test_page.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>

#include "page_bytes.h"

namespace kestrun {
namespace {

using testing::concat;
using testing::hex;
using testing::pageBytes;
using testing::repeat;

const Bytes kCrLf = hex({0x0D, 0x0A});
const Bytes k24Command = hex({0x1B, 0x2A, 0x27, 0x18, 0x00});
const Bytes k9Command = hex({0x1B, 0x2A, 0x27, 0xC8, 0x00, 0x2D, 0x2D});
const Bytes kSuffix = hex({0xB8, 0xF9, 0xD5, 0xEB, 0x3A});  // 根针:

Bytes slice(const Bytes& page, std::size_t from, std::size_t length) {
    EXPECT_LE(from + length, page.size());
    return Bytes(page.begin() + static_cast<long>(from),
                 page.begin() + static_cast<long>(std::min(from + length, page.size())));
}

// Where the line of `pin` starts, from the line lengths the page must have.
std::size_t lineStart(const PinTestProfile& profile, int pin) {
    if (&profile == &NinePin) {
        return 77 + static_cast<std::size_t>(pin - 1) * 619;
    }
    std::size_t at = 79;
    for (int p = 1; p < pin; ++p) {
        at += p == 9 ? 90 : 91;
    }
    return at;
}

TEST(PinTestPage, OpensWithResetHeadingAndExplanation) {
    const Bytes nine = pageBytes(NinePin);
    EXPECT_EQ(slice(nine, 0, 6), hex({0x1B, 0x40, 0x1A, 0x51, 0x0D, 0x0A}));
    EXPECT_EQ(slice(nine, 6, 24), encodeRecord({{Text{"打印机断针测针程序9针:"}}, true}));
    EXPECT_EQ(slice(nine, 30, 47),
              encodeRecord({{Text{"下面是1-9针数字未出现横线的表示该号打印为断针"}}, true}));

    const Bytes twentyFour = pageBytes(TwentyFourPin);
    EXPECT_EQ(slice(twentyFour, 0, 6), slice(nine, 0, 6));
    EXPECT_EQ(slice(twentyFour, 6, 25), encodeRecord({{Text{"打印机断针测针程序24针:"}}, true}));
    EXPECT_EQ(slice(twentyFour, 31, 48),
              encodeRecord({{Text{"下面是1-24针数字未出现横线的表示该号打印为断针"}}, true}));
}

TEST(PinTestPage, WorkedPinLinesOfTheTwentyFourPinPage) {
    const Bytes page = pageBytes(TwentyFourPin);
    const Bytes pin1 = concat({hex({0xB5, 0xDA, 0x20, 0x20, 0x31, 0x20, 0x20}), kSuffix, k24Command,
                               repeat(hex({0x80, 0, 0}), 24), kCrLf});
    const Bytes pin9 = concat({hex({0xB5, 0xDA, 0x20, 0x20, 0x39, 0x20}), kSuffix, k24Command,
                               repeat(hex({0, 0x80, 0}), 24), kCrLf});
    const Bytes pin10Label = concat({hex({0xB5, 0xDA, 0x20, 0x20, 0x31, 0x30, 0x20}), kSuffix});
    const Bytes pin24 = concat({hex({0xB5, 0xDA, 0x20, 0x20, 0x32, 0x34, 0x20}), kSuffix,
                                k24Command, repeat(hex({0, 0, 0x01}), 24), kCrLf});
    ASSERT_EQ(pin1.size(), 91u);
    ASSERT_EQ(pin9.size(), 90u);
    EXPECT_EQ(slice(page, lineStart(TwentyFourPin, 1), 91), pin1);
    EXPECT_EQ(slice(page, lineStart(TwentyFourPin, 9), 90), pin9);
    EXPECT_EQ(slice(page, lineStart(TwentyFourPin, 10), 12), pin10Label);
    EXPECT_EQ(slice(page, lineStart(TwentyFourPin, 24), 91), pin24);
}

TEST(PinTestPage, WorkedPinLinesOfTheNinePinPage) {
    const Bytes page = pageBytes(NinePin);
    const Bytes pin1 = concat({hex({0xB5, 0xDA, 0x20, 0x31, 0x20}), kSuffix, k9Command,
                               repeat(hex({0x04, 0, 0}), 200), kCrLf});
    const Bytes pin5 = concat({hex({0xB5, 0xDA, 0x20, 0x35, 0x20}), kSuffix, k9Command,
                               repeat(hex({0, 0x02, 0}), 200), kCrLf});
    ASSERT_EQ(pin1.size(), 619u);
    EXPECT_EQ(slice(page, lineStart(NinePin, 1), 619), pin1);
    EXPECT_EQ(slice(page, lineStart(NinePin, 5), 619), pin5);
}

// Every pin line fires exactly its own pin: line i of block b sets bit (E - i) of byte b in
// every column, and the counter runs on across blocks.
TEST(PinTestPage, EveryPinLineFiresOnlyItsOwnPin) {
    for (const PinTestProfile* profile : {&NinePin, &TwentyFourPin}) {
        const Bytes page = pageBytes(*profile);
        const bool nine = profile == &NinePin;
        const int lines = nine ? 3 : 8;
        for (int pin = 1; pin <= (nine ? 9 : 24); ++pin) {
            SCOPED_TRACE(pin);
            const int block = (pin - 1) / lines + 1;
            const int line = (pin - 1) % lines + 1;
            const std::size_t start = lineStart(*profile, pin);
            const std::size_t length = nine ? 619 : (pin == 9 ? 90 : 91);
            const Bytes whole = slice(page, start, length);
            ASSERT_EQ(slice(whole, length - 2, 2), kCrLf);

            // Appended piece by piece: GCC 12 at -O3 misreads `" " + to_string(pin) + " "` as an
            // overlapping copy (-Wrestrict).
            std::string number(1, ' ');
            number.append(std::to_string(pin)).push_back(' ');
            const Bytes label = concat({hex({0xB5, 0xDA}), Bytes(nine ? 0 : 1, 0x20),
                                        Bytes(number.begin(), number.end()),
                                        Bytes(!nine && block == 1 ? 1 : 0, 0x20), kSuffix});
            ASSERT_EQ(slice(whole, 0, label.size()), label);

            const Bytes& command = nine ? k9Command : k24Command;
            ASSERT_EQ(slice(whole, label.size(), command.size()), command);
            const Bytes columns = slice(whole, label.size() + command.size(),
                                        length - 2 - label.size() - command.size());
            ASSERT_EQ(columns.size(), nine ? 600u : 72u);
            Bytes column(3, 0);
            column[static_cast<std::size_t>(block - 1)] =
                static_cast<std::uint8_t>(1 << ((nine ? 3 : 8) - line));
            EXPECT_EQ(columns, repeat(column, nine ? 200 : 24));
        }
    }
}

TEST(PinTestPage, ClosesWithBlankLinesAdvertisingAndContact) {
    const Bytes advertising = encodeRecord({{Text{"Vorna打印机必有一款适合您！"}}, true});
    for (const PinTestProfile* profile : {&NinePin, &TwentyFourPin}) {
        const Bytes page = pageBytes(*profile);
        const bool nine = profile == &NinePin;
        const std::size_t afterPins = lineStart(*profile, nine ? 10 : 25);
        const std::size_t blanks = nine ? 1 : 2;
        EXPECT_EQ(slice(page, afterPins, 2 * blanks), repeat(kCrLf, static_cast<int>(blanks)));
        EXPECT_EQ(slice(page, afterPins + 2 * blanks, advertising.size()), advertising);

        const std::size_t contactStart = afterPins + 2 * blanks + advertising.size();
        const Bytes contact(page.begin() + static_cast<long>(contactStart), page.end());
        const Bytes prefix = encodeRecord({{Text{"Vorna联系电话"}}, false});
        ASSERT_GT(contact.size(), prefix.size());
        EXPECT_EQ(slice(contact, 0, prefix.size()), prefix);
        const std::string numbers(contact.begin() + static_cast<long>(prefix.size()),
                                  contact.end());
        EXPECT_TRUE(std::regex_match(
            numbers, std::regex("  [0-9]{3}-[0-9]{3}-[0-9]{4}  [0-9]{3}-[0-9]{3}-[0-9]{4}\r\n")))
            << numbers;
    }
}

TEST(PinTestPage, MatchesTheCheckedInPages) {
    for (const auto& [profile, file] : {std::pair{&NinePin, "nine-pin-page.bin"},
                                        std::pair{&TwentyFourPin, "twenty-four-pin-page.bin"}}) {
        SCOPED_TRACE(file);
        const std::string path = std::string(KESTRUN_TEST_DATA) + "/" + file;
        const Bytes actual = pageBytes(*profile);
        if (std::getenv("KESTRUN_WRITE_GOLDEN") != nullptr) {
            std::ofstream(path, std::ios::binary)
                .write(reinterpret_cast<const char*>(actual.data()),
                       static_cast<std::streamsize>(actual.size()));
        }
        std::ifstream in(path, std::ios::binary);
        ASSERT_TRUE(in) << "missing " << path;
        const Bytes expected{std::istreambuf_iterator<char>(in), {}};
        EXPECT_TRUE(expected == actual) << testing::hexDiff(expected, actual);
    }
}

}  // namespace
}  // namespace kestrun
