#include "image/file.h"

#include <cstdio>
#include <cstring>

#include "image/output.h"
#include "text/printable.h"

namespace image {

namespace {

// One byte more than the limit, to tell a file at the limit from a larger one.
char imageText[kMaxImageBytes + 1];
// Each memory's image's records, packed: never more bytes than their text.
std::uint8_t imageRecords[2][kMaxImageBytes];

// The file a read is written to, as it was named; nullptr when none.
const char* outputPath = nullptr;
bool toStandardOutput = false;

void cancelOutput(const char* what, const char* path) {
    text::Printable shown;
    if (!output::stopped()) {
        std::fprintf(stderr, ">>> Error %s file %s: %s. Reading canceled!\n", what, shown.of(path),
                     output::reason());
    }
    discardOutputFile();
}

const char* describe(output::Kind kind) {
    switch (kind) {
        case output::Kind::Directory:
            return "a directory";
        case output::Kind::Device:
            return "a device";
        case output::Kind::Fifo:
            return "a FIFO";
        case output::Kind::BrokenLink:
            return "a link that leads nowhere";
        default:
            return "a special file";
    }
}

}  // namespace

bool readImageFile(const char* path, MemoryKind kind, Image& image) {
    text::Printable shown;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::fprintf(stderr, ">>> Error opening file %s\n", shown.of(path));
        return false;
    }
    std::size_t size = std::fread(imageText, 1, sizeof imageText, file);
    bool readFailed = std::ferror(file) != 0;
    std::fclose(file);
    if (readFailed) {
        std::fprintf(stderr, ">>> Error reading file %s. Programming canceled!\n", shown.of(path));
        return false;
    }
    if (size > kMaxImageBytes) {
        std::fprintf(stderr,
                     ">>> Error in file %s: larger than %u bytes, not an image for a 1-KB chip. "
                     "Programming canceled!\n",
                     shown.of(path), static_cast<unsigned>(kMaxImageBytes));
        return false;
    }
    unsigned failed = 0;
    std::uint8_t* packed = imageRecords[kind == MemoryKind::Flash ? 0 : 1];
    ReadError error = readImage(imageText, size, kind, packed, image, failed);
    if (error != ReadError::None) {
        std::fprintf(stderr, ">>> Error in file %s, record %u: %s. Programming canceled!\n",
                     shown.of(path), failed, reasonOf(error));
        return false;
    }
    return true;
}

bool createOutputFile(const char* path) {
    discardOutputFile();
    if (std::strcmp(path, kStandardOutput) == 0) {
        toStandardOutput = true;
        return true;
    }
    output::Kind kind = output::Kind::Missing;
    if (!output::inspect(path, kind)) {
        cancelOutput("creating", path);
        return false;
    }
    if (kind == output::Kind::ForeignLink) {
        std::fprintf(stderr,
                     ">>> Error in file %s: %s is a symbolic link of %s, and only links of "
                     "yours or root's are followed. Reading canceled!\n",
                     path, output::refusedName(), output::refusedOwner());
        return false;
    }
    if (kind == output::Kind::Unreplaceable) {
        std::fprintf(stderr,
                     ">>> Error in file %s: %s belongs to %s, in a sticky directory where only "
                     "its owner may replace it. Reading canceled!\n",
                     path, output::refusedName(), output::refusedOwner());
        return false;
    }
    if (kind == output::Kind::FixedInPlace) {
        std::fprintf(stderr,
                     ">>> Error in file %s: %s is immutable or append-only (chattr +i or +a), "
                     "so no one may replace it. Reading canceled!\n",
                     path, output::refusedName());
        return false;
    }
    if (kind != output::Kind::Missing && kind != output::Kind::Regular) {
        text::Printable shown;
        std::fprintf(stderr, ">>> Error in file %s: %s, not a regular file. Reading canceled!\n",
                     shown.of(path), describe(kind));
        return false;
    }
    if (!output::createTemporary()) {
        cancelOutput("creating", path);
        return false;
    }
    outputPath = path;
    return true;
}

bool saveOutputFile(const char* text, std::size_t size) {
    if (toStandardOutput) {
        toStandardOutput = false;
        if (output::writeStandardOutput(text, size)) return true;
        if (output::stopped()) return false;
        std::fprintf(stderr, ">>> Error writing standard output: %s. Reading canceled!\n",
                     output::reason());
        return false;
    }
    if (outputPath == nullptr) return false;
    if (!output::writeTemporary(text, size) || !output::flushTemporary()) {
        cancelOutput("writing", outputPath);
        return false;
    }
    if (!output::replace()) {
        cancelOutput("renaming", outputPath);
        return false;
    }
    outputPath = nullptr;
    return true;
}

void discardOutputFile() {
    output::discard();
    outputPath = nullptr;
    toStandardOutput = false;
}

void stopOutput() {
    output::stop();
}

void abandonOutputFile() {
    output::abandon();
}

}  // namespace image
