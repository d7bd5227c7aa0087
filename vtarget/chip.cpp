#include "vtarget/chip.h"

namespace vtarget {

namespace {

constexpr std::uint64_t kSettleNs = 20000000;
constexpr std::uint8_t kUnlocked = 0x06;
constexpr std::uint8_t kSpien = 0x20;     // unprogrammed (1): no serial programming
constexpr std::uint8_t kRstdisbl = 0x10;  // programmed (0): RESET is an I/O pin
// Programming Enable's first three bytes, as hosts send them: AC 53 00 xx.
constexpr std::uint32_t kEnableBytes = 0xAC5300;

const char* const kKindNames[] = {
    "programming_enable", "chip_erase",   "read_signature", "read_calibration",
    "read_fuse",          "read_lock",    "read_flash",     "write_flash",
    "read_eeprom",        "write_eeprom", "write_fuse",     "write_lock",
};

std::uint8_t byteOf(std::uint32_t word, int index) {
    return static_cast<std::uint8_t>(word >> (8 * (3 - index)));
}

// Byte address of a flash instruction: a 9-bit word address in b2 bit 0 and b3,
// and the high/low byte select in bit 3 of b1.
unsigned flashAddress(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
    unsigned word = (static_cast<unsigned>(b2 & 0x01) << 8) | b3;
    return word * 2 + ((b1 >> 3) & 1);
}

}  // namespace

Clock clockOfCksel(unsigned cksel) {
    // 1006, Table 9: 1111-1010 crystal or ceramic resonator, 1001-1000
    // low-frequency crystal, 0111-0101 external RC, 0100-0010 internal RC,
    // 0001-0000 external clock.
    static const Clock kCksel[16] = {
        Clock::External,  Clock::External,  Clock::Rc,      Clock::Rc,
        Clock::Rc,        Clock::ExtRc,     Clock::ExtRc,   Clock::ExtRc,
        Clock::LfCrystal, Clock::LfCrystal, Clock::Crystal, Clock::Crystal,
        Clock::Crystal,   Clock::Crystal,   Clock::Crystal, Clock::Crystal};
    return kCksel[cksel & 0x0F];
}

std::uint32_t clockHz(Clock clock) {
    // The datasheet bounds the board's sources only from above (1006, Table
    // 26: 1, 4 and 8 MHz by supply voltage); the virtual board has a 2-MHz
    // RC network, a 4-MHz crystal, a 4-MHz clock and a 32.768-kHz watch crystal.
    switch (clock) {
        case Clock::Rc:
            return 1200000;
        case Clock::ExtRc:
            return 2000000;
        case Clock::Crystal:
        case Clock::External:
            return 4000000;
        case Clock::LfCrystal:
            return 32768;
    }
    return 1200000;
}

const char* clockKey(Clock clock) {
    static const char* const kKeys[] = {"rc", "ext-rc", "crystal", "lf-crystal", "external"};
    return kKeys[static_cast<int>(clock)];
}

bool applyModel(int model, Config& config) {
    // The signature's last byte and the serial programming wait delays
    // tWD_FLASH, tWD_EEPROM and tWD_ERASE of the datasheets' "Low-voltage
    // Serial Programming Characteristics". The ATtiny10 and 11 program only at
    // high voltage; they take the times of the ATtiny12, of the same datasheet.
    //
    // The shortest SCK pulse, tSHSL and tSLSH: 2 tCLCL of the internal RC
    // oscillator's nominal clock, 1.2 MHz on the ATtiny12 (1006D, "ATtiny12
    // Calibrated Internal RC Oscillator") and 1.6 MHz on the ATtiny15L
    // (1187H, Table 28: tCLCL 625 ns at the top of the RC's range), in whole
    // nanoseconds.
    //
    // The fuse bits, from "Fuse Bits" and the programming instruction tables:
    // the ATtiny12 has all eight (BODLEVEL, BODEN, SPIEN, RSTDISBL,
    // CKSEL3..0), the ATtiny15L six ("8765 xx43": CKSEL1..0 in bits 1 and 0,
    // bits 3 and 2 unused), the ATtiny10 and 11 five (FSTRT, RSTDISBL,
    // CKSEL2..0 in bits 4 to 0, read as "x_xx76_543x_xx" in high-voltage
    // mode), with no SPIEN and no low-voltage serial mode for RSTDISBL to
    // lock out. Only the ATtiny12's fuse chooses its clock (1006, Table 9;
    // the ATtiny15L's CKSEL1..0 choose start-up delays), and only the
    // ATtiny15L asks for a RESET pulse after an erase (1187, "Low-voltage
    // Serial Programming Algorithm", step 4).
    static const struct {
        int model;
        std::uint8_t signature;
        std::uint32_t flashUs, eepromUs, eraseUs;
        std::uint32_t sckMinNs;
        std::uint8_t fuseBits;
        bool fuseLocksOut, clockByFuse, eraseNeedsReset;
    } kModels[] = {
        {10, 0x03, 4500, 9000, 9000, 1666, 0x1F, false, false, false},
        {11, 0x04, 4500, 9000, 9000, 1666, 0x1F, false, false, false},
        {12, 0x05, 4500, 9000, 9000, 1666, 0xFF, true, true, false},
        {15, 0x06, 4100, 8200, 8200, 1250, 0xF3, true, false, true},
    };
    for (const auto& m : kModels) {
        if (m.model != model) continue;
        config.signature = {0x1E, 0x90, m.signature};
        config.flashWriteUs = m.flashUs;
        config.eepromWriteUs = m.eepromUs;
        config.eraseUs = m.eraseUs;
        config.sckMinNs = m.sckMinNs;
        config.fuseBits = m.fuseBits;
        config.fuseLocksOut = m.fuseLocksOut;
        config.clockByFuse = m.clockByFuse;
        config.eraseNeedsReset = m.eraseNeedsReset;
        return true;
    }
    return false;
}

Chip::Chip(const Config& config)
    : config_(config),
      flash_(config.flash),
      eeprom_(config.eeprom),
      fuse_(config.fuseStuck ? config.stuckFuse : fuseRead(config.fuse)),
      sckMinNs_(config.sckMinNs),
      lockBits_(config.lock & kUnlocked) {
    powerUp();
}

// The datasheets give the bits a model lacks as "x" (don't care) in Read Fuse
// Bits; they read 1 here, as unprogrammed bits do, and as the ATtiny15L's
// Write Fuse Bits ("8765 1143") has them written.
std::uint8_t Chip::fuseRead(std::uint8_t written) const {
    return static_cast<std::uint8_t>(written | ~config_.fuseBits);
}

void Chip::powerUp() {
    lockedOut_ = config_.fuseLocksOut && ((fuse_ & kSpien) != 0 || (fuse_ & kRstdisbl) == 0);
    sckMinNs_ = config_.sckMinNs;
    if (config_.clockByFuse) {
        Clock clock = clockOfCksel(fuse_);
        // Without the source it was told to run on, the chip has no clock at all.
        if (clock != Clock::Rc && clock != config_.clock) lockedOut_ = true;
        if (clock != Clock::Rc && !config_.sckMinFixed) {
            sckMinNs_ = static_cast<std::uint32_t>(2000000000ull / clockHz(clock));
        }
    }
    programming_ = false;
    miso_ = false;
    enables_ = 0;
    if (!reset_) onReset(false);
}

void Chip::setPin(Pin pin, bool level) {
    switch (pin) {
        case Pin::Sck:
            if (level != sck_) {
                if (programming_ && sckMoved_ && now_ - sckEdgeAt_ < sckMinNs_) {
                    violations_.add("SCK pulse too short");
                }
                sckMoved_ = true;
                sckEdgeAt_ = now_;
                sck_ = level;
                onSck(level);
            }
            break;
        case Pin::Mosi:
            mosi_ = level;
            break;
        case Pin::Reset:
            if (level != reset_) {
                reset_ = level;
                onReset(level);
            }
            break;
        case Pin::Miso:
            break;
    }
}

void Chip::hostSample(bool mosi) {
    if (!programming_) return;
    hostShift_ = (hostShift_ << 1) | (mosi ? 1u : 0u);
    hostBit_ = hostShift_ >> 8 == kEnableBytes ? 0 : (hostBit_ + 1) % 32;
}

void Chip::glitchSck() {
    for (int edge = 0; edge < 2; ++edge) {
        sck_ = !sck_;
        onSck(sck_);
    }
}

void Chip::advanceNs(std::uint64_t ns) {
    now_ += ns;
}

void Chip::onReset(bool level) {
    miso_ = false;
    if (level) {
        programming_ = false;
        needsReset_ = false;
        return;
    }
    // RESET falling with SCK high does not enter programming mode.
    if (sck_ || config_.absent || lockedOut_) return;
    programming_ = true;
    // Only a chip that answers the first attempt acts before it answers a
    // Programming Enable. Entering starts the framing afresh.
    enabled_ = config_.syncAttempt == 1;
    echoing_ = false;
    resetFellAt_ = now_;
    bit_ = 0;
    // The host's frame is not known until it sends a Programming Enable.
    hostBit_ = 0;
    hostShift_ = 0;
    shift_ = 0;
    output_ = 0;
}

void Chip::onSck(bool level) {
    if (!programming_) return;
    if (level) {
        sample();
    } else {
        miso_ = (output_ >> (31 - bit_)) & 1;
    }
}

void Chip::sample() {
    shift_ = (shift_ << 1) | (mosi_ ? 1u : 0u);
    ++bit_;
    if (bit_ == 16 || bit_ == 24) decideOutput();
    if (bit_ == 32) {
        std::uint32_t word = shift_;
        bit_ = 0;
        shift_ = 0;
        output_ = 0;
        execute(word);
    }
}

bool Chip::settled() const {
    return now_ - resetFellAt_ >= kSettleNs;
}

void Chip::decideOutput() {
    if (!settled()) return;
    if (bit_ == 16) {
        // The chip answers from the host's syncAttempt-th Programming Enable on
        // since power-up, however the host restarts its framing in between.
        echoing_ = (shift_ & 0xFFFF) == 0xAC53 && config_.syncAttempt != 0 &&
                   ++enables_ >= static_cast<unsigned>(config_.syncAttempt);
        if (echoing_) output_ |= 0x53u << 8;
        return;
    }
    std::uint8_t value;
    if (enabled_ && readResult(shift_, value)) output_ |= value;
}

bool Chip::readResult(std::uint32_t firstThree, std::uint8_t& value) const {
    auto b1 = static_cast<std::uint8_t>(firstThree >> 16);
    auto b2 = static_cast<std::uint8_t>(firstThree >> 8);
    auto b3 = static_cast<std::uint8_t>(firstThree);
    bool readBack = lockBits_ == 0;  // both lock bits programmed
    switch (b1) {
        case 0x20:
        case 0x28: {
            unsigned address = flashAddress(b1, b2, b3);
            auto stuck = config_.stuckFlash.find(address);
            value = readBack                            ? b3
                    : stuck != config_.stuckFlash.end() ? stuck->second
                                                        : flash_[address];
            break;
        }
        case 0xA0: {
            unsigned address = b3 % kEepromBytes;
            auto stuck = config_.stuckEeprom.find(address);
            value = readBack                             ? b3
                    : stuck != config_.stuckEeprom.end() ? stuck->second
                                                         : eeprom_[address];
            break;
        }
        case 0x30:
            value = readBack ? b3 : (b3 & 3) == 3 ? 0xFF : config_.signature[b3 & 3];
            break;
        case 0x38:
            value = config_.calibration;
            break;
        case 0x50:
            value = fuse_;
            break;
        case 0x58:
            value = static_cast<std::uint8_t>(0xF9 | lockBits_);
            break;
        default:
            return false;
    }
    if (busy()) value = 0xFF;
    return true;
}

void Chip::execute(std::uint32_t word) {
    if (config_.keepWords) words_.push_back(word);
    if (!settled()) {
        violations_.add("instruction before reset settled");
        return;
    }
    std::uint8_t b1 = byteOf(word, 0), b2 = byteOf(word, 1), b3 = byteOf(word, 2),
                 b4 = byteOf(word, 3);
    bool enable = b1 == 0xAC && b2 == 0x53;
    if (enable && echoing_) enabled_ = true;
    echoing_ = false;
    if (!enabled_) return;
    bool outOfFrame = hostBit_ != 0;
    outOfFrameWords_ += outOfFrame;
    outOfFrameRun_ = outOfFrame ? outOfFrameRun_ + 1 : 0;
    if (outOfFrameRun_ > outOfFrameRunMax_) outOfFrameRunMax_ = outOfFrameRun_;
    Kind kind;
    if (!decode(b1, b2, kind)) {
        ++unknown_;
        return;
    }
    ++counts_[kind];
    outOfFrameCounts_[kind] += outOfFrame;
    act(kind, b1, b2, b3, b4);
}

bool Chip::decode(std::uint8_t b1, std::uint8_t b2, Kind& kind) const {
    switch (b1) {
        case 0xAC:
            if (b2 == 0x53) {
                kind = kProgrammingEnable;
                return true;
            }
            switch (b2 >> 5) {
                case 4:
                    kind = kChipErase;
                    return true;
                case 5:
                    kind = kWriteFuse;
                    return true;
                case 7:
                    kind = kWriteLock;
                    return true;
                default:
                    return false;
            }
        case 0x20:
        case 0x28:
            kind = kReadFlash;
            return true;
        case 0x40:
        case 0x48:
            kind = kWriteFlash;
            return true;
        case 0xA0:
            kind = kReadEeprom;
            return true;
        case 0xC0:
            kind = kWriteEeprom;
            return true;
        case 0x30:
            kind = kReadSignature;
            return true;
        case 0x38:
            kind = kReadCalibration;
            return true;
        case 0x50:
            kind = kReadFuse;
            return true;
        case 0x58:
            kind = kReadLock;
            return true;
        default:
            return false;
    }
}

void Chip::act(Kind kind, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4) {
    bool changes = kind == kChipErase || kind == kWriteFlash || kind == kWriteEeprom ||
                   kind == kWriteFuse || kind == kWriteLock;
    if (!changes) return;
    // A read while busy is the datasheets' data polling (it reads 0xFF); a
    // write is lost.
    if (busy()) {
        violations_.add("write while busy");
        return;
    }
    if (kind != kChipErase && needsReset_) {
        // 1187, "Low-voltage Serial Programming Algorithm", step 4.
        violations_.add("write after chip erase without a RESET pulse");
        return;
    }
    bool writable = lockBits_ == kUnlocked;
    bool erasingFF =
        kind == kWriteFlash && eraseStep_ == 1 && b4 == 0xFF && flashAddress(b1, b2, b3) == 0;
    int step = eraseStep_;
    eraseStep_ = erasingFF ? 2 : 0;
    switch (kind) {
        case kChipErase: {
            // 1006, "Low-voltage Serial Programming Algorithm": one byte may
            // be written after a lone erase; here the byte at 0000 is kept.
            std::uint8_t first = flash_[0];
            flash_.fill(0xFF);
            if (config_.eraseWarning && step != 2) flash_[0] = first;
            eraseStep_ = step == 2 ? 0 : 1;
            eeprom_.fill(0xFF);
            if (!config_.stubbornLock) lockBits_ = kUnlocked;
            needsReset_ = config_.eraseNeedsReset;
            startBusy(config_.eraseUs);
            break;
        }
        case kWriteFuse:
            if (!config_.fuseStuck) fuse_ = fuseRead(b4);
            break;
        case kWriteLock:
            lockBits_ &= b2 & kUnlocked;
            break;
        case kWriteFlash:
            if (!writable) break;
            flash_[flashAddress(b1, b2, b3)] &= b4;
            startBusy(config_.flashWriteUs);
            break;
        case kWriteEeprom:
            if (!writable) break;
            eeprom_[b3 % kEepromBytes] = b4;
            if (config_.astrayFlash >= 0) flash_[static_cast<unsigned>(config_.astrayFlash)] &= b4;
            startBusy(config_.eepromWriteUs);
            break;
        default:
            break;
    }
}

const std::array<std::uint8_t, kFlashBytes>& Chip::flash() const {
    return flash_;
}
const std::array<std::uint8_t, kEepromBytes>& Chip::eeprom() const {
    return eeprom_;
}
std::uint8_t Chip::fuse() const {
    return fuse_;
}
std::uint8_t Chip::lock() const {
    return lockBits_;
}
bool Chip::inProgrammingMode() const {
    return programming_;
}

bool Chip::pinLevel(Pin pin) const {
    switch (pin) {
        case Pin::Sck:
            return sck_;
        case Pin::Mosi:
            return mosi_;
        case Pin::Reset:
            return reset_;
        case Pin::Miso:
            return miso_;
    }
    return false;
}

std::uint64_t Chip::unknownInstructions() const {
    return unknown_;
}

const std::map<std::string, std::uint64_t>& Chip::instructions() const {
    // Counts only grow, so refreshing the entries keeps earlier references valid.
    for (int k = 0; k < kKinds; ++k) {
        if (counts_[k] != 0) instructions_[kKindNames[k]] = counts_[k];
    }
    return instructions_;
}

std::map<std::string, std::uint64_t> Chip::outOfFrameInstructions() const {
    std::map<std::string, std::uint64_t> counts;
    for (int k = 0; k < kKinds; ++k) {
        if (outOfFrameCounts_[k] != 0) counts[kKindNames[k]] = outOfFrameCounts_[k];
    }
    return counts;
}

const std::vector<std::string>& Chip::violations() const {
    return violations_.kept();
}
std::uint64_t Chip::violationCount() const {
    return violations_.count();
}
const std::vector<std::uint32_t>& Chip::words() const {
    return words_;
}

}  // namespace vtarget
