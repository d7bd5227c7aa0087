#include "isp/readback.h"

#include <cstdio>

#include "isp/instructions.h"
#include "link/port.h"

namespace isp {

namespace {

// A read prints a progress line per 16 bytes: per record of the file it writes.
constexpr unsigned kProgressBytes = 16;

}  // namespace

std::uint8_t readTargetByte(MemoryKind kind, unsigned a) {
    return kind == MemoryKind::Flash ? readFlashByte(a) : readEepromByte(a);
}

void showProgress(unsigned n) {
    static const char kSpinner[4] = {'|', '/', '-', '\\'};
    std::fprintf(stderr, "--- %u %c\r", n, kSpinner[n % 4]);
}

bool readMemory(MemoryKind kind, std::uint8_t* bytes) {
    unsigned size = image::memoryBytes(kind);
    for (unsigned a = 0; a < size; ++a) {
        bytes[a] = readTargetByte(kind, a);
        if (!port::answering()) return false;
        if ((a + 1) % kProgressBytes == 0) showProgress((a + 1) / kProgressBytes);
    }
    return true;
}

bool verifyImage(const image::Image& image, unsigned& compared, unsigned& differing) {
    compared = 0;
    differing = 0;
    const char* memory = image.kind == MemoryKind::Flash ? "flash" : "EEPROM";
    std::size_t offset = 0;
    for (unsigned n = 1; offset < image.size; ++n) {
        image::ImageRecord record = image::nextRecord(image, offset);
        for (unsigned i = 0; i < record.count; ++i) {
            unsigned a = record.address + i;
            unsigned got = readTargetByte(image.kind, a);
            if (!port::answering()) return false;
            ++compared;
            if (got == record.data[i]) continue;
            ++differing;
            std::fprintf(stderr, ">>> Error verifying %s at %04X. waited %02x <> readed %02x\n",
                         memory, a, static_cast<unsigned>(record.data[i]), got);
        }
        showProgress(n);
    }
    return differing == 0;
}

}  // namespace isp
