#include "image/reader.h"

namespace image {

namespace {

constexpr int kEnd = -1;
constexpr int kNone = -2;
constexpr int kCtrlZ = 0x1A;
constexpr unsigned kFlashLast = kFlashBytes - 1;
constexpr unsigned kEepromLast = kEepromBytes - 1;

enum RecordType : unsigned {
    kData = 0,
    kEndOfFile = 1,
    kSegmentBase = 2,
    kSegmentStart = 3,
    kLinearBase = 4,
    kLinearStart = 5,
};

int fetch(Reader& r) {
    if (r.at >= r.size) return kEnd;
    int c = static_cast<unsigned char>(r.text[r.at++]);
    if (c == kCtrlZ) {
        r.at = r.size;
        return kEnd;
    }
    if (c == '\r' && r.at < r.size && r.text[r.at] == '\n') c = r.text[r.at++];
    return c;
}

// The next character, or kEnd; looking at the end is what sets atEnd.
int peek(Reader& r) {
    if (r.pending == kNone) r.pending = r.atEnd ? kEnd : fetch(r);
    if (r.pending == kEnd) r.atEnd = true;
    return r.pending;
}

void take(Reader& r) {
    if (r.pending != kEnd) r.pending = kNone;
}

bool isBlank(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void skipBlanks(Reader& r) {
    while (isBlank(peek(r)))
        take(r);
}

// Skips blanks, then takes up to `digits` hexadecimal digits. Returns false
// when there is none.
bool readHex(Reader& r, int digits, unsigned& value) {
    skipBlanks(r);
    value = 0;
    int taken = 0;
    while (taken < digits && hexValue(peek(r)) >= 0) {
        value = value * 16 + static_cast<unsigned>(hexValue(peek(r)));
        take(r);
        ++taken;
    }
    return taken > 0;
}

// Skips the rest of the line and the blanks after it. A line end that comes
// at once is left unread, so the next record start is then missing.
void skipLine(Reader& r) {
    int skipped = 0;
    while (peek(r) != kEnd && peek(r) != '\n') {
        take(r);
        ++skipped;
    }
    if (skipped > 0) skipBlanks(r);
}

}  // namespace

void startReading(Reader& reader, const char* text, std::size_t size, MemoryKind kind) {
    reader = Reader{
        text, size, 0, kNone, false, 0, kind == MemoryKind::Flash ? kFlashLast : kEepromLast};
}

ReadError readRecord(Reader& r, Record& record) {
    record.count = 0;
    if (peek(r) != ':') return ReadError::NoStart;
    take(r);
    unsigned count = 0;
    unsigned field = 0;
    unsigned type = 0;
    if (!readHex(r, 2, count) || !readHex(r, 4, field) || !readHex(r, 2, type)) {
        return ReadError::BadHeader;
    }
    if (type == kEndOfFile || type == kSegmentStart || type == kLinearStart) {
        skipLine(r);
        return ReadError::None;
    }
    if (type != kData && type != kSegmentBase && type != kLinearBase) return ReadError::UnknownType;

    unsigned sum = count + (field >> 8) + field + type;
    for (unsigned i = 0; i < count; ++i) {
        unsigned byte = 0;
        if (!readHex(r, 2, byte)) return ReadError::BadData;
        record.data[i] = static_cast<std::uint8_t>(byte);
        sum += byte;
    }
    unsigned checksum = 0;
    if (!readHex(r, 2, checksum)) return ReadError::BadData;
    skipBlanks(r);
    if (((sum + checksum) & 0xFFu) != 0) return ReadError::BadChecksum;

    if (type != kData) {
        if (count != 2) return ReadError::BadData;
        std::uint32_t value = (record.data[0] << 8) | record.data[1];
        r.base = type == kSegmentBase ? value << 4 : value << 16;
        return ReadError::None;
    }
    record.address = r.base + field;
    if (count > 0 && static_cast<std::uint64_t>(record.address) + count - 1 > r.last) {
        return ReadError::OutOfRange;
    }
    record.count = count;
    return ReadError::None;
}

ReadError readImage(const char* text, std::size_t size, MemoryKind kind, std::uint8_t* packed,
                    Image& image, unsigned& failedRecord) {
    Reader reader;
    startReading(reader, text, size, kind);
    Record record;
    std::size_t at = 0;
    for (failedRecord = 1; !reader.atEnd; ++failedRecord) {
        ReadError error = readRecord(reader, record);
        image = Image{kind, packed, at};
        if (error != ReadError::None) return error;
        std::uint32_t address = record.count > 0 ? record.address : 0;
        packed[at++] = static_cast<std::uint8_t>(record.count);
        packed[at++] = static_cast<std::uint8_t>(address >> 8);
        packed[at++] = static_cast<std::uint8_t>(address);
        for (unsigned i = 0; i < record.count; ++i)
            packed[at++] = record.data[i];
    }
    image = Image{kind, packed, at};
    return ReadError::None;
}

ImageRecord nextRecord(const Image& image, std::size_t& offset) {
    const std::uint8_t* at = image.packed + offset;
    ImageRecord record{at[0], (unsigned{at[1]} << 8) | at[2], at + 3};
    offset += 3 + record.count;
    return record;
}

const char* reasonOf(ReadError error) {
    switch (error) {
        case ReadError::NoStart:
            return "no record start";
        case ReadError::BadHeader:
            return "unreadable header";
        case ReadError::BadData:
            return "unreadable data";
        case ReadError::BadChecksum:
            return "checksum mismatch";
        case ReadError::UnknownType:
            return "unknown record type";
        case ReadError::OutOfRange:
            return "address out of range";
        case ReadError::None:
            break;
    }
    return "";
}

}  // namespace image
