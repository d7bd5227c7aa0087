#include "isp/connect.h"

#include <algorithm>
#include <cstdio>

#include "isp/bits.h"
#include "isp/frame.h"
#include "isp/instructions.h"
#include "isp/models.h"
#include "isp/session.h"
#include "link/interrupt.h"
#include "link/port.h"

namespace isp {

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

// The fuse byte as the last connect read it.
unsigned connectedFuse = 0;

// A positive pulse on RESET while SCK is low starts programming mode afresh.
void pulseReset(waveform::Waveform& wave, const Waits& waits) {
    using waveform::Pin;
    waveform::drive(wave, Pin::Reset, true);
    waveform::wait(wave, waits.pulse * kUsPerMs);
    waveform::drive(wave, Pin::Reset, false);
    waveform::wait(wave, waits.settle * kUsPerMs);
}

// Drives the reset sequence as one waveform.
void reset(const Waits& waits) {
    using waveform::Pin;
    waveform::Waveform wave = port::begin();
    waveform::drive(wave, Pin::Mosi, true);
    waveform::drive(wave, Pin::Sck, false);
    waveform::drive(wave, Pin::Reset, false);
    waveform::wait(wave, waits.power * kUsPerMs);
    pulseReset(wave, waits);
    port::exchange(wave);
}

// Restarts the chip's framing between attempts: a positive RESET pulse with
// SCK low (every instruction leaves it low) takes the chip out of programming
// mode and back in with its framing afresh, then the 20 ms the datasheets
// ask for before Programming Enable (ATtiny12, 1006, "Serial Programming
// Algorithm", step 2; ATtiny15L, 1187, the same step). The datasheets give SCK
// a positive pulse instead, which slips the framing of a chip that was in
// step all along (its echo misread) into words that may write: a pulse on
// RESET never clocks an instruction. The fast waits serve both runs.
void restartFraming() {
    waveform::Waveform wave = port::begin();
    pulseReset(wave, kFastWaits);
    port::exchange(wave);
}

// True when the first two signature bytes read as every supported chip's.
bool readsSignature() {
    return readSignatureByte(0) == kAtmel && readSignatureByte(1) == kOneKilobyte;
}

// Sends Programming Enable until it echoes, the framing restarted between
// attempts. Returns true when it echoed.
bool enable() {
    for (int attempt = 0; attempt < kSyncAttempts; ++attempt) {
        if (attempt > 0) restartFraming();
        if (programmingEnable()) return true;
    }
    return false;
}

// Resets the target and synchronises with it.
bool synchronise(const Waits& waits) {
    reset(waits);
    return enable();
}

void syncError() {
    // An interrupted run says so instead, where it ends.
    if (interrupt::requested() == 0) {
        std::fprintf(stderr,
                     ">>>Sync error (possibly disconnected device). Programming canceled!\n");
    }
}

}  // namespace

unsigned fuseAtConnect() {
    return connectedFuse;
}

bool reenter(bool fast) {
    const Waits& waits = fast ? kFastWaits : kWaits;
    waveform::Waveform wave = port::begin();
    waveform::drive(wave, waveform::Pin::Sck, false);
    pulseReset(wave, waits);
    port::exchange(wave);
    if (enable() || !port::answering()) return true;
    syncError();
    return false;
}

bool resynchronise(unsigned signatureZero) {
    // A write the chip has begun runs on its own clock: leave it time to end;
    // then the framing restarts before anything more is clocked into a chip
    // known to be out of step.
    port::wait(kLongestWriteUs);
    restartFraming();
    return enable() && readSignatureByte(0) == signatureZero;
}

Connection connect(bool fast, bool eraseProtected) {
    const Waits& waits = fast ? kFastWaits : kWaits;
    startRun();
    fillEnableWith(kFactoryFuse);
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
        syncError();
        return Connection::NoSync;
    }

    unsigned lock = 0;
    learnSignatureZero();
    if (!readBitsInStep(connectedFuse, lock)) {
        syncError();
        return Connection::NoSync;
    }
    fillEnableWith(connectedFuse);
    // The report shows bits 5-0, as it always has.
    unsigned fuse = connectedFuse & 0x3Fu;
    // Bits from a port that stopped answering were never read: the run says so.
    if (!port::answering()) return Connection::Ready;
    std::fprintf(stderr, "  Lock bits readed = %02Xh, fuse bits readed = %02Xh\n", lock, fuse);
    expectFuse(fuse, 0x3F);
    expectLock(lock);
    if (lock != kUnprotected) {
        // Only an erase unlocks the memory, and a backup must never erase it.
        if (!eraseProtected) return Connection::Protected;
        std::fprintf(stderr, "  Device is protected, erasing now. Please wait...\n");
        chipErase();
        waitMs(waits.erase);
        // What the erase left is what the run must leave.
        unsigned erased = readAgreeing(readLockBits);
        expectLock(erased);
        expectSignatureZero(erased);
    }
    return Connection::Ready;
}

int identify() {
    unsigned maker = 0, size = 0, model = 0;
    Frame frame = Frame::Resynchronised;
    // Read in step, or again after a resynchronisation.
    for (unsigned tries = 0; tries < 3 && frame == Frame::Resynchronised; ++tries) {
        if (tries > 0) wentBack();
        maker = readSignatureByte(0);
        size = readSignatureByte(1);
        model = readSignatureByte(2);
        frame = keepInStep(true);
    }
    if (frame == Frame::Lost) reportLost(0);
    if (!port::answering() || frame == Frame::Lost || frame == Frame::Resynchronised) return 0;
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
    for (const ChipModel& supported : kChipModels) {
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
