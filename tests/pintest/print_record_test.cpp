#include "pintest/print_record.h"

#include <gtest/gtest.h>

#include <climits>

namespace kestrun {
namespace {

Bytes bytes(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) {
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

TEST(EncodeRecord, ControlCodesAndLineBreak) {
    EXPECT_EQ(encodeRecord({{CharCode{27}, Text{"@"}, CharCode{26}, Text{"Q"}}, true}),
              bytes({0x1B, 0x40, 0x1A, 0x51, 0x0D, 0x0A}));
    EXPECT_EQ(encodeRecord({{}, true}), bytes({0x0D, 0x0A}));
    EXPECT_TRUE(encodeRecord({{}, false}).empty());
}

TEST(EncodeRecord, EveryCharacterCodeIsItsOwnSingleByte) {
    for (int code = 0; code <= 255; ++code) {
        const auto value = static_cast<std::uint8_t>(code);
        EXPECT_EQ(encodeRecord({{CharCode{value}}, false}), Bytes{value}) << code;
    }
    EXPECT_EQ(encodeRecord({{CharCode{128}, CharCode{0}, CharCode{0}}, false}),
              bytes({0x80, 0x00, 0x00}));
}

TEST(EncodeRecord, NumbersAreFramedByBlanksOrSign) {
    EXPECT_EQ(encodeRecord({{Number{7}}, false}), bytes({0x20, 0x37, 0x20}));
    EXPECT_EQ(encodeRecord({{Number{10}}, false}), bytes({0x20, 0x31, 0x30, 0x20}));
    EXPECT_EQ(encodeRecord({{Number{0}}, false}), bytes({0x20, 0x30, 0x20}));
    EXPECT_EQ(encodeRecord({{Number{-42}}, false}), bytes({0x2D, 0x34, 0x32, 0x20}));
    const Bytes min = encodeRecord({{Number{LONG_MIN}}, false});
    EXPECT_EQ(std::string(min.begin(), min.end()), "-9223372036854775808 ");
}

TEST(EncodeRecord, ChineseTextInCodePage936) {
    EXPECT_EQ(encodeRecord({{Text{"第"}, Number{1}, Text{"根针:"}}, false}),
              bytes({0xB5, 0xDA, 0x20, 0x31, 0x20, 0xB8, 0xF9, 0xD5, 0xEB, 0x3A}));
    EXPECT_EQ(encodeRecord({{Text{"！"}}, false}), bytes({0xA3, 0xA1}));
    EXPECT_EQ(encodeRecord({{Text{"Vorna打印机"}}, true}),
              bytes({'V', 'o', 'r', 'n', 'a', 0xB4, 0xF2, 0xD3, 0xA1, 0xBB, 0xFA, 0x0D, 0x0A}));
}

TEST(EncodeRecord, NulInsideTextIsSentAsAByte) {
    // The 9-pin image command's high count byte is a NUL joined to text.
    EXPECT_EQ(encodeRecord({{Text{std::string("\0--", 3)}}, false}), bytes({0x00, 0x2D, 0x2D}));
    EXPECT_EQ(encodeRecord({{Text{std::string("\0第", 4)}}, false}), bytes({0x00, 0xB5, 0xDA}));
}

TEST(EncodeRecord, TextOutsideCodePage936IsAnErrorNotAQuestionMark) {
    Bytes out = bytes({0x41});
    for (const char* text : {"测试😀", "\xE9\x80", "\xFF"}) {
        try {
            encodeRecord({{Text{"前"}, Text{text}}, true}, out);
            ADD_FAILURE() << "no error for " << text;
        } catch (const EncodingError& error) {
            EXPECT_EQ(error.errorNumber(), EILSEQ);
            EXPECT_NE(std::string(error.what()).find("GBK"), std::string::npos);
        }
        // Nothing of the failed record is kept, not even its first item.
        EXPECT_EQ(out, bytes({0x41}));
    }
}

}  // namespace
}  // namespace kestrun
