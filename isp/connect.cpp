#include "isp/connect.h"

#include <algorithm>
#include <cstdio>

#include "isp/instructions.h"
#include "isp/session.h"
#include "link/interrupt.h"
#include "link/port.h"

namespace isp {

// The fuse bits each datasheet's Read Fuse Bits reports, of bits 5-0: the
// ATtiny10/11 have FSTRT, RSTDISBL and CKSEL2..0 in bits 4-0; the ATtiny12
// SPIEN, RSTDISBL and CKSEL3..0 ("8765 4321"); the ATtiny15 SPIEN, RSTDISBL
// and CKSEL1..0 ("8765 xx43", ATtiny15L datasheet, Table 27). tWD_FLASH from
// the "Low-voltage Serial Programming Characteristics": 4.5 ms on the
// ATtiny12 (its ATtiny10 and 11 program only at high voltage and take it
// too), 4.1 ms on the ATtiny15L (Table 30). tWD_EEPROM from the same
// tables: 9 ms on the ATtiny12 (1006C, Table 28), 8.2 ms on the ATtiny15L;
// the ATtiny10 and 11 have no EEPROM and take the ATtiny12's.
const SupportedModel kSupportedModels[4] = {
    {0x03, 10, "  ATTiny10 detected!\n", false, 0x1F, 4500, 9000},
    {0x04, 11, "  ATTiny11 detected!\n", false, 0x1F, 4500, 9000},
    {0x05, 12, "  ATTiny12 detected! Calibration byte readed = %02Xh\n", true, 0x3F, 4500, 9000},
    {0x06, 15, "  ATTiny15 detected! Calibration byte readed = %02Xh\n", true, 0x33, 4100, 8200},
};

namespace {

const SupportedModel& modelOf(int model) {
    for (const SupportedModel& supported : kSupportedModels) {
        if (supported.model == model) return supported;
    }
    return kSupportedModels[2];
}

}  // namespace

unsigned flashWriteUs(int model) {
    return modelOf(model).flashWriteUs;
}

unsigned eepromWriteUs(int model) {
    return modelOf(model).eepromWriteUs;
}

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

constexpr std::uint32_t kUsPerMs = 1000;
constexpr unsigned kAtmel = 0x1E;
constexpr unsigned kOneKilobyte = 0x90;
// The longest wait before a sample that connect tries.
constexpr std::uint32_t kMaxSampleWaitUs = 16000;

// Drives the reset sequence as one waveform.
void reset(const Waits& waits) {
    using waveform::Pin;
    waveform::Waveform wave = port::begin();
    waveform::drive(wave, Pin::Mosi, true);
    waveform::drive(wave, Pin::Sck, false);
    waveform::drive(wave, Pin::Reset, false);
    waveform::wait(wave, waits.power * kUsPerMs);
    // A positive pulse on RESET while SCK is low starts programming mode afresh.
    waveform::drive(wave, Pin::Reset, true);
    waveform::wait(wave, waits.pulse * kUsPerMs);
    waveform::drive(wave, Pin::Reset, false);
    waveform::wait(wave, waits.settle * kUsPerMs);
    port::exchange(wave);
}

// One extra clock, which shifts the target's framing by a bit.
void slip() {
    waveform::Waveform wave = port::begin();
    waveform::drive(wave, waveform::Pin::Sck, true);
    waveform::wait(wave, 10 * kUsPerMs);
    waveform::drive(wave, waveform::Pin::Sck, false);
    port::exchange(wave);
}

// True when the first two signature bytes read as every supported chip's.
bool readsSignature() {
    return readSignatureByte(0) == kAtmel && readSignatureByte(1) == kOneKilobyte;
}

// Resets the target and sends Programming Enable until it echoes, a clock
// slipped between attempts. Returns true when it echoed.
bool synchronise(const Waits& waits) {
    reset(waits);
    for (int attempt = 0; attempt < kSyncAttempts; ++attempt) {
        if (programmingEnable()) return true;
        slip();
    }
    return false;
}

}  // namespace

Connection connect(bool fast, bool eraseProtected) {
    const Waits& waits = fast ? kFastWaits : kWaits;
    bool synchronised = synchronise(waits);
    // Where samples wait for a lagging status, a wait too short reads bits
    // late, which looks like a framing slip and echoes all the same: the
    // signature bytes every supported chip gives tell, and the wait doubles
    // until they read. A wait that reads them may still be short of the
    // status's period by luck: twice it is kept.
    bool learning = port::sampleWait() != 0;
    while (learning && synchronised && port::sampleWait() < kMaxSampleWaitUs && !readsSignature() &&
           port::answering()) {
        port::setSampleWait(port::sampleWait() * 2);
        synchronised = synchronise(waits);
    }
    if (learning) port::setSampleWait(std::min(2 * port::sampleWait(), kMaxSampleWaitUs));
    if (!synchronised) {
        // An interrupted run says so instead, where it ends.
        if (interrupt::requested() == 0) {
            std::fprintf(stderr,
                         ">>>Sync error (possibly disconnected device). Programming canceled!\n");
        }
        return Connection::NoSync;
    }

    unsigned fuse = readFuseBits();
    unsigned lock = readLockBits();
    // Bits from a port that stopped answering were never read: the run says so.
    if (!port::answering()) return Connection::Ready;
    std::fprintf(stderr, "  Lock bits readed = %02Xh, fuse bits readed = %02Xh\n", lock, fuse);
    if (readLockBits() != kUnprotected && port::answering()) {
        // Only an erase unlocks the memory, and a backup must never erase it.
        if (!eraseProtected) return Connection::Protected;
        std::fprintf(stderr, "  Device is protected, erasing now. Please wait...\n");
        chipErase();
        waitMs(waits.erase);
    }
    return Connection::Ready;
}

int identify() {
    unsigned maker = readSignatureByte(0);
    unsigned size = readSignatureByte(1);
    unsigned model = readSignatureByte(2);
    if (!port::answering()) return 0;
    if (maker != kAtmel) {
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
    if (size != kOneKilobyte) {
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
