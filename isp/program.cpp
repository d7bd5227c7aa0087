#include "isp/program.h"

#include <cstdio>

#include "isp/bits.h"
#include "isp/connect.h"
#include "isp/final_pass.h"
#include "isp/frame.h"
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
// Between two polls: a chip slower than its datasheet is polled at most 30
// times, fewer instructions than a check of the frame is due after.
constexpr std::uint32_t kPollGapUs = 1000;

// What a load carries from byte to byte.
struct Load {
    MemoryKind kind;
    bool fast;
    std::uint32_t writeUs;  // the model's for the memory
    bool verified = true;
};

// Reads the byte at a until it shows d or a write's longest time from start
// has passed; got is the byte read first. A byte being written reads 0xFF
// (1006C and 1187E, "Data Polling"): two reads in a row that show neither
// it nor d end the polling, as a chip out of step answers them, which the
// caller's check then finds, instead of taking 30 polls. Returns the byte
// read last.
unsigned pollByte(MemoryKind kind, unsigned a, unsigned d, unsigned got, std::uint64_t start) {
    std::uint64_t deadline = start + kMaxWriteUs;
    unsigned neither = got != kErased ? 1 : 0;
    for (unsigned polls = 1;
         got != d && neither < 2 && polls < kMaxPolls && port::nowUs() < deadline; ++polls) {
        port::wait(kPollGapUs);
        got = readTargetByte(kind, a);
        neither = got != d && got != kErased ? neither + 1 : 0;
    }
    return got;
}

void writeByte(MemoryKind kind, unsigned a, unsigned d) {
    if (kind == MemoryKind::Flash) {
        writeFlashByte(a, d);
    } else {
        writeEepromByte(a, d);
    }
}

// Where the byte at a reads got instead of wanted: proves the chip in step
// and reads the byte again (a single misread is no mismatch), then says so
// and clears verified. Returns false where the load must stop (the port
// stopped answering, an EEPROM byte differed) or go back (isp/frame.h).
bool check(Load& load, unsigned a, unsigned wanted, unsigned got) {
    if (!port::answering() || mustGoBack() || chipLost()) return false;
    if (got == wanted) return true;
    Frame frame = keepInStep(true);
    if (frame == Frame::Resynchronised || frame == Frame::Lost) return false;
    got = readMajority(load.kind, a, got);
    if (!port::answering() || mustGoBack() || chipLost()) return false;
    if (got == wanted) return true;
    load.verified = false;
    // A load that went back past a byte it reported says it once.
    if (noteReported(load.kind, a)) reportMismatch(load.kind, a, wanted, got);
    return load.kind == MemoryKind::Flash;
}

// Writes d at a and checks what then reads back there. The default waits
// the settle time. Fast, and any run on a port that batches, wait the
// datasheet's write time and poll until the byte shows what was written (a
// byte being written reads 0xFF); they skip writing 0xFF into the erased
// chip (erased). As a byte being written reads 0xFF, 0xFF written over
// another is read after the full write time ("data polling cannot be used
// for the value $FF", ATtiny11/12 1006C and ATtiny15L 1187E, "Data
// Polling"), which the poll waits first anyway. Where clocking an
// instruction takes longer than any write, the chip is done before the next
// arrives: the byte is written only, and the final pass reads it back.
// Returns false where the load must stop or go back.
bool writeAndCheck(Load& load, unsigned a, unsigned d, bool erased = true) {
    bool polling = load.fast || port::batches();
    if (polling && erased && d == kErased) return port::answering();
    std::uint64_t start = port::nowUs();
    writeByte(load.kind, a, d);
    if (port::nowUs() - start >= kLongestWriteUs) return port::answering();
    if (!polling) {
        waitMs(kWriteSettleMs);
        return check(load, a, d, readTargetByte(load.kind, a));
    }
    port::wait(load.writeUs);
    unsigned got = pollByte(load.kind, a, d, readTargetByte(load.kind, a), start);
    return check(load, a, d, got);
}

// Flash on a port that batches, where each exchange costs a round trip: a
// byte's write goes out with a wait of the chip's write time in one
// exchange, and the final pass reads every byte back, many an exchange. The
// wait is the datasheet's write time, tried on the first byte, or the time
// that byte took where it took longer.
struct Batched {
    std::uint32_t writeUs = 0;  // the model's
    std::uint32_t waitUs = 0;   // 0 while not known
};

// Writes d at a; 0xFF is not written into the erased chip. Returns false
// where the load must stop or go back.
bool writeBatched(Batched& b, Load& load, unsigned a, unsigned d) {
    if (d == kErased) return port::answering();
    if (b.waitUs != 0) {
        writeWaitFlashByte(a, d, b.waitUs);
        return port::answering();
    }
    std::uint64_t start = port::nowUs();
    unsigned first = writeWaitReadFlashByte(a, d, b.writeUs);
    unsigned got = pollByte(MemoryKind::Flash, a, d, first, start);
    std::uint64_t took = port::nowUs() - start;
    if (got == d) b.waitUs = first == d ? b.writeUs : static_cast<std::uint32_t>(took);
    return check(load, a, d, got);
}

// Where a load stands: the record being written and its next byte.
struct Cursor {
    std::size_t next = 0;  // the packed offset of the record after this one
    ImageRecord record{0, 0, nullptr};
    unsigned i = 0;  // the record's next byte
    unsigned n = 0;  // the record's number; 0 before the first
};

// Takes one step of the load at: a byte written and checked, or a record
// ended (its progress line) and the next one begun. Returns false where the
// load must stop or go back, or has ended (done).
bool step(const image::Image& image, Load& load, Batched* batched, Cursor& at, bool& done) {
    if (at.i < at.record.count) {
        unsigned a = at.record.address + at.i, d = at.record.data[at.i];
        bool going =
            batched != nullptr ? writeBatched(*batched, load, a, d) : writeAndCheck(load, a, d);
        if (going) ++at.i;
        return going;
    }
    if (at.n > 0) showProgress(at.n);
    done = at.next >= image.size;
    if (done) return false;
    at.record = image::nextRecord(image, at.next);
    ++at.n;
    at.i = 0;
    return true;
}

// Reads the bits of mask with read until they are wanted, for at most
// kMaxWriteUs: a fuse or lock write runs on the chip's own clock too.
Bits pollBits(std::uint8_t (*read)(), unsigned wanted, unsigned mask) {
    std::uint64_t deadline = port::nowUs() + kMaxWriteUs;
    unsigned got = read() & mask;
    for (unsigned polls = 1; got != wanted && polls < kMaxPolls && port::nowUs() < deadline;
         ++polls) {
        port::wait(kPollGapUs);
        got = read() & mask;
    }
    return Bits{wanted, got};
}

}  // namespace

Bits programFuse(unsigned f, int model) {
    const ChipModel& m = chipModel(model);
    unsigned sent = fuseByteSent(m, f);
    writeFuseBits(sent);
    // A fuse reads back at once in programming mode; it takes effect at power-up.
    Bits bits = pollBits(readFuseBits, sent & m.fuseBits, m.fuseBits);
    // The end of the run expects what was read back: a difference is said
    // once, by the caller, and a later change on its own.
    expectFuse(bits.read, m.fuseBits);
    fillEnableWith(bits.read);
    return bits;
}

Bits programLock(unsigned l) {
    writeLockBits(l);
    Bits bits = pollBits(readLockBits, l & 0x06u, 0x06u);
    expectLock(bits.read);
    expectSignatureZero(bits.read);
    return bits;
}

bool eraseChip(bool fast, int model) {
    EraseSteps steps = chipModel(model).erase;
    if (steps == EraseSteps::TwiceOverFF) {
        // The first erase and the write of FF are waited out in full, never
        // polled: a byte being written reads FF, as an erased one does.
        chipEraseAndWait(kFastEraseMs * 1000);
        writeWaitFlashByte(0, kErased, kLongestWriteUs);
    }
    chipErase();
    waitMs(fast ? kFastEraseMs : kEraseMs);
    if (steps == EraseSteps::ThenReenter && !reenter(fast)) return false;
    // Chip Erase clears the lock bits and leaves the fuse bits.
    expectLock(0x06);
    expectSignatureZero(0x06);
    return true;
}

bool programImage(const image::Image& image, bool fast, int model) {
    clearReported(image.kind);
    startProgress();
    const ChipModel& m = chipModel(model);
    std::uint32_t writeUs = m.flashWriteUs;
    Load load{image.kind, fast, image.kind == MemoryKind::Flash ? writeUs : m.eepromWriteUs};
    Batched batched;
    batched.writeUs = writeUs;
    Batched* batching = port::batches() && image.kind == MemoryKind::Flash ? &batched : nullptr;
    Cursor at, good;
    bool done = false;
    for (;;) {
        bool going = step(image, load, batching, at, done);
        if (going) {
            // A chip found in step has had every byte so far in step.
            if (keepInStep() == Frame::InStep) good = at;
            going = !mustGoBack() && !chipLost();
        }
        if (going) continue;
        if (done) return load.verified;
        if (chipLost()) {
            reportLost(at.record.address + at.i);
            return false;
        }
        if (!mustGoBack()) return false;
        // Back to the last byte known good.
        wentBack();
        at = good;
    }
}

bool updateEeprom(const image::Image& image, bool fast, int model) {
    clearReported(MemoryKind::Eeprom);
    startProgress();
    Load load{MemoryKind::Eeprom, fast, chipModel(model).eepromWriteUs};
    std::size_t offset = 0;
    for (unsigned n = 1; offset < image.size; ++n) {
        ImageRecord record = image::nextRecord(image, offset);
        for (unsigned i = 0; i < record.count; ++i) {
            unsigned a = record.address + i, d = record.data[i];
            unsigned held = readEepromByte(a);
            bool going = held == d ? port::answering() : writeAndCheck(load, a, d, false);
            // Without an erase there is no good point to go back to: the
            // final pass reads what the chip then holds.
            if (!going || keepInStep() == Frame::Lost || mustGoBack()) {
                if (chipLost()) reportLost(a);
                return false;
            }
        }
        showProgress(n);
    }
    return load.verified;
}

}  // namespace isp
