#include "pintest/print_record.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <memory>

namespace kestrun {
namespace {

// Appends `utf8` in code page 936. ASCII stays as it is there, so most texts need no iconv.
void appendText(const std::string& utf8, Bytes& out) {
    const bool ascii = std::all_of(utf8.begin(), utf8.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
        out.insert(out.end(), utf8.begin(), utf8.end());
        return;
    }
    const iconv_t cd = iconv_open("CP936", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        throw EncodingError(errno, "系统缺少中文编码转换（GBK），无法生成测试页。");
    }
    const std::unique_ptr<void, int (*)(iconv_t)> closeOnReturn(cd, iconv_close);
    const std::size_t start = out.size();
    // GBK needs at most two bytes for a character that UTF-8 writes in two to four.
    out.resize(start + utf8.size() + 1);
    char* in = const_cast<char*>(utf8.data());
    std::size_t inLeft = utf8.size();
    char* to = reinterpret_cast<char*>(out.data() + start);
    std::size_t toLeft = out.size() - start;
    if (iconv(cd, &in, &inLeft, &to, &toLeft) == static_cast<std::size_t>(-1)) {
        // A sequence cut off at the end of the text is as unsendable as a wrong one.
        const int error = errno == EINVAL ? EILSEQ : errno;
        out.resize(start);
        throw EncodingError(
            error, "文字“" + utf8 + "”含有打印机中文编码（GBK）无法表示的字符，无法发送。");
    }
    out.resize(out.size() - toLeft);
}

void appendNumber(long value, Bytes& out) {
    out.push_back(value < 0 ? '-' : ' ');
    std::array<char, 24> digits{};
    // Digits of the magnitude; the sign is already written. Unsigned avoids overflow at LONG_MIN.
    const unsigned long magnitude =
        value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), magnitude).ptr;
    out.insert(out.end(), digits.data(), end);
    out.push_back(' ');
}

}  // namespace

void encodeRecord(const PrintRecord& record, Bytes& out) {
    const std::size_t start = out.size();
    try {
        for (const PrintItem& item : record.items) {
            if (const auto* text = std::get_if<Text>(&item)) {
                appendText(text->utf8, out);
            } else if (const auto* code = std::get_if<CharCode>(&item)) {
                out.push_back(code->code);
            } else {
                appendNumber(std::get<Number>(item).value, out);
            }
        }
    } catch (...) {
        out.resize(start);
        throw;
    }
    if (record.lineBreak) {
        out.push_back('\r');
        out.push_back('\n');
    }
}

Bytes encodeRecord(const PrintRecord& record) {
    Bytes out;
    encodeRecord(record, out);
    return out;
}

}  // namespace kestrun
