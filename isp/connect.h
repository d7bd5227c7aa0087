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
    unsigned fuseBits;       // the bits of Read Fuse Bits (5-0) that the model reports
    unsigned flashWriteUs;   // tWD_FLASH: a flash byte's write time at the most
    unsigned eepromWriteUs;  // tWD_EEPROM: an EEPROM byte's
};
extern const SupportedModel kSupportedModels[4];

// tWD_FLASH of the model; the ATtiny12's for another number.
unsigned flashWriteUs(int model);

// tWD_EEPROM of the model; the ATtiny12's for another number.
unsigned eepromWriteUs(int model);

}  // namespace isp
