#include "link/wiring.h"

namespace wiring {

namespace {

struct Wire {
    Pin pin;
    PortLine portLine;
};

//   target                    serial port (DB9)
//   SCK    <------------------  RTS   (7)
//   MOSI   <------------------  TxD   (3)  break state
//   RESET  <------------------  DTR   (4)
//   MISO   ------------------>  DSR   (6)
//   GND    -------------------  GND   (5)
const Wire kWiring[] = {
    {Pin::Sck, PortLine::Rts},
    {Pin::Mosi, PortLine::TxBreak},
    {Pin::Reset, PortLine::Dtr},
    {Pin::Miso, PortLine::Dsr},
};

}  // namespace

PortLine portLineOf(Pin pin) {
    for (const Wire& wire : kWiring) {
        if (wire.pin == pin) return wire.portLine;
    }
    return PortLine::Dsr;  // unreachable: every pin is wired
}

}  // namespace wiring
