// The final pass: after the last write, the whole memory a run wrote read
// back and compared, before its success line.
#pragma once

#include <cstdint>

#include "image/reader.h"

namespace isp {

// What a memory must hold after an erase and the image: the image's bytes,
// 0xFF everywhere else. expected has room for memoryBytes(image.kind).
void expectImage(const image::Image& image, std::uint8_t* expected);

// Puts the image's bytes into expected, a memory's worth of bytes.
void overlayImage(const image::Image& image, std::uint8_t* expected);

// Reads the whole memory into bytes without progress lines, the chip kept
// in step. Returns false where the chip was lost (said here) or the port
// stopped answering.
bool readQuietly(image::MemoryKind kind, std::uint8_t* bytes);

// Reads the whole memory again, without progress lines, and where a byte
// reads other than in bytes (a first read), takes the majority of more
// reads into bytes: a read's file never holds a single misread. Returns
// false where the chip was lost (said here) or the port stopped answering.
bool confirmRead(image::MemoryKind kind, std::uint8_t* bytes);

// Forgets which bytes of the memory the load reported as differing.
void clearReported(image::MemoryKind kind);

// Notes that the load printed the mismatch line of the memory's byte at a.
// Returns false where it was noted already.
bool noteReported(image::MemoryKind kind, unsigned a);

// Reads every byte of the memory back and compares it with expected. A byte
// that differs is read twice more and taken by the majority; one that still
// differs gets the load's mismatch line, unless the load printed it already.
// The chip is kept in step as in a load (isp/frame.h). Returns true when
// every byte matched; false when one differed, the chip was lost (said
// here) or the port stopped answering.
bool finalPass(image::MemoryKind kind, const std::uint8_t* expected);

// The final pass of a memory that was erased and then written with image.
bool finalPassOf(const image::Image& image);

// The mismatch line of the byte at a of the memory.
void reportMismatch(image::MemoryKind kind, unsigned a, unsigned wanted, unsigned got);

}  // namespace isp
