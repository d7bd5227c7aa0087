// The image file, read once into memory and checked before the chip is touched.
#pragma once

#include <cstddef>

#include "image/reader.h"

namespace image {

// Far more than any image of a 1-KB chip needs, so that a wrong file is
// turned away instead of read without end.
constexpr std::size_t kMaxImageBytes = 1024 * 1024;

// An image's text as it was read from its file.
struct Image {
    const char* text;
    std::size_t size;
    MemoryKind kind;
};

// Reads the file at path into the process's one image buffer and checks every
// record. Returns true with image set; otherwise prints why and returns false.
bool readImageFile(const char* path, MemoryKind kind, Image& image);

}  // namespace image
