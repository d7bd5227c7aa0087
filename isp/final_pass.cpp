#include "isp/final_pass.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "isp/frame.h"
#include "isp/instructions.h"
#include "isp/readback.h"
#include "link/port.h"

namespace isp {

namespace {

using image::MemoryKind;

constexpr std::uint8_t kErased = 0xFF;

// The bytes a load reported as differing, of flash and of the EEPROM.
bool reported[2][image::kFlashBytes];

bool* reportedOf(MemoryKind kind) {
    return reported[kind == MemoryKind::Flash ? 0 : 1];
}

// Compares the bytes read from a on; where one differs, reads it again.
// Returns false where one still differs; stops where the chip must be gone
// back to or was lost.
bool compare(MemoryKind kind, unsigned a, const std::uint8_t* got, unsigned n,
             const std::uint8_t* expected) {
    bool same = true;
    bool* reported = reportedOf(kind);
    for (unsigned i = 0; i < n; ++i) {
        unsigned at = a + i;
        if (got[i] == expected[at]) continue;
        if (reported[at]) {
            same = false;
            continue;
        }
        unsigned again = readMajority(kind, at, got[i]);
        if (mustGoBack() || chipLost()) return same;
        if (again == expected[at]) continue;
        same = false;
        reported[at] = true;
        reportMismatch(kind, at, expected[at], again);
    }
    return same;
}

}  // namespace

void expectImage(const image::Image& image, std::uint8_t* expected) {
    std::memset(expected, kErased, image::memoryBytes(image.kind));
    overlayImage(image, expected);
}

void overlayImage(const image::Image& image, std::uint8_t* expected) {
    unsigned size = image::memoryBytes(image.kind);
    std::size_t offset = 0;
    while (offset < image.size) {
        image::ImageRecord record = image::nextRecord(image, offset);
        for (unsigned i = 0; i < record.count; ++i)
            expected[(record.address + i) % size] = record.data[i];
    }
}

bool readQuietly(MemoryKind kind, std::uint8_t* bytes) {
    unsigned size = image::memoryBytes(kind);
    unsigned good = 0;  // the bytes before it were read in step
    for (unsigned a = 0; a < size;) {
        unsigned n = std::min(kReadBatch, size - a);
        readBytes(kind == MemoryKind::Flash, a, n, bytes + a);
        if (!port::answering()) return false;
        if (!moveOn(keepInStep(), a, good, n)) return false;
    }
    return true;
}

bool confirmRead(MemoryKind kind, std::uint8_t* bytes) {
    unsigned size = image::memoryBytes(kind);
    unsigned good = 0;  // the bytes before it were read in step
    for (unsigned a = 0; a < size;) {
        std::uint8_t got[kReadBatch];
        unsigned n = std::min(kReadBatch, size - a);
        readBytes(kind == MemoryKind::Flash, a, n, got);
        if (!port::answering()) return false;
        bool differs = std::memcmp(got, bytes + a, n) != 0;
        Frame frame = keepInStep(differs);
        // Bytes read in step are settled before the loop moves past them.
        for (unsigned i = 0; i < n && differs && frame != Frame::Lost && !mustGoBack(); ++i) {
            if (got[i] != bytes[a + i]) {
                bytes[a + i] =
                    static_cast<std::uint8_t>(readMajority(kind, a + i, bytes[a + i], got[i]));
            }
        }
        if (chipLost()) frame = Frame::Lost;
        if (!moveOn(frame, a, good, n)) return false;
    }
    return port::answering();
}

void clearReported(MemoryKind kind) {
    std::memset(reportedOf(kind), 0, image::kFlashBytes);
}

bool noteReported(MemoryKind kind, unsigned a) {
    bool& noted = reportedOf(kind)[a % image::kFlashBytes];
    bool first = !noted;
    noted = true;
    return first;
}

void reportMismatch(MemoryKind kind, unsigned a, unsigned wanted, unsigned got) {
    if (kind == MemoryKind::Eeprom) {
        std::fprintf(stderr, ">>> Error verifying EEPROM at %03X.\n", a);
    } else {
        std::fprintf(stderr, ">>> Error verifying flash at %04X. waited %02x <> readed %02x\n", a,
                     wanted, got);
    }
}

bool finalPass(MemoryKind kind, const std::uint8_t* expected) {
    unsigned size = image::memoryBytes(kind);
    const bool* reported = reportedOf(kind);
    bool same = true;
    for (unsigned a = 0; a < size;) {
        std::uint8_t got[kReadBatch];
        unsigned n = std::min(kReadBatch, size - a);
        readBytes(kind == MemoryKind::Flash, a, n, got);
        if (!port::answering()) return false;
        bool differs = false;
        for (unsigned i = 0; i < n; ++i)
            differs = differs || (got[i] != expected[a + i] && !reported[a + i]);
        if (keepInStep(differs) != Frame::Lost && !mustGoBack())
            same = compare(kind, a, got, n, expected) && same;
        if (chipLost()) {
            reportLost(a);
            return false;
        }
        if (mustGoBack()) {
            // What the chip executed out of step may have written any byte,
            // one already read among them: the pass starts again.
            wentBack();
            a = 0;
            continue;
        }
        a += n;
    }
    return same && port::answering();
}

}  // namespace isp

namespace isp {

bool finalPassOf(const image::Image& image) {
    static std::uint8_t expected[image::kFlashBytes];
    expectImage(image, expected);
    return finalPass(image.kind, expected);
}

}  // namespace isp
