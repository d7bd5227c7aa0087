#include "image/file.h"

#include <cstdio>

namespace image {

namespace {

// One byte more than the limit, to tell a file at the limit from a larger one.
char imageText[kMaxImageBytes + 1];

}  // namespace

bool readImageFile(const char* path, MemoryKind kind, Image& image) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::fprintf(stderr, ">>> Error opening file %s\n", path);
        return false;
    }
    std::size_t size = std::fread(imageText, 1, sizeof imageText, file);
    bool readFailed = std::ferror(file) != 0;
    std::fclose(file);
    if (readFailed) {
        std::fprintf(stderr, ">>> Error reading file %s. Programming canceled!\n", path);
        return false;
    }
    if (size > kMaxImageBytes) {
        std::fprintf(stderr,
                     ">>> Error in file %s: larger than %u bytes, not an image for a 1-KB chip. "
                     "Programming canceled!\n",
                     path, static_cast<unsigned>(kMaxImageBytes));
        return false;
    }
    unsigned failed = 0;
    ReadError error = checkImage(imageText, size, kind, failed);
    if (error != ReadError::None) {
        std::fprintf(stderr, ">>> Error in file %s, record %u: %s. Programming canceled!\n", path,
                     failed, reasonOf(error));
        return false;
    }
    image = Image{imageText, size, kind};
    return true;
}

}  // namespace image
