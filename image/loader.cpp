#include "image/loader.h"

#include <cstdio>

#include "image/readback.h"
#include "isp/instructions.h"
#include "link/line.h"

namespace image {

namespace {

constexpr unsigned kWriteSettleMs = 10;
constexpr std::uint8_t kErased = 0xFF;
// How long a fast run polls a written byte: beyond the longest write time of
// the datasheets (ATtiny12: 4.5 ms flash, 9 ms EEPROM; ATtiny15: 4.1 and
// 8.2 ms) with a margin for slow chips at a low supply voltage.
constexpr std::uint64_t kMaxWriteUs = 30000;
// Polls enough for that time even on a port far faster than any real one;
// they stop a poll whose clock stands still.
constexpr unsigned kMaxPolls = 10000;

// Writes d at a and returns what then reads back there. The default waits
// the settle time; fast skips an erased byte's write and otherwise reads the
// byte until it shows what was written (a byte being written reads 0xFF).
unsigned writeAndRead(MemoryKind kind, unsigned a, unsigned d, bool fast) {
    if (fast && d == kErased) return readTargetByte(kind, a);
    if (kind == MemoryKind::Flash) {
        isp::writeFlashByte(a, d);
    } else {
        isp::writeEepromByte(a, d);
    }
    if (!fast) {
        line::sleepMs(kWriteSettleMs);
        return readTargetByte(kind, a);
    }
    std::uint64_t deadline = line::nowUs() + kMaxWriteUs;
    unsigned got = readTargetByte(kind, a);
    for (unsigned polls = 1; got != d && polls < kMaxPolls && line::nowUs() < deadline; ++polls)
        got = readTargetByte(kind, a);
    return got;
}

// Writes and reads back each byte. A byte that differs clears `verified`;
// returns false when the load must stop (an EEPROM byte differed, or the
// port stopped answering).
bool writeRecord(const Record& record, MemoryKind kind, bool fast, bool& verified) {
    for (unsigned i = 0; i < record.count; ++i) {
        unsigned a = record.address + i;
        unsigned wanted = record.data[i];
        unsigned got = writeAndRead(kind, a, wanted, fast);
        if (!line::answering()) return false;
        if (got == wanted) continue;
        verified = false;
        if (kind == MemoryKind::Eeprom) {
            std::fprintf(stderr, ">>> Error verifying EEPROM at %03X.\n", a);
            return false;
        }
        std::fprintf(stderr, ">>> Error verifying flash at %04X. waited %02x <> readed %02x\n", a,
                     wanted, got);
    }
    return true;
}

}  // namespace

bool programImage(const Image& image, bool fast) {
    Reader reader;
    startReading(reader, image.text, image.size, image.kind);
    Record record;
    bool verified = true;
    // The image was checked when it was read, so every record reads.
    for (unsigned n = 1; !reader.atEnd; ++n) {
        if (readRecord(reader, record) != ReadError::None) return false;
        if (!writeRecord(record, image.kind, fast, verified)) return false;
        showProgress(n);
    }
    return verified;
}

}  // namespace image
