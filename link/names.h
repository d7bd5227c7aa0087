// The names of the target's programming pins and of the serial port's lines,
// declared once for the link, its back ends and the virtual chip.
#pragma once

namespace wiring {

// The target's serial programming pins.
enum class Pin { Sck, Mosi, Reset, Miso };

// The serial port's control and status lines.
enum class PortLine { Rts, Dtr, TxBreak, Dsr };

}  // namespace wiring
