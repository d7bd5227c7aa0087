#include "text/printable.h"

#include <cstdio>
#include <cstring>

namespace text {

namespace {

// The length of the UTF-8 character at s that a terminal may print as it is:
// 1 for a printable ASCII byte, 2 to 4 for a valid multi-byte character other
// than a C1 control (U+0080 to U+009F); 0 for anything to escape.
std::size_t printableLength(const unsigned char* s) {
    unsigned char c = s[0];
    if (c >= 0x20 && c < 0x7F) return 1;
    std::size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                         : c >= 0xE0 && c <= 0xEF ? 3
                         : c >= 0xF0 && c <= 0xF4 ? 4
                                                  : 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    if ((c == 0xE0 && s[1] < 0xA0) || (c == 0xED && s[1] > 0x9F) || (c == 0xF0 && s[1] < 0x90) ||
        (c == 0xF4 && s[1] > 0x8F) || (c == 0xC2 && s[1] <= 0x9F)) {
        return 0;
    }
    return length;
}

}  // namespace

const char* printable(const char* name, char* buffer, std::size_t size) {
    const auto* s = reinterpret_cast<const unsigned char*>(name);
    std::size_t at = 0;
    for (std::size_t length; s[at] != '\0'; at += length) {
        if ((length = printableLength(s + at)) == 0) break;
    }
    if (s[at] == '\0') return name;
    std::size_t used = 0;
    auto fits = [&](std::size_t n) { return used + n + 4 <= size; };
    for (std::size_t i = 0; s[i] != '\0';) {
        std::size_t length = printableLength(s + i);
        if (length == 0 && fits(4)) {
            std::snprintf(buffer + used, 5, "\\x%02x", s[i]);
            used += 4;
            i += 1;
        } else if (length != 0 && fits(length)) {
            std::memcpy(buffer + used, s + i, length);
            used += length;
            i += length;
        } else {
            std::memcpy(buffer + used, "...", 3);
            used += 3;
            break;
        }
    }
    buffer[used] = '\0';
    return buffer;
}

}  // namespace text
