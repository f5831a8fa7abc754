#include "pintest/pin_test_page.h"

#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <iterator>

#include "matchers.h"
#include "page_bytes.h"

namespace kestrun {
namespace {

using namespace testing;

// The whole page, byte for byte, against the pages checked in beside the tests.
TEST(PinTestPage, MatchesTheCheckedInPages) {
    for (const auto& [profile, file] : {std::pair{&NinePin, "nine-pin-page.bin"},
                                        std::pair{&TwentyFourPin, "twenty-four-pin-page.bin"}}) {
        SCOPED_TRACE(file);
        const std::string path = std::string(KESTRUN_TEST_DATA) + "/" + file;
        const Bytes actual = pageBytes(*profile);
        std::ifstream in(path, std::ios::binary);
        ASSERT_TRUE(in) << "missing " << path;
        const Bytes expected{std::istreambuf_iterator<char>(in), {}};
        EXPECT_EQ(text(expected), text(actual));
    }
}

// Apart from the checked-in pages: every pin line fires exactly its own pin. Line i of block b
// sets bit (E - i) of byte b in every column, and the count runs on across blocks.
TEST(PinTestPage, EveryPinLineFiresOnlyItsOwnPin) {
    for (const PinTestProfile* profile : {&NinePin, &TwentyFourPin}) {
        const std::string page = text(pageBytes(*profile));
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

// The heading in code page 936, apart from the pages; and what the pages do not show: a sign,
// the widest number, a character code above any on the pages.
TEST(EncodeRecord, ItemsBecomeTheirBytesAndTextOutsideCodePage936IsAnError) {
    EXPECT_EQ(
        text(encodeRecord({{Text{"打印机断针测针程序"}, Number{-9}, Text{"针:"}}, true})),
        "\xB4\xF2\xD3\xA1\xBB\xFA\xB6\xCF\xD5\xEB\xB2\xE2\xD5\xEB\xB3\xCC\xD0\xF2-9 \xD5\xEB:\r\n");
    EXPECT_EQ(text(encodeRecord({{Number{LONG_MIN}}, false})), "-9223372036854775808 ");
    EXPECT_EQ(encodeRecord({{CharCode{0xFF}, CharCode{0}}, false}), (Bytes{0xFF, 0}));

    // Text outside code page 936 is an error, not a question mark.
    Bytes out{0x41};
    for (const char* text : {"测试😀", "\xE9\x80", "\xFF"}) {
        const auto encode = [&] { encodeRecord({{Text{"前"}, Text{text}}, true}, out); };
        EXPECT_THAT(encode, Throws<EncodingError>(FailsWith(EILSEQ, HasSubstr("GBK"))));
        // Nothing of the failed record is kept, not even its first item.
        EXPECT_EQ(out, Bytes{0x41});
    }
}

}  // namespace
}  // namespace kestrun
