#include "isp/connect.h"

#include <cstdio>

#include "isp/instructions.h"
#include "link/line.h"

namespace isp {

const SupportedModel kSupportedModels[4] = {
    {0x03, 10, "  ATTiny10 detected!\n", false},
    {0x04, 11, "  ATTiny11 detected!\n", false},
    {0x05, 12, "  ATTiny12 detected! Calibration byte readed = %02Xh\n", true},
    {0x06, 15, "  ATTiny15 detected! Calibration byte readed = %02Xh\n", true},
};

namespace {

constexpr int kSyncAttempts = 32;
constexpr unsigned kUnprotected = 0x06;

// The waits of the reset sequence and after the erase of a protected chip.
// The fast ones are what the datasheets ask for, with a margin: 20 ms after
// RESET falls before Programming Enable, a RESET pulse of two clock cycles,
// and an erase wait beyond the longest write time.
struct Waits {
    unsigned power, pulse, settle, erase;
};
constexpr Waits kWaits{2000, 50, 50, 5000};
constexpr Waits kFastWaits{25, 1, 25, kFastEraseMs};

}  // namespace

Connection connect(bool fast, bool eraseProtected) {
    const Waits& waits = fast ? kFastWaits : kWaits;
    line::set(line::Pin::Mosi, 1);
    line::set(line::Pin::Sck, 0);
    line::set(line::Pin::Reset, 0);
    line::sleepMs(waits.power);
    // A positive pulse on RESET while SCK is low starts programming mode afresh.
    line::set(line::Pin::Reset, 1);
    line::sleepMs(waits.pulse);
    line::set(line::Pin::Reset, 0);
    line::sleepMs(waits.settle);

    bool synchronised = false;
    for (int attempt = 0; attempt < kSyncAttempts && !synchronised; ++attempt) {
        synchronised = programmingEnable();
        if (!synchronised) {
            // One extra clock shifts the target's framing by a bit.
            line::set(line::Pin::Sck, 1);
            line::sleepMs(10);
            line::set(line::Pin::Sck, 0);
        }
    }
    if (!synchronised) {
        std::fprintf(stderr,
                     ">>>Sync error (possibly disconnected device). Programming canceled!\n");
        return Connection::NoSync;
    }

    unsigned fuse = readFuseBits();
    unsigned lock = readLockBits();
    // Bits from a port that stopped answering were never read: the run says so.
    if (!line::answering()) return Connection::Ready;
    std::fprintf(stderr, "  Lock bits readed = %02Xh, fuse bits readed = %02Xh\n", lock, fuse);
    if (readLockBits() != kUnprotected && line::answering()) {
        // Only an erase unlocks the memory, and a backup must never erase it.
        if (!eraseProtected) return Connection::Protected;
        std::fprintf(stderr, "  Device is protected, erasing now. Please wait...\n");
        chipErase();
        line::sleepMs(waits.erase);
    }
    return Connection::Ready;
}

int identify() {
    unsigned maker = readSignatureByte(0);
    unsigned size = readSignatureByte(1);
    unsigned model = readSignatureByte(2);
    if (!line::answering()) return 0;
    if (maker != 0x1E) {
        if (maker == 0x00 && size == 0x01 && model == 0x02) {
            // Both lock bits programmed: the chip answers with the addresses.
            std::fprintf(stderr,
                         ">>> Atmel device have both lock bits on. Device type can't be defined. "
                         "Programming canceled!\n");
        } else {
            std::fprintf(stderr, ">>> Non-Atmel device detected! Programming canceled!\n");
        }
        return 0;
    }
    if (size != 0x90) {
        std::fprintf(
            stderr,
            ">>> Wanted Atmel device must have exactly 1 KB flash! Programming canceled!\n");
        return 0;
    }
    for (const SupportedModel& supported : kSupportedModels) {
        if (supported.signature != model) continue;
        if (supported.hasCalibration) {
            std::fprintf(stderr, supported.message, static_cast<unsigned>(readCalibrationByte()));
        } else {
            std::fprintf(stderr, "%s", supported.message);
        }
        return supported.model;
    }
    std::fprintf(stderr, ">>> This ATTiny device is not supported. Programming canceled!\n");
    return 0;
}

}  // namespace isp
