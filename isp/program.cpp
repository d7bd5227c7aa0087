#include "isp/program.h"

#include <cstdio>

#include "isp/connect.h"
#include "isp/instructions.h"
#include "isp/readback.h"
#include "isp/session.h"
#include "link/port.h"

namespace isp {

namespace {

using image::ImageRecord;
using image::MemoryKind;

constexpr unsigned kEraseMs = 2500;
constexpr unsigned kWriteSettleMs = 10;
constexpr std::uint8_t kErased = 0xFF;
// How long a fast run polls a written byte.
constexpr std::uint64_t kMaxWriteUs = kLongestWriteUs;
// Polls enough for that time even on a port far faster than any real one;
// they stop a poll whose clock stands still.
constexpr unsigned kMaxPolls = 10000;

// Writes d at a and returns what then reads back there. The default waits
// the settle time. Fast, and any run on a port that batches, read the byte
// until it shows what was written (a byte being written reads 0xFF), the
// first time with the write; as 0xFF cannot be told from a write under way,
// they skip writing it into the erased chip.
unsigned writeAndRead(MemoryKind kind, unsigned a, unsigned d, bool fast) {
    bool polling = fast || port::batches();
    if (polling && d == kErased) return readTargetByte(kind, a);
    if (!polling) {
        if (kind == MemoryKind::Flash) {
            writeFlashByte(a, d);
        } else {
            writeEepromByte(a, d);
        }
        waitMs(kWriteSettleMs);
        return readTargetByte(kind, a);
    }
    std::uint64_t deadline = port::nowUs() + kMaxWriteUs;
    unsigned got =
        kind == MemoryKind::Flash ? writeThenReadFlashByte(a, d) : writeThenReadEepromByte(a, d);
    for (unsigned polls = 1; got != d && polls < kMaxPolls && port::nowUs() < deadline; ++polls)
        got = readTargetByte(kind, a);
    return got;
}

// Writes and reads back each byte. A byte that differs clears `verified`;
// returns false when the load must stop (an EEPROM byte differed, or the
// port stopped answering).
bool writeRecord(const ImageRecord& record, MemoryKind kind, bool fast, bool& verified) {
    for (unsigned i = 0; i < record.count; ++i) {
        unsigned a = record.address + i;
        unsigned wanted = record.data[i];
        unsigned got = writeAndRead(kind, a, wanted, fast);
        if (!port::answering()) return false;
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

// Reads the bits of mask with read until they are wanted, for at most
// kMaxWriteUs: a fuse or lock write runs on the chip's own clock too.
Bits pollBits(std::uint8_t (*read)(), unsigned wanted, unsigned mask) {
    std::uint64_t deadline = port::nowUs() + kMaxWriteUs;
    unsigned got = read() & mask;
    for (unsigned polls = 1; got != wanted && polls < kMaxPolls && port::nowUs() < deadline;
         ++polls)
        got = read() & mask;
    return Bits{wanted, got};
}

}  // namespace

Bits programFuse(unsigned f, int model) {
    unsigned reported = 0x3F;
    for (const SupportedModel& supported : kSupportedModels) {
        if (supported.model == model) reported = supported.fuseBits;
    }
    writeFuseBits(f);
    // Write Fuse Bits sends bits 3 and 2 as 1.
    return pollBits(readFuseBits, (f | 0x0Cu) & reported, reported);
}

Bits programLock(unsigned l) {
    writeLockBits(l);
    return pollBits(readLockBits, l & 0x06u, 0x06u);
}

void eraseChip(bool fast) {
    chipErase();
    waitMs(fast ? kFastEraseMs : kEraseMs);
}

bool programImage(const image::Image& image, bool fast) {
    bool verified = true;
    std::size_t offset = 0;
    for (unsigned n = 1; offset < image.size; ++n) {
        if (!writeRecord(image::nextRecord(image, offset), image.kind, fast, verified)) {
            return false;
        }
        showProgress(n);
    }
    return verified;
}

}  // namespace isp
