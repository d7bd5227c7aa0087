// The back end that binds the platform calls to a virtual chip in the same
// process, through the virtual adapter, so the real transfer, instruction and
// run code can be tested.
#pragma once

#include "vtarget/adapter.h"
#include "vtarget/chip.h"

namespace vtarget {

// Puts chip behind the port through an adapter set up as config says;
// nullptr leaves no port to open.
void attach(Chip* chip, const AdapterConfig& config = AdapterConfig());

}  // namespace vtarget
