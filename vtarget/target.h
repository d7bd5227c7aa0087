// The chip at the far end of the virtual adapter's wiring (adapter.h): the
// serial programming chip (chip.h) or the TPI chip (tpi_chip.h), which
// VTARGET picks at run time. The host's lines drive its pins, the adapter
// reads its MISO, and its clock moves only as the adapter says.
//
// A variant rather than a virtual base: the chips stay plain classes, so a
// sanitizer's check of an object's vptr, which needs a free descriptor, has
// nothing to check in a run that has used its descriptors up.
#pragma once

#include <cstdint>
#include <variant>

#include "vtarget/chip.h"
#include "vtarget/tpi_chip.h"

namespace vtarget {

class Target {
  public:
    // Implicit, so that either chip goes where a target is asked for.
    Target(Chip& chip) : chip_(&chip) {}
    Target(TpiChip& chip) : chip_(&chip) {}

    void setPin(Pin pin, bool level) {
        std::visit([&](auto* chip) { chip->setPin(pin, level); }, chip_);
    }
    bool pinLevel(Pin pin) const {
        return std::visit([&](auto* chip) { return chip->pinLevel(pin); }, chip_);
    }
    void advanceNs(std::uint64_t ns) {
        std::visit([&](auto* chip) { chip->advanceNs(ns); }, chip_);
    }
    // A rising SCK edge as the host meant it, with MOSI as the host drove it,
    // reported before the edge reaches the pin, if it does: the adapter's
    // noise may drop or double it. A chip that keeps no host frame ignores it.
    void hostSample(bool mosi) {
        std::visit([&](auto* chip) { chip->hostSample(mosi); }, chip_);
    }
    // Noise clocks SCK up and down once more.
    void glitchSck() {
        std::visit([](auto* chip) { chip->glitchSck(); }, chip_);
    }
    void powerUp() {
        std::visit([](auto* chip) { chip->powerUp(); }, chip_);
    }
    std::uint64_t nowNs() const {
        return std::visit([](auto* chip) { return chip->nowNs(); }, chip_);
    }

  private:
    std::variant<Chip*, TpiChip*> chip_;
};

}  // namespace vtarget
