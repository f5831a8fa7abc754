#include "pintest/pin_test_page.h"

#include <climits>

#include "golden.h"
#include "matchers.h"
#include "page_bytes.h"

namespace kestrun {
namespace {

using namespace support;

// The whole page, byte for byte, against the pages checked in beside the tests
// (tests/data/README.md says how they are made again).
TEST(PinTestPage, MatchesTheCheckedInPages) {
    expectGolden("nine-pin-page.bin", text(pageBytes(NinePin)));
    expectGolden("twenty-four-pin-page.bin", text(pageBytes(TwentyFourPin)));
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
