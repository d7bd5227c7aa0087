// The adapter's wiring: which of the port's lines each of the target's pins
// is on. Every transport drives the pins through it.
#pragma once

#include "link/names.h"

namespace wiring {

// The port line that pin is wired to.
PortLine portLineOf(Pin pin);

}  // namespace wiring
