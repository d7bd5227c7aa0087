// The FTDI transport: an FT232R or FT-X in synchronous bit-bang mode, whose
// bit-bang pins are its UART's lines, so the adapter's wiring stays as it
// is. A waveform goes out as one USB transfer of pin states and comes back
// as one of sampled pins.
#pragma once

#include "link/ports.h"
#include "link/transport.h"

namespace port {

// Opens the FTDI chip with the serial number serial ("" for the first one
// found). Returns the transport, or nullptr with why set (ENOSYS: this build
// has no FTDI support; ENODEV: no such chip; EACCES: no permission on the
// USB device; EBUSY: another program has it; EIO: it did not take the
// settings) and advice, a line for the user.
Transport* openFtdi(const char* serial, Result& why, const char*& advice);

// Adds the chips that openFtdi can take to found: ftdi:SERIAL, or ftdi for
// one without a serial number, with their USB ids and product string.
void findFtdiChips(FoundPorts& found);

}  // namespace port
