#include "vtarget/tpi_chip.h"

#include <utility>

namespace vtarget {

namespace {

using wiring::Pin;

// DS40002060A 15.3.1: TPIDATA high for 16 TPICLK cycles enables the interface.
constexpr unsigned kEnableCycles = 16;
// 15.3.3 "Frame Format": start, D0..D7, even parity, two stop bits.
constexpr unsigned kFrameBits = 12;
// 15.3.5 "Supported Characters": a BREAK is at least 12 bits of low level.
constexpr unsigned kBreakBits = 12;

// Tables 15-2 to 15-9: the opcodes; SIN and SOUT carry a 6-bit I/O address as
// "0aa1 aaaa" and "1aa1 aaaa", SLDCS and SSTCS a 4-bit one.
constexpr std::uint8_t kOpSld = 0x20, kOpSldPlus = 0x24, kOpSst = 0x60, kOpSstPlus = 0x64;
constexpr std::uint8_t kOpSstpr = 0x68, kOpSldcs = 0x80, kOpSstcs = 0xC0, kOpSkey = 0xE0;
// Table 15-10.
constexpr std::uint64_t kNvmKey = 0x1289AB45CDD888FFull;
// Table 15-11: the Control and Status Space.
constexpr unsigned kTpisr = 0x00, kTpipcr = 0x02, kTpiir = 0x0F;
constexpr std::uint8_t kNvmen = 0x02, kTpiIdentification = 0x80;  // Table 15-12
// 16.7 (page 123): NVMCSR (NVMBSY is bit 7) and NVMCMD in I/O space.
constexpr unsigned kNvmcsr = 0x32, kNvmcmd = 0x33;
constexpr std::uint8_t kNvmbsy = 0x80;
// 16.7, NVMCMD: the NVM commands.
constexpr std::uint8_t kCmdNoOperation = 0x00, kCmdChipErase = 0x10, kCmdSectionErase = 0x14,
                       kCmdWordWrite = 0x1D;
// Figure 6-1 and 16.3: the data space. I/O 0x00-0x3F, SRAM 0x40-0x5F, the NVM
// lock word at 0x3F00, configuration 0x3F40, calibration 0x3F80, signature
// 0x3FC0 (16 words), the code section from 0x4000.
constexpr unsigned kIoEnd = 0x40, kSramEnd = 0x60;
constexpr unsigned kLockWord = 0x3F00, kConfigWord = 0x3F40, kCalibration = 0x3F80;
constexpr unsigned kSignature = 0x3FC0, kSignatureEnd = 0x3FE0, kFlash = 0x4000;

const char* const kKindNames[] = {"sld",        "sld+",          "sst",       "sst+",  "sstpr",
                                  "sin",        "sout",          "sldcs",     "sstcs", "skey",
                                  "chip_erase", "section_erase", "word_write"};

bool evenParity(std::uint8_t byte) {
    bool odd = false;
    for (int i = 0; i < 8; ++i)
        odd ^= ((byte >> i) & 1) != 0;
    return odd;
}

// "0aa1 aaaa" and "1aa1 aaaa": bits 6:5 are address bits 5:4.
unsigned ioAddress(std::uint8_t op) {
    return (op & 0x0Fu) | ((op >> 1) & 0x30u);
}

}  // namespace

bool applyTpiModel(int model, TpiConfig& config) {
    // Table 16-8 (signature codes); 6.1: 512 bytes of flash on the ATtiny4
    // and 5, 1024 on the 9 and 10.
    //
    // Busy times: the datasheet says only to poll NVMBSY (16.4.3) and gives
    // no chip erase, section erase or word write time. The model takes 4 ms
    // for an erase and 2 ms for a word write, the order of the typical times
    // Microchip gives for its later tinyAVR parts (their data sheets'
    // "Programming Time": page write 2 ms, page erase 2 ms, chip erase 4 ms
    // and more): planning figures.
    static const struct {
        int model;
        unsigned flashBytes;
        std::uint8_t id1, id2;
    } kModels[] = {
        {4, 512, 0x8F, 0x0A}, {5, 512, 0x8F, 0x09}, {9, 1024, 0x90, 0x08}, {10, 1024, 0x90, 0x03}};
    for (const auto& m : kModels) {
        if (m.model != model) continue;
        config.model = model;
        config.flashBytes = m.flashBytes;
        config.signature = {0x1E, m.id1, m.id2};
        return true;
    }
    return false;
}

TpiChip::TpiChip(const TpiConfig& config)
    : config_(config),
      flash_(config.flash),
      lockWord_{config.lockByte, 0xFF},
      configWord_{config.configByte, 0xFF} {
    powerUp();
}

// The configuration byte is read at power-up, so RSTDISBL (bit 0) written
// now takes effect then: RESET is an I/O pin, and only 12 V on it enables
// the TPI (15.3.1), which a serial port cannot give: the chip does not answer.
void TpiChip::powerUp() {
    resetDisabled_ = (configWord_[0] & 0x01) == 0;
    layer_ = Layer::Off;
    nvmen_ = false;
    driving_ = false;
    busyUntil_ = 0;
    guardTime_ = 0;
    nvmcmd_ = kCmdNoOperation;
    sram_.fill(0);
    idleCycles_ = 0;
    // RESET already low enables the interface as its falling edge would.
    if (!reset_ && !resetDisabled_ && !config_.absent) layer_ = Layer::Enabling;
}

void TpiChip::glitchSck() {
    for (int edge = 0; edge < 2; ++edge)
        setPin(Pin::Sck, !clk_);
}

void TpiChip::setPin(Pin pin, bool level) {
    switch (pin) {
        case Pin::Sck:
            if (level == clk_) return;
            clk_ = level;
            level ? onRise() : onFall();
            return;
        case Pin::Mosi:
            hostData_ = level;
            return;
        case Pin::Reset:
            if (level == reset_) return;
            reset_ = level;
            if (!level) {
                // 15.3.1: RESET low resets the device and enables the physical layer.
                if (layer_ == Layer::Off && !resetDisabled_ && !config_.absent) {
                    layer_ = Layer::Enabling;
                    idleCycles_ = 0;
                }
                return;
            }
            // 15.3.2: RESET released disables the TPI, provided NVMEN has
            // been cleared; otherwise only a power-down ends programming mode.
            if (nvmen_) return;
            layer_ = Layer::Off;
            driving_ = false;
            return;
        case Pin::Miso:
            return;
    }
}

// The line, as the chip's driver (15.3.9) and the cable make it.
bool TpiChip::tpiData() const {
    bool drives = layer_ == Layer::Transmit && driving_;
    switch (config_.link) {
        case TpiLink::Ok:
        case TpiLink::NoMiso:
            return drives ? outLevel_ : hostData_;
        case TpiLink::NoResistor:
            // The DSR receiver's input load (3 to 7 kOhm, TIA-232-F) holds the
            // line below its threshold against the chip's pull-up (20 to 50
            // kOhm, Table 17-1).
            return drives && outLevel_;
        case TpiLink::Short:
            return hostData_;
    }
    return true;
}

bool TpiChip::pinLevel(Pin pin) const {
    switch (pin) {
        case Pin::Sck:
            return clk_;
        case Pin::Mosi:
            return hostData_;
        case Pin::Reset:
            return reset_;
        case Pin::Miso:
            return config_.link != TpiLink::NoMiso && tpiData();
    }
    return false;
}

std::uint8_t TpiChip::guardBits() const {
    // Table 15-13: GT 0 adds 128 idle bits, each step halves it, 7 adds none;
    // two idle bits come on top (15.7.2).
    return static_cast<std::uint8_t>((guardTime_ == 7 ? 0 : 128u >> guardTime_) + 2);
}

// 15.3.6 "Operation": data is sampled on TPICLK's rising edge.
void TpiChip::onRise() {
    switch (layer_) {
        case Layer::Off:
            return;
        case Layer::Enabling:
            idleCycles_ = tpiData() ? idleCycles_ + 1 : 0;
            if (idleCycles_ == kEnableCycles) {
                layer_ = Layer::Receive;
                inFrame_ = inBreak_ = false;
                zeros_ = 0;
                operands_ = 0;
            }
            return;
        case Layer::Receive:
        case Layer::Error:
            receiveBit(tpiData());
            return;
        case Layer::Transmit:
            transmitSample();
            return;
    }
}

// 15.3.6: data is changed on TPICLK's falling edge; the chip sends its idle
// bits, then the frame, then returns to receive mode.
void TpiChip::onFall() {
    if (layer_ != Layer::Transmit) return;
    bool bit;
    if (guardLeft_ > 0) {
        bit = true;
        --guardLeft_;
        inGuard_ = true;
    } else if (outBits_ > 0) {
        bit = (out_ & 1) != 0;
        out_ >>= 1;
        --outBits_;
        inGuard_ = false;
    } else {
        layer_ = Layer::Receive;
        driving_ = false;
        inFrame_ = inBreak_ = false;
        zeros_ = 0;
        return;
    }
    // 15.3.9: the driver is on for a zero, and for the first cycle of a run of ones.
    driving_ = !bit || !sent_ || !outLevel_;
    outLevel_ = bit;
    sent_ = true;
}

// 15.3.8, 15.3.9: with the driver off the pull-up holds the line high; the
// chip reads it low only when the host drives it, a collision, and stops sending.
void TpiChip::transmitSample() {
    if (driving_ || !sent_ || tpiData()) return;
    fail(inGuard_ ? "frame during the guard time" : "collision");
}

// 15.3.7 to 15.3.9: a parity or frame error or a collision puts the access
// layer in the error state, the physical layer in receive mode, until a BREAK.
void TpiChip::fail(const char* what) {
    violations_.add(what);
    layer_ = Layer::Error;
    driving_ = false;
    inFrame_ = inBreak_ = false;
    zeros_ = 0;
    operands_ = 0;
}

void TpiChip::receiveBit(bool bit) {
    zeros_ = bit ? 0 : zeros_ + 1;
    if (zeros_ >= kBreakBits && (layer_ == Layer::Error || (inFrame_ && bitCount_ == 11))) {
        // A BREAK: the access layer starts afresh, in receive mode; the
        // low level may last longer than 12 bits.
        layer_ = Layer::Receive;
        inFrame_ = false;
        inBreak_ = true;
        operands_ = 0;
        return;
    }
    if (inBreak_) {
        inBreak_ = !bit;
        return;
    }
    if (layer_ == Layer::Error) return;
    if (!inFrame_) {
        if (bit) return;  // idle
        inFrame_ = true;
        frame_ = 0;
        bitCount_ = 1;
        return;
    }
    frame_ = static_cast<std::uint16_t>(frame_ | (bit ? 1u : 0u) << bitCount_);
    if (++bitCount_ < kFrameBits) return;
    inFrame_ = false;
    auto data = static_cast<std::uint8_t>(frame_ >> 1);
    bool parity = ((frame_ >> 9) & 1) != 0;
    if (((frame_ >> 10) & 3) != 3) return fail("frame error");
    if (parity != evenParity(data)) return fail("parity error");
    onFrame(data);
}

// Tables 15-2 to 15-9: the instruction an opcode names; false for none.
bool TpiChip::decode(std::uint8_t op, Kind& kind) {
    const std::pair<std::uint8_t, std::uint8_t> kOpcodes[] = {
        {0xFF, kOpSld}, {0xFF, kOpSldPlus}, {0xFF, kOpSst},   {0xFF, kOpSstPlus}, {0xFE, kOpSstpr},
        {0x90, 0x10},   {0x90, 0x90},       {0xF0, kOpSldcs}, {0xF0, kOpSstcs},   {0xFF, kOpSkey}};
    for (int k = kSld; k <= kSkey; ++k) {
        if ((op & kOpcodes[k].first) != kOpcodes[k].second) continue;
        kind = static_cast<Kind>(k);
        return true;
    }
    return false;
}

// 15.5: one instruction byte, then one operand byte (eight for SKEY, none
// for those that answer).
void TpiChip::onFrame(std::uint8_t byte) {
    if (operands_ == 0) {
        if (!decode(byte, kind_)) {
            ++unknown_;
            return;
        }
        op_ = byte;
        bool answers = kind_ == kSld || kind_ == kSldPlus || kind_ == kSin || kind_ == kSldcs;
        operands_ = kind_ == kSkey ? 8 : answers ? 0 : 1;
        key_ = 0;
        if (answers) execute(0);
        return;
    }
    --operands_;
    if (kind_ != kSkey) return execute(byte);
    key_ |= std::uint64_t{byte} << (8 * (7 - operands_));
    if (operands_ > 0) return;
    ++counts_[kSkey];
    // 15.6: the key enables NVM programming; NVMEN shows it.
    if (key_ == kNvmKey) {
        nvmen_ = true;
    } else {
        violations_.add("SKEY with a wrong key");
    }
}

void TpiChip::execute(std::uint8_t operand) {
    Kind kind = kind_;
    std::uint8_t op = op_;
    ++counts_[kind];
    bool dataSpace = kind == kSld || kind == kSldPlus || kind == kSst || kind == kSstPlus ||
                     kind == kSin || kind == kSout;
    if (dataSpace && !nvmen_) {
        violations_.add("data space access without NVMEN");
        return;
    }
    switch (kind) {
        case kSld:
        case kSldPlus:
            answer(readData(pointer_));
            if (kind == kSldPlus) ++pointer_;
            return;
        case kSst:
        case kSstPlus:
            writeData(pointer_, operand);
            if (kind == kSstPlus) ++pointer_;
            return;
        case kSstpr:
            pointer_ = (op & 1) != 0
                           ? static_cast<std::uint16_t>((pointer_ & 0x00FF) | operand << 8)
                           : static_cast<std::uint16_t>((pointer_ & 0xFF00) | operand);
            return;
        case kSin:
            return answer(readIo(ioAddress(op)));
        case kSout:
            return writeIo(ioAddress(op), operand);
        case kSldcs: {
            unsigned address = op & 0x0F;
            return answer(address == kTpisr    ? (nvmen_ ? kNvmen : 0)
                          : address == kTpipcr ? guardTime_
                          : address == kTpiir  ? kTpiIdentification
                                               : 0);
        }
        default: {
            unsigned address = op & 0x0F;
            // 15.7.3: NVMEN is cleared by writing it 0; only the key sets it.
            if (address == kTpisr && (operand & kNvmen) == 0) nvmen_ = false;
            if (address == kTpipcr) guardTime_ = operand & 0x07;
            return;
        }
    }
}

// 15.3 "Direction Change", 15.7.2: from receive to transmit the chip inserts
// the guard time's idle bits and two more before the start bit.
void TpiChip::answer(std::uint8_t byte) {
    layer_ = Layer::Transmit;
    guardLeft_ = guardBits();
    out_ = static_cast<std::uint16_t>(unsigned{byte} << 1 | (evenParity(byte) ? 1u : 0u) << 9 |
                                      3u << 10);
    outBits_ = kFrameBits;
    driving_ = sent_ = false;
    outLevel_ = true;
}

std::uint8_t TpiChip::readIo(unsigned address) const {
    if (address == kNvmcsr) return busy() ? kNvmbsy : 0;
    if (address == kNvmcmd) return nvmcmd_;
    return 0;
}

void TpiChip::writeIo(unsigned address, std::uint8_t value) {
    if (address != kNvmcmd) return;
    // 16.4: NVMCMD is blocked for writes while NVMBSY is set.
    if (busy()) return violations_.add("write while NVMBSY");
    nvmcmd_ = value & 0x3F;
}

// The word of NVM that holds address, or null where there is none to write.
std::uint8_t* TpiChip::wordOf(unsigned address) {
    unsigned even = address & ~1u;
    if (even == kLockWord) return lockWord_.data();
    if (even == kConfigWord) return configWord_.data();
    if (even >= kFlash && even < kFlash + config_.flashBytes) return &flash_[even - kFlash];
    return nullptr;
}

std::uint8_t TpiChip::readData(unsigned address) {
    if (address < kIoEnd) return readIo(address);
    if (address < kSramEnd) return sram_[address - kIoEnd];
    bool nvm = (address & ~1u) == kLockWord || (address & ~1u) == kConfigWord ||
               (address & ~1u) == kCalibration ||
               (address >= kSignature && address < kSignatureEnd) ||
               (address >= kFlash && address < kFlash + config_.flashBytes);
    if (!nvm) return 0xFF;
    // 16.4: programming any part of the NVM inhibits reading it.
    if (busy()) {
        violations_.add("read while NVMBSY");
        return 0xFF;
    }
    // Table 16-7: signature word 0 is device ID 1 (high) and the manufacturer
    // (low), word 1's low byte device ID 2; the rest is reserved. Table 16-9:
    // the calibration byte is the low byte of its word.
    if (address >= kSignature && address < kSignatureEnd) {
        unsigned offset = address - kSignature;
        return offset < 3 ? config_.signature[offset] : 0xFF;
    }
    if (address == kCalibration) return config_.calibration;
    if (address == kCalibration + 1) return 0xFF;
    // 16.3, the lock bits: with both programmed, verification is disabled
    // too; the datasheet does not say what a read gives, here 0x00.
    if (address >= kFlash && (lockWord_[0] & 0x03) == 0) return 0x00;
    return wordOf(address)[address & 1];
}

void TpiChip::writeData(unsigned address, std::uint8_t value) {
    if (address < kIoEnd) return writeIo(address, value);
    if (address < kSramEnd) {
        sram_[address - kIoEnd] = value;
        return;
    }
    writeNvm(address, value);
}

// 16.4.3 ff.: the command in NVMCMD decides what a write into the NVM does;
// the high byte of a word starts it.
void TpiChip::writeNvm(unsigned address, std::uint8_t value) {
    std::uint8_t* word = wordOf(address);
    bool readOnly =
        (address & ~1u) == kCalibration || (address >= kSignature && address < kSignatureEnd);
    if (word == nullptr && !readOnly) return;
    if (busy()) return violations_.add("write while NVMBSY");
    if (readOnly) return violations_.add("write to a read-only section");
    bool high = (address & 1) != 0;
    bool code = address >= kFlash, lock = (address & ~1u) == kLockWord;
    // 16.3, the lock bits: NVLB1 programmed locks the code and configuration sections;
    // a chip erase still clears them and the lock bits.
    bool locked = !lock && (lockWord_[0] & 0x01) == 0;
    switch (nvmcmd_) {
        case kCmdChipErase:
            // 16.4.3.1: a dummy byte into the high byte of a code section word.
            if (!high || !code) return;
            ++counts_[kChipErase];
            flash_.fill(0xFF);
            lockWord_ = {0xFF, 0xFF};
            return startBusy(config_.chipEraseUs);
        case kCmdSectionErase:
            // 16.4.3.2, 16.4.5: the code or the configuration section.
            if (!high || lock) return;
            ++counts_[kSectionErase];
            startBusy(config_.sectionEraseUs);
            if (locked) return;
            if (code) {
                flash_.fill(0xFF);
            } else {
                configWord_ = {0xFF, 0xFF};
            }
            return;
        case kCmdWordWrite:
            // 16.4.3: the low byte goes to a buffer; the high byte writes both.
            if (!high) {
                lowLatch_ = value;
                lowLatched_ = true;
                return;
            }
            ++counts_[kWordWrite];
            startBusy(config_.wordWriteUs);
            if (locked) return;
            // "Writing to an un-erased Flash word will corrupt its content":
            // here its bits can only go from 1 to 0. The lock bits are only
            // ever programmed (16.4.5).
            if (!lock && (word[0] != 0xFF || word[1] != 0xFF)) {
                violations_.add("word write to a word not erased");
            }
            word[0] &= lowLatched_ ? lowLatch_ : 0xFF;
            word[1] &= value;
            lowLatched_ = false;
            return;
        default:
            return violations_.add("write to NVM with no NVM command");
    }
}

std::map<std::string, std::uint64_t> TpiChip::instructions() const {
    std::map<std::string, std::uint64_t> counts;
    for (std::size_t k = 0; k < kKinds; ++k) {
        if (counts_[k] != 0) counts[kKindNames[k]] = counts_[k];
    }
    return counts;
}

}  // namespace vtarget
