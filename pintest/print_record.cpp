#include "pintest/print_record.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <unordered_map>

namespace kestrun {
namespace {

// Code page 936 keeps ASCII as single bytes, so only text with other characters goes through
// iconv. The descriptor is opened once per thread: opening it costs more than a whole page.
class Cp936Converter {
public:
    // The reason iconv_open gave is kept: by the time a text needs converting, errno may tell of
    // another call.
    Cp936Converter()
        : cd_(iconv_open("CP936", "UTF-8")), openError_(cd_ == invalid() ? errno : 0) {}
    ~Cp936Converter() {
        if (cd_ != invalid()) {
            iconv_close(cd_);
        }
    }
    Cp936Converter(const Cp936Converter&) = delete;
    Cp936Converter& operator=(const Cp936Converter&) = delete;

    void append(const std::string& utf8, Bytes& out) {
        if (cd_ == invalid()) {
            throw EncodingError(openError_, "系统缺少中文编码转换（GBK），无法生成测试页。");
        }
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // back to the initial state

        const std::size_t start = out.size();
        // GBK needs at most two bytes for a character that UTF-8 writes in two to four.
        out.resize(start + utf8.size() + 1);
        char* in = const_cast<char*>(utf8.data());
        std::size_t inLeft = utf8.size();
        char* to = reinterpret_cast<char*>(out.data() + start);
        std::size_t toLeft = out.size() - start;
        if (iconv(cd_, &in, &inLeft, &to, &toLeft) == static_cast<std::size_t>(-1)) {
            // A sequence cut off at the end of the text is as unsendable as a wrong one.
            const int error = errno == EINVAL ? EILSEQ : errno;
            out.resize(start);
            throw EncodingError(
                error, "文字“" + utf8 + "”含有打印机中文编码（GBK）无法表示的字符，无法发送。");
        }
        out.resize(out.size() - toLeft);
    }

private:
    static iconv_t invalid() { return reinterpret_cast<iconv_t>(-1); }
    iconv_t cd_;
    int openError_;
};

void appendText(const std::string& utf8, Bytes& out) {
    const bool ascii = std::all_of(utf8.begin(), utf8.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
        out.insert(out.end(), utf8.begin(), utf8.end());
        return;
    }
    // A page repeats the same few labels dozens of times; converting each once keeps a page
    // within a few microseconds.
    thread_local Cp936Converter converter;
    thread_local std::unordered_map<std::string, Bytes> converted;
    if (const auto hit = converted.find(utf8); hit != converted.end()) {
        out.insert(out.end(), hit->second.begin(), hit->second.end());
        return;
    }
    const std::size_t start = out.size();
    converter.append(utf8, out);
    if (converted.size() < 64) {
        converted.emplace(utf8, Bytes(out.begin() + static_cast<long>(start), out.end()));
    }
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
