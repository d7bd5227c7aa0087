// The serial ports the system has and the FTDI chips --port=ftdi can take,
// found without opening any of them (an open raises DTR and RTS, a console's
// too); the USB adapter that a usb:VID:PID[:SERIAL] name stands for; and why
// the OS refused a port, as the user can act on it.
//
// The serial ports come from one back end per platform, chosen by CMake
// (ports_posix.cpp: sysfs on Linux; ports_win32.cpp: the registry and
// SetupAPI), the FTDI chips from the FTDI transport's (link/ftdi.h).
#pragma once

#include <cstddef>

namespace port {

enum class PortState {
    Free,
    InUse,     // another program holds it, as far as can be told without opening it
    Console,   // a system console, which quillet refuses
    NoAccess,  // this user may not open it
    BadLock,   // its lock file names no process, which a run refuses
};

struct FoundPort {
    char name[192];   // what --port takes
    char family[24];  // the adapter's chip ("CH340", "FT232R"), "UART", or ""
    char driver[40];  // the kernel driver or the Windows service, or ""
    bool bitBang;     // an FTDI chip for --port=ftdi, not a serial port
    bool usb;         // a USB adapter: the rest tells which
    unsigned vid;
    unsigned pid;
    char serial[96];   // "" where it has none
    char product[96];  // "" where it has none
    PortState state;
    char group[32];  // NoAccess: the group that owns the device, where known
};

// Far more than a machine has; one past it is counted, not listed.
constexpr std::size_t kMaxPorts = 1024;

// What a usb:VID:PID[:SERIAL] name asks for (serial "": any).
struct UsbWanted {
    bool only;  // a back end may leave out every other port
    unsigned vid, pid;
    const char* serial;
};

struct FoundPorts {
    FoundPort ports[kMaxPorts];
    std::size_t count;
    std::size_t leftOut;  // ports found once the list was full
    UsbWanted wanted;
};

// A cleared entry at the end of found, or nullptr, counted as left out,
// when found is full.
FoundPort* addPort(FoundPorts& found);

// False where found asks only for a USB adapter's ports and port, described,
// is not one of them: a back end then drops it.
bool wanted(const FoundPorts& found, const FoundPort& port);

// Every serial port in name order, then the FTDI chips.
void listPorts(FoundPorts& found);

// One line of --list-ports, without its line end: the name, the family and
// driver, a USB adapter's VID:PID, serial number and product, and the state.
void describePort(const FoundPort& port, char* line, std::size_t size);

// The serial ports that a usb:VID:PID[:SERIAL] name matches (serial "": any),
// every one the system has; returns how many, and the first one in match.
std::size_t matchUsb(FoundPorts& found, unsigned vid, unsigned pid, const char* serial,
                     const FoundPort*& match);

// The adapter families by USB ids, for the back ends: "" where unknown.
const char* familyOf(unsigned vid, unsigned pid);

// The directory the POSIX back end reads sys/ below and names devices dev/NAME
// below, instead of / (the tests' fake trees); "" for /. Windows ignores it.
void setSystemRoot(const char* dir);
const char* systemRoot();

// Back end: adds the system's serial ports to found, in any order.
void findSerialPorts(FoundPorts& found);

enum class Refusal {
    Other,
    Missing,              // no such port
    Permission,           // this user may not open it
    InUse,                // another program holds it
    Console,              // a system console
    ControllingTerminal,  // /dev/tty, the session's own terminal
    ConsoleUnchecked,     // the console check could not look: checkError says why
};

struct RefusalFacts {
    Refusal refusal;
    char device[192];  // the device that was tried ("COM1:" resolved)
    char group[32];    // Permission: the group that owns the device, where known
    bool groupMayUse;  // Permission: that group may read and write it
    long holder;       // InUse: the process holding it, where found; 0 otherwise
    char holderName[32];
    bool hasTerminal;         // ControllingTerminal: the session has one
    int checkError;           // ConsoleUnchecked: the errno that kept the check from looking
    const char* lockProblem;  // InUse: what is wrong with a lock file that names no process
    char lockFile[320];       // InUse with a lockProblem: that lock file
};

// Back end: why the port called name was refused with error, the OS's error
// number as the open returned it.
RefusalFacts explainRefusal(const char* name, int error);

}  // namespace port
