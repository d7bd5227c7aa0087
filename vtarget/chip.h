// A virtual 1-KB ATtiny seen through its serial programming pins.
//
// The model decodes what arrives on SCK, MOSI and RESET and answers on MISO as
// the chip would; it knows nothing of the host's encoders. Time is a count of
// microseconds that advances only when the host sleeps or the adapter charges
// time for its calls.
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
constexpr unsigned kEepromBytes = 64;

// Everything a test or the preload library may configure. The defaults are an
// ATtiny12's.
struct Config {
    std::array<std::uint8_t, 3> signature{0x1E, 0x90, 0x05};  // ATtiny12
    std::uint8_t calibration = 0x5A;
    std::uint8_t fuse = 0x52;
    std::uint8_t lock = 0x06;   // as Read Lock Bits reports it: bits 2 and 1
    int syncAttempt = 1;        // the host's attempt (1-32) at which the echo first comes; 0 never
    bool absent = false;        // nothing connected: MISO stays low, nothing is executed
    bool stubbornLock = false;  // chip erase leaves the lock bits as they are
    std::map<unsigned, std::uint8_t> stuckFlash;   // byte address -> value always read
    std::map<unsigned, std::uint8_t> stuckEeprom;  // address -> value always read
    // How long a write keeps the chip busy (see applyModel()).
    std::uint32_t flashWriteUs = 4500;
    std::uint32_t eepromWriteUs = 9000;
    std::uint32_t eraseUs = 9000;
    std::array<std::uint8_t, kFlashBytes> flash;    // initial contents; 0xFF by default
    std::array<std::uint8_t, kEepromBytes> eeprom;  // initial contents; 0xFF by default
    bool trace = false;  // keep a line per call in Chip::trace(), and Chip::words()

    Config() {
        flash.fill(0xFF);
        eeprom.fill(0xFF);
    }
};

// Gives config the signature and the busy times of a supported model (10, 11,
// 12, 15); false, changing nothing, for another number.
bool applyModel(int model, Config& config);

class Chip {
  public:
    explicit Chip(const Config& config = Config());

    // Host side: one call each, counted and traced.
    void setPin(Pin pin, bool level);  // trace "SCK 1", "MOSI 0", "RESET 1"; MISO is not the host's
    bool readMiso();                   // trace "MISO 0"
    // The host waits us microseconds. Sleeps with no pin call between them are
    // one wait, traced as one line of whole milliseconds: "SLEEP 2000".
    void sleep(std::uint64_t us);

    // Time that passes without a sleep (the cost of a platform call, or real time).
    void advanceUs(std::uint64_t us);

    // Observation.
    std::uint64_t nowUs() const;
    std::uint64_t sleepUs() const;  // sum of the host's requested sleeps
    const std::array<std::uint8_t, kFlashBytes>& flash() const;
    const std::array<std::uint8_t, kEepromBytes>& eeprom() const;
    std::uint8_t fuse() const;
    std::uint8_t lock() const;  // as Read Lock Bits reports bits 2 and 1: 06, 04, 02, 00
    bool inProgrammingMode() const;
    bool pinLevel(Pin pin) const;
    std::uint64_t lineCalls() const;    // setPin calls
    std::uint64_t statusReads() const;  // readMiso calls
    std::uint64_t unknownInstructions() const;
    // Executed instructions by kind: "programming_enable", "chip_erase",
    // "read_signature", "read_calibration", "read_fuse", "read_lock",
    // "read_flash", "write_flash", "read_eeprom", "write_eeprom",
    // "write_fuse", "write_lock".
    const std::map<std::string, std::uint64_t>& instructions() const;
    // The rules the host broke: the first Violations::kKept as text, and how many in all.
    const std::vector<std::string>& violations() const;
    std::uint64_t violationCount() const;
    const std::vector<std::string>& trace() const;
    // The complete 32-bit words the chip has decoded, in order (framed as the
    // chip frames them); kept only when tracing.
    const std::vector<std::uint32_t>& words() const;

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
    void onReset(bool level);
    void sample();
    void decideOutput();
    void execute(std::uint32_t word);
    bool decode(std::uint8_t b1, std::uint8_t b2, Kind& kind) const;
    void act(Kind kind, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4);
    bool readResult(std::uint32_t firstThree, std::uint8_t& value) const;
    bool settled() const;
    bool busy() const { return now_ < busyUntil_; }
    void startBusy(std::uint32_t us) { busyUntil_ = now_ + us; }
    void traceLine(const char* what, unsigned value);
    void pinCall();

    Config config_;
    std::array<std::uint8_t, kFlashBytes> flash_;
    std::array<std::uint8_t, kEepromBytes> eeprom_;
    std::uint8_t fuse_;
    std::uint8_t lockBits_;  // bits 2 and 1; a 0 is a programmed bit
    unsigned frameOffset_;   // samples counted in the first frame after entering
    bool sck_ = false, mosi_ = false, reset_ = true, miso_ = false;
    bool programming_ = false;
    bool enabled_ = false;  // in step with the host: instructions act
    std::uint64_t now_ = 0, sleep_ = 0, resetFellAt_ = 0, busyUntil_ = 0;
    std::uint64_t waitUs_ = 0;  // the sleeps since the last pin call
    bool waitTraced_ = false;   // the trace's last line is that wait
    unsigned bit_ = 0;          // samples taken in the current frame
    std::uint32_t shift_ = 0;   // bits sampled so far
    std::uint32_t output_ = 0;  // the frame's output word, MSB first
    std::uint64_t lineCalls_ = 0, statusReads_ = 0, unknown_ = 0;
    std::array<std::uint64_t, kKinds> counts_{};
    // Built from counts_ when asked for, so counting never allocates.
    mutable std::map<std::string, std::uint64_t> instructions_;
    Violations violations_;
    std::vector<std::string> trace_;
    std::vector<std::uint32_t> words_;
};

}  // namespace vtarget
