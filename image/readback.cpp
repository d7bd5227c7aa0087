#include "image/readback.h"

#include <cstdio>

#include "image/writer.h"
#include "isp/instructions.h"
#include "link/line.h"

namespace image {

std::uint8_t readTargetByte(MemoryKind kind, unsigned a) {
    return kind == MemoryKind::Flash ? isp::readFlashByte(a) : isp::readEepromByte(a);
}

void showProgress(unsigned n) {
    static const char kSpinner[4] = {'|', '/', '-', '\\'};
    std::fprintf(stderr, "--- %u %c\r", n, kSpinner[n % 4]);
}

bool readMemory(MemoryKind kind, std::uint8_t* bytes) {
    unsigned size = memoryBytes(kind);
    for (unsigned a = 0; a < size; ++a) {
        bytes[a] = readTargetByte(kind, a);
        if (!line::answering()) return false;
        if ((a + 1) % kRecordBytes == 0) showProgress((a + 1) / kRecordBytes);
    }
    return true;
}

bool verifyImage(const Image& image, unsigned& compared, unsigned& differing) {
    compared = 0;
    differing = 0;
    Reader reader;
    startReading(reader, image.text, image.size, image.kind);
    Record record;
    const char* memory = image.kind == MemoryKind::Flash ? "flash" : "EEPROM";
    // The image was checked when it was read, so every record reads.
    for (unsigned n = 1; !reader.atEnd; ++n) {
        if (readRecord(reader, record) != ReadError::None) return false;
        for (unsigned i = 0; i < record.count; ++i) {
            unsigned a = record.address + i;
            unsigned got = readTargetByte(image.kind, a);
            if (!line::answering()) return false;
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

}  // namespace image
