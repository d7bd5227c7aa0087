// Programming: erasing the chip, and writing every data byte of an image
// into it and reading each back.
#pragma once

#include "image/reader.h"

namespace isp {

// Erases a chip of the model (10, 11, 12, 15) as its datasheet asks, the
// last Chip Erase waited out for 2500 ms, or kFastEraseMs in a fast run.
// Returns false, the sync error printed, where the chip must be entered
// again after the erase and never echoed.
bool eraseChip(bool fast, int model);

// Writes and verifies every data byte of an erased chip, printing a progress
// line per record; fast polls each written byte instead of waiting the same
// time for every one. The chip is kept in step (isp/frame.h): after a
// resynchronisation the load goes on from the last byte known good. Returns
// true when every byte read back as written; false when a byte differed (an
// EEPROM byte that differs also ends the load), the chip was lost (said
// here) or the port stopped answering (the load ends there). Where reading
// a byte back at once costs more than it tells (a port that batches, or
// one whose instruction outlasts any write), it is left to the final pass
// (isp/final_pass.h): see program.cpp. model (10, 11, 12, 15) gives the
// datasheet's write time.
bool programImage(const image::Image& image, bool fast, int model);

// Writes the EEPROM image over a chip that was not erased, each byte only
// where the chip holds another, read back as programImage reads it, with a
// progress line per record. Returns true when every byte reads as the image
// says; false when one differed (the load ends there) or the port stopped
// answering.
bool updateEeprom(const image::Image& image, bool fast, int model);

// Bits as written and as read back, masked to those the chip reports.
struct Bits {
    unsigned wanted, read;
};

// Writes the fuse byte f into a chip of the model (10, 11, 12, 15) and
// reads it back until it shows what was written, for as long as a write may
// take at the most.
Bits programFuse(unsigned f, int model);

// Writes the lock bits l (bits 2 and 1) and reads them back the same way.
Bits programLock(unsigned l);

}  // namespace isp
