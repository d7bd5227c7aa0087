// The serial transport: the target's pins on a serial port's control lines,
// one platform call per drive and per sample, a platform sleep per wait.
#pragma once

#include "link/transport.h"

namespace port {

// Opens the serial port called name through the platform's back end.
// Returns the transport, or nullptr with why set to the OS's reason.
Transport* openSerial(const char* name, Result& why);

}  // namespace port
