// Names read from outside (file and port names, USB strings, process names)
// as a message may print them: a control character in one could move the
// cursor or recolour the terminal, so each is shown as \xNN instead.
#pragma once

#include <cstddef>

namespace text {

// Room for any name of up to PATH_MAX bytes, every byte escaped.
constexpr std::size_t kPrintableBytes = 4 * 4096 + 4;

// name itself where it holds no control character and is valid UTF-8 (so an
// ordinary name prints as it always has); otherwise buffer, holding name with
// each C0 and C1 control character, DEL and byte that is not part of a UTF-8
// character written as \xNN (cut at size, ending "..."). Never nullptr.
const char* printable(const char* name, char* buffer, std::size_t size);

// The same with a buffer of its own for each of a message's few names.
struct Printable {
    char buffer[kPrintableBytes];
    const char* of(const char* name) { return printable(name, buffer, sizeof buffer); }
};

}  // namespace text
