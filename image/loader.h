// The image loader: writes every data byte of a checked image to the target
// and reads it back.
#pragma once

#include "image/file.h"

namespace image {

// Writes and verifies every data byte, printing a progress line per record.
// Returns true when every byte read back as written; false when a byte
// differed (an EEPROM byte that differs also ends the load).
bool programImage(const Image& image);

}  // namespace image
