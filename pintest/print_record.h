#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "platform/error.h"

namespace kestrun {

using Bytes = std::vector<std::uint8_t>;

// A text item: Unicode (UTF-8) text, sent to the printer in code page 936. It may hold NUL
// characters; they are sent as 0x00 like any other character.
struct Text {
    std::string utf8;
};

// A character code item: exactly one byte on the wire, whatever its value.
struct CharCode {
    std::uint8_t code;
};

// A number item: printed as a blank or "-", the decimal digits, and a blank.
struct Number {
    long value;
};

using PrintItem = std::variant<Text, CharCode, Number>;

// One print statement: its items back to back, then CR LF if it ends the line. Without the line
// break the next record goes on along the same printed line.
struct PrintRecord {
    std::vector<PrintItem> items;
    bool lineBreak = false;
};

// Text that code page 936 cannot express (or text that is not valid UTF-8). Sending a '?' in its
// place would print something the user never asked for.
class EncodingError : public Error {
public:
    using Error::Error;
};

// The exact bytes of a record. Throws EncodingError.
Bytes encodeRecord(const PrintRecord& record);

// The same, appended to `out`, so that a whole page can be encoded into one buffer. On
// EncodingError `out` is left as it was.
void encodeRecord(const PrintRecord& record, Bytes& out);

}  // namespace kestrun
