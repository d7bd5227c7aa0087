#include "isp/readback.h"

#include <cstdio>

#include "isp/final_pass.h"
#include "isp/frame.h"
#include "isp/instructions.h"
#include "link/port.h"

namespace isp {

namespace {

// A read prints a progress line per 16 bytes: per record of the file it writes.
constexpr unsigned kProgressBytes = 16;

// Where a comparison stands: the record being compared and its next byte,
// and the counts so far.
struct Place {
    std::size_t next = 0;  // the packed offset of the record after this one
    image::ImageRecord record{0, 0, nullptr};
    unsigned i = 0;  // the record's next byte
    unsigned n = 0;  // the record's number; 0 before the first
    unsigned compared = 0;
};

// The highest progress line shown since startProgress().
unsigned shown = 0;

// The bytes a comparison said to differ, since its first round.
unsigned differedCount = 0;

}  // namespace

void startProgress() {
    shown = 0;
}

std::uint8_t readTargetByte(MemoryKind kind, unsigned a) {
    return kind == MemoryKind::Flash ? readFlashByte(a) : readEepromByte(a);
}

void showProgress(unsigned n) {
    static const char kSpinner[4] = {'|', '/', '-', '\\'};
    // Work done again after a resynchronisation shows no line twice.
    if (n <= shown) return;
    shown = n;
    std::fprintf(stderr, "--- %u %c\r", n, kSpinner[n % 4]);
}

bool readMemory(MemoryKind kind, std::uint8_t* bytes) {
    startProgress();
    unsigned size = image::memoryBytes(kind);
    unsigned good = 0;  // the bytes before it were read in step
    for (unsigned a = 0; a < size;) {
        bytes[a] = readTargetByte(kind, a);
        if (!port::answering()) return false;
        unsigned was = a;
        if (!moveOn(keepInStep(), a, good, 1)) return false;
        if (a > was && a % kProgressBytes == 0) showProgress(a / kProgressBytes);
    }
    return true;
}

bool verifyImage(const image::Image& image, unsigned& compared, unsigned& differing, bool again) {
    if (!again) {
        startProgress();
        clearReported(image.kind);
        differedCount = 0;
    }
    const char* memory = image.kind == MemoryKind::Flash ? "flash" : "EEPROM";
    Place at, good;
    for (;;) {
        if (at.i == at.record.count) {
            if (at.n > 0) showProgress(at.n);
            if (at.next >= image.size) break;
            at.record = image::nextRecord(image, at.next);
            ++at.n;
            at.i = 0;
            continue;
        }
        unsigned a = at.record.address + at.i, wanted = at.record.data[at.i];
        unsigned got = readTargetByte(image.kind, a);
        if (!port::answering()) break;
        Frame frame = keepInStep(got != wanted);
        if (frame != Frame::Lost && !mustGoBack() && got != wanted)
            got = readMajority(image.kind, a, got);
        if (chipLost()) {
            reportLost(a);
            break;
        }
        if (mustGoBack()) {
            // Back to the last byte known good.
            wentBack();
            at = good;
            continue;
        }
        ++at.compared;
        ++at.i;
        if (got != wanted && noteReported(image.kind, a)) {
            ++differedCount;
            std::fprintf(stderr, ">>> Error verifying %s at %04X. waited %02x <> readed %02x\n",
                         memory, a, wanted, got);
        }
        // A chip found in step has had every byte so far in step.
        if (frame == Frame::InStep) good = at;
    }
    compared = at.compared;
    differing = differedCount;
    return differing == 0 && port::answering() && !chipLost();
}

}  // namespace isp
