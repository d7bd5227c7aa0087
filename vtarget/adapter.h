// The virtual adapter: the wiring between a serial port's lines and the
// chip's pins, and what a call through it costs. The in-process back end and
// the preload library both reach the chip through it, so the unit and
// end-to-end tests see the same adapter.
//
// Every line or status call costs virtual time (a native UART's few
// microseconds by default), so a program that polls the chip without
// sleeping still sees time pass. Sleeps pass at once; the chip counts those
// with no call between them as one wait, as a wait on the lines would look.
// With fail-after, the calls after the first N fail, as when an adapter is
// unplugged.
#pragma once

#include <cstdint>
#include <string>

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
};

class Adapter {
  public:
    Adapter(Chip& chip, const AdapterConfig& config);

    // One call that drives each line of `lines` (lineBit()s) to its bit in
    // `levels`. Lines the chip drives are left alone. False, and nothing
    // driven, once the adapter is gone.
    bool drive(unsigned lines, unsigned levels);

    // One call that reads every line into `levels` (lineBit()s): the host's
    // lines as driven, the chip's as it drives them. False, reading 0, once
    // the adapter is gone.
    bool read(unsigned& levels);

    // The host sleeps ns: over at once in virtual time.
    void sleep(std::uint64_t ns);
    // Time that passes without a sleep: a clock being watched, or real time.
    void advance(std::uint64_t ns);
    // A request the adapter does not know.
    void refuse(std::string what);

    std::uint64_t nowNs() const;
    std::uint64_t sleptNs() const;  // every sleep asked for, exactly
    // Calls and sleeps so far: what a watched clock tells the host's other work by.
    std::uint64_t activity() const { return activity_; }
    const Chip& chip() const { return chip_; }
    const Violations& violations() const { return violations_; }

  private:
    bool call();

    Chip& chip_;
    const AdapterConfig config_;
    std::uint64_t calls_ = 0;     // calls that succeeded
    std::uint64_t activity_ = 0;  // calls tried and sleeps taken
    std::uint64_t sleptNs_ = 0;
    std::uint64_t subUsNs_ = 0;  // the chip's clock below its microsecond
    Violations violations_;
};

}  // namespace vtarget
