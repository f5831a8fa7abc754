#include "pintest/pin_test_page.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "page_bytes.h"

namespace kestrun {
namespace {

using testing::pageBytes;

// The whole page, byte for byte, against the pages checked in beside the tests.
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

// Apart from the checked-in pages: every pin line fires exactly its own pin. Line i of block b
// sets bit (E - i) of byte b in every column, and the count runs on across blocks.
TEST(PinTestPage, EveryPinLineFiresOnlyItsOwnPin) {
    for (const PinTestProfile* profile : {&NinePin, &TwentyFourPin}) {
        const Bytes bytes = pageBytes(*profile);
        const std::string page(bytes.begin(), bytes.end());
        const bool nine = profile == &NinePin;
        const int lines = nine ? 3 : 8;
        std::size_t at = 0;
        for (int pin = 1; pin <= (nine ? 9 : 24); ++pin) {
            SCOPED_TRACE(pin);
            // 第, the number between blanks, 根针: in code page 936, then ESC * 39 n 0.
            std::string label = "\xB5\xDA";
            label.append(nine ? 1 : 2, ' ').append(std::to_string(pin));
            label.append(!nine && pin <= 8 ? 2 : 1, ' ').append("\xB8\xF9\xD5\xEB:\x1B*'");
            label.append(nine ? std::string("\xC8\0--", 4) : std::string("\x18\0", 2));
            at = page.find(label, at);
            ASSERT_NE(at, std::string::npos) << "no line for this pin";
            std::string column(3, '\0');
            column[(pin - 1) / lines] = static_cast<char>(1 << (lines - 1 - (pin - 1) % lines));
            at += label.size();
            for (int c = 0; c < (nine ? 200 : 24); ++c, at += 3) {
                ASSERT_EQ(page.compare(at, 3, column), 0) << "column " << c;
            }
            ASSERT_EQ(page.compare(at, 2, "\r\n"), 0);
        }
    }
}

TEST(EncodeRecord, ItemsBecomeTheirBytes) {
    const std::pair<PrintRecord, Bytes> cases[] = {
        {{{CharCode{27}, Text{"@"}, CharCode{26}, Text{"Q"}}, true},
         {0x1B, 0x40, 0x1A, 0x51, 0x0D, 0x0A}},
        {{{}, false}, {}},
        {{{Number{7}, Number{10}, Number{0}}, false},
         {0x20, 0x37, 0x20, 0x20, 0x31, 0x30, 0x20, 0x20, 0x30, 0x20}},
        {{{Number{-42}, CharCode{0x80}, CharCode{0xFF}}, false},
         {0x2D, 0x34, 0x32, 0x20, 0x80, 0xFF}},
        // A heading in code page 936, with a number and a NUL joined to text.
        {{{Text{"打印机断针测针程序"}, Number{9}, Text{std::string("针:\0--", 7)}}, true},
         {0xB4, 0xF2, 0xD3, 0xA1, 0xBB, 0xFA, 0xB6, 0xCF, 0xD5, 0xEB, 0xB2, 0xE2, 0xD5, 0xEB, 0xB3,
          0xCC, 0xD0, 0xF2, 0x20, 0x39, 0x20, 0xD5, 0xEB, 0x3A, 0x00, 0x2D, 0x2D, 0x0D, 0x0A}},
        {{{Text{"！"}}, false}, {0xA3, 0xA1}},
    };
    for (const auto& [record, bytes] : cases) {
        EXPECT_EQ(encodeRecord(record), bytes);
    }
    const Bytes min = encodeRecord({{Number{LONG_MIN}}, false});
    EXPECT_EQ(std::string(min.begin(), min.end()), "-9223372036854775808 ");
}

TEST(EncodeRecord, TextOutsideCodePage936IsAnErrorNotAQuestionMark) {
    Bytes out{0x41};
    for (const char* text : {"测试😀", "\xE9\x80", "\xFF"}) {
        try {
            encodeRecord({{Text{"前"}, Text{text}}, true}, out);
            ADD_FAILURE() << "no error for " << text;
        } catch (const EncodingError& error) {
            EXPECT_EQ(error.errorNumber(), EILSEQ);
            EXPECT_NE(std::string(error.what()).find("GBK"), std::string::npos);
        }
        // Nothing of the failed record is kept, not even its first item.
        EXPECT_EQ(out, Bytes{0x41});
    }
}

}  // namespace
}  // namespace kestrun
