// The virtual adapter: the wiring between a serial port's lines and the
// chip's pins, and what the host did through it: its calls and what they
// cost, the pins they drove and read (counted, and traced a line each), and
// its sleeps. The in-process back end and the preload library both reach the
// chip through it, so the unit and end-to-end tests see the same adapter.
//
// Every line or status call costs virtual time (a native UART's few
// microseconds by default), so a program that polls the chip without
// sleeping still sees time pass. Sleeps pass at once; those with no pin
// driven or read between them are one wait in the trace, as a wait on the
// lines would look. With fail-after, the calls after the first N fail, as
// when an adapter is unplugged.
//
// A device that moves the lines by itself, such as the FT232R's bit-bang
// (ft232r.h), makes its own calls (a USB transfer each) at its own cost,
// and moves and samples the lines between them at its own times.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vtarget/chip.h"
#include "vtarget/violations.h"

namespace vtarget {

// The serial port's lines, as the adapter meets them.
using Line = wiring::PortLine;

constexpr unsigned lineBit(Line line) {
    return 1u << static_cast<unsigned>(line);
}

// A modem-control call on a native UART takes a few microseconds.
constexpr std::uint64_t kDefaultCallNs = 2000;

struct AdapterConfig {
    std::uint64_t callNs = kDefaultCallNs;  // virtual time each line or status call costs
    bool failAfterSet = false;
    std::uint64_t failAfter = 0;  // line and status calls that succeed; the later ones fail
    bool trace = false;           // keep a line per pin call in Adapter::trace()
};

class Adapter {
  public:
    Adapter(Chip& chip, const AdapterConfig& config);

    // One call that drives each line of `lines` (lineBit()s) to its bit in
    // `levels`: a line call, and a trace line such as "SCK 1", for each pin.
    // Lines the chip drives are left alone. False, and nothing driven, once
    // the adapter is gone.
    bool drive(unsigned lines, unsigned levels);

    // One call that reads every line into `levels` (lineBit()s): the host's
    // lines as driven, the chip's as it drives them (a status read, traced
    // "MISO 0"). False, reading 0, once the adapter is gone.
    bool read(unsigned& levels);

    // A call of the host's that costs ns of virtual time: false, once the
    // adapter is gone, and the later ones fail too. drive() and read() make
    // one each, at the configured cost.
    bool call(std::uint64_t ns);
    // Drives lines and reads them as drive() and read() do, counted and
    // traced alike, with no call of their own.
    void setLines(unsigned lines, unsigned levels);
    unsigned lines();

    // The host sleeps ns: over at once in virtual time. Sleeps with no pin
    // call between them are one wait, traced in whole milliseconds: "SLEEP 2000".
    void sleep(std::uint64_t ns);
    // Time that passes without a sleep: a clock being watched, or real time.
    void advance(std::uint64_t ns);
    // The port is opened: the chip powers up afresh, and a fuse written
    // since takes effect.
    void powerUp() { chip_.powerUp(); }
    // A request the adapter does not know.
    void refuse(std::string what);

    std::uint64_t nowNs() const;
    std::uint64_t sleptNs() const;  // every sleep asked for, exactly
    // Calls and sleeps so far: what a watched clock tells the host's other work by.
    std::uint64_t activity() const { return activity_; }
    std::uint64_t lineCalls() const { return lineCalls_; }      // pins driven
    std::uint64_t statusReads() const { return statusReads_; }  // reads of MISO
    // A line per pin call and wait: "SCK 1", "MOSI 0", "RESET 1", "MISO 0",
    // "SLEEP 2000"; kept only with AdapterConfig::trace.
    const std::vector<std::string>& trace() const { return trace_; }
    const Chip& chip() const { return chip_; }
    const Violations& violations() const { return violations_; }

  private:
    void pinCall(const char* name, bool level);

    Chip& chip_;
    const AdapterConfig config_;
    std::uint64_t calls_ = 0;     // calls that succeeded
    std::uint64_t activity_ = 0;  // calls tried and sleeps taken
    std::uint64_t sleptNs_ = 0;
    std::uint64_t lineCalls_ = 0, statusReads_ = 0;
    std::uint64_t waitNs_ = 0;  // the sleeps since the last pin call
    bool waitTraced_ = false;   // the trace's last line is that wait
    std::vector<std::string> trace_;
    Violations violations_;
};

}  // namespace vtarget
