#include "isp/readback.h"

#include <cstdio>

#include "isp/frame.h"
#include "isp/instructions.h"
#include "link/port.h"

namespace isp {

namespace {

// A read prints a progress line per 16 bytes: per record of the file it writes.
constexpr unsigned kProgressBytes = 16;

// Reads back every data byte of image and says where one differs, a byte
// read again before it counts. Returns false where the chip was lost (said
// here), must be gone back to, or the port stopped answering.
bool compareImage(const image::Image& image, unsigned& compared, unsigned& differing) {
    const char* memory = image.kind == MemoryKind::Flash ? "flash" : "EEPROM";
    std::size_t offset = 0;
    for (unsigned n = 1; offset < image.size; ++n) {
        image::ImageRecord record = image::nextRecord(image, offset);
        for (unsigned i = 0; i < record.count; ++i) {
            unsigned a = record.address + i;
            unsigned got = readTargetByte(image.kind, a);
            if (!port::answering()) return false;
            Frame frame = keepInStep(got != record.data[i]);
            if (frame == Frame::Lost) reportLost(a);
            if (frame == Frame::Lost || mustGoBack()) return false;
            if (got != record.data[i]) got = readMajority(image.kind, a, got);
            ++compared;
            if (got == record.data[i]) continue;
            ++differing;
            std::fprintf(stderr, ">>> Error verifying %s at %04X. waited %02x <> readed %02x\n",
                         memory, a, static_cast<unsigned>(record.data[i]), got);
        }
        showProgress(n);
    }
    return true;
}

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
    unsigned good = 0;  // the bytes before it were read in step
    for (unsigned a = 0; a < size;) {
        bytes[a] = readTargetByte(kind, a);
        if (!port::answering()) return false;
        Frame frame = keepInStep();
        if (frame == Frame::Lost) {
            reportLost(a);
            return false;
        }
        if (mustGoBack()) {
            wentBack();
            a = good;
            continue;
        }
        ++a;
        if (frame == Frame::InStep) good = a;
        if (a % kProgressBytes == 0) showProgress(a / kProgressBytes);
    }
    return true;
}

bool verifyImage(const image::Image& image, unsigned& compared, unsigned& differing) {
    for (;;) {
        compared = differing = 0;
        if (compareImage(image, compared, differing) || !mustGoBack()) break;
        // After a resynchronisation the comparison starts again.
        wentBack();
    }
    return differing == 0 && port::answering() && !chipLost();
}

}  // namespace isp
