// Reading the target's memory without writing to it: the whole memory for a
// file, or every data byte of an image to compare.
#pragma once

#include <cstdint>

#include "image/reader.h"

namespace isp {

using image::MemoryKind;

// The byte at address a of the memory.
std::uint8_t readTargetByte(MemoryKind kind, unsigned a);

// Starts a new series of progress lines.
void startProgress();

// Prints the n-th progress line of the series, which the next one
// overwrites, unless it was shown already.
void showProgress(unsigned n);

// Reads all memoryBytes(kind) bytes of the memory into bytes, printing a
// progress line per record's worth, the chip kept in step (isp/frame.h).
// Returns false when the port stopped answering or the chip was lost (the
// read ends there).
bool readMemory(MemoryKind kind, std::uint8_t* bytes);

// Reads back every data byte of a checked image and prints each one that
// differs (read three times, by the majority), and a progress line per
// record, the chip kept in step: after a resynchronisation the comparison
// goes on from the last byte known good. With again, the comparison is made
// once more without progress lines, and a byte already said to differ is not
// said again: what a chip out of step executed may have written a byte
// already compared. compared counts the bytes read back, differing the bytes
// said to differ since the first comparison. Returns true when every byte
// matched; false when one differed or the port stopped answering (the
// comparison ends there).
bool verifyImage(const image::Image& image, unsigned& compared, unsigned& differing,
                 bool again = false);

}  // namespace isp
