// The back end that binds the platform calls to a virtual chip in the same
// process, through the virtual adapter, so the real transfer, instruction and
// run code can be tested.
#pragma once

#include "vtarget/adapter.h"

namespace vtarget {

// Puts adapter, and the chip behind it, behind the port until the next
// attach; nullptr leaves no port to open. The caller keeps both alive.
void attach(Adapter* adapter);

}  // namespace vtarget
