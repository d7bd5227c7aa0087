#include "image/loader.h"

#include <cstdio>

#include "isp/instructions.h"
#include "link/line.h"

namespace image {

namespace {

constexpr unsigned kWriteSettleMs = 10;

// Writes each byte, gives it time, reads it back. A byte that differs clears
// `verified`; returns false when the load must stop (an EEPROM byte differed).
bool writeRecord(const Record& record, MemoryKind kind, bool& verified) {
    for (unsigned i = 0; i < record.count; ++i) {
        unsigned a = record.address + i;
        unsigned wanted = record.data[i];
        if (kind == MemoryKind::Flash) {
            isp::writeFlashByte(a, wanted);
            line::sleepMs(kWriteSettleMs);
            unsigned got = isp::readFlashByte(a);
            if (got != wanted) {
                std::fprintf(stderr,
                             ">>> Error verifying flash at %04X. waited %02x <> readed %02x\n", a,
                             wanted, got);
                verified = false;
            }
        } else {
            isp::writeEepromByte(a, wanted);
            line::sleepMs(kWriteSettleMs);
            if (isp::readEepromByte(a) != wanted) {
                std::fprintf(stderr, ">>> Error verifying EEPROM at %03X.\n", a);
                verified = false;
                return false;
            }
        }
    }
    return true;
}

}  // namespace

bool programImage(const Image& image) {
    static const char kSpinner[4] = {'|', '/', '-', '\\'};
    Reader reader;
    startReading(reader, image.text, image.size, image.kind);
    Record record;
    bool verified = true;
    // The image was checked when it was read, so every record reads.
    for (unsigned n = 1; !reader.atEnd; ++n) {
        if (readRecord(reader, record) != ReadError::None) return false;
        if (!writeRecord(record, image.kind, verified)) return false;
        std::fprintf(stderr, "--- %u %c\r", n, kSpinner[n % 4]);
    }
    return verified;
}

}  // namespace image
