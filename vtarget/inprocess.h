// The back end that binds the platform calls to a virtual chip in the same
// process, so the real transfer, instruction and run code can be tested.
#pragma once

#include "vtarget/chip.h"

namespace vtarget {

// Puts chip behind the port; nullptr leaves no port to open.
void attach(Chip* chip);

}  // namespace vtarget
