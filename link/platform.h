// The platform's serial port, sleep and clock, as every back end provides them.
//
// Exactly one back end is linked into a program: the POSIX serial port, the
// Win32 serial port, or a virtual target chip. Each line and status function
// below is one platform call, so the order and number of calls is what
// clocks the chip.
#pragma once

#include <cstdint>

#include "link/names.h"

namespace platform {

using wiring::PortLine;

// Opens the port called name ("COM1:" stands for the build's default port)
// for exclusive use, an existing device only. Returns true when open; sets no line.
// The POSIX back end leaves the reason for a failure in errno (EBUSY: another
// program holds the port).
bool open(const char* name);

// Sets (level true) or clears one output line: one platform call. Returns
// false when the call failed.
bool set(PortLine line, bool level);

// Reads one status line into level: one platform call. Returns false when
// the call failed; level is then false.
bool get(PortLine line, bool& level);

// Closes the port opened by open(); sets no line.
void close();

// Blocks for at least ms milliseconds.
void sleepMs(unsigned ms);

// Microseconds since some fixed point, on a clock that never goes back.
std::uint64_t nowUs();

}  // namespace platform
