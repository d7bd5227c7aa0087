// The fuse and lock bits a run must leave: what connect read, what the run's
// erase and writes made of them, and the check at the end of the run.
#pragma once

#include <cstdint>

namespace isp {

// Reads with read until two reads in a row agree (at most four reads); a
// read beyond the second counts as a byte read again. Returns the last.
unsigned readAgreeing(std::uint8_t (*read)());

// Reads the fuse and lock bits, each until two reads agree, and proves the
// chip in step after them (isp/frame.h), reading them again after a
// resynchronisation. Returns false where the chip was lost.
bool readBitsInStep(unsigned& fuse, unsigned& lock);

// From now on the fuse bits of mask must read value; the lock bits lock.
void expectFuse(unsigned value, unsigned mask);
void expectLock(unsigned lock);

// Reads the fuse and lock bits (each twice, agreeing, the chip in step) and
// says, by name, which no longer reads as expected: ">>> Fuse bits changed
// from XX to YY. Programming canceled!". Returns true when both read as
// expected; false also where the chip was lost.
bool bitsAsExpected();

}  // namespace isp
