// The Intel HEX writer: bytes in, text out. Pure, like the reader: it knows
// nothing of files, chips or ports.
#pragma once

#include <cstddef>
#include <cstdint>

namespace image {

// Data bytes per record, as most tools write them.
constexpr unsigned kRecordBytes = 16;

// The length of the text formatHex makes of count bytes: a line of 12
// characters and two per byte for each record, and the end-of-file record.
constexpr std::size_t hexTextSize(unsigned count) {
    return (count + kRecordBytes - 1) / kRecordBytes * 12 + 2 * std::size_t{count} + 12;
}

// Writes count bytes (at most 65536) into text as data records from address
// 0, every byte kept (0xFF too), then the end-of-file record: uppercase
// digits, 4-digit addresses and "\n" line ends. text must hold
// hexTextSize(count) characters; nothing else is written. Returns that size.
std::size_t formatHex(const std::uint8_t* bytes, unsigned count, char* text);

}  // namespace image
