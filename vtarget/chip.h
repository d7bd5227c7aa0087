// A virtual 1-KB ATtiny seen through its serial programming pins.
//
// The silicon alone: pins, memories, busy times and the chip's own rules. It
// decodes what arrives on SCK, MOSI and RESET and answers on MISO as the chip
// would; it knows nothing of the host's encoders, nor of the calls that drove
// its pins (the adapter counts and traces those, adapter.h). Time is a count
// of microseconds that advances only as the adapter says: a sleep, the cost
// of a call, or real time.
//
// The fuse byte reads back as soon as it is written, but takes effect only at
// power-up. The ATtiny11/12 datasheet (1006C, "Fuse Bits in ATtiny12"): all
// fuse bits are programmable in low-voltage serial mode, and "Changing the
// fuses does not have any effect while in programming mode"; the ATtiny15L's
// (1187E, "Fuse Bits") says the same, and that unprogramming SPIEN or
// programming RSTDISBL in that mode "will disable future in-system
// downloading attempts". Such an ATtiny12 or 15 (SPIEN is bit 5, RSTDISBL
// bit 4) never enters serial programming mode, as if nothing were connected.
//
// An ATtiny12 runs on the clock its CKSEL3..0 (fuse bits 3-0) choose at
// power-up (1006, Table 9): told to run on a source the board lacks, it
// never starts, and answers nothing. Its SCK pulses must last 2 clock
// cycles of the source it runs on.
//
// The chip also keeps the host's frame, to tell when it has lost it: the
// adapter reports each rising SCK edge the host meant (hostSample()), which
// noise may have dropped or doubled on its way to the pin. The host's words
// start where it last completed a Programming Enable (AC 53 00 xx, which no
// host sends but at a word's start) and follow every 32 edges; a word the
// chip acts on while its own framing ends elsewhere was clocked out of frame.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "link/names.h"
#include "vtarget/violations.h"

namespace vtarget {

using wiring::Pin;

constexpr unsigned kFlashBytes = 1024;

// The clock sources of a board, as CKSEL chooses them.
enum class Clock { Rc, ExtRc, Crystal, LfCrystal, External };

// The source the ATtiny12's CKSEL3..0 value (0-15) chooses.
Clock clockOfCksel(unsigned cksel);

// The virtual board's clock of each source, in Hz; the internal RC's is the
// model's, in its SCK minimum.
std::uint32_t clockHz(Clock clock);

// The key of each source, as the preload library's clock= takes it.
const char* clockKey(Clock clock);
constexpr unsigned kEepromBytes = 64;

// Everything a test or the preload library may configure. The defaults are an
// ATtiny12's.
struct Config {
    std::array<std::uint8_t, 3> signature{0x1E, 0x90, 0x05};  // ATtiny12
    std::uint8_t calibration = 0x5A;
    std::uint8_t fuse = 0x52;
    bool fuseStuck = false;  // the fuse always reads stuckFuse; writes do not take
    std::uint8_t stuckFuse = 0;
    // The model's fuse bits (see applyModel()): the bits it has, and whether
    // SPIEN and RSTDISBL (bits 5 and 4) can lock serial programming out.
    std::uint8_t fuseBits = 0xFF;
    bool fuseLocksOut = true;
    bool clockByFuse = true;       // CKSEL chooses the clock (the ATtiny12)
    Clock clock = Clock::Rc;       // the source the board has besides the internal RC
    bool eraseNeedsReset = false;  // writes wait for a RESET pulse after an erase (ATtiny15)
    // The ATtiny12's erase warning: a lone Chip Erase leaves the flash byte at
    // 0000 as it was; erased, FF written there, and erased again, it is erased.
    bool eraseWarning = false;
    std::uint8_t lock = 0x06;  // as Read Lock Bits reports it: bits 2 and 1
    // The host's Programming Enable (1-32) since power-up that the chip first
    // echoes and acts on; 0 never.
    int syncAttempt = 1;
    bool absent = false;        // nothing connected: MISO stays low, nothing is executed
    bool stubbornLock = false;  // chip erase leaves the lock bits as they are
    std::map<unsigned, std::uint8_t> stuckFlash;   // byte address -> value always read
    std::map<unsigned, std::uint8_t> stuckEeprom;  // address -> value always read
    int astrayFlash = -1;  // a flash byte each EEPROM write also programs (-1: none)
    // How long a write keeps the chip busy (see applyModel()).
    std::uint32_t flashWriteUs = 4500;
    std::uint32_t eepromWriteUs = 9000;
    std::uint32_t eraseUs = 9000;
    // The shortest SCK high or low time in programming mode, 2 tCLCL of the
    // internal RC (see applyModel()); of the clock the chip runs on unless fixed.
    std::uint32_t sckMinNs = 1666;
    bool sckMinFixed = false;
    std::array<std::uint8_t, kFlashBytes> flash;    // initial contents; 0xFF by default
    std::array<std::uint8_t, kEepromBytes> eeprom;  // initial contents; 0xFF by default
    bool keepWords = false;                         // keep the decoded words in Chip::words()

    Config() {
        flash.fill(0xFF);
        eeprom.fill(0xFF);
    }
};

// Gives config the signature, the busy times and the fuse bits of a supported
// model (10, 11, 12, 15); false, changing nothing, for another number.
bool applyModel(int model, Config& config);

class Chip {
  public:
    explicit Chip(const Config& config = Config());

    // A pin the host drives: SCK, MOSI or RESET; MISO is the chip's.
    void setPin(Pin pin, bool level);
    // Time passes: a sleep, the cost of a call, a device's sample clock, or real time.
    void advanceNs(std::uint64_t ns);
    void advanceUs(std::uint64_t us) { advanceNs(us * 1000); }
    // A rising SCK edge as the host meant it, with MOSI as the host drove it;
    // reported before the edge reaches the pin, if it does.
    void hostSample(bool mosi);
    // Noise clocks SCK up and down once more: one more sample than asked,
    // too short for the SCK minimum, which it does not count against the host.
    void glitchSck();
    // The supply comes on (again): the fuse byte takes effect, and the chip is
    // out of programming mode unless RESET and SCK are low, the datasheets'
    // way in at power-up. A constructed chip has just powered up.
    void powerUp();

    // Observation.
    std::uint64_t nowNs() const { return now_; }
    std::uint64_t nowUs() const { return now_ / 1000; }
    const std::array<std::uint8_t, kFlashBytes>& flash() const;
    const std::array<std::uint8_t, kEepromBytes>& eeprom() const;
    std::uint8_t fuse() const;  // as Read Fuse Bits reports it
    std::uint8_t lock() const;  // as Read Lock Bits reports bits 2 and 1: 06, 04, 02, 00
    bool inProgrammingMode() const;
    bool pinLevel(Pin pin) const;  // MISO as the chip drives it
    std::uint64_t unknownInstructions() const;
    // Executed instructions by kind: "programming_enable", "chip_erase",
    // "read_signature", "read_calibration", "read_fuse", "read_lock",
    // "read_flash", "write_flash", "read_eeprom", "write_eeprom",
    // "write_fuse", "write_lock".
    const std::map<std::string, std::uint64_t>& instructions() const;
    // The rules the host broke: the first Violations::kKept as text, and how many in all.
    const std::vector<std::string>& violations() const;
    std::uint64_t violationCount() const;
    // The complete 32-bit words the chip has decoded, in order (framed as the
    // chip frames them); kept only with Config::keepWords.
    const std::vector<std::uint32_t>& words() const;
    // Words the chip acted on (decoded or not) while its framing differed
    // from the host's: in all, and the most in a row; and those it executed, by kind.
    std::uint64_t outOfFrameWords() const { return outOfFrameWords_; }
    std::uint64_t outOfFrameRunMax() const { return outOfFrameRunMax_; }
    std::map<std::string, std::uint64_t> outOfFrameInstructions() const;

  private:
    enum Kind {
        kProgrammingEnable,
        kChipErase,
        kReadSignature,
        kReadCalibration,
        kReadFuse,
        kReadLock,
        kReadFlash,
        kWriteFlash,
        kReadEeprom,
        kWriteEeprom,
        kWriteFuse,
        kWriteLock,
        kKinds
    };

    void onSck(bool level);
    std::uint8_t fuseRead(std::uint8_t written) const;
    void onReset(bool level);
    void sample();
    void decideOutput();
    void execute(std::uint32_t word);
    bool decode(std::uint8_t b1, std::uint8_t b2, Kind& kind) const;
    void act(Kind kind, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4);
    bool readResult(std::uint32_t firstThree, std::uint8_t& value) const;
    bool settled() const;
    bool busy() const { return now_ < busyUntil_; }
    void startBusy(std::uint32_t us) { busyUntil_ = now_ + std::uint64_t{us} * 1000; }

    Config config_;
    std::array<std::uint8_t, kFlashBytes> flash_;
    std::array<std::uint8_t, kEepromBytes> eeprom_;
    std::uint8_t fuse_;        // as Read Fuse Bits reports it
    bool lockedOut_ = false;   // by the fuse at power-up
    std::uint32_t sckMinNs_;   // of the clock chosen at power-up
    bool needsReset_ = false;  // erased, and waiting for a RESET pulse before writes
    int eraseStep_ = 0;        // 1 erased once; 2 erased, then FF written at 0000
    std::uint8_t lockBits_;    // bits 2 and 1; a 0 is a programmed bit
    unsigned enables_ = 0;     // Programming Enables seen since power-up
    bool echoing_ = false;     // the frame under way is an echoed Programming Enable
    bool sck_ = false, mosi_ = false, reset_ = true, miso_ = false;
    bool programming_ = false;
    bool enabled_ = false;  // in step with the host: instructions act
    std::uint64_t now_ = 0, resetFellAt_ = 0, busyUntil_ = 0;  // nanoseconds
    bool sckMoved_ = false;                                    // SCK has had an edge, at sckEdgeAt_
    std::uint64_t sckEdgeAt_ = 0;
    unsigned bit_ = 0;          // samples taken in the current frame
    std::uint32_t shift_ = 0;   // bits sampled so far
    std::uint32_t output_ = 0;  // the frame's output word, MSB first
    std::uint64_t unknown_ = 0;
    std::array<std::uint64_t, kKinds> counts_{}, outOfFrameCounts_{};
    std::uint32_t hostShift_ = 0;  // the host's last 32 bits
    unsigned hostBit_ = 0;         // the host's edges since its last word began, mod 32
    std::uint64_t outOfFrameWords_ = 0, outOfFrameRun_ = 0, outOfFrameRunMax_ = 0;
    // Built from counts_ when asked for, so counting never allocates.
    mutable std::map<std::string, std::uint64_t> instructions_;
    Violations violations_;
    std::vector<std::uint32_t> words_;
};

}  // namespace vtarget
