// The platform's serial port, sleep and clock, as every serial back end
// provides them.
//
// Exactly one serial back end is linked into a program: the POSIX serial
// port, the Win32 serial port, or a virtual target chip. Each line and status
// function below is one platform call, so the order and number of calls is
// what clocks the chip.
#pragma once

#include <cstdint>

#include "link/names.h"

namespace platform {

using wiring::PortLine;
using wiring::Result;

// Opens the port called name ("COM1:" stands for the build's default port)
// for exclusive use, an existing device only; sets no line. A port that
// another program holds is refused with EBUSY, a system console (POSIX) with
// EPERM.
Result open(const char* name);

// Sets (level true) or clears one output line, Rts, Dtr or TxBreak: one
// platform call. Dsr is an input and fails as an invalid argument.
Result set(PortLine line, bool level);

// Reads one status line into level: one platform call. Where the call
// failed, level is false.
Result get(PortLine line, bool& level);

// Closes the port opened by open(); sets no line.
void close();

// Blocks for at least us microseconds.
void sleepUs(std::uint64_t us);

// Microseconds since some fixed point, on a clock that never goes back.
std::uint64_t nowUs();

// The OS's text for an error number a call returned, for a message.
const char* describe(int error);

}  // namespace platform
