#include "isp/program.h"

#include <cstdio>

#include "isp/connect.h"
#include "isp/instructions.h"
#include "isp/models.h"
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

// Reads the byte at a until it shows d or a write's longest time has
// passed; got is the byte read first. Returns the byte read last.
unsigned pollByte(MemoryKind kind, unsigned a, unsigned d, unsigned got) {
    std::uint64_t deadline = port::nowUs() + kMaxWriteUs;
    for (unsigned polls = 1; got != d && polls < kMaxPolls && port::nowUs() < deadline; ++polls)
        got = readTargetByte(kind, a);
    return got;
}

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
    unsigned got =
        kind == MemoryKind::Flash ? writeWaitReadFlashByte(a, d, 0) : writeThenReadEepromByte(a, d);
    return pollByte(kind, a, d, got);
}

// Writes d over the EEPROM byte at a of a chip that was not erased where it
// holds another, and returns what then reads there. A byte written reads
// 0xFF until done, so where a polling run writes 0xFF it waits the model's
// tWD_EEPROM instead ("data polling cannot be used for the value $FF",
// ATtiny11/12 1006C and ATtiny15L 1187E, "Data Polling"); the default
// settle time is longer than that already.
unsigned writeOver(unsigned a, unsigned d, bool fast, std::uint32_t waitUs) {
    unsigned held = readEepromByte(a);
    if (held == d || !port::answering()) return held;
    if (d != kErased || !(fast || port::batches()))
        return writeAndRead(MemoryKind::Eeprom, a, d, fast);
    writeEepromByte(a, d);
    port::wait(waitUs);
    return readEepromByte(a);
}

// Says so where the byte at a reads got instead of wanted, and clears
// verified. Returns false where the load must stop: the port stopped
// answering, or an EEPROM byte differed.
bool check(MemoryKind kind, unsigned a, unsigned wanted, unsigned got, bool& verified) {
    if (!port::answering()) return false;
    if (got == wanted) return true;
    verified = false;
    if (kind == MemoryKind::Eeprom) {
        std::fprintf(stderr, ">>> Error verifying EEPROM at %03X.\n", a);
        return false;
    }
    std::fprintf(stderr, ">>> Error verifying flash at %04X. waited %02x <> readed %02x\n", a,
                 wanted, got);
    return true;
}

// Writes and reads back each byte. A byte that differs clears `verified`;
// returns false when the load must stop (an EEPROM byte differed, or the
// port stopped answering).
bool writeRecord(const ImageRecord& record, MemoryKind kind, bool fast, bool& verified) {
    for (unsigned i = 0; i < record.count; ++i) {
        unsigned a = record.address + i;
        unsigned wanted = record.data[i];
        if (!check(kind, a, wanted, writeAndRead(kind, a, wanted, fast), verified)) return false;
    }
    return true;
}

// Flash on a port that batches, where each exchange costs a round trip: a
// byte's write goes out with the read back of the byte before it and a wait
// of the chip's write time, so the read's round trip passes during the wait.
// The wait is the datasheet's write time, tried on the first byte, or the
// time that byte took where it took longer.
struct Pipeline {
    std::uint32_t writeUs = 0;  // the model's
    std::uint32_t waitUs = 0;   // 0 while not known
    bool pending = false;       // a byte written and not yet read back
    unsigned a = 0, d = 0;
};

// Reads back the pending byte. Returns false where the load must stop.
bool settle(Pipeline& p, bool& verified) {
    if (!p.pending) return port::answering();
    p.pending = false;
    return check(MemoryKind::Flash, p.a, p.d, readFlashByte(p.a), verified);
}

// Writes d at a through the pipeline. Returns false where the load must stop.
bool writePipelined(Pipeline& p, unsigned a, unsigned d, bool& verified) {
    if (d == kErased) {
        return settle(p, verified) && check(MemoryKind::Flash, a, d, readFlashByte(a), verified);
    }
    if (p.waitUs == 0) {
        if (!settle(p, verified)) return false;
        std::uint64_t start = port::nowUs();
        unsigned first = writeWaitReadFlashByte(a, d, p.writeUs);
        unsigned got = pollByte(MemoryKind::Flash, a, d, first);
        std::uint64_t took = port::nowUs() - start;
        if (got == d) p.waitUs = first == d ? p.writeUs : static_cast<std::uint32_t>(took);
        return check(MemoryKind::Flash, a, d, got, verified);
    }
    unsigned got = readThenWriteFlashByte(p.pending, p.a, a, d, p.waitUs);
    bool wasPending = p.pending;
    unsigned pa = p.a, pd = p.d;
    p.pending = true;
    p.a = a;
    p.d = d;
    if (!wasPending) return port::answering();
    if (got == kErased && pd != kErased) {
        // The chip took longer than the wait: this byte's write may be lost.
        // Learn the wait again, and write it again once the one before is done.
        p.pending = false;
        p.waitUs = 0;
        if (!check(MemoryKind::Flash, pa, pd, pollByte(MemoryKind::Flash, pa, pd, got), verified)) {
            return false;
        }
        return writePipelined(p, a, d, verified);
    }
    return check(MemoryKind::Flash, pa, pd, got, verified);
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
    const ChipModel& m = chipModel(model);
    unsigned sent = fuseByteSent(m, f);
    writeFuseBits(sent);
    // A fuse reads back at once in programming mode; it takes effect at power-up.
    return pollBits(readFuseBits, sent & m.fuseBits, m.fuseBits);
}

Bits programLock(unsigned l) {
    writeLockBits(l);
    return pollBits(readLockBits, l & 0x06u, 0x06u);
}

bool eraseChip(bool fast, int model) {
    EraseSteps steps = chipModel(model).erase;
    if (steps == EraseSteps::TwiceOverFF) {
        // The first erase and the write of FF are waited out in full, never
        // polled: a byte being written reads FF, as an erased one does.
        chipEraseAndWait(kFastEraseMs * 1000);
        readThenWriteFlashByte(false, 0, 0, kErased, kLongestWriteUs);
    }
    chipErase();
    waitMs(fast ? kFastEraseMs : kEraseMs);
    return steps != EraseSteps::ThenReenter || reenter(fast);
}

bool programImage(const image::Image& image, bool fast, int model) {
    bool verified = true;
    std::size_t offset = 0;
    Pipeline pipeline;
    pipeline.writeUs = chipModel(model).flashWriteUs;
    bool pipelined = port::batches() && image.kind == MemoryKind::Flash;
    for (unsigned n = 1; offset < image.size; ++n) {
        ImageRecord record = image::nextRecord(image, offset);
        if (pipelined) {
            bool going = true;
            for (unsigned i = 0; i < record.count && going; ++i)
                going = writePipelined(pipeline, record.address + i, record.data[i], verified);
            if (!going || !settle(pipeline, verified)) return false;
        } else if (!writeRecord(record, image.kind, fast, verified)) {
            return false;
        }
        showProgress(n);
    }
    return verified;
}

bool updateEeprom(const image::Image& image, bool fast, int model) {
    bool verified = true;
    std::size_t offset = 0;
    std::uint32_t waitUs = chipModel(model).eepromWriteUs;
    for (unsigned n = 1; offset < image.size; ++n) {
        ImageRecord record = image::nextRecord(image, offset);
        for (unsigned i = 0; i < record.count; ++i) {
            unsigned a = record.address + i;
            unsigned got = writeOver(a, record.data[i], fast, waitUs);
            if (!check(MemoryKind::Eeprom, a, record.data[i], got, verified)) return false;
        }
        showProgress(n);
    }
    return verified;
}

}  // namespace isp
