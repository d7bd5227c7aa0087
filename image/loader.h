// The image loader: writes every data byte of a checked image to the target
// and reads it back.
#pragma once

#include "image/file.h"

namespace image {

// Writes and verifies every data byte of an erased chip, printing a progress
// line per record; fast polls each written byte instead of waiting the same
// time for every one. Returns true when every byte read back as written;
// false when a byte differed (an EEPROM byte that differs also ends the
// load) or the port stopped answering (the load ends there).
bool programImage(const Image& image, bool fast);

}  // namespace image
