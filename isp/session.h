// The run's port as the chip sees it: opening it, checking that it can drive
// a chip before one is touched, letting the chip go, and closing it.
#pragma once

#include "link/port.h"

namespace isp {

// The longest a byte write may keep the chip busy: beyond the datasheets'
// longest write time (ATtiny12: 4.5 ms flash, 9 ms EEPROM; ATtiny15: 4.1 and
// 8.2 ms) with a margin for slow chips at a low supply voltage.
constexpr unsigned kLongestWriteUs = 30000;

// Opens the port called name for the run (see link/port_name.h); with fast,
// a pin is driven only when its level changes.
using port::Opened;
using port::OpenStatus;
Opened openPort(const char* name, bool fast);

// True while every call since the open has succeeded. Once one fails the
// port is taken as gone: no further call reaches it and MISO reads 0.
bool portAnswering();

// Lets the target run: RESET set.
void releaseTarget();

// Records that signal sig asked the run to end (link/interrupt.h); safe in
// a signal handler.
void requestInterrupt(int sig);

// The signal number that interrupted the run, or 0.
int interruption();

// Leaves the chip safe at the end of an interrupted run: waits out a write
// that may have begun, then sets RESET and clears SCK and MOSI (no break).
void letGo();

// Closes the port; drives nothing.
void closePort();

// From a signal handler, before the process ends by the signal: lets the chip
// go as letGo() does and closes the port, removing its lock file, with
// async-signal-safe calls; on the serial port only (link/transport.h).
void abandon();

// Waits ms milliseconds.
void waitMs(unsigned ms);

// What a port can do, as its check found it.
enum class Fitness {
    Ready,
    NoStatus,        // reading the modem status failed: no modem lines (a pseudo-terminal)
    NoBreak,         // setting or clearing the break failed
    SimulatedBreak,  // clearing the break took far longer than a call: MOSI cannot be held
};

struct PortCheck {
    Fitness fitness;
    const char* reason;     // NoStatus, NoBreak: the OS's reason, as its text
    std::uint64_t clearUs;  // SimulatedBreak: how long clearing the break took
};

// Checks the open port once, before the chip is touched: one status read,
// the break set and cleared. Where status reads cost far less than the line
// calls, the adapter answers them from a copy it refreshes on its own, and
// every later sample waits for it (connect learns how long).
PortCheck checkPort();

}  // namespace isp
