// The port the run works through, getting the target into programming mode
// and telling which chip it is.
#pragma once

#include "link/port.h"

namespace isp {

// Opens the port called name for the run (see link/port_name.h); with fast,
// a pin is driven only when its level changes.
port::Opened openPort(const char* name, bool fast);

// True while every call since the open has succeeded. Once one fails the
// port is taken as gone: no further call reaches it and MISO reads 0.
bool portAnswering();

// Lets the target run: RESET set.
void releaseTarget();

// The signal number that interrupted the run, or 0 (link/interrupt.h).
int interruption();

// Leaves the chip safe at the end of an interrupted run: waits out a write
// that may have begun, then sets RESET and clears SCK and MOSI (no break).
void letGo();

// Closes the port; drives nothing.
void closePort();

// Waits ms milliseconds.
void waitMs(unsigned ms);

// How long a fast run waits after a chip erase: the longest erase time of
// the datasheets (ATtiny12 and ATtiny15, under 10 ms) with a margin for
// slow chips at a low supply voltage.
constexpr unsigned kFastEraseMs = 30;

// The longest a byte write may keep the chip busy: beyond the datasheets'
// longest write time (ATtiny12: 4.5 ms flash, 9 ms EEPROM; ATtiny15: 4.1 and
// 8.2 ms) with a margin for slow chips at a low supply voltage.
constexpr unsigned kLongestWriteUs = 30000;

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

// Reads the signature and reports the model. Returns 10, 11, 12 or 15, or 0
// when the chip is not a supported one (one message printed either way) or
// the port stopped answering (nothing printed).
int identify();

// Signature byte 2 of each supported model, with its message.
struct SupportedModel {
    unsigned signature;
    int model;
    const char* message;  // a "%02X" for the calibration byte where it is shown
    bool hasCalibration;
    unsigned fuseBits;  // the bits of Read Fuse Bits (5-0) that the model reports
};
extern const SupportedModel kSupportedModels[4];

}  // namespace isp
