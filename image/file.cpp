#include "image/file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace image {

namespace {

// One byte more than the limit, to tell a file at the limit from a larger one.
char imageText[kMaxImageBytes + 1];
// The image's records, packed: never more bytes than their text.
std::uint8_t imageRecords[kMaxImageBytes];

constexpr char kPartSuffix[] = ".part";
constexpr std::size_t kMaxPathBytes = 4096;

// The output file being written, and the names it has and will take.
std::FILE* output = nullptr;
const char* outputPath = nullptr;
char partPath[kMaxPathBytes + sizeof kPartSuffix];

void cancelOutput(const char* what, const char* path) {
    std::fprintf(stderr, ">>> Error %s file %s. Reading canceled!\n", what, path);
    discardOutputFile();
}

// Where a rename does not replace an existing file (Windows), the target is
// removed first; anywhere else the first rename's failure stands.
bool renameOver(const char* from, const char* to) {
    if (std::rename(from, to) == 0) return true;
    if (errno != EACCES && errno != EEXIST) return false;
    std::FILE* target = std::fopen(to, "rb");
    if (target == nullptr) return false;
    std::fclose(target);
    return std::remove(to) == 0 && std::rename(from, to) == 0;
}

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
    ReadError error = readImage(imageText, size, kind, imageRecords, image, failed);
    if (error != ReadError::None) {
        std::fprintf(stderr, ">>> Error in file %s, record %u: %s. Programming canceled!\n", path,
                     failed, reasonOf(error));
        return false;
    }
    return true;
}

bool createOutputFile(const char* path) {
    discardOutputFile();
    std::size_t length = std::strlen(path);
    if (length < kMaxPathBytes) {
        std::memcpy(partPath, path, length);
        std::memcpy(partPath + length, kPartSuffix, sizeof kPartSuffix);
        // Binary: the records end in "\n" on every platform.
        output = std::fopen(partPath, "wb");
    }
    if (output == nullptr) {
        std::fprintf(stderr, ">>> Error creating file %s%s. Reading canceled!\n", path,
                     kPartSuffix);
        return false;
    }
    outputPath = path;
    return true;
}

bool saveOutputFile(const char* text, std::size_t size) {
    if (output == nullptr) return false;
    bool written = std::fwrite(text, 1, size, output) == size;
    written = std::fclose(output) == 0 && written;
    output = nullptr;
    if (!written) {
        cancelOutput("writing", partPath);
        return false;
    }
    if (!renameOver(partPath, outputPath)) {
        cancelOutput("renaming", partPath);
        return false;
    }
    outputPath = nullptr;
    return true;
}

void discardOutputFile() {
    if (output != nullptr) std::fclose(output);
    output = nullptr;
    if (outputPath != nullptr) std::remove(partPath);
    outputPath = nullptr;
}

}  // namespace image
