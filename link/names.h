// The names of the target's programming pins and of the serial port's lines,
// declared once for the link, its back ends and the virtual chip, and the
// outcome of a call to the port.
#pragma once

namespace wiring {

// The target's serial programming pins.
enum class Pin { Sck, Mosi, Reset, Miso };

// The serial port's control and status lines.
enum class PortLine { Rts, Dtr, TxBreak, Dsr };

// What a call to the port gave: the OS's error number (errno, or
// GetLastError on Windows) when it failed, 0 when it succeeded.
struct Result {
    int error = 0;
    explicit operator bool() const { return error == 0; }
};

}  // namespace wiring
