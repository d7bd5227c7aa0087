// The image file: read once into memory and checked before the chip is
// touched, or written whole under a temporary name and put in place only
// when complete.
#pragma once

#include <cstddef>

#include "image/reader.h"

namespace image {

// Far more than any image of a 1-KB chip needs, so that a wrong file is
// turned away instead of read without end.
constexpr std::size_t kMaxImageBytes = 1024 * 1024;

// Reads the file at path and every record of it into the process's one image.
// Returns true with image set; otherwise prints why and returns false.
bool readImageFile(const char* path, MemoryKind kind, Image& image);

// Creates path + ".part", the temporary file beside path that a read is
// written to; an earlier path stays as it is until the read is complete.
// Returns true when created; otherwise prints why and returns false.
bool createOutputFile(const char* path);

// Writes text of size bytes into the temporary file and renames it to the
// path it was created for. Returns true when done; otherwise prints why,
// removes the temporary file and returns false.
bool saveOutputFile(const char* text, std::size_t size);

// Closes and removes the temporary file if it is still there.
void discardOutputFile();

}  // namespace image
