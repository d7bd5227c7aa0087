// What the virtual adapter (adapter.h) meets at the far end of its wiring: a
// chip whose pins the host's lines drive and whose MISO it reads, on a clock
// that moves only as the adapter says. The serial programming chip (chip.h)
// and the TPI chip (tpi_chip.h) are two; VTARGET picks one at run time.
#pragma once

#include <cstdint>

#include "link/names.h"

namespace vtarget {

class Target {
  public:
    virtual ~Target() = default;
    // A pin the host drives: SCK, MOSI or RESET; MISO is the chip's.
    virtual void setPin(wiring::Pin pin, bool level) = 0;
    // Each pin's level as the host's side of the wiring sees it.
    virtual bool pinLevel(wiring::Pin pin) const = 0;
    // Time passes: a sleep, the cost of a call, a device's sample clock, or real time.
    virtual void advanceNs(std::uint64_t ns) = 0;
    // A rising SCK edge as the host meant it, with MOSI as the host drove it,
    // reported before the edge reaches the pin, if it does: the adapter's
    // noise may drop or double it. A chip that keeps no host frame ignores it.
    virtual void hostSample(bool mosi) = 0;
    // Noise clocks SCK up and down once more.
    virtual void glitchSck() = 0;
    // The supply comes on (again).
    virtual void powerUp() = 0;
    virtual std::uint64_t nowNs() const = 0;
};

}  // namespace vtarget
