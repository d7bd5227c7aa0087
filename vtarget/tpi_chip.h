// A virtual ATtiny4, 5, 9 or 10 seen through its Tiny Programming Interface
// (TPI), from the ATtiny4/5/9/10 datasheet (Microchip DS40002060A, chapters
// 15 "Programming interface" and 16 "Memory Programming"; the same text is
// chapters 14 and 15 of Atmel 8127F).
//
// The pins are those of quillet's adapter wired for TPI: SCK is TPICLK,
// RESET is RESET, and TPIDATA is one line shared by the host and the chip.
// The host drives it from TxD (the break state, MOSI here) through a series
// resistor and reads it on DSR (MISO here), so the chip's push-pull driver
// beats the host's level while it drives, and the host's level beats the
// chip's pull-up while it does not. TpiLink models the cable's faults.
//
// The chip frames, decodes and answers at the pins, as the datasheet's
// physical layer, access layer and NVM controller do, and breaks nothing:
// what a host does wrong is a violation (counted, the first few kept as
// text), and the chip reacts as the datasheet says (an error state until a
// BREAK, a write that is lost). Time is the adapter's: it moves only as the
// adapter says, and the NVM controller's busy times are counted on it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "link/names.h"
#include "vtarget/violations.h"

namespace vtarget {

constexpr unsigned kTpiFlashMax = 1024;

// The cable between the port and TPIDATA.
enum class TpiLink {
    Ok,          // TxD through the series resistor, DSR straight to TPIDATA
    NoResistor,  // TxD never reaches TPIDATA, which DSR's load holds low
    NoMiso,      // DSR is not connected: it reads idle (not asserted, 0)
    Short,       // the resistor is bridged: the host's level always wins
};

// Everything a test or the preload library may configure; the defaults are an ATtiny10's.
struct TpiConfig {
    int model = 10;
    unsigned flashBytes = 1024;
    std::array<std::uint8_t, 3> signature{0x1E, 0x90, 0x03};
    std::uint8_t calibration = 0x5A;
    std::uint8_t configByte = 0xFF;  // RSTDISBL bit 0, WDTON bit 1, CKOUT bit 2; 0 is programmed
    std::uint8_t lockByte = 0xFF;    // NVLB bits 1:0; 0 is programmed
    TpiLink link = TpiLink::Ok;
    bool absent = false;  // nothing connected: the chip never drives TPIDATA
    // How long the NVM controller keeps NVMBSY set; the datasheet gives no
    // figure (see applyTpiModel()).
    std::uint32_t chipEraseUs = 4000;
    std::uint32_t sectionEraseUs = 4000;
    std::uint32_t wordWriteUs = 2000;
    std::array<std::uint8_t, kTpiFlashMax> flash;  // initial contents; 0xFF by default

    TpiConfig() { flash.fill(0xFF); }
};

// Gives config the flash size and signature of model 4, 5, 9 or 10; false,
// changing nothing, for another number.
bool applyTpiModel(int model, TpiConfig& config);

class TpiChip {
  public:
    explicit TpiChip(const TpiConfig& config = TpiConfig());

    void setPin(wiring::Pin pin, bool level);
    // MISO is TPIDATA as DSR reads it; MOSI the host's TxD level.
    bool pinLevel(wiring::Pin pin) const;
    void advanceNs(std::uint64_t ns) { now_ += ns; }
    // The TPI chip keeps no frame of the host's: its frames start at a start bit.
    void hostSample(bool) {}
    // One more TPICLK pulse, which the chip clocks like any other.
    void glitchSck();
    // The configuration byte takes effect (RSTDISBL: RESET no longer enables
    // the TPI), and the interface starts disabled.
    void powerUp();
    std::uint64_t nowNs() const { return now_; }

    // Observation.
    bool tpiData() const;  // the line's level
    bool inErrorState() const { return layer_ == Layer::Error; }
    bool nvmEnabled() const { return nvmen_; }
    bool busy() const { return now_ < busyUntil_; }
    std::uint8_t guardBits() const;  // the idle bits before an answer: guard time + 2
    const TpiConfig& config() const { return config_; }
    const std::array<std::uint8_t, kTpiFlashMax>& flash() const { return flash_; }
    std::uint8_t configByte() const { return configWord_[0]; }
    std::uint8_t lockByte() const { return lockWord_[0]; }
    // Executed instructions by kind: "sld", "sld+", "sst", "sst+", "sstpr",
    // "sin", "sout", "sldcs", "sstcs", "skey"; and the NVM operations started:
    // "chip_erase", "section_erase", "word_write".
    std::map<std::string, std::uint64_t> instructions() const;
    std::uint64_t unknownInstructions() const { return unknown_; }
    const std::vector<std::string>& violations() const { return violations_.kept(); }
    std::uint64_t violationCount() const { return violations_.count(); }

  private:
    enum class Layer { Off, Enabling, Receive, Transmit, Error };
    enum Kind {
        kSld,
        kSldPlus,
        kSst,
        kSstPlus,
        kSstpr,
        kSin,
        kSout,
        kSldcs,
        kSstcs,
        kSkey,
        kChipErase,
        kSectionErase,
        kWordWrite,
        kKinds
    };

    void onRise();
    void onFall();
    void receiveBit(bool bit);
    void transmitSample();
    void fail(const char* what);
    static bool decode(std::uint8_t op, Kind& kind);
    void onFrame(std::uint8_t byte);
    void answer(std::uint8_t byte);
    void execute(std::uint8_t operand);
    std::uint8_t readIo(unsigned address) const;
    void writeIo(unsigned address, std::uint8_t value);
    std::uint8_t readData(unsigned address);
    void writeData(unsigned address, std::uint8_t value);
    void writeNvm(unsigned address, std::uint8_t value);
    std::uint8_t* wordOf(unsigned address);
    void startBusy(std::uint32_t us) { busyUntil_ = now_ + std::uint64_t{us} * 1000; }

    const TpiConfig config_;
    std::array<std::uint8_t, kTpiFlashMax> flash_;
    std::array<std::uint8_t, 2> lockWord_, configWord_;
    std::array<std::uint8_t, 32> sram_{};
    bool resetDisabled_ = false;  // RSTDISBL, as at the last power-up
    std::uint64_t now_ = 0, busyUntil_ = 0;

    // Pins.
    bool clk_ = false, hostData_ = false, reset_ = true;

    // Physical layer (DS40002060A 15.3).
    Layer layer_ = Layer::Off;
    unsigned idleCycles_ = 0;  // TPIDATA high while enabling
    bool inFrame_ = false;     // a start bit was sampled
    bool inBreak_ = false;     // zeros after a BREAK belong to it
    unsigned bitCount_ = 0, zeros_ = 0;
    std::uint16_t frame_ = 0;
    // Transmit: the bits to send, LSB first (idle bits, then the frame), one per falling edge.
    std::uint64_t out_ = 0;
    unsigned outBits_ = 0, guardLeft_ = 0;
    bool driving_ = false, outLevel_ = true, sent_ = false;
    bool inGuard_ = false;  // the bit on the line is one of the guard time's idle bits

    // Access layer (DS40002060A 15.5, 15.6).
    std::uint8_t op_ = 0;  // the last instruction, and its kind
    Kind kind_ = kSld;
    unsigned operands_ = 0;  // the operand bytes it still waits for
    std::uint64_t key_ = 0;
    std::uint16_t pointer_ = 0;
    std::uint8_t guardTime_ = 0;  // TPIPCR GT2:0
    bool nvmen_ = false;

    // NVM controller (DS40002060A 16.4, 16.7).
    std::uint8_t nvmcmd_ = 0;
    std::uint8_t lowLatch_ = 0xFF;
    bool lowLatched_ = false;

    std::array<std::uint64_t, kKinds> counts_{};
    std::uint64_t unknown_ = 0;
    Violations violations_;
};

}  // namespace vtarget
