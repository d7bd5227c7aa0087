// The preload library's settings, read from one environment variable.
//
// VTARGET is a comma-separated list of key=value items and bare flags; empty
// items are ignored. See parsePreloadOptions() for the keys.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vtarget/chip.h"

namespace vtarget {

struct PreloadOptions {
    Config chip;
    std::vector<std::string> ports;  // served device paths besides the build's COM1 device
    bool noPort = false;             // opening a served path fails with ENOENT
    bool realtime = false;           // sleeps really wait; the chip follows the monotonic clock
    bool servePtys = false;          // a pseudo-terminal slave's first line call serves it
    std::uint64_t callUs = 0;        // virtual time each line or status call costs
    bool failAfterSet = false;
    std::uint64_t failAfter = 0;  // line and status calls that succeed before EIO
    std::string stateOut;
    std::string traceOut;
};

// Fills options from the text of VTARGET (null or empty: defaults). Returns
// an empty string, or what is wrong with the text. Keys:
//   model=10|11|12|15  signature=XXXXXX  calibration=XX  fuse=XX  lock=06|04|02|00
//   sync=1..32|never  absent  stubborn-lock  stuck=AAA:VV  eestuck=AA:VV
//   flash-us=N  eeprom-us=N  erase-us=N  call-us=N  fail-after=N  realtime
//   flash-in=PATH  eeprom-in=PATH  port=PATH  no-port  serve-ptys  state-out=PATH
//   trace-out=PATH
// flash-in and eeprom-in are read here: raw bytes from address 0, at most the
// memory's size.
std::string parsePreloadOptions(const char* text, PreloadOptions& options);

}  // namespace vtarget
