#include "image/writer.h"

namespace image {

namespace {

constexpr unsigned kData = 0;
constexpr unsigned kEndOfFile = 1;

void putByte(char*& out, unsigned byte, unsigned& sum) {
    static const char kDigits[] = "0123456789ABCDEF";
    *out++ = kDigits[(byte >> 4) & 0xFu];
    *out++ = kDigits[byte & 0xFu];
    sum += byte;
}

// One record with its checksum, the two's complement of the sum of its bytes.
void putRecord(char*& out, unsigned address, unsigned type, const std::uint8_t* data,
               unsigned count) {
    unsigned sum = 0;
    *out++ = ':';
    putByte(out, count, sum);
    putByte(out, (address >> 8) & 0xFFu, sum);
    putByte(out, address & 0xFFu, sum);
    putByte(out, type, sum);
    for (unsigned i = 0; i < count; ++i)
        putByte(out, data[i], sum);
    putByte(out, (0x100u - (sum & 0xFFu)) & 0xFFu, sum);
    *out++ = '\n';
}

}  // namespace

std::size_t formatHex(const std::uint8_t* bytes, unsigned count, char* text) {
    char* out = text;
    for (unsigned at = 0; at < count; at += kRecordBytes) {
        unsigned left = count - at;
        putRecord(out, at, kData, bytes + at, left < kRecordBytes ? left : kRecordBytes);
    }
    putRecord(out, 0, kEndOfFile, nullptr, 0);
    return static_cast<std::size_t>(out - text);
}

}  // namespace image
