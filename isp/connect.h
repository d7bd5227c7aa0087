// Getting the target into programming mode and telling which chip it is.
#pragma once

#include <cstdint>

namespace isp {

// How long a fast run waits after a chip erase: the longest erase time of
// the datasheets (ATtiny12 and ATtiny15, under 10 ms) with a margin for
// slow chips at a low supply voltage.
constexpr unsigned kFastEraseMs = 30;

// How connect left the target.
enum class Connection {
    NoSync,     // the sync error was printed
    Ready,      // synchronised (unless the port has stopped answering)
    Protected,  // synchronised, a lock bit programmed, and nothing erased
};

// Resets the target, synchronises with its instruction framing and reports
// its lock and fuse bits. A protected chip hides its memory: with
// eraseProtected it is erased (and Ready), otherwise left as it is. With
// fast, the waits are the datasheets' own instead of generous ones.
Connection connect(bool fast, bool eraseProtected);

// Brings a chip that lost its framing back in step, after a write it may
// have begun: the framing restarted and Programming Enable until it echoes
// (as connect does, without a word), then signature byte 0 read as
// signatureZero (isp/frame.h). Returns true when the chip is in step again.
bool resynchronise(unsigned signatureZero);

// Reads the signature and reports the model. Returns 10, 11, 12 or 15, or 0
// when the chip is not a supported one (one message printed either way) or
// the port stopped answering (nothing printed).
int identify();

// The fuse byte as connect read it, all eight bits (0 before it was read).
unsigned fuseAtConnect();

// Starts programming mode afresh on a synchronised chip: a RESET pulse with
// SCK low, then Programming Enable until it echoes. Returns false, the sync
// error printed, when it never does.
bool reenter(bool fast);

}  // namespace isp
