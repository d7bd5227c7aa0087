// The preload library's settings, read from one environment variable.
//
// VTARGET is a comma-separated list of key=value items and bare flags; empty
// items are ignored. The keys are those of preloadKeys(); VTARGET=help lists
// them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "vtarget/adapter.h"
#include "vtarget/chip.h"
#include "vtarget/ft232r.h"
#include "vtarget/tpi_chip.h"

namespace vtarget {

// A device number as ls -l shows it; the served port makes it the platform's.
struct DeviceNumber {
    unsigned majorNumber = 0;
    unsigned minorNumber = 0;
};

struct PreloadOptions {
    Config chip;
    bool tpi = false;  // the TPI chip stands behind the adapter instead of the serial one
    TpiConfig tpiChip;
    AdapterConfig adapter;
    std::vector<std::string> ports;  // served device paths besides the build's COM1 device
    std::map<std::string, DeviceNumber> portNumbers;  // a served path's number, where given
    DeviceNumber realDevice;  // what TIOCGDEV answers; 0:0: the served port's
    int fdsLeft = -1;        // descriptors the process may still open once loaded; -1: no limit set
    bool noPort = false;     // opening a served path fails with ENOENT
    bool realtime = false;   // sleeps really wait; the chip follows the monotonic clock
    bool servePtys = false;  // a pseudo-terminal slave's first line call serves it
    bool ft232r = false;     // an FTDI open finds the virtual FT232R
    std::uint32_t lockDelayMs = 0;  // real milliseconds before an unlink or rename of a lock file
    Ft232rConfig ft232rConfig;
    std::string stateOut;
    std::string traceOut;
    bool help = false;  // list the keys instead of running
};

struct PreloadKey {
    const char* name;
    const char* value;  // how its value is written; null for a flag, "[X]" when it may be left out
    const char* help;
};

// Every key, in the order the help lists them.
const std::vector<PreloadKey>& preloadKeys();

// The keys as VTARGET=help prints them, one a line.
std::string preloadHelp();

// Fills options from the text of VTARGET (null or empty: defaults). Returns
// an empty string, or what is wrong with the text. flash-in and eeprom-in are
// read here, from regular files only. A busy time or an SCK minimum given
// with its key stands, whatever model= says, and so does an adapter setting,
// whatever adapter= says. With tpi, model= is 4, 5, 9 or 10, and calibration=,
// absent, flash-in, flash-us (a word write) and erase-us (a chip or section
// erase) set the TPI chip.
std::string parsePreloadOptions(const char* text, PreloadOptions& options);

}  // namespace vtarget
