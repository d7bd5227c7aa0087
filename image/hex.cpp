#include "image/hex.h"

#include <cstdint>
#include <cstdio>

#include "isp/instructions.h"
#include "link/platform.h"

namespace image {

namespace {

constexpr int kEnd = -1;
constexpr int kNone = -2;
constexpr int kCtrlZ = 0x1A;
constexpr unsigned kFlashLast = 0x3FF;
constexpr unsigned kEepromLast = 0x3F;
constexpr unsigned kWriteSettleMs = 10;

// The file read as text the same way everywhere: CR LF reads as LF and a
// Ctrl-Z ends the file. `atEnd` is set once a read has run into the end,
// which is what ends the record loop.
struct Reader {
    std::FILE* file;
    int pending;
    bool atEnd;
};

int fetch(Reader& r) {
    int c = std::fgetc(r.file);
    if (c == EOF || c == kCtrlZ) return kEnd;
    if (c == '\r') {
        int next = std::fgetc(r.file);
        if (next == '\n') return '\n';
        if (next != EOF) std::ungetc(next, r.file);
    }
    return c;
}

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

enum class Status { Ok, NoStart, BadHeader, BadData, BadChecksum, UnknownType, OutOfRange };

const char* reasonOf(Status status) {
    switch (status) {
        case Status::NoStart:
            return "no record start";
        case Status::BadHeader:
            return "unreadable header";
        case Status::BadData:
            return "unreadable data";
        case Status::BadChecksum:
            return "checksum mismatch";
        case Status::UnknownType:
            return "unknown record type";
        case Status::OutOfRange:
            return "address out of range";
        case Status::Ok:
            break;
    }
    return "";
}

enum RecordType : unsigned {
    kData = 0,
    kEndOfFile = 1,
    kSegmentBase = 2,
    kSegmentStart = 3,
    kLinearBase = 4,
    kLinearStart = 5,
};

struct Record {
    unsigned count;
    std::uint32_t address;  // of the first data byte, base included
    unsigned type;
    std::uint8_t data[255];
};

// Reads one record; the address base of types 2 and 4 carries over to later records.
Status readRecord(Reader& r, std::uint32_t& base, unsigned last, Record& record) {
    if (peek(r) != ':') return Status::NoStart;
    take(r);
    unsigned count = 0;
    unsigned field = 0;
    unsigned type = 0;
    if (!readHex(r, 2, count) || !readHex(r, 4, field) || !readHex(r, 2, type)) {
        return Status::BadHeader;
    }
    record.count = 0;
    record.type = type;
    if (type == kEndOfFile || type == kSegmentStart || type == kLinearStart) {
        skipLine(r);
        return Status::Ok;
    }
    if (type != kData && type != kSegmentBase && type != kLinearBase) return Status::UnknownType;

    unsigned sum = count + (field >> 8) + field + type;
    for (unsigned i = 0; i < count; ++i) {
        unsigned byte = 0;
        if (!readHex(r, 2, byte)) return Status::BadData;
        record.data[i] = static_cast<std::uint8_t>(byte);
        sum += byte;
    }
    unsigned checksum = 0;
    if (!readHex(r, 2, checksum)) return Status::BadData;
    skipBlanks(r);
    if (((sum + checksum) & 0xFFu) != 0) return Status::BadChecksum;

    if (type != kData) {
        if (count != 2) return Status::BadData;
        std::uint32_t value = (record.data[0] << 8) | record.data[1];
        base = type == kSegmentBase ? value << 4 : value << 16;
        return Status::Ok;
    }
    record.address = base + field;
    if (count > 0 && static_cast<std::uint64_t>(record.address) + count - 1 > last) {
        return Status::OutOfRange;
    }
    record.count = count;
    return Status::Ok;
}

// Writes each byte, gives it time, reads it back. A byte that differs clears
// `verified`; returns false when the load must stop (an EEPROM byte differed).
bool writeRecord(const Record& record, MemoryKind kind, bool& verified) {
    for (unsigned i = 0; i < record.count; ++i) {
        unsigned a = record.address + i;
        unsigned wanted = record.data[i];
        if (kind == MemoryKind::Flash) {
            isp::writeFlashByte(a, wanted);
            platform::sleepMs(kWriteSettleMs);
            unsigned got = isp::readFlashByte(a);
            if (got != wanted) {
                std::fprintf(stderr,
                             ">>> Error verifying flash at %04X. waited %02x <> readed %02x\n", a,
                             wanted, got);
                verified = false;
            }
        } else {
            isp::writeEepromByte(a, wanted);
            platform::sleepMs(kWriteSettleMs);
            if (isp::readEepromByte(a) != wanted) {
                std::fprintf(stderr, ">>> Error verifying EEPROM at %03X.\n", a);
                verified = false;
                return false;
            }
        }
    }
    return true;
}

// Reads the file front to back, programming each record when `program` is
// set. Returns Ok, or the status of the record number `n` that failed.
Status walk(std::FILE* file, MemoryKind kind, bool program, unsigned& n, bool& verified) {
    Reader reader{file, kNone, false};
    std::uint32_t base = 0;
    unsigned last = kind == MemoryKind::Flash ? kFlashLast : kEepromLast;
    static const char kSpinner[4] = {'|', '/', '-', '\\'};
    Record record;
    for (n = 1; !reader.atEnd; ++n) {
        Status status = readRecord(reader, base, last, record);
        if (status != Status::Ok) return status;
        if (program) {
            if (!writeRecord(record, kind, verified)) return Status::Ok;
            std::fprintf(stderr, "--- %u %c\r", n, kSpinner[n % 4]);
        }
    }
    return Status::Ok;
}

std::FILE* openImage(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) std::fprintf(stderr, ">>> Error opening file %s\n", path);
    return file;
}

}  // namespace

bool checkImage(const char* path, MemoryKind kind) {
    std::FILE* file = openImage(path);
    if (file == nullptr) return false;
    unsigned n = 0;
    bool verified = true;
    Status status = walk(file, kind, false, n, verified);
    std::fclose(file);
    if (status == Status::Ok) return true;
    std::fprintf(stderr, ">>> Error in file %s, record %u: %s. Programming canceled!\n", path, n,
                 reasonOf(status));
    return false;
}

bool programImage(const char* path, MemoryKind kind) {
    std::FILE* file = openImage(path);
    if (file == nullptr) return false;
    unsigned n = 0;
    bool verified = true;
    Status status = walk(file, kind, true, n, verified);
    std::fclose(file);
    return status == Status::Ok && verified;
}

}  // namespace image
