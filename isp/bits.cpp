#include "isp/bits.h"

#include <cstdio>

#include "isp/frame.h"
#include "isp/instructions.h"
#include "link/port.h"

namespace isp {

namespace {

constexpr unsigned kMaxReads = 4;
// Reads of the bits, each after a resynchronisation, before the chip is
// taken as lost.
constexpr unsigned kMaxTries = 3;

struct Expected {
    unsigned value, mask;
};
Expected fuse{0, 0};
Expected lock{0x06, 0x06};

bool matches(const Expected& expected, unsigned got) {
    return (got & expected.mask) == (expected.value & expected.mask);
}

// Says so where the bits read no longer show what they must.
bool same(const char* which, const Expected& expected, unsigned got) {
    if (matches(expected, got)) return true;
    std::fprintf(stderr, ">>> %s bits changed from %02X to %02X. Programming canceled!\n", which,
                 expected.value & expected.mask, got & expected.mask);
    return false;
}

}  // namespace

unsigned readAgreeing(std::uint8_t (*read)()) {
    unsigned last = read();
    for (unsigned reads = 2; reads <= kMaxReads; ++reads) {
        if (reads > 2) countReadAgain();
        unsigned got = read();
        if (got == last) break;
        last = got;
    }
    return last;
}

void expectFuse(unsigned value, unsigned mask) {
    fuse = Expected{value, mask};
}

void expectLock(unsigned bits) {
    lock = Expected{bits, 0x06};
}

bool readBitsInStep(unsigned& fuse, unsigned& lock) {
    for (unsigned tries = 0; tries < kMaxTries; ++tries) {
        fuse = readAgreeing(readFuseBits);
        lock = readAgreeing(readLockBits);
        Frame frame = keepInStep(true);
        if (frame == Frame::Lost) return false;
        if (frame != Frame::Resynchronised) return true;
        wentBack();
    }
    return false;
}

bool bitsAsExpected() {
    unsigned fuseRead = 0, lockRead = 0;
    // A chip lost here is not a change of its bits: the line said so.
    if (!readBitsInStep(fuseRead, lockRead) || !port::answering()) return !chipLost();
    // Two garbled reads may agree, as instructions garbled into none answer
    // alike: bits that differ are read again, the chip proved in step in
    // between, before they are said to have changed.
    if ((!matches(fuse, fuseRead) || !matches(lock, lockRead)) &&
        (!readBitsInStep(fuseRead, lockRead) || !port::answering())) {
        return !chipLost();
    }
    bool fuseSame = same("Fuse", fuse, fuseRead);
    return same("Lock", lock, lockRead) && fuseSame;
}

}  // namespace isp
