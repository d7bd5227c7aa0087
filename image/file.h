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

// Reads the file at path and every record of it into the process's one image
// for the memory kind, which an image for the other kind leaves as it is.
// Returns true with image set; otherwise prints why and returns false.
bool readImageFile(const char* path, MemoryKind kind, Image& image);

// The name that stands for standard output as a read's file.
constexpr char kStandardOutput[] = "-";

// Prepares the file a read is written to: refuses a path that names anything
// but a regular file or nothing (links of this user or root followed, any
// other refused), or a file that this user may not replace, and creates a
// temporary file of a random name beside it; an earlier file at path stays
// as it is until the read is complete. kStandardOutput needs nothing. Returns true
// when ready; otherwise prints why and returns false.
bool createOutputFile(const char* path);

// Writes text of size bytes into the temporary file, flushes it to the disk
// and renames it over the path it was created for, or writes it to standard
// output. Returns true when done; otherwise prints why, removes the
// temporary file and returns false.
bool saveOutputFile(const char* text, std::size_t size);

// Closes and removes this run's temporary file if it is still there.
void discardOutputFile();

// From a signal handler that ends the run (async-signal-safe): a write of the
// read's file or standard output ends where it is and is not tried again, and
// saveOutputFile() then fails without a word (the run says why it ended).
void stopOutput();

// From a signal handler, before the process ends (async-signal-safe): removes
// the read's unfinished file.
void abandonOutputFile();

}  // namespace image
