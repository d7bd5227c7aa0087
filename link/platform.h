// The platform's serial port and sleep, as every back end provides them.
//
// Exactly one back end is linked into a program: the POSIX serial port, the
// Win32 serial port, or a virtual target chip. Each function below is one
// platform call, so the order and number of calls is what clocks the chip.
#pragma once

namespace platform {

// The control and status lines of the serial port.
enum class PortLine { Rts, Dtr, TxBreak, Dsr };

// Opens the fixed port "COM1:" for exclusive use, an existing device only.
// Returns true when open; sets no line.
bool open();

// Sets (level true) or clears one output line: one platform call, result not examined.
void set(PortLine line, bool level);

// Reads one status line: one platform call; a failed query reads false.
bool get(PortLine line);

// Closes the port opened by open(); sets no line.
void close();

// Blocks for at least ms milliseconds.
void sleepMs(unsigned ms);

}  // namespace platform
