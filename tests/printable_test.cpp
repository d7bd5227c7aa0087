// Names from outside as messages print them.
#include "text/printable.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Printable, EscapesControlCharactersAndKeepsUtf8) {
    const struct {
        std::string name, shown;
    } rows[] = {
        {"blink.hex", "blink.hex"},
        {"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x8C",
         "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x8C"},
        {"\x1B[2J\t\x7F", "\\x1b[2J\\x09\\x7f"},
        {"\xC2\x9B"
         "31m",
         "\\xc2\\x9b31m"},                             // CSI, a C1 control, in UTF-8
        {"\x9B\xFF\xE2\x82", "\\x9b\\xff\\xe2\\x82"},  // no UTF-8: stray, invalid, cut short
        {"\xED\xA0\x80\xC0\xAF", "\\xed\\xa0\\x80\\xc0\\xaf"},  // a surrogate, an overlong "/"
    };
    char buffer[64];
    for (const auto& row : rows) {
        const char* shown = text::printable(row.name.c_str(), buffer, sizeof buffer);
        EXPECT_EQ(shown, row.shown);
        EXPECT_EQ(shown == row.name.c_str(), row.name == row.shown) << row.shown;
    }
    EXPECT_STREQ(text::printable("\x01\x01\x01", buffer, 10), "\\x01...");
}

}  // namespace
